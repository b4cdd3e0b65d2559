"""The build refuses an nvcc whose CUDA major differs from torch's
(cmake/cuda_match.cmake, run as CMakeLists.txt runs it); the sources keep
their layers (cuda/common below the modules; one voxsim module above
the extension)."""
import pathlib
import re
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CMAKE = shutil.which("cmake")


def check(nvcc, torch_cuda):
    return subprocess.run([CMAKE, f"-DNVCC_VERSION={nvcc}", f"-DTORCH_CUDA_VERSION={torch_cuda}",
                           "-P", str(ROOT / "cmake" / "cuda_match.cmake")],
                          capture_output=True, text=True, timeout=60)


@pytest.mark.skipif(CMAKE is None, reason="no cmake")
@pytest.mark.parametrize("nvcc,torch_cuda,ok", [
    ("13.0.88", "13.0", True),
    ("13.1.20", "13.0", True),    # minor versions may differ
    ("12.8.93", "", True),        # a CPU build of torch takes any nvcc
    ("12.8.93", "13.0", False),
    ("13.0.88", "12.6", False),
])
def test_cuda_major_must_match_torch(nvcc, torch_cuda, ok):
    r = check(nvcc, torch_cuda)
    assert (r.returncode == 0) == ok, r.stderr
    if not ok:
        text = " ".join(r.stderr.split())
        assert f"nvcc {nvcc} does not match CUDA {torch_cuda}" in text
        assert "CUDA major versions must agree" in text


def test_common_layer_includes_nothing_above_it():
    """cuda/common is shared by both modules and sits below them: none of its
    files includes anything outside it (a module header there would tie the
    shared layer to one module)."""
    up = re.compile(r'^\s*#\s*include\s*"\.\./')
    bad = [f"{p.name}: {line.strip()}" for p in sorted((ROOT / "cuda" / "common").iterdir())
           for line in p.read_text().splitlines() if up.match(line)]
    assert not bad


def test_one_module_of_the_package_imports_the_extension():
    """voxsim reaches the compiled functions through voxsim/kernels.py alone,
    so what the package asks of the kernels is listed in one place."""
    import ast
    ext = {"Voxstep", "Voxstep4", "_voxstep_host"}
    bad = []
    for p in sorted((ROOT / "voxsim").glob("*.py")):
        for node in ast.walk(ast.parse(p.read_text())):
            names = ([a.name for a in node.names] if isinstance(node, ast.Import) else
                     [node.module] if isinstance(node, ast.ImportFrom) and node.module else [])
            bad += [f"{p.name}:{node.lineno} imports {n}" for n in names
                    if n.split(".")[0] in ext and p.name != "kernels.py"]
    assert not bad
