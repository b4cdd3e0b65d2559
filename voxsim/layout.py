"""The column along z and the unit cell across it: where the absorber, the
source, the monitor planes and the structures sit on the grid, the
standoffs that keep evanescent fields off the planes and the absorber, the
default absorber, and the resolution check.

Layout of the column along z (cells; npml = CPML thickness):
CPML | reflection plane k_R = npml + 2 | plane source between kp = k_R + 2
and kp + 1 | incident medium | first interface at z_top = kp + 3 + offset |
layers | substrate | transmission plane k_T (two cells past the deepest
stack) | CPML. Transversely the period is one cell (2 × 2 samples with their
ghost planes), periodic in y and Bloch-periodic in x.

Patterned stacks (a ``period``): transversely the grid is one unit cell,
Px × Py cells (px·resolution must be a whole number of cells; an axis along
which nothing varies keeps one cell), Bloch-periodic in x and periodic in
y, and the source and the monitor planes stand off the structure by a gap
in which every evanescent diffraction order decays by 100 in amplitude
(at most one period), so that they reach the CPML weakened. R and T are
then also resolved per diffraction order (``orders``): the order's power
through the plane (scattered field for R) over the incident flux, NaN
where the order does not propagate in that half-space.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional, Sequence, Tuple

import numpy as np

from .boundaries import CPML
from .geometry import Stack
from .media import Medium
from .units import Units, require


MIN_CELLS_PER_WAVELENGTH = 10.0
EVANESCENT_DECAY = 100.0        # amplitude factor of an evanescent order over the gap
MAX_GAP_PERIODS = 1.0
MAX_GAP_WAVELENGTHS = 2.0
CFS_ALPHA = 1.0                 # CPML at oblique incidence (``default_cpml``)
MAX_CPML_CELLS = 48


@dataclass(frozen=True)
class Layout:
    Nz: int
    k_R: int
    kp: int
    z_top: float
    z_bottom: np.ndarray
    k_T: int


def column_layout(stacks: Sequence[Stack], units: Units, cpml: CPML, offset: float,
                  depth: Optional[float] = None, gap=0) -> Layout:
    """z layout; ``gap`` (cells, or (above, below)) stands the source and
    the monitors off the structure, whose 3-D shapes may reach into the
    half-spaces."""
    gap_top, gap_bottom = (gap, gap) if np.isscalar(gap) else gap
    n = cpml.thickness
    k_R = n + 2
    kp = k_R + 2
    above = max([-s.extent()[0] for s in stacks] + [0.0])
    z_top = kp + 3 + gap_top + offset + math.ceil(float(units.cells(above)))
    z_bottom = z_top + units.cells([s.thickness for s in stacks])
    reach = z_top + units.cells([s.extent()[1] for s in stacks])
    deepest = max(float(reach.max()), z_top + float(units.cells(depth or 0.0)))
    k_T = int(math.ceil(deepest + 0.5)) + 1 + gap_bottom
    return Layout(k_T + 3 + n, k_R, kp, z_top, z_bottom, k_T)


@dataclass(frozen=True)
class Transverse:
    """The unit cell on the grid: ``cells`` (Px, Py) per period (1 along an
    axis on which nothing varies), ``period`` (px, py) in a or None."""

    cells: Tuple[int, int]
    period: Optional[Tuple[float, float]]

    @property
    def shape(self) -> Tuple[int, int]:
        return self.cells[0] + 1, self.cells[1] + 1

    def order_limit(self) -> Tuple[int, int]:
        return tuple((c - 1) // 2 for c in self.cells)


def transverse_layout(stacks: Sequence[Stack], units: Units) -> Transverse:
    period = stacks[0].period
    for i, st in enumerate(stacks):
        require(st.period == period, f"stacks[{i}].period",
                f"{st.period} differs from {period}: stacks of one batch share the unit cell")
    if period is None or not any(st.patterned for st in stacks):
        return Transverse((1, 1), period)
    cells = []
    for a in range(2):
        if all(st.invariant(a) for st in stacks):
            cells.append(1)
            continue
        c = period[a] * units.resolution
        require(abs(c - round(c)) < 1e-6 * max(1.0, c) and round(c) >= 2, f"period[{a}]",
                f"{period[a]:g} a is {c:.4g} cells at resolution {units.resolution:g}; the period "
                f"must be a whole number of cells (for example resolution "
                f"{max(2, round(c)) / period[a]:.6g})")
        cells.append(int(round(c)))
    return Transverse(tuple(cells), period)


def evanescent_gap(stacks, frequencies, units: Units, tv: Transverse, kx_list) -> Tuple[int, int]:
    """Cells (above, below) between the structure and the source / monitor
    planes, so that the evanescent fields of the band's frequencies reach
    the planes and the CPML weakened: in each half-space the
    slowest-decaying evanescent order (the diffraction orders of a
    periodic structure; the zero order of any structure beyond the
    critical angle) falls by EVANESCENT_DECAY in amplitude over the gap.
    At most ``max_gap`` (a): MAX_GAP_PERIODS periods of a periodic
    structure, MAX_GAP_WAVELENGTHS vacuum wavelengths of the lowest
    frequency for a layered one; at least 2 cells for a periodic structure,
    0 where nothing is evanescent."""
    f = np.asarray(frequencies, dtype=np.float64)
    k0 = 2 * math.pi * f
    patterned = tv.cells != (1, 1)
    if patterned:
        px, py = tv.period
        M, N = (min(c, 3) for c in tv.order_limit())
        cap = MAX_GAP_PERIODS * max(px, py)
    else:
        px = py = 1.0
        M = N = 0
        cap = MAX_GAP_WAVELENGTHS / float(f.min())
    out = []
    for side in ("incident", "substrate"):
        eps = {float(getattr(st, side).eps) for st in stacks}
        kappa = np.inf
        for kx in kx_list:
            for m in range(-M, M + 1):
                for n in range(-N, N + 1):
                    kt2 = (kx + 2 * math.pi * m / px) ** 2 + (2 * math.pi * n / py) ** 2
                    for e in eps:
                        k2 = kt2 - e * k0 ** 2
                        if (k2 > 0).any():
                            kappa = min(kappa, float(np.sqrt(k2[k2 > 0]).min()))
        dist = min(math.log(EVANESCENT_DECAY) / kappa, cap) if np.isfinite(kappa) else 0.0
        cells = int(math.ceil(dist * units.resolution))
        out.append(max(2, cells) if patterned else cells)
    if patterned:      # one standoff on both sides
        out = [max(out)] * 2
    return tuple(out)


def default_cpml(stacks, frequencies, units: Units, kx_list) -> CPML:
    """The CPML a run gets unless it names one: the plain layer (12 cells)
    at normal incidence. At oblique incidence (a Bloch wavevector kx) the
    complex-frequency-shifted layer, αmax = ``CFS_ALPHA``·ω of the lowest
    band frequency (cell units), 12/√cos θ cells thick (at most
    ``MAX_CPML_CELLS``), θ the most grazing propagation angle of the band in
    either half-space.

    Why: with kx fixed, a structure's bound modes (a film's guided modes,
    a metal's surface plasmon) and the fields near a half-space's cut-off
    lie below or at its light line; the pulse excites them a little, and
    their evanescent tails reach the absorber. The plain layer (σ only) does
    not damp such fields and, with a structure close to it, lets them grow
    (measured: a 50 nm ε 4 film in air at 80-85 deg, a Drude film lit from
    glass at 40 deg, growth by 10^15 and more). The frequency shift damps
    them (αmax = 0.5·ω still grew on the metal film at 40 deg; 1·ω and 2·ω
    did not); it reflects only below αmax, under the band. Grazing waves
    cross the layer at cos θ of their speed, hence the thicker layer
    (80 deg: the 12-cell layer cost 9e-3 in R, 24 cells 3e-3, the rest
    being the film's resolution)."""
    kx = np.asarray(kx_list, dtype=np.float64)
    if not np.any(kx != 0):
        return CPML()
    f = np.asarray(frequencies, dtype=np.float64)
    k0 = 2 * math.pi * f
    cos_min = 1.0
    for st in stacks:
        for med in (st.incident, st.substrate):
            k2 = float(med.eps) * k0[None, :] ** 2
            kz2 = k2 - kx[:, None] ** 2
            ok = kz2 > 0
            if ok.any():
                cos_min = min(cos_min, float(np.sqrt(kz2[ok] / np.broadcast_to(k2, kz2.shape)[ok]).min()))
    cells = int(min(MAX_CPML_CELLS, math.ceil(12 / math.sqrt(max(cos_min, 1e-6)))))
    omega = 2 * math.pi * float(f.min()) / units.resolution
    return CPML(thickness=cells, alpha_max=CFS_ALPHA * omega)


def densest_index(media: Sequence[Medium], frequencies) -> float:
    """max over media and frequencies of |n(f)|."""
    return float(max(np.abs(m.index(frequencies)).max() for m in media))


def check_resolution(stacks, frequencies, units: Units, field: str = "resolution"):
    """Fewest cells per wavelength, min over media and frequencies of
    resolution/(|n(f)|·f) (for a metal, |n| also sets the skin depth);
    below MIN_CELLS_PER_WAVELENGTH the run is refused."""
    return check_media([m for st in stacks for m in st.media()], frequencies, units, field)


def check_media(media: Sequence[Medium], frequencies, units: Units, field: str = "resolution"):
    """``check_resolution`` over a list of media (isolated objects and their
    background)."""
    f = np.atleast_1d(np.asarray(frequencies, dtype=np.float64))
    nf = np.array([np.abs(m.index(f)) * f for m in media])     # [media, NF]
    i, j = np.unravel_index(np.argmax(nf), nf.shape)
    cpw = units.resolution / nf[i, j]
    need = MIN_CELLS_PER_WAVELENGTH * nf[i, j]
    require(cpw >= MIN_CELLS_PER_WAVELENGTH, field,
            f"{units.resolution:g} cells per a gives {cpw:.1f} cells per wavelength in the densest "
            f"medium (|n| = {nf[i, j] / f[j]:.3g} at f = {f[j]:g}); at least "
            f"{MIN_CELLS_PER_WAVELENGTH:g} are needed (resolution >= {need:.3g})")
    return cpw
