"""Flux planes: the blocked DFT sum (a ring of plane samples folded into all
frequencies once per block) against the step-by-step kernel sum, and both
against a float64 sum of the recorded plane samples with exact weights
(E at t = (n+1)·dt, H at t = (n+½)·dt). Prints the errors it measured.
CPU; a 6 x 5 x 60 column with an off-centre current patch, NS = 2 Bloch
phases, NM = 2 slices (the second with glass below the plane)."""
import numpy as np
import pytest
import torch

import voxsim as vx
from voxsim.boundaries import CPML
from voxsim.materials import COMPONENTS, MaterialGrid
from voxsim.monitors import DFTClock, FluxPlane, KernelFluxPlane
from voxsim.simulation import Grid, MediumTable, run
from voxsim.sources import CurrentSource, GaussianPulse

SHAPE, K = (6, 5, 60), 40
F = np.linspace(0.7, 1.3, 7)


def column(kx):
    units = vx.Units(20)
    table = MediumTable()
    table.add(vx.Medium(1.0))
    table.add(vx.Medium(2.25))
    mats = MaterialGrid(SHAPE, 2, "cpu")
    for c in COMPONENTS:
        mats.comp[c].id_map[1, :, :, 45:] = 1
        mats.comp[c].prev_id_map[1, :, :, 45:] = 1
    t = table.tables(units, "cpu")
    mats.coefficients(t["perm"], t["cond"])
    grid = Grid(units, SHAPE, len(kx), mats, t, CPML(), (True, True), np.array(kx), "cpu")
    amp = (1, 0.5j, 0) if grid.complex_fields else (1, 0.5, 0)
    src = CurrentSource(grid, GaussianPulse(1.0, 0.4), (2, 1, 25), (2, 1, 1), amp)
    return units, grid, src


def exact(clock, t):
    """exp(iωt)·dt at times t (float64 numpy), [len(t), NF]."""
    return np.exp(1j * np.outer(t, clock.omega)) * clock.dt


class Recorder:
    """Records Ex, Ey, Hx, Hy on the plane's unique samples every step (their
    DFT in float64 with exact weights: ``dft``), and reads `plane`'s fields
    at the steps `reads` of the run."""

    def __init__(self, grid, k, plane, reads):
        Nx, Ny, _ = grid.shape
        sl = (slice(None), slice(None), slice(1, Nx), slice(1, Ny), k)
        self.planes = [t[sl] for t in (grid.E[0], grid.E[1], grid.H[0], grid.H[1])]
        self.samples, self.plane, self.reads = [], plane, reads

    def start(self, max_steps):
        pass

    def update(self, n):
        self.samples.append([p[..., 0].double() + 1j * p[..., 1].double() for p in self.planes])
        if n in self.reads:
            self.plane.fields()

    def dft(self, clock, complex_fields):
        out = []
        for c, offset in enumerate((1.0, 1.0, 0.5, 0.5)):
            w = torch.tensor(exact(clock, (np.arange(len(self.samples)) + offset) * clock.dt))
            f = torch.stack([s[c] for s in self.samples])
            f = f if complex_fields else f.real.to(torch.complex128)
            out.append(torch.einsum("nsmij,nf->smijf", f, w))
        return out


MANY = np.linspace(0.4, 1.6, 150)      # more than the basis samples the band at

CASES = {  # kx per excitation, steps, block, steps with a read mid-run, frequencies
    "real fields, stop inside a block": ([0.0, 0.0], 337, None, (), F),
    "complex fields, stop on a block end, read mid-run": ([0.1, 0.3], 256, None, (100,), F),
    "small blocks, reads at and around a block end": ([0.1, 0.3], 301, 8, (6, 7, 8, 150), F),
    "many frequencies": ([0.1, 0.3], 337, None, (), MANY),
    "long run": ([0.1, 0.3], 3000, None, (), F),
}


@pytest.mark.parametrize("kx, steps, block, reads, freqs", CASES.values(), ids=CASES.keys())
def test_blocked_sum_against_every_step_and_float64_sums(kx, steps, block, reads, freqs):
    units, grid, src = column(kx)
    clock = DFTClock(freqs, units, "cpu")
    new = FluxPlane(grid, K, clock, block)
    old, rec = KernelFluxPlane(grid, K, clock), Recorder(grid, K, new, reads)
    run(grid, [src], [new, old, rec], steps)
    exact = rec.dft(clock, grid.complex_fields)
    fields = new.fields()
    for name, a, b, r in zip(("Ex", "Ey", "Hx", "Hy"), fields, old.fields(), exact):
        scale = r.abs().max()
        d, e_new, e_old = ((x - y).abs().max() / scale for x, y in ((a, b), (a, r), (b, r)))
        print(f"{steps} steps, {name}: |blocked - every step| {d:.1e}; against float64: "
              f"blocked {e_new:.1e}, every step {e_old:.1e} (relative to the largest value)")
        assert e_new <= 1e-6
        # where the step-by-step float32 sum is itself that close to the
        # exact one the two agree to 1e-6; its rounding grows with the steps
        # and the frequencies, while the blocked sum keeps its float32
        # rounding within a block, and is then the closer one
        if e_old <= 8e-7:
            assert d <= 1e-6
        else:
            assert e_new < e_old
    flux_new, flux_old = new.flux(), old.flux()
    d = np.abs(flux_new - flux_old).max() / np.abs(flux_old).max()
    print(f"flux: |blocked - every step| / max = {d:.1e}")
    assert d <= 1e-6 and not np.array_equal(flux_new[:, 0], flux_new[:, 1])
    # reading again adds nothing
    assert all(torch.equal(x, y) for x, y in zip(fields, new.fields()))


@pytest.mark.parametrize("resolution, band, NF, block, n0", [
    (20, (0.7, 1.3), 7, 256, 0),         # the basis from every frequency
    (20, (0.4, 1.6), 400, 256, 1234),    # from the band sampled
    (1, (0.05, 0.95), 300, 256, 77),     # the sampled band falls short: every frequency
    (20, (0.4, 1.6), 400, 8, 5),
])
def test_block_weights_factor_into_basis_and_phase(resolution, band, NF, block, n0):
    # U·factors(n0) against exp(iωt)·dt at t = (n0 + j + 1)·dt (E) and
    # (n0 + j + ½)·dt (H), in float64
    units = vx.Units(resolution)
    clock = DFTClock(np.linspace(*band, NF), units, "cpu")
    U = clock.basis(block)
    U = torch.view_as_complex(U.view(block, -1, 2)).to(torch.complex128)
    t = (n0 + np.arange(block)) * units.dt
    for name, V, offset in zip("EH", clock.factors(block, n0), (1.0, 0.5)):
        err = np.abs((U @ V).numpy() - exact(clock, t + offset * units.dt)).max() / units.dt
        print(f"{NF} frequencies, block {block}: rank {U.shape[1]}, {name} weights to {err:.1e}")
        assert err < 2e-7


def test_block_must_be_a_positive_step_count():
    units, grid, _ = column([0.0])
    with pytest.raises(ValueError, match="block"):
        FluxPlane(grid, K, DFTClock(F, units, "cpu"), block=0)
