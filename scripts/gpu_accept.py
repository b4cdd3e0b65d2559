#!/usr/bin/env python3
"""GPU acceptance run: one command, a timeout on every stage, one line per
stage, a verdict. Run as scripts/gpu-accept on a machine with an NVIDIA GPU
(nothing is downloaded); full logs go to --out (default out/gpu-accept).

Stages (name: what it checks):
  env       GPU, driver, torch and its CUDA, nvcc; flags mismatches. Without a
            visible GPU the run stops here and fails.
  build     configure and build for the native architecture, twice: the
            channel-fastest thread mapping (the default) and the earlier
            points-only one (VOXSTEP_GPU_MAPPING=points), for the bench stage.
  smoke     every public function of both modules on small CUDA inputs,
            synchronised after each call.
  parity    the same random inputs on the CPU and the GPU for every function
            (layers, dispersion, periodic flags, sources, monitor, trilinear
            with edge queries, material preparation), then 200 leapfrog steps
            of a box with CPML and a source. Tolerances: PARITY_RTOL and
            PARITY_ATOL (relative to the output's largest magnitude) per
            float output, discrete outputs (ids, index windows) exact, NaN in
            the same places; LEAPFROG_TOL on the relative L2 difference of
            every field after 200 steps.
  tests     the test suite with the CUDA cases on; zero CUDA passes fails.
  streams   calls under torch.cuda.stream(s) give the default stream's bits;
            an Update_H captured in a CUDA graph and replayed gives the eager
            bits.
  roofline  device copy bandwidth (torch copy_, bytes read + written).
  bench     every time-step function at 256^3 for NC = 1, 2, 4 with both
            thread mappings: ms, useful GB/s, percentage of the roofline
            (benchmarks/bench_timestep.py, --json).
  overhead  host time per call of each time-step function on a small grid.
Last line: PASS or FAIL, with the minimum and median roofline percentage of
the default mapping. The exit code is 0 only for PASS.

Stage workers run in child processes (this file with --worker NAME); the
parent only formats lines and decides the verdict, so that logic is tested
on machines without a GPU (tests/test_gpu_accept.py).
"""
import argparse
import json
import os
import re
import shlex
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PARITY_RTOL = 1e-4
PARITY_ATOL = 1e-5
LEAPFROG_TOL = 1e-4
# GPU_ACCEPT_DRY=1 runs the smoke and parity workers on the CPU against
# themselves (the CPU twins stay), to check this script without a GPU.
DRY = os.environ.get("GPU_ACCEPT_DRY") == "1"
DEVICE = "cpu" if DRY else "cuda"


@dataclass
class Result:
    name: str
    ok: bool
    detail: str
    seconds: float = 0.0
    data: dict = field(default_factory=dict)


def format_line(r):
    """One line per stage: name, ok/FAIL, seconds, detail."""
    return f"{r.name:<9} {'ok' if r.ok else 'FAIL':<4} {r.seconds:6.1f}s  {r.detail}"


def run_command(name, argv, timeout, log_path, env=None):
    """Runs argv with a timeout, output to log_path. Returns (Result, output
    text); a worker's last 'RESULT {json}' line gives ok/detail/data."""
    start = time.perf_counter()
    try:
        proc = subprocess.run(argv, cwd=ROOT, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=timeout)
        out, code = proc.stdout, proc.returncode
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or "")
        with open(log_path, "w") as f:
            f.write(out)
        return Result(name, False, f"timed out after {timeout} s (log: {log_path})",
                      time.perf_counter() - start), out
    seconds = time.perf_counter() - start
    with open(log_path, "w") as f:
        f.write(out)
    found = parse_result(out)
    if found is not None:
        ok = found.get("ok", False) and code == 0
        return Result(name, ok, found.get("detail", ""), seconds, found.get("data", {})), out
    tail = out.strip().splitlines()[-1:] or [""]
    return Result(name, code == 0, f"exit {code}: {tail[0][:150]}" if code else "done",
                  seconds), out


def parse_result(text):
    """The payload of a worker's last 'RESULT {json}' line, or None."""
    for line in reversed(text.splitlines()):
        if line.startswith("RESULT "):
            try:
                return json.loads(line[len("RESULT "):])
            except json.JSONDecodeError:
                return None
    return None


def parse_pytest(text):
    """Counts from a pytest run with -rA: passed, failed (incl. errors),
    skipped, and the passed cases whose id names the cuda device."""
    counts = dict(passed=0, failed=0, skipped=0, cuda_passed=0)
    for line in text.splitlines():
        m = re.match(r"^(PASSED|FAILED|ERROR|SKIPPED) (\S+)", line)
        if not m:
            continue
        kind, node = m.groups()
        if kind == "PASSED":
            counts["passed"] += 1
            if re.search(r"[\[-]cuda(:\d+)?[\]-]", node):
                counts["cuda_passed"] += 1
        elif kind == "SKIPPED":
            counts["skipped"] += 1
        else:
            counts["failed"] += 1
    summary = re.search(r"=+ (.*(passed|failed|error|skipped).*) in [0-9.]+s", text)
    if summary and counts["passed"] == 0:  # no -rA lines: read the totals
        for num, kind in re.findall(r"(\d+) (passed|failed|errors?|skipped)", summary.group(1)):
            key = "failed" if kind.startswith("error") else kind
            counts[key] += int(num)
    return counts


def tests_result(counts):
    ok = counts["failed"] == 0 and counts["cuda_passed"] > 0 and counts["passed"] > 0
    detail = (f"{counts['passed']} passed ({counts['cuda_passed']} on cuda), "
              f"{counts['failed']} failed, {counts['skipped']} skipped")
    if counts["cuda_passed"] == 0:
        detail += "; no CUDA case passed"
    return ok, detail


def roofline_summary(rows):
    """(min, median) of the rows' roofline percentages, or None."""
    pcts = [r["roofline_pct"] for r in rows]
    if not pcts:
        return None
    return min(pcts), statistics.median(pcts)


def verdict(results):
    """The last line and the exit code: PASS only when every stage is ok."""
    failed = [r.name for r in results if not r.ok]
    summary = None
    for r in results:
        if r.name == "bench" and r.data.get("channel"):
            summary = roofline_summary(r.data["channel"])
    roof = (f"roofline min {summary[0]:.0f}% / median {summary[1]:.0f}% (channel-fastest "
            f"mapping, time-step functions at 256^3)" if summary else "no roofline figures")
    if failed or not results:
        return f"VERDICT FAIL ({', '.join(failed) or 'no stage ran'} failed); {roof}", 1
    return f"VERDICT PASS; {roof}", 0


# --------------------------------------------------------------------------
# The parent: stages as commands.

def worker(py, name, *extra):
    return [py, os.path.abspath(__file__), "--worker", name, *extra]


def build_dir(out, mapping):
    return os.path.join(ROOT, "build", f"gpu-accept-{mapping}")


def env_with(build):
    env = dict(os.environ)
    env["PYTHONPATH"] = build + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    env["PYTHONUNBUFFERED"] = "1"
    return env


def build_command(py, mapping):
    arch = os.environ.get("GPU_ACCEPT_ARCH", "native")
    b = build_dir(None, mapping)
    return (f"cmake -S . -B {shlex.quote(b)} -G Ninja -DPython_EXECUTABLE={shlex.quote(py)} "
            f"-DVOXSTEP_CUDA=ON -DCMAKE_CUDA_ARCHITECTURES={arch} "
            f"-DVOXSTEP_GPU_MAPPING={mapping} && cmake --build {shlex.quote(b)}")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--out", default=os.path.join(ROOT, "out", "gpu-accept"))
    p.add_argument("--python", default=sys.executable)
    p.add_argument("--stages", default="env,build,smoke,parity,tests,streams,roofline,bench,"
                                       "overhead")
    p.add_argument("--worker", help=argparse.SUPPRESS)
    p.add_argument("rest", nargs="*", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.worker:
        return WORKERS[args.worker](*args.rest)

    os.makedirs(args.out, exist_ok=True)
    py = args.python
    wanted = args.stages.split(",")
    timeouts = dict(env=60, build=240, smoke=90, parity=120, tests=240, streams=60,
                    roofline=60, bench=240, overhead=10)
    channel_env = env_with(build_dir(args.out, "channel"))
    results = []
    log = lambda n: os.path.join(args.out, f"{n}.log")  # noqa: E731
    for name in wanted:
        if name == "env":
            r, _ = run_command("env", worker(py, "env"), timeouts["env"], log("env"))
        elif name == "build":
            os.environ.pop("TORCH_CUDA_ARCH_LIST", None)
            cmd = f"( {build_command(py, 'channel')} ) & ( {build_command(py, 'points')} ) & wait"
            both = (f"{cmd}; test -f {shlex.quote(build_dir(None, 'channel'))}/build.ninja && "
                    f"cmake --build {shlex.quote(build_dir(None, 'channel'))} && "
                    f"cmake --build {shlex.quote(build_dir(None, 'points'))}")
            r, _ = run_command("build", ["bash", "-c", both], timeouts["build"], log("build"))
            if r.ok:
                r.detail = "native architecture, channel-fastest and points-only mappings"
        elif name == "tests":
            r, out = run_command("tests", [py, "-m", "pytest", "tests", "-q", "-rA",
                                           "-p", "no:cacheprovider"],
                                 timeouts["tests"], log("tests"), channel_env)
            if "timed out" not in r.detail:
                r.ok, r.detail = tests_result(parse_pytest(out))
        elif name == "bench":
            start, data = time.perf_counter(), {}
            parts, ok = [], True
            for mapping in ("channel", "points"):
                path = os.path.join(args.out, f"bench-{mapping}.json")
                rr, _ = run_command(
                    "bench", [py, "benchmarks/bench_timestep.py", "--device", "cuda",
                              "--size", "256", "--channels", "1", "2", "4", "--json", path],
                    timeouts["bench"] // 2, log(f"bench-{mapping}"),
                    env_with(build_dir(args.out, mapping)))
                ok = ok and rr.ok and os.path.exists(path)
                if rr.ok and os.path.exists(path):
                    with open(path) as f:
                        got = json.load(f)
                    data[mapping] = got["rows"]
                    data[f"{mapping}_overhead"] = got["overhead_us"]
                    s = roofline_summary(got["rows"])
                    parts.append(f"{mapping}: min {s[0]:.0f}% median {s[1]:.0f}% of "
                                 f"{got['roofline_gbs']:.0f} GB/s")
                else:
                    parts.append(f"{mapping}: {rr.detail}")
            r = Result("bench", ok, "; ".join(parts), time.perf_counter() - start, data)
        elif name == "overhead":
            bench = next((x for x in results if x.name == "bench"), None)
            over = bench.data.get("channel_overhead") if bench else None
            if over:
                worst = max(over, key=over.get)
                r = Result("overhead", True, f"median {statistics.median(over.values()):.1f} us "
                           f"per call, largest {worst} {over[worst]:.1f} us (1 x 1 x 400)")
            else:
                r = Result("overhead", False, "no bench figures")
        else:
            r, _ = run_command(name, worker(py, name), timeouts[name], log(name), channel_env)
        print(format_line(r), flush=True)
        results.append(r)
        if not r.ok and name in ("env", "build"):
            break  # nothing later can run
    line, code = verdict(results)
    print(line, flush=True)
    return code


# --------------------------------------------------------------------------
# Workers: each runs in its own process and ends with a RESULT line.

def report(ok, detail, **data):
    print("RESULT " + json.dumps(dict(ok=bool(ok), detail=detail, data=data)), flush=True)
    return 0


def work_env():
    import torch
    parts, ok = [], True
    if not torch.cuda.is_available() or torch.cuda.device_count() == 0:
        return report(False, f"no visible GPU (torch {torch.__version__}, torch CUDA "
                             f"{torch.version.cuda}); this check needs one")
    names = [torch.cuda.get_device_name(i) for i in range(torch.cuda.device_count())]
    parts.append(f"{len(names)} x {names[0]}")
    driver = None
    try:
        driver = subprocess.run(["nvidia-smi", "--query-gpu=driver_version",
                                 "--format=csv,noheader"], capture_output=True, text=True,
                                timeout=20).stdout.split()[0]
        parts.append(f"driver {driver}")
    except Exception:  # noqa: BLE001  (no nvidia-smi: report without it)
        parts.append("driver ?")
    parts.append(f"torch {torch.__version__} (CUDA {torch.version.cuda})")
    try:
        v = subprocess.run(["nvcc", "--version"], capture_output=True, text=True, timeout=20)
        nvcc = re.search(r"release (\d+\.\d+)", v.stdout).group(1)
        parts.append(f"nvcc {nvcc}")
        if torch.version.cuda and nvcc.split(".")[0] != torch.version.cuda.split(".")[0]:
            parts.append("MISMATCH: nvcc and torch CUDA majors differ")
            ok = False
    except Exception:  # noqa: BLE001
        parts.append("nvcc not found")
        ok = False
    return report(ok, ", ".join(parts))


def gpu_call(name, module, fn, args):
    """fn and args of a case, moved to the GPU (CPU twins -> public module)."""
    import torch
    sys.path.insert(0, os.path.join(ROOT, "tests"))
    from cases import GPU_TWIN
    import _voxstep_host
    if module is _voxstep_host and not DRY:
        fn = getattr(GPU_TWIN[name], name)
    return fn, [a.to(DEVICE, copy=True) if isinstance(a, torch.Tensor) else a for a in args]


def synchronize():
    import torch
    if not DRY:
        torch.cuda.synchronize()


def outputs(result, args):
    import torch
    out = list(result) if isinstance(result, tuple) else ([] if result is None else [result])
    return [t.detach().cpu() for t in out + [a for a in args if isinstance(a, torch.Tensor)]]


def work_smoke():
    import torch
    sys.path.insert(0, os.path.join(ROOT, "tests"))
    from cases import CASES, build
    import Voxstep
    import Voxstep4
    from cases import GPU_TWIN
    failures, n = [], 0
    calls = []
    for name, module in CASES:
        fn, args = build(name, module, seed=1)
        fn, args = gpu_call(name, module, fn, args)
        calls.append((f"{fn.__module__ or ''}.{name}", fn, args))
        if name in GPU_TWIN and not DRY:  # the shared functions are bound in both modules
            for other in (Voxstep, Voxstep4):
                if other is not GPU_TWIN[name] and hasattr(other, name):
                    calls.append((f"{other.__name__}.{name}", getattr(other, name), args))
    for label, fn, args in calls:
        try:
            fn(*[a.clone() if isinstance(a, torch.Tensor) else a for a in args])
            synchronize()
            n += 1
        except Exception as e:  # noqa: BLE001
            failures.append(f"{label}: {str(e)[:120]}")
    for module in (Voxstep, Voxstep4):
        try:
            module.get_id_range(torch.tensor([0.5, 2.5], device=DEVICE),
                                torch.arange(5.0, device=DEVICE))
            synchronize()
            n += 1
        except Exception as e:  # noqa: BLE001
            failures.append(f"{module.__name__}.get_id_range: {str(e)[:120]}")
    for f in failures:
        print(f)
    return report(not failures, f"{n} calls ok" + (f", {len(failures)} failed: {failures[0]}"
                                                  if failures else ""))


def compare(got, want):
    """None when got matches want within the parity tolerances, else why."""
    import torch
    if got.dtype != want.dtype or got.shape != want.shape:
        return f"dtype/shape {got.dtype}{tuple(got.shape)} vs {want.dtype}{tuple(want.shape)}"
    if not (got.is_floating_point() or got.is_complex()):
        return None if torch.equal(got, want) else "discrete values differ"
    g = torch.view_as_real(got) if got.is_complex() else got
    w = torch.view_as_real(want) if want.is_complex() else want
    if not torch.equal(torch.isnan(g), torch.isnan(w)):
        return "NaN in different places"
    g, w = torch.nan_to_num(g.double()), torch.nan_to_num(w.double())
    scale = float(w.abs().max()) if w.numel() else 0.0
    err = float((g - w).abs().max()) if w.numel() else 0.0
    if err > PARITY_ATOL * max(scale, 1.0) + PARITY_RTOL * scale:
        return f"max difference {err:.3g} (scale {scale:.3g})"
    return None


def work_parity():
    import torch
    sys.path.insert(0, os.path.join(ROOT, "tests"))
    sys.path.insert(0, os.path.join(ROOT, "benchmarks"))
    sys.path.insert(0, os.path.join(ROOT, "examples"))
    from cases import CASES, build
    shapes = [dict(), dict(NS=2, NM=2, N=(3, 2, 5), NC=1, n=(2, 1, 2)),
              dict(N=(7, 6, 9), NC=4, n=(3, 3, 3))]
    failures, n = [], 0
    for shape in shapes:
        for name, module in CASES:
            fn, args = build(name, module, seed=7, **shape)
            cpu_args = [a.clone() if isinstance(a, torch.Tensor) else a for a in args]
            want = outputs(fn(*cpu_args), cpu_args)
            gfn, gargs = gpu_call(name, module, fn, args)
            got = outputs(gfn(*gargs), gargs)
            for k, (g, w) in enumerate(zip(got, want)):
                why = compare(g, w)
                if why:
                    failures.append(f"{module.__name__}.{name} {shape} output {k}: {why}")
            n += 1
    # 200 leapfrog steps of a box with CPML and a point source, CPU vs GPU.
    from bench_cpml_box import make_box
    import Voxstep  # noqa: F401
    worst = 0.0
    fields = {}
    for device in ("cpu", DEVICE):
        run, reset, state = make_box(24, 6, device, False, with_state=True)
        reset()
        run(200)
        fields[device] = [t.detach().cpu().double() for t in state]
    for c, g in zip(fields["cpu"], fields[DEVICE]):
        rel = float((g - c).norm() / max(float(c.norm()), 1e-30))
        worst = max(worst, rel)
    if worst > LEAPFROG_TOL:
        failures.append(f"leapfrog: relative L2 difference {worst:.3g} > {LEAPFROG_TOL}")
    for f in failures:
        print(f)
    return report(not failures, f"{n} cases; leapfrog 200 steps rel. L2 {worst:.2g}"
                  + (f"; {len(failures)} failed: {failures[0]}" if failures else ""))


def work_streams():
    import torch
    sys.path.insert(0, os.path.join(ROOT, "tests"))
    from cases import build
    import Voxstep
    import _voxstep_host
    problems = []
    for name, module in (("Update_E_Dispersion", Voxstep), ("Update_H", Voxstep),
                         ("Trilinear_reverse_interpolation", _voxstep_host)):
        fn, args = build(name, module, seed=2, N=(16, 12, 20), NC=2)
        runs = []
        for side in (False, True):
            gfn, gargs = gpu_call(name, module, fn, args)
            torch.cuda.synchronize()
            stream = torch.cuda.Stream()
            if side:
                stream.wait_stream(torch.cuda.current_stream())
                with torch.cuda.stream(stream):
                    res = gfn(*gargs)
                torch.cuda.current_stream().wait_stream(stream)
            else:
                res = gfn(*gargs)
            torch.cuda.synchronize()
            runs.append(outputs(res, gargs))
        if not all(torch.equal(a, b) for a, b in zip(*runs)):
            problems.append(f"{name} under torch.cuda.stream differs")
    # Capture Update_H in a graph, replay 5 times, compare with 5 eager calls.
    fn, args = build("Update_H", Voxstep, seed=4, N=(16, 12, 20), NC=2)
    _, eager = gpu_call("Update_H", Voxstep, fn, args)
    _, graphed = gpu_call("Update_H", Voxstep, fn, args)
    for _ in range(5):
        Voxstep.Update_H(*eager)
    side = torch.cuda.Stream()
    side.wait_stream(torch.cuda.current_stream())
    graph = torch.cuda.CUDAGraph()
    with torch.cuda.stream(side):
        with torch.cuda.graph(graph):
            Voxstep.Update_H(*graphed)
    torch.cuda.current_stream().wait_stream(side)
    for _ in range(5):
        graph.replay()
    torch.cuda.synchronize()
    if not all(torch.equal(a, b) for a, b in zip(outputs(None, eager), outputs(None, graphed))):
        problems.append("graph replay differs from eager calls")
    return report(not problems, "side-stream calls and a replayed Update_H graph match"
                  if not problems else "; ".join(problems))


def work_roofline():
    import torch
    n = 256 * 1024 * 1024  # 1 GiB of float32
    src = torch.ones(n, device="cuda")
    dst = torch.empty_like(src)
    for _ in range(3):
        dst.copy_(src)
    torch.cuda.synchronize()
    best = float("inf")
    for _ in range(10):
        start = time.perf_counter()
        dst.copy_(src)
        torch.cuda.synchronize()
        best = min(best, time.perf_counter() - start)
    gbs = 2 * n * 4 / best / 1e9
    return report(True, f"copy {gbs:.0f} GB/s (read + write, 1 GiB)", gbs=gbs)


WORKERS = dict(env=work_env, smoke=work_smoke, parity=work_parity, streams=work_streams,
               roofline=work_roofline)

if __name__ == "__main__":
    sys.exit(main())
