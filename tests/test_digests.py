"""Every kernel's results, bit for bit, against stored digests: each function
of both modules and the CPU twins runs on seeded arguments in a handful of
shapes, and the SHA-256 of all it wrote or returned (NaN payloads and signed
zeros included) must match tests/digests.json. A refactoring of the host
layer or of the CPU frame that changes any bit of any result fails here.

After a deliberate change of results, rewrite the file with
    .venv/bin/python tests/test_digests.py
and say in the commit why the results changed."""
import hashlib
import json
import os
import sys
import zlib

import pytest
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from cases import CASES, build  # noqa: E402

STORE = os.path.join(HERE, "digests.json")

# The traversal tests' shapes that reach distinct code: all faces, layers
# overlapping, a column, three channels, psi shorter than the layers, long
# rows of staged terms, two samples and modes.
SHAPES = {
    "faces": dict(),
    "overlap": dict(NS=2, NM=2, N=(3, 2, 5), NC=1, n=(2, 1, 2)),
    "column": dict(N=(1, 1, 17), NC=2, n=(0, 0, 4)),
    "nc3": dict(N=(6, 5, 7), NC=3, n=(1, 2, 3)),
    "short-psi": dict(N=(7, 6, 9), NC=1, n=(3, 3, 3), lim=(4, 5, 2)),
    "long-rows": dict(NS=2, N=(2, 1, 139), NC=2, n=(0, 1, 9)),
}


def bits(x):
    """A tensor's contents as bytes in a fixed layout, with its dtype and shape."""
    x = x.detach().cpu().contiguous()
    head = f"{x.dtype}{tuple(x.shape)}".encode()
    if x.is_complex():
        x = torch.view_as_real(x).contiguous()
    return head + x.view(torch.uint8).numpy().tobytes() if x.numel() else head


def digest(name, module, shape):
    fn, args = build(name, module, seed=zlib.crc32(name.encode()) % 1000, **SHAPES[shape])
    result = fn(*args)
    out = list(result) if isinstance(result, tuple) else ([] if result is None else [result])
    h = hashlib.sha256()
    for t in out + [a for a in args if isinstance(a, torch.Tensor)]:
        h.update(bits(t))
    return h.hexdigest()[:32]


def key(name, module, shape):
    return f"{module.__name__}.{name}/{shape}"


KEYS = [(n, m, s) for n, m in CASES for s in SHAPES]


def stored():
    with open(STORE) as f:
        return json.load(f)


def test_store_covers_every_case():
    assert sorted(stored()) == sorted(key(*k) for k in KEYS)


@pytest.mark.parametrize("name,module", CASES, ids=[f"{m.__name__}.{n}" for n, m in CASES])
def test_results_match_stored_digests(name, module):
    want = stored()
    bad = [s for s in SHAPES if digest(name, module, s) != want.get(key(name, module, s))]
    assert not bad, f"{module.__name__}.{name}: results changed in shapes {bad}"


if __name__ == "__main__":
    with open(STORE, "w") as f:
        json.dump({key(*k): digest(*k) for k in KEYS}, f, indent=0, sort_keys=True)
        f.write("\n")
    print(f"wrote {len(KEYS)} digests to {STORE}")
