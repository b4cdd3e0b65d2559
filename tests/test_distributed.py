"""Runs over two processes (torchrun, gloo on the CPU): an angle sweep shared
out over the ranks (--split batch) and a grid cut into slabs along z
(--split domains) write what one process writes; slabs cut anywhere (through
the absorber, between the two planes of the TFSF source, next to a monitor,
one cell thin; two and three of them) step the fields of one process."""
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import torch

import voxsim as vx
from voxsim import cli, distributed, domains

SWEEP = {"resolution": 30, "frequency": {"min": 0.8, "max": 1.2, "count": 5},
         "incident": {"eps": 1}, "substrate": {"eps": 2.25}, "angle_deg": [0, 15, 30, 45],
         "polarization": "p", "layers": [{"thickness": 0.1, "medium": {"eps": 6}}]}
# a 3-D unit cell (an off-centre hole: nothing is invariant), two angles
PATTERN = {"resolution": 10, "frequency": {"min": 0.35, "max": 0.45, "count": 3},
           "incident": {"eps": 1}, "substrate": {"eps": 2.25}, "angle_deg": [0, 10],
           "polarization": "s", "decay_by": 1e-6, "period": [1.0, 1.0],
           "layers": [{"thickness": 0.3, "pattern": {
               "background": {"eps": 2.25},
               "shapes": [{"kind": "circle", "center": [0.4, 0.5], "radius": 0.3,
                           "medium": {"eps": 1}}]}}]}
JOBS = {"sweep": SWEEP, "pattern": PATTERN}


def rows(a):
    return np.array([[np.nan if v is None else v for v in r] for r in a])


def torchrun(script, *args, ranks=2):
    """`script` (a file) on `ranks` gloo ranks; the finished process."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p),
               OMP_NUM_THREADS="1")
    r = subprocess.run([sys.executable, "-m", "torch.distributed.run", "--standalone",
                        "--nproc-per-node", str(ranks), str(script), *map(str, args)],
                       capture_output=True, text=True, env=env, timeout=600)
    assert r.returncode == 0, r.stderr[-3000:]
    return r


# one launch runs the command line under each split in turn
SPLITS = textwrap.dedent("""
    import sys
    from voxsim import cli
    path, out = sys.argv[1:3]
    for split in sys.argv[3:]:
        assert cli.main(["spectrum", path, "--out", f"{out}/{split}", "--quiet",
                         "--split", split]) == 0
""")


@pytest.mark.parametrize("name", JOBS)
def test_both_splits_on_two_ranks_equal_one_process(tmp_path, name):
    job = JOBS[name]
    path = tmp_path / "job.json"
    path.write_text(json.dumps(job))
    n = torch.get_num_threads()
    torch.set_num_threads(1)
    try:
        assert cli.main(["spectrum", str(path), "--out", str(tmp_path / "one"), "--quiet"]) == 0
    finally:
        torch.set_num_threads(n)
    script = tmp_path / "splits.py"
    script.write_text(SPLITS)
    r = torchrun(script, path, tmp_path, "batch", "domains")
    assert r.stdout.count("wrote ") == 2                  # rank 0 alone speaks
    one = json.loads((tmp_path / "one" / "spectrum.json").read_text())
    for split in ("batch", "domains"):
        two = json.loads((tmp_path / split / "spectrum.json").read_text())
        assert one["angles_deg"] == two["angles_deg"] == job["angle_deg"]
        assert one["converged"] and two["converged"]
        for key in ("R", "T", "angle_deg"):
            a, b = rows(one[key]), rows(two[key])
            assert a.shape == (len(job["angle_deg"]), job["frequency"]["count"])
            assert np.array_equal(np.isnan(a), np.isnan(b))
            d = np.nanmax(np.abs(a - b))
            print(f"{name}, --split {split}: {key} on two ranks against one process, largest "
                  f"difference {d:.1e}")
            assert d <= 1e-6


# slabs cut at chosen planes, a fixed number of steps (no decay decision):
# the flux planes' fields against one process, bit for bit
CUTS = textwrap.dedent("""
    import json, sys
    import numpy as np, torch
    import torch.distributed as dist
    import voxsim as vx
    from voxsim import reflectance
    from voxsim.boundaries import CPML
    from voxsim.domains import Slabs
    from voxsim.reflectance import column_layout, plane_wave

    dist.init_process_group("gloo")
    rank = dist.get_rank()
    f = np.array([0.8, 1.0, 1.2])
    units = vx.Units(20)
    st = vx.Stack([vx.Layer(0.15, vx.Medium(6.0)),
                   vx.Layer(0.1, vx.Medium(3.0, pole=vx.Lorentz(2.0, 1.1, 0.1)))],
                  vx.Medium(1.0), vx.Medium(2.25))
    ex = [plane_wave(f, "p", a) for a in (0, 30)]
    cpml = CPML(thickness=6, alpha_max=0.05)
    lay = column_layout([st], units, cpml, 0.0)
    Nz = lay.Nz
    run = lambda slabs: reflectance._run_batch([st], [0], st.incident, f, units, ex, cpml, 0.0,
                                           ["subcell"], 1e-9, None, 300, None, "cpu", False,
                                           slabs=slabs)
    two = {"through the absorber": 3, "between the source's planes": lay.kp + 1,
           "above the reflection plane": lay.k_R + 1, "one cell below": 1, "one cell above": Nz - 1}
    cases = {k: [(0, c), (c, Nz)] for k, c in two.items()}
    if dist.get_world_size() == 3:      # middle slabs: both halos
        cases = {"even": None, "the source in the middle": [lay.kp, lay.kp + 2],
                 "one cell of absorber in the middle": [2, 3],
                 "no layer in the middle": [10, Nz - 10], "thin at the top": [Nz - 3, Nz - 1]}
        cases = {k: c and list(zip([0] + c, c + [Nz])) for k, c in cases.items()}
    ref = run(None) if rank == 0 else None
    out = {}
    for name, cuts in cases.items():
        got = run(Slabs(rank, dist.get_world_size(), cuts))
        if rank == 0:
            out[name] = [float(np.nanmax(np.abs(a - b))) for a, b in
                         ((got.R, ref.R), (got.T, ref.T))]
    if rank == 0:
        print(json.dumps(out))
    dist.destroy_process_group()
""")


@pytest.mark.parametrize("ranks", [2, 3])
def test_slabs_cut_anywhere_step_the_fields_of_one_process(tmp_path, ranks):
    script = tmp_path / "cuts.py"
    script.write_text(CUTS)
    out = json.loads(torchrun(script, ranks=ranks).stdout.strip().splitlines()[-1])
    assert len(out) == 5
    for name, (dR, dT) in out.items():
        print(f"{ranks} slabs, cut {name}: largest |dR| {dR:.1e}, |dT| {dT:.1e} against one "
              f"process")
        assert dR == 0 and dT == 0


def test_automatic_split_and_refusals(monkeypatch):
    shape, n = (11, 11, 80), 12
    whole = domains.estimate_bytes(shape, 2, 3, n, False)
    # a sweep with an excitation per rank is shared out, unless the whole grid
    # with its share of the sweep exceeds the cap; too few excitations: slabs
    assert domains.choose("auto", 2, 4, shape, 3, n, False) == "batch"
    assert domains.choose("auto", 2, 4, shape, 3, n, False, memory_cap=whole) == "batch"
    assert domains.choose("auto", 2, 4, shape, 3, n, False, memory_cap=whole - 1) == "domains"
    assert domains.choose("auto", 2, 1, shape, 3, n, False) == "domains"
    assert domains.choose("auto", 1, 1, shape, 3, n, False) == "none"
    with pytest.raises(vx.InputError, match="cannot be shared out"):
        domains.bounds(3, 4)
    # the adjoint is not carried by slabs: refused before anything runs
    monkeypatch.setattr(distributed, "world", lambda: (0, 2))
    eps = torch.tensor(4.0, requires_grad=True)
    st = vx.Stack([vx.Layer(0.2, vx.Medium(eps))], vx.Medium(1.0), vx.Medium(1.0))
    with pytest.raises(vx.InputError, match="split: --split domains does not carry the adjoint"):
        vx.spectrum(st, [0.9, 1.0], 20, split="domains")


@pytest.mark.parametrize("angles,message", [([], "angle_deg: an angle sweep needs"),
                                            ([10, 95], "angle_deg[1]: must be in [0, 90)")])
def test_angle_lists_are_checked(tmp_path, capsys, angles, message):
    path = tmp_path / "sweep.json"
    path.write_text(json.dumps(dict(SWEEP, angle_deg=angles)))
    assert cli.main(["spectrum", str(path), "--out", str(tmp_path / "o")]) == 2
    assert message in capsys.readouterr().err
