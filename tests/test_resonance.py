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


def tmm_line(stack, lo=0.97, hi=1.03, kx=0.0, pol="s"):
    """Centre and Q (centre over full width at half maximum) of the
    transmission peak, at in-plane wavevector kx (rad/a; the angle follows
    the frequency)."""
    f = np.linspace(lo, hi, 60001)
    T = transfer_matrix(stack, f, np.degrees(np.arcsin(kx / (2 * np.pi * f))), pol)[1]
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


@pytest.mark.slow
@pytest.mark.parametrize("pol", ["s", "p"])
def test_microcavity_modes_at_a_bloch_wavevector(pol):
    """Bloch-periodic x faces at a fixed k: the TE and TM lines move up and
    their widths part (Q 137 and 82 at k = 3 rad/a, against 98 at k = 0)."""
    st, k = cavity(5), 3.0
    f0, Q0 = tmm_line(st, 1.0, 1.08, k, pol)
    sim = vx.Simulation(st, [0.9, 1.1], 40, boundaries={"x": vx.Bloch(k)})
    r = sim.resonances(polarization=pol)
    assert r.converged and len(r.modes) == 1, r.modes
    f, Q = r.modes.frequency[0], r.modes.Q[0]
    print(f"{pol} at k = {k}: f = {f:.5f} (transfer matrix {f0:.5f}, |df| = {abs(f - f0):.1e}), "
          f"Q = {Q:.1f} (transfer matrix {Q0:.1f}, {abs(Q / Q0 - 1):.1%})")
    assert abs(f - f0) < 5e-3
    assert abs(Q / Q0 - 1) < 0.05


def test_probes_placed_by_the_user():
    """One probe at the cavity's centre (its antinode) sees the mode."""
    st = cavity(3)
    f0, Q0 = tmm_line(st)
    r = vx.Simulation(st, [0.9, 1.1], 24, monitors=[vx.Probe((0.3, 0.7, st.thickness / 2))]
                      ).resonances()
    assert r.signals.shape[1] == 1 and len(r.modes) == 1
    print(f"f = {r.modes.frequency[0]:.5f} (transfer matrix {f0:.5f}), "
          f"Q = {r.modes.Q[0]:.1f} ({Q0:.1f})")
    assert abs(r.modes.frequency[0] - f0) < 1e-2 and abs(r.modes.Q[0] / Q0 - 1) < 0.1


def test_a_run_cut_short_says_so():
    with pytest.warns(vx.NotConvergedWarning, match="the structure: stopped after"):
        r = resonances(cavity(5), 0.9, 1.1, 24, max_time=30)
    assert not r.converged


def test_window_is_checked():
    with pytest.raises(vx.InputError, match="frequency"):
        resonances(cavity(2), 1.1, 0.9, 24)
    with pytest.raises(vx.InputError, match="frequency.max: the search window"):
        vx.Simulation(cavity(2), [1.0], 24).resonances()      # one frequency: no window


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


def fano_line(f, T):
    """Centre and Q of |A + B/(f − f0 + iγ)|², fitted to a sampled
    transmission (A, B complex: the background and the resonance)."""
    from scipy.optimize import least_squares

    def residual(p):
        A, B = p[0] + 1j * p[1], p[2] + 1j * p[3]
        return np.abs(A + B / (f - p[4] + 1j * p[5])) ** 2 - T

    fits = [least_squares(residual, [0.5, 0.0, 1e-3, 1e-3, f0, 1e-3])
            for f0 in np.linspace(f[0], f[-1], 9)]
    best = min(fits, key=lambda r: r.cost)
    return best.x[4], best.x[4] / (2 * abs(best.x[5]))


@pytest.mark.slow
def test_photonic_crystal_slab_resonance_matches_rcwa():
    """A guided resonance of a photonic-crystal slab (ε 12, air holes of
    radius 0.2 a, 0.5 a thick, square lattice) seen at normal incidence:
    the ring-down's mode against a Fano fit of the transmission computed by
    rigorous coupled-wave analysis (meent). The window also holds a
    symmetry-protected (dark) mode, which never decays: the run is cut at
    400 a/c and says so."""
    import warnings
    from rcwa_reference import raster, rcwa
    from voxsim.shapes import Circle, Pattern
    slab = vx.Stack([vx.Layer(0.5, Pattern(vx.Medium(12.0),
                                           [Circle([0.5, 0.5], 0.2, vx.Medium(1.0))]))],
                    AIR, AIR, period=(1.0, 1.0))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vx.NotConvergedWarning)
        res = resonances(slab, 0.40, 0.42, 16, max_time=400)
    m = res.modes
    f = np.linspace(0.408, 0.419, 23)
    eps = raster([{"kind": "circle", "center": [0.5, 0.5], "radius": 0.2, "eps": 1.0}], 12.0,
                 (1.0, 1.0), (64, 64))
    f0, Q0 = fano_line(f, rcwa(f, (1.0, 1.0), [(0.5, eps)], 1.0, 1.0, "s",
                               harmonics=(4, 4))["T_total"])
    k = int(np.argmin(np.abs(m.frequency - f0)))
    df, dQ = m.frequency[k] / f0 - 1, m.Q[k] / Q0 - 1
    print(f"slab mode f {m.frequency[k]:.5f} Q {m.Q[k]:.1f}; RCWA line f {f0:.5f} Q {Q0:.1f}: "
          f"f {df:+.2%}, Q {dQ:+.1%} (16 cells per a)")
    assert abs(df) < 0.015 and abs(dQ) < 0.2
