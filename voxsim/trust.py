"""What a run knows about itself: whether its fields decayed, whether they
diverged, whether energy balances.

- ``NotConvergedWarning`` (a ``UserWarning``): a run stopped (at its
  ``max_time`` or safety cap, or after a fixed number of steps) before the
  fields at its monitors had decayed by ``decay_by``. The results are
  returned, marked (``Spectrum.converged``), and the warning names the
  structure, the decay reached and an estimate of the time still needed.
- ``DivergenceError`` (a ``FloatingPointError``): the fields turned
  non-finite, or their energy grew well past its peak after the sources
  had stopped (a passive structure cannot gain energy). Nothing is
  returned. It names the structure, the excitation and the step.
- ``EnergyBalanceWarning`` (a ``UserWarning``): a structure without loss
  has |1 − R − T| above ``ENERGY_TOLERANCE`` at some frequency.

All three are measured by ``DecayProbe`` (``simulation``) on the periodic
decay check, the run's only host synchronisation.
"""
from __future__ import annotations

from typing import Optional

ENERGY_TOLERANCE = 1e-2


class NotConvergedWarning(UserWarning):
    """The run stopped before its fields decayed; its results are returned
    but may be wrong."""


class EnergyBalanceWarning(UserWarning):
    """R + T of a lossless structure differs from 1 by more than the
    tolerance."""


class DivergenceError(FloatingPointError):
    """The fields grew without bound. ``structure``, ``excitation`` and
    ``step`` say where it was detected (``structure`` None: the reference
    slice)."""

    def __init__(self, message: str, step: int, excitation: int = 0,
                 structure: Optional[int] = None):
        super().__init__(message)
        self.step = step
        self.excitation = excitation
        self.structure = structure

    def __reduce__(self):      # pickled whole (gathered from other ranks)
        return type(self), (str(self), self.step, self.excitation, self.structure)
