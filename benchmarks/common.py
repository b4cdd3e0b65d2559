"""Timing helpers shared by the benchmark scripts.

Each benchmark times one module function against a plain-PyTorch
implementation of the same update on the same device, in the same run, and
prints one row per (function, device)."""
import argparse
import time

import torch


def sync(device):
    if str(device).startswith("cuda"):
        torch.cuda.synchronize()


def seconds_per_call(fn, device, warmup=3, min_time=0.5, max_iters=200):
    """Median-free simple timing: warm up, then run until min_time elapsed."""
    for _ in range(warmup):
        fn()
    sync(device)
    iters = 0
    start = time.perf_counter()
    while True:
        fn()
        iters += 1
        if iters >= max_iters or (iters >= 3 and time.perf_counter() - start > min_time):
            break
    sync(device)
    return (time.perf_counter() - start) / iters


def devices(requested=None):
    if requested:
        return [requested]
    return ["cpu"] + (["cuda"] if torch.cuda.is_available() else [])


def parse_args(description):
    p = argparse.ArgumentParser(description=description)
    p.add_argument("--device", default=None, help="cpu or cuda (default: both when present)")
    p.add_argument("--quick", action="store_true", help="small sizes, for smoke runs")
    return p.parse_args()


HEADER = f"{'function':<34}{'device':<7}{'size':<22}{'ms/call':>10}{'Gitem/s':>10}{'GB/s':>9}{'torch ms':>10}{'speedup':>9}"


def print_header():
    print(HEADER)
    print("-" * len(HEADER))


def report(name, device, size, t_ext, t_ref, items, bytes_moved):
    """items: cells x channels (or points) handled per call; bytes_moved: the
    minimum bytes one call must read and write."""
    print(
        f"{name:<34}{device:<7}{size:<22}{t_ext * 1e3:>10.3f}{items / t_ext / 1e9:>10.3f}"
        f"{bytes_moved / t_ext / 1e9:>9.1f}{t_ref * 1e3:>10.3f}{t_ref / t_ext:>9.2f}"
    )
