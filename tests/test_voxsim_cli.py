"""python -m voxsim spectrum: a small run end to end, the shipped examples'
validity, and every kind of bad input refused with one line naming the
field, status 2 and nothing run."""
import json
import math
import os
import subprocess
import sys

import pytest

import voxsim.reflectance
from voxsim import cli
from voxsim.config import load_job

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GOOD = {"resolution": 40, "frequency": {"min": 0.6, "max": 1.2, "count": 4},
        "incident": {"eps": 1}, "substrate": {"eps": 2.25},
        "layers": [{"thickness": 0.1, "medium": {"eps": 3, "sigma": 0.1}}]}


# a 1-D grating (a rectangle spanning the cell in y) and a hole, coarse
GRATING = {"resolution": 20, "frequency": {"min": 0.75, "max": 0.9, "count": 3},
           "incident": {"eps": 1}, "substrate": {"eps": 2.25}, "period": [1.0, 0.5],
           "layers": [{"thickness": 0.2, "pattern": {"background": {"eps": 1}, "shapes": [
               {"kind": "rectangle", "center": [0.5, 0.25], "size": [0.5, 0.5],
                "medium": {"eps": 2.25}}]}},
               {"thickness": 0.1, "pattern": {"background": {"eps": 2.25}, "shapes": [
                   {"kind": "circle", "center": [0, 0], "radius": 0.2, "medium": {"eps": 1}},
                   {"kind": "polygon", "vertices": [[0.4, 0.1], [0.6, 0.1], [0.5, 0.3]],
                    "medium": {"eps": 1.5}}]}}]}


BANDLESS = {k: v for k, v in GOOD.items() if k != "frequency"}


def write(tmp_path, data, name="stack.json"):
    p = tmp_path / name
    p.write_text(data if isinstance(data, str) else json.dumps(data))
    return str(p)


def test_spectrum_command_writes_json_and_png(tmp_path):
    out = tmp_path / "out"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    r = subprocess.run([sys.executable, "-m", "voxsim", "spectrum", write(tmp_path, GOOD),
                        "--out", str(out), "--quiet"], capture_output=True, text=True, env=env,
                       timeout=300)
    print(r.stdout)
    assert r.returncode == 0, r.stderr
    data = json.loads((out / "spectrum.json").read_text())
    assert sorted(data) == ["R", "T", "angle_deg", "converged", "frequency"]
    assert data["converged"] is True
    assert len(data["frequency"]) == len(data["R"]) == len(data["T"]) == len(data["angle_deg"]) == 4
    assert all(0 < R < 1 for R in data["R"]) and data["angle_deg"] == [0.0] * 4
    assert (out / "spectrum.png").stat().st_size > 10000
    assert "cell updates/s" in r.stdout and "largest deviation from the transfer matrix" in r.stdout


def test_grating_spectrum_has_orders(tmp_path):
    out = tmp_path / "out"
    grating = with_(("layers",), GRATING["layers"][:1], GRATING)     # the 1-D grating alone
    assert cli.main(["spectrum", write(tmp_path, grating), "--out", str(out), "--quiet"]) == 0
    data = json.loads((out / "spectrum.json").read_text())
    assert sorted(data) == ["R", "T", "angle_deg", "converged", "frequency", "orders"]
    orders = {tuple(o["order"]): o for o in data["orders"]}
    # in glass the first orders propagate above f = 1/1.5; in air none does
    assert set(orders) == {(0, 0), (-1, 0), (1, 0)}
    assert all(math.isnan(r) for r in orders[(1, 0)]["R"])
    assert all(t > 0 for t in orders[(1, 0)]["T"])
    total = [sum(o["T"][i] for o in data["orders"]) for i in range(3)]
    assert total == pytest.approx(data["T"], abs=1e-6)
    assert (out / "spectrum.png").stat().st_size > 10000


def test_index_and_wavelength_band_against_the_transfer_matrix(tmp_path):
    # a lossy film by n + ik, the band as vacuum wavelengths in µm (a = 1 µm)
    import numpy as np
    import tmm
    n, k, d = 1.8, 0.05, 0.12
    job = {"resolution": 60, "length_unit": "um",
           "wavelength": {"min": 0.9, "max": 1.3, "count": 5},
           "incident": {"n": 1}, "substrate": {"n": 1.5},
           "layers": [{"thickness": d, "medium": {"n": n, "k": k}}]}
    out = tmp_path / "out"
    assert cli.main(["spectrum", write(tmp_path, job), "--out", str(out), "--quiet"]) == 0
    data = json.loads((out / "spectrum.json").read_text())
    lam = np.array(data["wavelength"])
    assert lam.tolist() == pytest.approx([1.3, 1.2, 1.1, 1.0, 0.9])    # increasing frequency
    assert np.allclose(data["frequency"], 1 / lam, rtol=1e-15)
    # the film holds n + ik exactly at the band's centre frequency, and there
    # its ε(f) is a conductivity's: the oracle takes the same ε(f)
    f_ref = 0.5 * (1 / 0.9 + 1 / 1.3)
    eps = (n * n - k * k) + 1j * 2 * n * k * f_ref / np.array(data["frequency"])
    ref = [tmm.coh_tmm("s", [1, np.sqrt(e), 1.5], [np.inf, d, np.inf], 0, l)
           for e, l in zip(eps, lam)]
    dR = np.abs(np.array(data["R"]) - [r["R"] for r in ref]).max()
    dT = np.abs(np.array(data["T"]) - [r["T"] for r in ref]).max()
    print(f"film n = {n} + {k}i over 0.9-1.3 um: |dR| {dR:.1e}, |dT| {dT:.1e} against tmm")
    assert dR < 3e-3 and dT < 3e-3


def test_energy_band_and_nanometre_lengths_convert_at_the_edge():
    from voxsim.config import parse_job
    # 1.239841984 eV is a 1 µm photon: f = 1 c/a with a = 1 µm
    ev = parse_job({**BANDLESS, "length_unit": "um",
                    "energy_eV": {"min": 1.239841984, "max": 2.479683968, "count": 3}})
    assert ev.frequencies == pytest.approx([1.0, 1.5, 2.0], rel=1e-12)
    assert ev.band[0] == "energy_eV" and ev.band[1][0] == pytest.approx(1.239841984)
    # with a = 1 nm, a 500 nm wavelength is f = 1/500 c/a
    nm = parse_job({**BANDLESS, "resolution": 0.4, "length_unit": "nm",
                    "wavelength": {"min": 500, "max": 1000, "count": 2},
                    "layers": [{"thickness": 100, "medium": {"eps": 3}}]})
    assert nm.frequencies == pytest.approx([1e-3, 2e-3], rel=1e-12)


@pytest.mark.parametrize("name", ["bragg_mirror.json", "drude_film.json", "grating.json",
                                  "ar_coating_nm.json"])
def test_shipped_examples_are_valid(name):
    job = load_job(os.path.join(ROOT, "examples", name))
    assert len(job.stack.layers) >= 1


def with_(path, value, base=GOOD):
    """`base` with the key at `path` (a tuple) set to value (None: removed)."""
    d = json.loads(json.dumps(base))
    node = d
    for k in path[:-1]:
        node = node[k]
    if value is None:
        del node[path[-1]]
    else:
        node[path[-1]] = value
    return d


BAD = [
    ("unknown key", with_(("colour",), "red"), "colour: unknown key"),
    ("unknown medium key", with_(("layers", 0, "medium", "mu"), 2), "layers[0].medium.mu: unknown key"),
    ("negative thickness", with_(("layers", 0, "thickness"), -0.1), "layers[0].thickness: must be positive"),
    ("eps zero", with_(("layers", 0, "medium", "eps"), 0), "layers[0].medium.eps: must be positive"),
    ("eps negative substrate", with_(("substrate", "eps"), -2), "substrate.eps: must be positive"),
    ("missing resolution", with_(("resolution",), None), "resolution: missing"),
    ("missing thickness", with_(("layers", 0, "thickness"), None), "layers[0].thickness: missing"),
    ("missing eps", with_(("incident", "eps"), None), "incident.eps: missing"),
    ("too coarse", with_(("resolution",), 5), "resolution: 5 cells per a gives"),
    ("two poles", with_(("layers", 0, "medium", "pole"),
                        [{"kind": "drude", "fp": 1, "gamma": 0.1},
                         {"kind": "debye", "delta_eps": 1, "tau": 1}]),
     "layers[0].medium.pole: 2 poles given"),
    ("bad pole kind", with_(("layers", 0, "medium", "pole"), {"kind": "sellmeier"}),
     "layers[0].medium.pole.kind: must be one of"),
    ("pole field missing", with_(("layers", 0, "medium", "pole"), {"kind": "drude", "fp": 1}),
     "layers[0].medium.pole.gamma: missing"),
    ("lossy incident", with_(("incident", "sigma"), 0.1), "incident: must be lossless"),
    ("bad frequency", with_(("frequency", "max"), 0.1), "frequency.max: must be >="),
    ("bad count", with_(("frequency", "count"), 0), "frequency.count: must be a positive integer"),
    ("bad polarisation", with_(("polarization",), "x"), "polarization: must be"),
    ("bad angle", with_(("angle_deg",), 95), "angle_deg: must be in [0, 90)"),
    ("string number", with_(("resolution",), "40"), "resolution: must be a number"),
    ("unstable courant", with_(("courant",), 0.7), "courant: 0.7 is outside"),
    ("negative max_time", with_(("max_time",), -1), "max_time: must be positive"),
    ("decay_by one", with_(("decay_by",), 1), "decay_by: must be in (0, 1)"),
    ("not json", "{resolution: 40", "not valid JSON"),
    ("pattern without period", with_(("period",), None, GRATING), "period: required"),
    ("medium and pattern", with_(("layers", 0, "medium"), {"eps": 2}, GRATING),
     "layers[0].medium: a layer needs either"),
    ("bad period", with_(("period",), [1.0], GRATING), "period: must be [px, py]"),
    ("period not whole cells", with_(("period", 0), 1.01, GRATING),
     "period[0]: 1.01 a is 20.2 cells"),
    ("unknown shape", with_(("layers", 1, "pattern", "shapes", 0, "kind"), "star", GRATING),
     "layers[1].pattern.shapes[0].kind: must be one of"),
    ("negative radius", with_(("layers", 1, "pattern", "shapes", 0, "radius"), -0.1, GRATING),
     "layers[1].pattern.shapes[0].radius: must be positive"),
    ("flat polygon", with_(("layers", 1, "pattern", "shapes", 1, "vertices"),
                           [[0, 0], [1, 0], [2, 0]], GRATING),
     "layers[1].pattern.shapes[1].vertices: the polygon has no area"),
    ("shape medium", with_(("layers", 0, "pattern", "shapes", 0, "medium", "eps"), -1, GRATING),
     "layers[0].pattern.shapes[0].medium.eps: must be positive"),
    ("missing background", with_(("layers", 0, "pattern", "background"), None, GRATING),
     "layers[0].pattern.background: missing"),
    ("k without n", with_(("layers", 0, "medium"), {"k": 0.1}), "layers[0].medium.k: needs \"n\""),
    ("n and eps", with_(("substrate", "n"), 1.5), "substrate.eps: give either \"n\""),
    ("k above n", with_(("layers", 0, "medium"), {"n": 1, "k": 2}), "layers[0].medium.k: 2 >= n"),
    ("no band", with_(("frequency",), None), "frequency: missing"),
    ("two bands", with_(("wavelength",), {"min": 1, "max": 2, "count": 2}),
     "wavelength: the band is already given by \"frequency\""),
    ("wavelength without unit", {**BANDLESS, "wavelength": {"min": 1, "max": 2, "count": 2}},
     "wavelength: a wavelength needs \"length_unit\""),
    ("bad length unit", {**BANDLESS, "length_unit": "inch",
                         "energy_eV": {"min": 1, "max": 2, "count": 2}},
     "length_unit: must be one of nm, um, mm, m"),
    ("negative wavelength", {**BANDLESS, "length_unit": "um",
                             "wavelength": {"min": -1, "max": 2, "count": 2}},
     "wavelength.min: must be positive"),
]


@pytest.mark.parametrize("case,data,message", BAD, ids=[b[0] for b in BAD])
def test_bad_input_is_one_line_naming_the_field(case, data, message, tmp_path, capsys,
                                                monkeypatch):
    def no_run(*a, **k):
        raise AssertionError("a run started on bad input")

    monkeypatch.setattr(voxsim.reflectance, "run_stacks", no_run)
    code = cli.main(["spectrum", write(tmp_path, data), "--out", str(tmp_path / "out")])
    err = capsys.readouterr().err
    assert code == 2
    assert err.count("\n") == 1 and err.startswith("error: ")
    assert message in err, err
    assert not (tmp_path / "out").exists()


def test_missing_file(tmp_path, capsys):
    assert cli.main(["spectrum", str(tmp_path / "none.json"), "--out", str(tmp_path)]) == 2
    assert "cannot read" in capsys.readouterr().err


def test_readme_sweep_example_runs(tmp_path, monkeypatch):
    # as written, on a coarser grid and fewer frequencies (same API calls)
    import re
    readme = open(os.path.join(ROOT, "README.md")).read()
    code = re.search(r"## voxsim.*?```python\n(.*?)```", readme, re.S).group(1)
    code = code.replace("resolution=60", "resolution=30").replace("1.2, 41)", "1.2, 5)")
    code = code.replace("[0, :, 20]", "[0, :, 2]").replace("(0.05, 0.12, 8)", "(0.05, 0.12, 2)")
    monkeypatch.chdir(tmp_path)
    scope = {}
    exec(compile(code, "README.md", "exec"), scope)
    assert scope["sp"].R.shape == (2, 2, 5)
    assert (tmp_path / "sweep.png").exists()


def test_readme_shapes_example_runs(tmp_path, monkeypatch):
    # as written, on a coarser grid, fewer frequencies and a fixed step count
    import re
    readme = open(os.path.join(ROOT, "README.md")).read()
    code = re.search(r"### Patterned layers.*?```python\n(.*?)```", readme, re.S).group(1)
    code = code.replace("resolution=40)", "resolution=20, steps=150)").replace("0.45, 31)", "0.45, 3)")
    monkeypatch.chdir(tmp_path)
    scope = {}
    exec(compile(code, "README.md", "exec"), scope)
    assert scope["sp"].orders == [(0, 0)]
    assert (tmp_path / "holes.png").exists()


def test_low_level_example_runs(capsys):
    import runpy
    runpy.run_path(os.path.join(ROOT, "examples", "low_level.py"), run_name="__main__")
    out = capsys.readouterr().out
    assert "stopped by decay, converged True" in out
    ratios = [float(line.rsplit("= ", 1)[1]) for line in out.splitlines() if "|up + down|" in line]
    assert len(ratios) == 5 and max(ratios) < 1e-4
