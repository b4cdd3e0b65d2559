"""voxsim spectra against the transfer-matrix method (continuum physics)
and against the exact time-harmonic solution of the discrete scheme (which
leaves only truncation and rounding, so a fault cannot hide behind the
scheme's numerical dispersion). Every test prints the errors it measured.
CPU, small columns (2 x 2 transverse samples)."""
import numpy as np
import pytest
import torch

import voxsim as vx
from voxsim.analytic import transfer_matrix, yee_normal_incidence
from voxsim.reflectance import check_resolution, node_permittivity, plane_wave

VAC, GLASS = vx.Medium(1.0), vx.Medium(2.25)
HIGH = vx.Medium(4.0)
F = np.linspace(0.5, 1.5, 21)


def errors(sp, s=0, m=0, stack=None):
    """max |R - R_tm|, |T - T_tm|, |A - A_tm| over the finite frequencies."""
    Ra, Ta = sp.analytic()
    R, T = sp.R[s, m], sp.T[s, m]
    ok = np.isfinite(R)
    dR = np.abs(R - Ra[s, m])[ok].max()
    dT = np.abs(T - Ta[s, m])[ok].max()
    dA = np.abs((1 - R - T) - (1 - Ra[s, m] - Ta[s, m]))[ok].max()
    return dR, dT, dA


def yee_error(sp, stack, m=0, s=0, **kw):
    eps, k_in, k_out, units = node_permittivity(stack, sp.frequency, sp.resolution, **kw)
    Rd, Td = yee_normal_incidence(eps, units.omega(sp.frequency), units.dt, k_in, k_out)
    return np.abs(sp.R[s, m] - Rd).max(), np.abs(sp.T[s, m] - Td).max()


def cells_per_wavelength(stack, f, resolution):
    return check_resolution([stack], f, vx.Units(resolution))


def test_lossless_slab_s_and_p_at_normal_incidence():
    slab = vx.Stack([vx.Layer(0.25, HIGH)], VAC, GLASS)
    r = 90
    cpw = cells_per_wavelength(slab, F, r)
    sp = vx.spectrum(slab, F, r, [plane_wave(F, "s"), plane_wave(F, "p")])
    for s in range(2):
        dR, dT, dA = errors(sp, s)
        yR, yT = yee_error(sp, slab, s=s)
        cons = np.abs(sp.A[s, 0]).max()
        print(f"slab {'sp'[s]}: {cpw:.0f} cells/wavelength: |dR| {dR:.2e} |dT| {dT:.2e} "
              f"|1-R-T| {cons:.2e}; against the discrete scheme {yR:.1e} {yT:.1e}")
        assert cpw >= 30
        assert dR <= 5e-3 and dT <= 5e-3
        assert cons <= 2e-3
        assert yR <= 3e-4 and yT <= 3e-4
    # s and p coincide at normal incidence
    assert np.abs(sp.R[0] - sp.R[1]).max() < 1e-5
    print(f"CPML reflection (self-check): {sp.cpml_reflection:.1e}")
    assert sp.cpml_reflection < 1e-6


def bragg(pairs=4):
    layers = []
    for _ in range(pairs):
        layers += [vx.Layer(0.125, HIGH), vx.Layer(1 / 6, GLASS)]
    return vx.Stack(layers, VAC, GLASS)


def test_bragg_mirror():
    # A 4-pair quarter-wave mirror: at its band edges the Yee scheme's phase
    # error (second order) shows most; 30 cells per wavelength leave ~7e-3
    # there, 57 leave ~2e-3. The discrete-scheme reference must match at
    # any resolution.
    st = bragg()
    f = np.linspace(0.5, 1.4, 37)
    r = 160
    cpw = cells_per_wavelength(st, f, r)
    sp = vx.spectrum(st, f, r)
    dR, dT, dA = errors(sp)
    yR, yT = yee_error(sp, st)
    cons = np.abs(sp.A).max()
    print(f"Bragg mirror: {cpw:.0f} cells/wavelength: |dR| {dR:.2e} |dT| {dT:.2e} "
          f"|1-R-T| {cons:.2e}; against the discrete scheme {yR:.1e} {yT:.1e}")
    assert cpw >= 30
    assert dR <= 5e-3 and dT <= 5e-3 and cons <= 2e-3
    assert yR <= 3e-4 and yT <= 3e-4
    assert sp.R[0, 0][np.argmin(abs(f - 1.0))] > 0.7    # the stop band


def test_lossy_and_dispersive_layers_in_one_batch():
    f = np.linspace(0.4, 1.4, 21)
    stacks = [
        vx.Stack([vx.Layer(0.2, vx.Medium(2.0, sigma=0.3))], VAC, GLASS),
        vx.Stack([vx.Layer(0.04, vx.Medium(1.0, 0, vx.Drude(2.0, 0.15)))], VAC, GLASS),
        vx.Stack([vx.Layer(0.2, vx.Medium(1.5, 0.02, vx.Lorentz(0.9, 0.6, 0.08)))], VAC, GLASS),
        vx.Stack([vx.Layer(0.2, vx.Medium(2.0, 0, vx.Debye(1.5, 0.2)))], VAC, GLASS),
    ]
    r = 80
    sp = vx.spectrum(stacks, f, r, offset=0.3)
    for m, st in enumerate(stacks):
        cpw = cells_per_wavelength(st, f, r)
        dR, dT, dA = errors(sp, 0, m)
        yR, yT = yee_error(sp, st, m=m, offset=0.3)
        print(f"{type(st.layers[0].medium.pole).__name__ if st.layers[0].medium.pole else 'sigma'}: "
              f"{cpw:.0f} cells/wavelength: |dR| {dR:.2e} |dT| {dT:.2e} |dA| {dA:.2e}; "
              f"against the discrete scheme {yR:.1e} {yT:.1e}")
        assert cpw >= 30
        assert max(dR, dT, dA) <= 5e-3
        assert yR <= 3e-4 and yT <= 3e-4
        assert np.nanmin(sp.A[0, m]) > 1e-3      # they absorb


def test_subcell_interfaces_converge():
    # interfaces inside cells at every resolution; each doubling must divide
    # the largest error by 3 (the error also depends on where in its cell an
    # interface falls, so single doublings scatter around the factor 4)
    st = vx.Stack([vx.Layer(0.2371, HIGH), vx.Layer(0.1533, vx.Medium(2.0))], VAC, GLASS)
    err = []
    for r in (30, 60, 120):
        sp = vx.spectrum(st, F, r, offset=0.37)
        err.append(max(errors(sp)[:2]))
    ratios = [err[0] / err[1], err[1] / err[2]]
    print("subcell convergence: max error " + " -> ".join(f"{e:.2e}" for e in err) +
          " (30, 60, 120 per a), ratios " + ", ".join(f"{q:.2f}" for q in ratios))
    assert min(ratios) >= 3


def test_oblique_incidence_s_and_p():
    st = vx.Stack([vx.Layer(0.25, HIGH)], VAC, GLASS)
    f = np.linspace(0.8, 1.2, 9)
    ex = [plane_wave(f, p, a) for p in "sp" for a in (30.0, 45.0)]
    sp = vx.spectrum(st, f, 60, ex)
    Ra, Ta = sp.analytic()
    c = np.argmin(abs(f - 1.0))
    for s, e in enumerate(ex):
        assert sp.angle_deg[s, c] == pytest.approx(e.angle_deg)
        dR, dT = abs(sp.R[s, 0, c] - Ra[s, 0, c]), abs(sp.T[s, 0, c] - Ta[s, 0, c])
        print(f"oblique {e.polarization} {e.angle_deg:g} deg at f_c: |dR| {dR:.1e} |dT| {dT:.1e}; "
              f"theta(f) {np.nanmin(sp.angle_deg[s]):.1f}..{np.nanmax(sp.angle_deg[s]):.1f} deg; "
              f"stopped by {sp.stats[0].stopped_by} after {sp.stats[0].steps} steps")
        assert dR <= 1e-2 and dT <= 1e-2


def test_frequencies_below_cut_off_are_left_out():
    ex = vx.PlaneWave(vx.GaussianPulse(1.0, 0.1), "s", 40.0)
    f = np.array([0.5, 0.6, 1.0])
    ang = ex.angle(f, VAC)
    assert np.isnan(ang[0]) and np.isfinite(ang[2])     # cut-off f_c sin(40) = 0.643
    assert ang[2] == pytest.approx(40.0)
    assert ex.angle(f, vx.Medium(2.25))[2] == pytest.approx(40.0)


def test_batched_sweep_equals_separate_runs_bitwise():
    # a thickness and permittivity sweep in one run (NM = 1 + 3) against
    # separate runs on the same grid (depth) and step count
    stacks = [vx.Stack([vx.Layer(t, vx.Medium(e))], VAC, GLASS)
              for t, e in ((0.2, 3.0), (0.25, 4.0), (0.3, 2.0))]
    f = np.linspace(0.6, 1.2, 5)
    kw = dict(steps=700, depth=0.3)
    batch = vx.spectrum(stacks, f, 30, [plane_wave(f, "s"), plane_wave(f, "p")], **kw)
    for m, st in enumerate(stacks):
        one = vx.spectrum(st, f, 30, [plane_wave(f, "s"), plane_wave(f, "p")], **kw)
        assert np.array_equal(batch.R[:, m], one.R[:, 0])
        assert np.array_equal(batch.T[:, m], one.T[:, 0])
    assert batch.R.shape == (2, 3, 5)


def test_current_sheet_radiates_equally_both_ways():
    # Inject_J through CurrentSource: a sheet of J_y in a vacuum column
    # radiates the same flux towards +z and -z
    from voxsim.boundaries import CPML
    from voxsim.monitors import DFTClock, FluxPlane
    from voxsim.simulation import DecayProbe, run, uniform_grid
    from voxsim.sources import CurrentSource, GaussianPulse
    units = vx.Units(40)
    grid = uniform_grid(units, (2, 2, 80), 1, VAC, CPML(), np.zeros(1), "cpu")
    src = CurrentSource(grid, GaussianPulse(1.0, 0.4), (0, 0, 40), (2, 2, 1), (0, 1, 0))
    clock = DFTClock(np.linspace(0.7, 1.3, 7), units, "cpu")
    up, down = FluxPlane(grid, 55, clock), FluxPlane(grid, 25, clock)
    run(grid, [src], [up, down], 4000, DecayProbe(after_step=400))
    fu, fd = up.flux()[0, 0], down.flux()[0, 0]
    asym = np.abs(fu + fd).max() / fu.max()
    print(f"current sheet: flux up {fu.min():.3g}..{fu.max():.3g}, |up + down|/up = {asym:.1e}")
    assert np.all(fu > 0) and asym < 1e-3
    with pytest.raises(vx.InputError, match="amplitude: .* imaginary parts"):
        CurrentSource(grid, GaussianPulse(1.0, 0.4), (0, 0, 40), (2, 2, 1), (0, 0.5j, 0))


def test_current_source_on_a_one_channel_grid():
    # One channel per sample (real fields, as the open box of isolated
    # objects has): the kernel feeds it from J's imaginary half, so the
    # source must put its real current there; the field injected equals
    # the real half of a two-channel grid's
    from voxsim.boundaries import CPML
    from voxsim.materials import MaterialGrid
    from voxsim.simulation import Grid, MediumTable
    from voxsim.sources import CurrentSource, GaussianPulse
    units = vx.Units(20)
    table = MediumTable()
    table.add(VAC)
    mats = MaterialGrid((6, 6, 6), 1, "cpu")
    t = table.tables(units, "cpu")
    mats.coefficients(t["perm"], t["cond"])
    got = []
    for channels in (2, 1):
        grid = Grid(units, (6, 6, 6), 1, mats, t, CPML(0), (False, False), np.zeros(1), "cpu",
                    channels=channels)
        src = CurrentSource(grid, GaussianPulse(1.0, 0.4), (2, 2, 2), (2, 1, 1), (0.5, 1, 0))
        src.start(40)
        for n in range(40):
            src.after_e(n)
        got.append([e[..., 0].clone() for e in grid.E])
    assert any(g.abs().max() > 0 for g in got[1])
    assert all(torch.equal(a, b) for a, b in zip(*got))


def test_grid_without_poles_divides_like_the_dispersive_completion():
    # a pole with no strength keeps the kernel's completion in the step (its
    # auxiliaries stay zero), the same layer without it takes the torch
    # division: the spectra agree to rounding
    ghost = vx.Medium(4.0, pole=vx.Lorentz(1.0, 0.0, 0.1))
    f = np.linspace(0.6, 1.2, 5)
    runs = [vx.spectrum(vx.Stack([vx.Layer(0.25, m)], VAC, GLASS), f, 30, steps=600)
            for m in (HIGH, ghost)]
    d = max(np.abs(runs[0].R - runs[1].R).max(), np.abs(runs[0].T - runs[1].T).max())
    print(f"torch division against the dispersive completion: {d:.1e}")
    assert d < 1e-6
