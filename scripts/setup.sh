#!/usr/bin/env bash
# Sets up a machine for Voxstep: a virtual environment in .venv (or the
# directory in $VOXSTEP_VENV, or the interpreter in $VOXSTEP_PYTHON), torch if
# none is importable, the build and test tools and voxsim's dependencies, then
# builds and installs the modules and the voxsim package against that torch.
#
# A GPU user installs their CUDA build of torch first (into the environment);
# without one, torch==$VOXSTEP_TORCH is installed (default 2.13.0, the CPU
# build; 2.14.1 takes the CUDA 13 build). The GPU code is compiled whenever
# nvcc is found (VOXSTEP_CUDA=ON requires it, OFF skips it); its CUDA major
# must match torch's. TORCH_CUDA_ARCH_LIST picks the architectures.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -n "${VOXSTEP_PYTHON:-}" ]; then
  py="$VOXSTEP_PYTHON"
else
  venv="${VOXSTEP_VENV:-.venv}"
  [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
  py="$(cd "$venv" && pwd)/bin/python"
fi
pip() { "$py" -m pip "$@"; }

if ! "$py" -c "import torch" 2>/dev/null; then
  echo "== installing torch==${VOXSTEP_TORCH:-2.13.0}"
  pip install -q "torch==${VOXSTEP_TORCH:-2.13.0}"
fi
missing=$("$py" - <<'PY'
import importlib.util as u
need = {"numpy": "numpy", "pytest": "pytest", "matplotlib": "matplotlib",
        "tqdm": "tqdm", "tmm": "tmm",   # voxsim's runtime needs (with torch, numpy)
        "meent": "meent==0.13.2",       # tests: the RCWA oracle of patterned layers
        "miepython": "miepython",       # tests: the Mie oracle of isolated spheres
        "scikit_build_core": "scikit-build-core>=0.10", "ninja": "ninja"}
print(" ".join(v for k, v in need.items() if u.find_spec(k) is None))
PY
)
if [ -n "$missing" ]; then
  echo "== installing $missing"
  pip install -q $missing
fi

# CI compiles the GPU code for one architecture only (enough to keep it
# building); everyone else gets the default list.
if [ "${CI:-}" = "true" ] && [ -z "${TORCH_CUDA_ARCH_LIST:-}" ]; then
  export TORCH_CUDA_ARCH_LIST=9.0
fi
torch_version="$("$py" -c 'import torch; print(torch.__version__)')"
echo "== building Voxstep (torch $torch_version)"
# One build directory per torch: a CMake cache never mixes two torches.
pip install -q --no-build-isolation --no-deps -C "build-dir=build/{wheel_tag}-torch$torch_version" .
