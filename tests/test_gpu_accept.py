"""What scripts/gpu-accept decides without a GPU: stage lines from commands
(timeouts, exit codes, worker results), the pytest counts and their CUDA
share, the parity comparison, the verdict; and that a machine without a
visible GPU gets a failing verdict and a non-zero exit."""
import importlib.util
import pathlib
import subprocess
import sys

import pytest
import torch

import Voxstep
import Voxstep4
from cases import CASES, GPU_TWIN

ROOT = pathlib.Path(__file__).resolve().parent.parent
loader_spec = importlib.util.spec_from_file_location("gpu_accept", ROOT / "scripts" / "gpu_accept.py")
ga = importlib.util.module_from_spec(loader_spec)
loader_spec.loader.exec_module(ga)


def test_commands_become_stage_results(tmp_path):
    log = str(tmp_path / "x.log")
    r, _ = ga.run_command("x", [sys.executable, "-c", "import time; time.sleep(5)"], 0.5, log)
    assert not r.ok and "timed out after 0.5 s" in r.detail
    r, _ = ga.run_command("x", [sys.executable, "-c", "raise SystemExit(3)"], 10, log)
    assert not r.ok and r.detail.startswith("exit 3")
    good = 'print("noise"); print(\'RESULT {"ok": true, "detail": "fine", "data": {"k": 1}}\')'
    r, _ = ga.run_command("x", [sys.executable, "-c", good], 10, log)
    assert r.ok and r.detail == "fine" and r.data == {"k": 1}
    # A worker that reports success but exits non-zero fails.
    bad = good + "; raise SystemExit(1)"
    r, _ = ga.run_command("x", [sys.executable, "-c", bad], 10, log)
    assert not r.ok
    assert ga.format_line(r).startswith("x         FAIL")
    assert (tmp_path / "x.log").read_text().startswith("noise")


PYTEST_OUT = """\
...s.F
PASSED tests/test_update_h.py::test_matches_reference[cpu-Voxstep-shape0]
PASSED tests/test_update_h.py::test_matches_reference[cuda-Voxstep-shape0]
PASSED tests/test_frame.py::test_second_gpu[cuda:1]
SKIPPED [1] tests/test_frame.py:170: needs two GPUs
FAILED tests/test_x.py::test_y[cuda] - AssertionError
ERROR tests/test_z.py::test_w
PASSED tests/test_cudaless.py::test_cudafoo
========= 2 failed, 4 passed, 1 skipped in 3.21s =========
"""


def test_pytest_counts_and_cuda_share():
    c = ga.parse_pytest(PYTEST_OUT)
    assert c == dict(passed=4, failed=2, skipped=1, cuda_passed=2)
    assert ga.tests_result(c)[0] is False
    ok, detail = ga.tests_result(dict(passed=10, failed=0, skipped=3, cuda_passed=0))
    assert not ok and "no CUDA case passed" in detail
    assert ga.tests_result(dict(passed=10, failed=0, skipped=3, cuda_passed=4))[0]
    # Without -rA lines the totals come from the summary line.
    assert ga.parse_pytest("== 7 passed, 1 error in 1.0s ==")["failed"] == 1


def test_parity_comparison():
    a = torch.tensor([1.0, 2.0, float("nan"), 0.0])
    assert ga.compare(a, a.clone()) is None
    assert ga.compare(a + 1e-6, a) is None  # within the tolerances
    assert "max difference" in ga.compare(a + 1e-2, a)
    b = a.clone()
    b[3] = float("nan")
    assert ga.compare(b, a) == "NaN in different places"
    assert ga.compare(torch.tensor([1, 2], dtype=torch.uint8),
                      torch.tensor([1, 3], dtype=torch.uint8)) == "discrete values differ"
    assert "dtype/shape" in ga.compare(a, a.double())
    z = torch.complex(a, a)
    assert ga.compare(z, z.clone()) is None


def R(name, ok, **data):
    return ga.Result(name, ok, "", 1.0, data)


def test_verdict_needs_every_stage_and_reports_the_roofline():
    rows = [dict(roofline_pct=p) for p in (40.0, 70.0, 90.0)]
    line, code = ga.verdict([R("env", True), R("bench", True, channel=rows)])
    assert code == 0 and line.startswith("VERDICT PASS") and "min 40% / median 70%" in line
    line, code = ga.verdict([R("env", True), R("tests", False), R("bench", True, channel=rows)])
    assert code == 1 and "VERDICT FAIL (tests failed)" in line
    assert ga.verdict([])[1] == 1


def test_smoke_covers_every_public_function():
    modules = (Voxstep, Voxstep4)
    covered = {(m, n) for n, m in CASES if m in modules}
    covered |= {(m, n) for n, _ in CASES if n in GPU_TWIN for m in modules if hasattr(m, n)}
    covered |= {(m, "get_id_range") for m in modules}
    public = {(m, k) for m in modules for k in m.__dict__ if not k.startswith("_")}
    assert public == covered


@pytest.mark.parametrize("stage", ["smoke", "parity"])
def test_workers_run_dry_on_the_cpu(stage, tmp_path):
    """The smoke and parity workers' own code, run CPU against CPU."""
    r, out = ga.run_command(stage, [sys.executable, str(ROOT / "scripts" / "gpu_accept.py"),
                                    "--worker", stage], 300, str(tmp_path / "log"),
                            dict(__import__("os").environ, GPU_ACCEPT_DRY="1"))
    assert r.ok, out[-2000:]


@pytest.mark.skipif(torch.cuda.is_available(), reason="a GPU is visible")
def test_without_a_gpu_the_run_fails_at_once(tmp_path):
    proc = subprocess.run([str(ROOT / "scripts" / "gpu-accept"), "--out", str(tmp_path)],
                          env={"PYTHON": sys.executable, "PATH": "/usr/bin:/bin"},
                          capture_output=True, text=True, timeout=120)
    lines = proc.stdout.strip().splitlines()
    assert proc.returncode == 1
    assert lines[0].startswith("env       FAIL") and "no visible GPU" in lines[0]
    assert lines[-1].startswith("VERDICT FAIL (env failed)")
    assert len(lines) == 2  # nothing after the environment stage runs
