"""Every time-step function against the machine's copy bandwidth, measured in
the same run: ms per call, useful GB/s, percentage of the copy roofline, on
one and two threads (CPU), and the ratio to the previous CPU traversal (the
GPU's per-element thread decomposition in blocks of 256, still selectable).

Useful bytes per call (the byte model): every element a function must read
plus every element it must write, counted once, at its storage size:
  Update_H      per cell and channel: E read (3), H read and written (6);
                per layer cell and axis: psi read and written (4).
  Update_E      the same, plus keep and loss read per cell (6 floats; keep is
                per channel in Voxstep4).
  Update_E_Dispersion (Voxstep) per written sample: E read and written, the
                previous value read, both complex auxiliaries read and
                written; per written cell: weight, both ids, den1, den2; then
                the previous-value copies (E read, previous written).
  Update_E_Dispersion (Voxstep4) per written sample: E read and written, den1;
                per written cell: den2.
  Update_E_Periodic per ghost sample of both passes: the interior sample read
                and the ghost sample written (complex values).
  Inject_H / Inject_E per window point and channel: two field samples read and
                written; profiles and amplitudes read.
  Inject_J      per box cell: three field samples per channel read and written,
                three complex currents read.
  Monitor_Update_E per box cell and channel: three field samples read, three
                complex accumulators read and written.
The roofline is torch's copy_ of a buffer larger than the last-level cache
(bytes read plus bytes written), the best of one and two threads.

  PYTHONPATH=build/dev .venv/bin/python benchmarks/bench_timestep.py [--device cpu|cuda]
      [--size 128] [--channels 1 2] [--quick] [--only NAME ...] [--json FILE]
"""
import argparse
import gc
import json
import os
import sys
import time

import torch

sys.path.insert(0, os.path.dirname(__file__))
import Voxstep  # noqa: E402
import Voxstep4  # noqa: E402

MODULES = (Voxstep, Voxstep4)


# --------------------------------------------------------------------------
# Timing and traversal selection

def sync(device):
    if device == "cuda":
        torch.cuda.synchronize()


def best_time(fn, device, budget=0.25, repeats=5):
    """See _best_time; the garbage collector is off meanwhile, as timeit does."""
    gc.disable()
    try:
        return _best_time(fn, device, budget, repeats)
    finally:
        gc.enable()


def _best_time(fn, device, budget, repeats):
    """Seconds per call. CPU: the fastest single call among those that fit
    the budget (at least `repeats`), so that moments when another process
    holds a core do not count. GPU: the minimum over `repeats` batches of the
    mean time per call (calls are queued; each batch ends synchronised)."""
    fn()
    sync(device)
    start = time.perf_counter()
    fn()
    sync(device)
    once = max(time.perf_counter() - start, 1e-7)
    if device == "cpu":
        best = once
        for _ in range(max(repeats, int(budget / once))):
            start = time.perf_counter()
            fn()
            best = min(best, time.perf_counter() - start)
        return best
    calls = max(1, int(budget / repeats / once))
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        sync(device)
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def traversals():
    """The CPU traversals this build offers: the row traversal and the
    previous one, or only the build's own when it has no switch."""
    if hasattr(Voxstep, "_cpu_traversal"):
        return ["rows", "blocks-points"]
    return [None]


def use_traversal(name):
    if name is not None:
        import _voxstep_host
        for m in (Voxstep, Voxstep4, _voxstep_host):
            m._cpu_traversal(name)


def copy_roofline(device, threads):
    """GB/s of torch's copy_ (read + write) over 256 MiB."""
    if device == "cpu":
        torch.set_num_threads(threads)
    n = 64 * 1024 * 1024
    src = torch.ones(n, device=device)
    dst = torch.empty_like(src)
    t = best_time(lambda: dst.copy_(src), device, budget=1.0)
    return 2 * n * 4 / t / 1e9


# --------------------------------------------------------------------------
# Problems: each returns (call, useful bytes per call)

def field_set(module, N, NC, n, device, NS=1, NM=1):
    dt = torch.complex64 if module is Voxstep4 else torch.float32
    Nx, Ny, Nz = N
    r = lambda *s: (torch.randn(*s, device=device) * 0.01).to(dt)  # noqa: E731
    E = [r(NS, NM, Nx, Ny + 1, Nz + 1, NC), r(NS, NM, Nx + 1, Ny, Nz + 1, NC),
         r(NS, NM, Nx + 1, Ny + 1, Nz, NC)]
    H = [r(NS, NM, Nx, Ny, Nz, NC) for _ in range(3)]
    psi = [torch.zeros(NS, NM, 2 * n[0], Ny, Nz, 2, NC, dtype=dt, device=device),
           torch.zeros(NS, NM, Nx, 2 * n[1], Nz, 2, NC, dtype=dt, device=device),
           torch.zeros(NS, NM, Nx, Ny, 2 * n[2], 2, NC, dtype=dt, device=device)]
    f32 = dict(device=device)
    C = [torch.full((x,), 0.5, **f32) for x in N]
    b = [torch.full((2 * x,), 0.9, **f32) for x in n]
    g = [torch.full((2 * x,), -0.05, **f32) for x in n]
    nl = torch.tensor(n, dtype=torch.int32)
    if device != "cpu":
        nl = nl.to(device)
    return E, H, psi, C, b, g, nl, dt


def layer_samples(N, n):
    """Cells that lie in a layer, counted once per axis they lie in."""
    Nx, Ny, Nz = N
    cells = Nx * Ny * Nz
    return sum(min(2 * n[a], N[a]) * cells // N[a] for a in range(3))


def update_h(module, N, NC, n, device):
    E, H, psi, C, b, g, nl, dt = field_set(module, N, NC, n, device)
    unused = torch.empty(0)
    es = torch.empty((), dtype=dt).element_size()
    cells = N[0] * N[1] * N[2]
    nbytes = es * NC * (9 * cells + 4 * layer_samples(N, n))
    return lambda: module.Update_H(*H, *E, *C, *psi, *b, *g, nl, unused), nbytes


def update_e(module, N, NC, n, device):
    E, H, psi, C, b, g, nl, dt = field_set(module, N, NC, n, device)
    per_channel = module is Voxstep4
    shape = (1, *N) + ((NC,) if per_channel else ())
    keep = [torch.ones(shape, device=device) for _ in range(3)]
    loss = [torch.zeros(1, *N, device=device) for _ in range(3)]
    unused = torch.empty(0)
    es = torch.empty((), dtype=dt).element_size()
    cells = N[0] * N[1] * N[2]
    nbytes = (es * NC * (9 * cells + 4 * layer_samples(N, n))
              + 4 * cells * (3 * (NC if per_channel else 1) + 3))
    return (lambda: module.Update_E(*E, *H, *keep, *loss, *C, *psi, *b, *g, nl, unused),
            nbytes)


def written_cells(N):
    """Cells the curl step writes per component (both transverse indices
    nonzero), summed over the three components."""
    Nx, Ny, Nz = N
    return Nx * (Ny - 1) * (Nz - 1) + (Nx - 1) * Ny * (Nz - 1) + (Nx - 1) * (Ny - 1) * Nz


def dispersion(module, N, NC, n, device):
    E, _, _, _, _, _, _, dt = field_set(module, N, NC, (0, 0, 0), device)
    f = dict(device=device)
    wc = written_cells(N)
    shape = (1, *N)
    if module is Voxstep4:
        d1 = [0.5 * torch.rand(*shape, NC, **f) for _ in range(3)]
        d2 = [1 - d[..., 0] for d in d1]
        unused = torch.empty(0)
        return (lambda: module.Update_E_Dispersion(*E, *d1, *d2, unused),
                wc * (NC * (16 + 4) + 4))
    P = [e.clone() for e in E]
    w = [torch.rand(*shape, **f) for _ in range(3)]
    p = [torch.randint(0, 4, shape, dtype=torch.uint8, device=device) for _ in range(3)]
    q = [torch.randint(0, 4, shape, dtype=torch.uint8, device=device) for _ in range(3)]
    # den1 + den2 = 1 and |alpha| < 1: repeated calls keep every value at its
    # scale (no slow subnormal path on the CPU).
    den1 = [0.5 + 0.5 * torch.rand(*shape, **f) for _ in range(3)]
    den2 = [1 - d for d in den1]
    alpha = (0.99 * torch.exp(1j * torch.rand(4))).to(torch.complex64).to(device)
    beta = torch.randn(4, dtype=torch.complex64).to(device)
    aux1 = [torch.zeros(e.shape, dtype=torch.complex64, device=device) for e in E]
    aux2 = [torch.zeros(e.shape, dtype=torch.complex64, device=device) for e in E]
    unused = torch.empty(0)
    copies = sum(e.numel() for e in E) * 8
    nbytes = wc * (NC * (4 * 2 + 4 + 8 * 4) + 14) + copies
    return (lambda: module.Update_E_Dispersion(*E, *P, *w, *p, *q, *den1, *den2, alpha, beta,
                                               *aux1, *aux2, unused), nbytes)


def periodic(module, N, NC, n, device):
    E, _, _, _, _, _, _, dt = field_set(module, N, NC, (0, 0, 0), device)
    Nx, Ny, Nz = N
    flags = torch.ones(2, dtype=torch.int32, device=device)  # read by the kernels
    if module is Voxstep4:
        px = torch.randn(1, NC, dtype=torch.complex64).to(device)
        py = torch.randn(1, NC, dtype=torch.complex64).to(device)
        pairs, value = NC, 8
    else:
        px = torch.randn(1, NC, device=device)
        py = torch.randn(1, NC, device=device)
        pairs, value = NC // 2, 8
    # x pass: planes of Ey ((Ny) x (Nz+1)) and Ez ((Ny+1) x Nz); y pass likewise.
    ghost = 2 * (Ny * (Nz + 1) + (Ny + 1) * Nz) + 2 * (Nx * (Nz + 1) + (Nx + 1) * Nz)
    nbytes = ghost * pairs * value * 2
    return lambda: module.Update_E_Periodic(*E, px, py, flags, True), nbytes


def inject_plane(module, N, NC, n, device, electric):
    Nx, Ny, Nz = N
    dt = torch.complex64 if module is Voxstep4 else torch.float32
    F0 = (torch.randn(1, 1, Nx, Ny, Nz, NC, device=device) * 0.01).to(dt)
    F1 = (torch.randn(1, 1, Nx, Ny, Nz, NC, device=device) * 0.01).to(dt)
    coef = torch.full((Nz,), 0.5, device=device)
    margin = torch.tensor([1, 1])
    kp = Nz // 2 - 1
    c = lambda *s: torch.randn(*s, dtype=torch.complex64).to(device)  # noqa: E731
    fn = module.Inject_E if electric else module.Inject_H
    es = torch.empty((), dtype=dt).element_size()
    pts = Nx * Ny
    if module is Voxstep4:
        Nt = 64
        D = torch.zeros(Nx, Ny, device=device)
        args = (coef, c(1, Nt), c(1, Nt), c(1, Nx, Ny, NC), c(1, Nx, Ny, NC), D, D, margin, kp, 10)
        nbytes = pts * NC * (2 * 2 * es + 2 * 8) + 2 * pts * 4
    else:
        ch = NC - NC // 2
        args = (coef, c(1, ch), c(1, ch), c(1, Nx, Ny, ch), c(1, Nx, Ny, ch), margin, kp)
        nbytes = pts * NC * 2 * 2 * es + 2 * pts * ch * 8
    return lambda: fn(F0, F1, *args), nbytes


def inject_j(module, N, NC, n, device):
    dt = torch.complex64 if module is Voxstep4 else torch.float32
    Nx, Ny, Nz = N
    E = [torch.zeros(1, 1, Nx + 1, Ny + 1, Nz + 1, NC, dtype=dt, device=device) for _ in range(3)]
    J = [torch.randn(1, 1, Nx, Ny, Nz, dtype=torch.complex64).to(device) for _ in range(3)]
    pos = torch.tensor([0, 0, 0])
    es = torch.empty((), dtype=dt).element_size()
    cells = Nx * Ny * Nz
    return lambda: module.Inject_J(*E, *J, pos), 3 * cells * (NC * 2 * es + 8)


def monitor(module, N, NC, n, device):
    Nx, Ny, Nz = N
    E = [torch.randn(1, 1, Nx + 1, Ny + 1, Nz + 1, NC, device=device) for _ in range(3)]
    M = [torch.zeros(1, 1, Nx - (a == 0), Ny - (a == 1), Nz - (a == 2), NC,
                     dtype=torch.complex64, device=device) for a in range(3)]
    w = torch.randn(NC, dtype=torch.complex64).to(device)
    r = [torch.tensor([0, x - 2]) for x in N]
    samples = sum(m[0, 0].numel() for m in M)
    return lambda: Voxstep.Monitor_Update_E(*M, *E, w, *r), samples * (4 + 16)


# Functions of Voxstep that need channel pairs (an even NC).
PAIRED = ("Update_E_Periodic", "Inject_H", "Inject_E")

CASES = [
    ("Update_H", update_h, MODULES),
    ("Update_E", update_e, MODULES),
    ("Update_E_Dispersion", dispersion, MODULES),
    ("Update_E_Periodic", periodic, MODULES),
    ("Inject_H", lambda *a: inject_plane(*a, electric=False), MODULES),
    ("Inject_E", lambda *a: inject_plane(*a, electric=True), MODULES),
    ("Inject_J", inject_j, MODULES),
    ("Monitor_Update_E", monitor, (Voxstep,)),
]


# --------------------------------------------------------------------------

def row_header(threads_col):
    h = (f"{'function':<30}{'NC':>3}{'grid':>14}{'thr' if threads_col else '':>4}"
         f"{'ms/call':>10}{'GB/s':>8}{'%roof':>7}{'prev ms':>10}{'x prev':>8}")
    print(h)
    print("-" * len(h))


def measure(call, device, modes, budget):
    """Time per call under each traversal in `modes` (the first is current)."""
    times = []
    for mode in modes:
        use_traversal(mode)
        times.append(best_time(call, device, budget))
    use_traversal(modes[0])
    return times


def run_table(device, N, channels, thread_list, n, budget, roof, only, rows):
    modes = traversals() if device == "cpu" else [None]
    row_header(device == "cpu")
    for name, make, modules in CASES:
        if only and name not in only:
            continue
        for module in modules:
            for NC in channels:
                if name in PAIRED and module is Voxstep and NC % 2:
                    continue  # Voxstep refuses an odd channel count here (no real/imaginary pair)
                call, nbytes = make(module, N, NC, n, device)
                for threads in thread_list:
                    if device == "cpu":
                        torch.set_num_threads(threads)
                    times = measure(call, device, modes, budget)
                    t = times[0]
                    gbs = nbytes / t / 1e9
                    prev = f"{times[1] * 1e3:>10.3f}{times[1] / t:>8.2f}" if len(times) > 1 else ""
                    label = f"{module.__name__}.{name}"
                    print(f"{label:<30}{NC:>3}{'x'.join(map(str, N)):>14}"
                          f"{threads if device == 'cpu' else '':>4}{t * 1e3:>10.3f}{gbs:>8.2f}"
                          f"{100 * gbs / roof[threads]:>7.1f}{prev}", flush=True)
                    rows.append(dict(function=label, NC=NC, grid=list(N), threads=threads,
                                     ms=t * 1e3, gbs=gbs, roofline_pct=100 * gbs / roof[threads],
                                     previous_ms=times[1] * 1e3 if len(times) > 1 else None))


# Elements the CPU's packed row loops give a thread at least (launch_host.h).
MIN_WORK_PER_THREAD = 16384


def run_scaling(device, N, channels, n, budget, only):
    """Two threads against one on a cache-resident grid."""
    print(f"\nthread scaling on a cache-resident {'x'.join(map(str, N))} grid (time 1 thread / "
          f"time 2 threads)")
    for name, make, modules in CASES[:4]:
        if only and name not in only:
            continue
        for module in modules:
            for NC in channels:
                if name in PAIRED and module is Voxstep and NC % 2:
                    continue
                call, _ = make(module, N, NC, n, device)
                # Alternated, best of three each: on a shared machine the
                # second core is sometimes busy with another process.
                t = [float("inf")] * 2
                for threads in (1, 2) * 3:
                    torch.set_num_threads(threads)
                    t[threads - 1] = min(t[threads - 1], best_time(call, device, budget / 3))
                note = ""
                if name == "Update_E_Periodic":
                    # A face pass: (Ny + 1) x (Nz + 1) points by the complex channels.
                    samples = (N[1] + 1) * (N[2] + 1) * (NC // 2 if module is Voxstep else NC)
                    if samples < MIN_WORK_PER_THREAD:
                        note = (f"  (one thread by design: {samples} samples per pass, under the "
                                f"{MIN_WORK_PER_THREAD} a thread takes at least)")
                print(f"  {module.__name__ + '.' + name:<30} NC={NC}  {t[0] / t[1]:.2f}x{note}",
                      flush=True)


def run_overhead(device, budget, only, out):
    """Time per call on a 1 x 1 x 400 column (CPML on z), one thread."""
    print("\ncall on a 1 x 1 x 400 column (microseconds, one thread; Update_E_Periodic: "
          "a 1 x 1 x 400 column with both passes)")
    if device == "cpu":
        torch.set_num_threads(1)
    modes = traversals() if device == "cpu" else [None]
    for name, make, modules in CASES:
        if only and name not in only:
            continue
        for module in modules:
            NC = 2
            N, n = (1, 1, 400), (0, 0, 10)
            if name in ("Inject_H", "Inject_E"):
                N = (4, 4, 400)
            call, _ = make(module, N, NC, n, device)
            times = measure(call, device, modes, budget)
            prev = f"   previous {times[1] * 1e6:7.1f}" if len(times) > 1 else ""
            print(f"  {module.__name__ + '.' + name:<30} {times[0] * 1e6:7.1f}{prev}", flush=True)
            out[f"{module.__name__}.{name}"] = times[0] * 1e6


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--device", default="cpu", choices=["cpu", "cuda"])
    p.add_argument("--size", type=int, default=None, help="cube edge of the main table")
    p.add_argument("--quick", action="store_true", help="small grids and short timings")
    p.add_argument("--only", nargs="*", help="function names to run (default: all)")
    p.add_argument("--channels", nargs="*", type=int, default=[1, 2], help="NC values")
    p.add_argument("--no-scaling", action="store_true", help="skip the thread-scaling table")
    p.add_argument("--json", help="also write the figures to this file")
    args = p.parse_args()
    device = args.device
    cpu = device == "cpu"
    edge = args.size or (48 if args.quick else (128 if cpu else 256))
    budget = 0.1 if args.quick else 0.4
    thread_list = (1, 2) if cpu else (1,)
    # One roofline for every row: the best copy rate over the thread counts.
    best = max(copy_roofline(device, t) for t in thread_list)
    roof = {t: best for t in thread_list}
    where = (f"device cpu, torch {torch.__version__}" if cpu
             else f"device {torch.cuda.get_device_name()}, torch {torch.__version__}")
    print(f"{where}; copy roofline {best:.1f} GB/s (torch copy_, read + write bytes, best of "
          f"{'1 and 2 threads' if cpu else 'the device'})")
    print(f"traversals: {traversals()} (ratio: previous time / this time)\n" if cpu else "")
    n = (10, 10, 10)
    rows, overhead = [], {}
    run_table(device, (edge,) * 3, args.channels, thread_list, n, budget, roof, args.only, rows)
    if cpu and not args.no_scaling:
        run_scaling(device, (32, 32, 32), (1, 2), (4, 4, 4), budget, args.only)
    run_overhead(device, budget, args.only, overhead)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(device=device, roofline_gbs=best, rows=rows, overhead_us=overhead), f,
                      indent=1)


if __name__ == "__main__":
    main()
