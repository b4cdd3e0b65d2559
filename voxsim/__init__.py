"""voxsim: plane-wave spectra of layered structures, and cross-sections of
isolated objects, on the Voxstep kernels.

Units and conventions (used everywhere in the package):
- lengths in a unit a of the user's choice; ``resolution`` = cells per a;
- frequencies f in c/a, times in a/c, conductivity σ such that
  ε(f) = eps + iσ/(2πf);
- fields vary as exp(−iωt), so loss means Im ε > 0;
- z is the stacking axis; light comes from the incident medium at low z and
  travels towards +z; the plane of incidence is x–z with the in-plane
  wavevector along +x; s polarisation has E along y, p has H along y;
- the time step is ``courant``·(cell)/c, 0.5 by default, at most 1/√3.

Pipeline, one module per concern, in the order a run goes through them:
- the description: ``model`` (the ``Simulation``, validated once),
  ``units`` (cell units, band conversion), ``media``, ``shapes`` (2-D
  pattern shapes and 3-D solids), ``geometry`` (stacks), ``boundaries``
  (CPML, Bloch phases), ``sources`` (waveforms, plane wave, currents),
  ``dipoles``, ``monitors`` (DFT planes, flux), ``fields`` (DFT field
  regions); ``config`` reads the JSON descriptions into these, the values
  checked by the classes themselves;
- placing it on the grid: ``layout`` (column, unit cell, standoffs, default
  absorber, resolution check), ``rasterise`` (shapes' fill maps and
  normals), ``materials`` (the material grid, the preparation kernels) and
  ``painting`` (the material plan);
- running: ``kernels`` (the one module that imports the extension),
  ``simulation`` (the step, the decay and divergence probe), ``batch`` (one
  batched run), ``domains`` and ``distributed`` (several processes),
  ``adjoint`` (gradients);
- the workflows: ``reflectance`` (R/T of stacks), ``scatter`` (isolated
  objects: absorber on all faces, total-field/scattered-field box, flux
  boxes, cross-sections), ``ldos``/``radiate`` (dipole power), ``resonance``
  and ``harminv`` (modes), ``snapshots``;
- the verdicts and the outputs: ``trust`` (decay, divergence, energy),
  ``analytic`` (transfer matrix), ``orders``, ``plot``, ``cli``.

Isolated objects take the same units; the incident plane wave travels
along +z with E along x or y, and cross-sections are in a².
"""
from . import plot
from .boundaries import CPML, Bloch
from .dipoles import PointDipole
from .geometry import Layer, Stack
from .harminv import Modes, find_modes
from .ldos import Dipole, DipolePower, dipole_power, mirror_purcell
from .media import Debye, Drude, Lorentz, Medium
from .model import TFSF, Probe, Scene, Simulation, SnapshotPlane
from .sources import ContinuousWave, GaussianPulse, PlaneWave, Samples
from .scatter import CrossSections, cross_sections
from .shapes import Box, Cylinder, Sphere
from .snapshots import Snapshots
from .reflectance import Spectrum, spectrum
from .trust import DivergenceError, EnergyBalanceWarning, NotConvergedWarning
from .units import InputError, Units

__all__ = ["Bloch", "Box", "CPML", "ContinuousWave", "CrossSections", "Cylinder", "Sphere",
           "cross_sections", "Debye", "DivergenceError", "Drude", "EnergyBalanceWarning",
           "GaussianPulse", "InputError", "Layer", "NotConvergedWarning",
           "Lorentz", "Medium", "Modes", "PlaneWave", "Samples", "Spectrum", "Stack", "Units",
           "Dipole", "DipolePower", "dipole_power", "find_modes", "mirror_purcell", "spectrum",
           "PointDipole", "Probe", "Scene", "SnapshotPlane", "Simulation", "Snapshots", "TFSF", "plot"]
