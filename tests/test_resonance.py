"""Resonances of stacks by harmonic inversion of a ring-down, against the
transfer matrix's line (centre and width)."""
import numpy as np
import pytest

import voxsim as vx
from voxsim.analytic import transfer_matrix
from voxsim.resonance import resonances

AIR, H, L = vx.Medium(1.0), vx.Medium(4.0), vx.Medium(2.25)


def cavity(pairs):
    mirror = [vx.Layer(0.125, H), vx.Layer(1 / 6, L)] * pairs
    return vx.Stack(mirror + [vx.Layer(1 / 3, L)] + mirror[::-1], AIR, AIR)


def tmm_line(stack, lo=0.97, hi=1.03):
    """Centre and Q (centre over full width at half maximum) of the
    transmission peak."""
    f = np.linspace(lo, hi, 60001)
    T = transfer_matrix(stack, f, np.zeros_like(f), "s")[1]
    k = int(np.argmax(T))
    half = f[T >= T[k] / 2]
    return f[k], f[k] / (half.max() - half.min())


@pytest.mark.slow
@pytest.mark.parametrize("pairs", [5, 8])
def test_microcavity_mode_matches_the_transfer_matrix_line(pairs):
    st = cavity(pairs)
    f0, Q0 = tmm_line(st)
    r = resonances(st, 0.9, 1.1, 40)
    assert r.converged and len(r.modes) == 1, r.modes
    f, Q = r.modes.frequency[0], r.modes.Q[0]
    print(f"{pairs} pairs: f = {f:.5f} (transfer matrix {f0:.5f}, |df| = {abs(f - f0):.1e}), "
          f"Q = {Q:.1f} (transfer matrix {Q0:.1f}, {abs(Q / Q0 - 1):.1%}); "
          f"{r.stats.steps} steps, error estimate {r.modes.error[0]:.1e}")
    assert abs(f - f0) < 5e-3
    assert abs(Q / Q0 - 1) < 0.1


def test_a_run_cut_short_says_so():
    with pytest.warns(vx.NotConvergedWarning, match="the structure: stopped after"):
        r = resonances(cavity(5), 0.9, 1.1, 24, max_time=30)
    assert not r.converged


def test_window_is_checked():
    with pytest.raises(vx.InputError, match="frequency"):
        resonances(cavity(2), 1.1, 0.9, 24)


@pytest.mark.parametrize("max_time,code", [(None, 0), (30, 3)])
def test_cli_writes_modes(tmp_path, max_time, code):
    import json
    from voxsim import cli
    st = cavity(5)
    data = {"resolution": 24, "frequency": {"min": 0.9, "max": 1.1, "count": 2},
            "incident": {"eps": 1},
            "layers": [{"thickness": l.thickness, "medium": {"eps": l.medium.eps}}
                       for l in st.layers]}
    if max_time:
        data["max_time"] = max_time
    path = tmp_path / "cavity.json"
    path.write_text(json.dumps(data))
    assert cli.main(["resonances", str(path), "--out", str(tmp_path / "out"), "--quiet"]) == code
    out = json.loads((tmp_path / "out" / "modes.json").read_text())
    assert out["converged"] is (code == 0) and out["window"] == [0.9, 1.1]
    if code == 0:
        (mode,) = out["modes"]
        assert abs(mode["frequency"] - 1) < 1e-2 and 80 < mode["Q"] < 120
    assert (tmp_path / "out" / "modes.png").stat().st_size > 10000
