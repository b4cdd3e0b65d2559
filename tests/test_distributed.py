"""Runs over two processes (torchrun, gloo on the CPU): an angle sweep shared
out over the ranks writes what one process writes."""
import json
import os
import subprocess
import sys

import numpy as np
import pytest

from voxsim import cli

SWEEP = {"resolution": 30, "frequency": {"min": 0.8, "max": 1.2, "count": 5},
         "incident": {"eps": 1}, "substrate": {"eps": 2.25}, "angle_deg": [0, 15, 30, 45],
         "polarization": "p", "layers": [{"thickness": 0.1, "medium": {"eps": 6}}]}


def rows(a):
    return np.array([[np.nan if v is None else v for v in r] for r in a])


def test_angle_sweep_on_two_ranks_equals_one_process(tmp_path):
    path = tmp_path / "sweep.json"
    path.write_text(json.dumps(SWEEP))
    assert cli.main(["spectrum", str(path), "--out", str(tmp_path / "one"), "--quiet"]) == 0
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p),
               OMP_NUM_THREADS="1")
    r = subprocess.run([sys.executable, "-m", "torch.distributed.run", "--standalone",
                        "--nproc-per-node", "2", "-m", "voxsim", "spectrum", str(path), "--out",
                        str(tmp_path / "two"), "--quiet", "--split", "batch"],
                       capture_output=True, text=True, env=env, timeout=600)
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stdout.count("wrote ") == 1                  # rank 0 alone speaks
    one = json.loads((tmp_path / "one" / "spectrum.json").read_text())
    two = json.loads((tmp_path / "two" / "spectrum.json").read_text())
    assert one["angles_deg"] == two["angles_deg"] == SWEEP["angle_deg"]
    assert one["converged"] and two["converged"]
    for key in ("R", "T", "angle_deg"):
        a, b = rows(one[key]), rows(two[key])
        assert a.shape == (4, 5) and np.array_equal(np.isnan(a), np.isnan(b))
        d = np.nanmax(np.abs(a - b))
        print(f"{key}: two ranks against one process, largest difference {d:.1e}")
        assert d <= 1e-6


def test_domains_split_is_refused(tmp_path, capsys):
    path = tmp_path / "sweep.json"
    path.write_text(json.dumps(SWEEP))
    code = cli.main(["spectrum", str(path), "--out", str(tmp_path / "o"), "--split", "domains"])
    assert code == 2 and "--split domains" in capsys.readouterr().err
    assert not (tmp_path / "o").exists()


@pytest.mark.parametrize("angles,message", [([], "angle_deg: an angle sweep needs"),
                                            ([10, 95], "angle_deg[1]: must be in [0, 90)")])
def test_angle_lists_are_checked(tmp_path, capsys, angles, message):
    path = tmp_path / "sweep.json"
    path.write_text(json.dumps(dict(SWEEP, angle_deg=angles)))
    assert cli.main(["spectrum", str(path), "--out", str(tmp_path / "o")]) == 2
    assert message in capsys.readouterr().err
