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

import math
import warnings
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


def warn_not_converged(what: str, time_a: float, decayed: float, need_a: float, decay_by: float,
                       risk: str, limit: Optional[str] = None, fields: str = "its fields",
                       stacklevel: int = 3) -> None:
    """The ``NotConvergedWarning`` of every workflow: `what` stopped (by
    `limit`) after `time_a` (a/c) with `fields` decayed to `decayed` of
    their peak; `need_a` (a/c, inf when not yet decaying) more were needed;
    `risk` says what may be wrong."""
    more = (f"about {need_a:.3g} a/c more are needed" if math.isfinite(need_a)
            else "the fields were not yet decaying")
    by = f" by {limit}" if limit else ""
    warnings.warn(f"{what}: stopped{by} after {time_a:.4g} a/c with {fields} decayed to "
                  f"{decayed:.2g} of their peak (decay_by {decay_by:.2g}); {more}; {risk} "
                  f"(raise max_time)", NotConvergedWarning, stacklevel=stacklevel + 1)


def stop_limit(max_time: Optional[float], steps: Optional[int] = None) -> str:
    """What ended a run cut short: its step count, its max_time or the
    safety cap."""
    return (f"steps={steps}" if steps is not None else
            f"max_time={max_time:g}" if max_time is not None else "the safety cap")
