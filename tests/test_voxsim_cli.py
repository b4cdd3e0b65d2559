"""python -m voxsim spectrum: a small run end to end, the shipped examples'
validity, and every kind of bad input refused with one line naming the
field, status 2 and nothing run."""
import json
import os
import subprocess
import sys

import pytest

import voxsim.spectra
from voxsim import cli
from voxsim.config import load_job

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GOOD = {"resolution": 40, "frequency": {"min": 0.6, "max": 1.2, "count": 4},
        "incident": {"eps": 1}, "substrate": {"eps": 2.25},
        "layers": [{"thickness": 0.1, "medium": {"eps": 3, "sigma": 0.1}}]}


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
    assert sorted(data) == ["R", "T", "angle_deg", "frequency"]
    assert len(data["frequency"]) == len(data["R"]) == len(data["T"]) == len(data["angle_deg"]) == 4
    assert all(0 < R < 1 for R in data["R"]) and data["angle_deg"] == [0.0] * 4
    assert (out / "spectrum.png").stat().st_size > 10000
    assert "cell updates/s" in r.stdout and "largest deviation from the transfer matrix" in r.stdout


@pytest.mark.parametrize("name", ["bragg_mirror.json", "drude_film.json"])
def test_shipped_examples_are_valid(name):
    job = load_job(os.path.join(ROOT, "examples", name))
    assert len(job.stack.layers) >= 2


def with_(path, value):
    """GOOD with the key at `path` (a tuple) set to value (None: removed)."""
    d = json.loads(json.dumps(GOOD))
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
    ("not json", "{resolution: 40", "not valid JSON"),
]


@pytest.mark.parametrize("case,data,message", BAD, ids=[b[0] for b in BAD])
def test_bad_input_is_one_line_naming_the_field(case, data, message, tmp_path, capsys,
                                                monkeypatch):
    def no_run(*a, **k):
        raise AssertionError("a run started on bad input")

    monkeypatch.setattr(voxsim.spectra, "spectrum", no_run)
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
