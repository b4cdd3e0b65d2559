#!/usr/bin/env bash
# Sets up a machine for Voxstep: a virtual environment in .venv (or the
# interpreter in $VOXSTEP_PYTHON), torch if none is importable, the build and
# test tools and voxsim's dependencies, then builds and installs the modules
# and the voxsim package against that torch.
#
# A GPU user installs their CUDA build of torch first (into .venv or the
# interpreter named by VOXSTEP_PYTHON); without one, the CPU build is taken.
# The GPU code is compiled whenever nvcc is found (VOXSTEP_CUDA=ON requires
# it, OFF skips it); TORCH_CUDA_ARCH_LIST picks the architectures.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -n "${VOXSTEP_PYTHON:-}" ]; then
  py="$VOXSTEP_PYTHON"
else
  [ -x .venv/bin/python ] || python3 -m venv .venv
  py="$(pwd)/.venv/bin/python"
fi
pip() { "$py" -m pip "$@"; }

if ! "$py" -c "import torch" 2>/dev/null; then
  echo "== installing torch (CPU build)"
  pip install -q torch==2.13.0
fi
missing=$("$py" - <<'PY'
import importlib.util as u
need = {"numpy": "numpy", "pytest": "pytest", "matplotlib": "matplotlib",
        "tqdm": "tqdm", "tmm": "tmm",   # voxsim's runtime needs (with torch, numpy)
        "meent": "meent==0.13.2",       # tests: the RCWA oracle of patterned layers
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
echo "== building Voxstep ($("$py" -c 'import torch; print("torch", torch.__version__)'))"
pip install -q --no-build-isolation --no-deps .
