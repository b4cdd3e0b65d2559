"""Units, the time step and the errors every description raises.

Lengths are in a unit ``a`` chosen by the user, frequencies f in c/a, times
in a/c; ``resolution`` is the number of grid cells per a. Inside the kernels
everything is normalised to the cell: the cell size is 1, c = 1, so a time
step of ``courant`` cells/c, an angular frequency ω_cell = 2πf / resolution,
a conductivity σ_cell = σ / resolution and a relaxation time
τ_cell = τ·resolution. Fields vary as exp(−iωt).

The Courant number is c·dt/Δ. The 3-D Yee scheme is stable up to 1/√3;
larger values are refused. The default 0.5 is exact in float32.

Where a user names the length a (``length_unit``: a is one nm, µm, mm or
m), bands may also be given as vacuum wavelengths λ (in that unit) or as
photon energies E (eV). They are converted here, once, at the edge:
f = a/λ and f = E·a/(h·c), in c/a; nothing past the front ends sees them.
"""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

MAX_COURANT = 1.0 / math.sqrt(3.0)
LENGTH_UNITS = {"nm": 1e-3, "um": 1.0, "mm": 1e3, "m": 1e6}   # one unit, in µm
HC_EV_UM = 1.239841984       # h·c in eV·µm (CODATA 2018, exact h and c)
BAND_KINDS = ("frequency", "wavelength", "energy_eV")


class InputError(ValueError):
    """A description that cannot be simulated; the message starts with the
    offending field, for example ``layers[1].thickness: must be positive``."""

    def __init__(self, field: str, message: str):
        self.field = field
        self.message = message
        super().__init__(f"{field}: {message}" if field else message)

    def under(self, prefix: str, replace: str = "") -> "InputError":
        """The same error with the field's leading ``replace`` swapped for
        ``prefix`` (a description checked on its own, reported in place)."""
        rest = self.field[len(replace):] if replace and self.field.startswith(replace) else \
            ("." + self.field if self.field else "")
        return InputError(prefix + rest, self.message)


def require(ok: bool, field: str, message: str) -> None:
    if not ok:
        raise InputError(field, message)


def finite_number(value, field: str) -> float:
    """A real, finite number (bools refused), as float."""
    ok = isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, bool)
    require(ok, field, f"must be a number, got {value!r}")
    value = float(value)
    require(math.isfinite(value), field, f"must be finite, got {value}")
    return value


@dataclass(frozen=True)
class Units:
    """Cells per a and the Courant number; converts physical values to the
    kernels' cell units."""

    resolution: float
    courant: float = 0.5

    def __post_init__(self):
        r = finite_number(self.resolution, "resolution")
        require(r > 0, "resolution", f"must be positive, got {r}")
        c = finite_number(self.courant, "courant")
        require(0 < c <= MAX_COURANT, "courant",
                f"{c} is outside (0, 1/sqrt(3) = {MAX_COURANT:.6f}], the 3-D stability limit")
        object.__setattr__(self, "resolution", r)
        object.__setattr__(self, "courant", c)

    @property
    def dt(self) -> float:
        """Time step in cell units (c = 1, cell = 1)."""
        return self.courant

    @property
    def dt_a(self) -> float:
        """Time step in a/c."""
        return self.courant / self.resolution

    def cells(self, length):
        """A length in a, in cells."""
        return np.asarray(length, dtype=np.float64) * self.resolution

    def omega(self, f):
        """Angular frequency per cell time of a frequency f in c/a."""
        return 2 * np.pi * np.asarray(f, dtype=np.float64) / self.resolution

    def steps(self, time_a: float) -> int:
        """Number of steps covering a time in a/c."""
        return int(math.ceil(time_a / self.dt_a))


def to_frequency(values, kind: str, length_unit=None, field: str = "band") -> np.ndarray:
    """Band values as frequencies in c/a: ``kind`` is "frequency" (c/a
    already), "wavelength" (vacuum λ in ``length_unit``) or "energy_eV"
    (photon energy); the last two need ``length_unit``, the length a."""
    values = np.asarray(values, dtype=np.float64)
    require(kind in BAND_KINDS, field, f"must be one of {', '.join(BAND_KINDS)}, got {kind!r}")
    if kind == "frequency":
        return values
    require(length_unit is not None, field,
            f"a {kind.split('_')[0]} needs \"length_unit\" (what a is: "
            f"{', '.join(LENGTH_UNITS)})")
    require(length_unit in LENGTH_UNITS, "length_unit",
            f"must be one of {', '.join(LENGTH_UNITS)}, got {length_unit!r}")
    require(bool(np.all(values > 0)), field, "must be positive")
    # λ is in units of a already; an energy needs a in µm
    return 1.0 / values if kind == "wavelength" else values * LENGTH_UNITS[length_unit] / HC_EV_UM
