"""Below the workflows: a grid, a source, monitors and the step loop by hand.

A sheet of electric current J_y (a Gaussian pulse) in a column of glass,
periodic in x and y (one cell), absorbing layers on z. Two flux planes, one
on each side, take running DFTs of the transverse fields; the run stops on
the package's decay check, which also watches for divergence. The sheet
radiates the same power both ways; the flux it sends through each plane is
printed over the band, with the run's verdict.

    python examples/low_level.py

What each piece is (the module docstrings give the conventions):
- ``Units(resolution, courant)``: cells per a and the time step; ``dt`` in
  cell units, ``dt_a`` in a/c.
- ``uniform_grid(units, (Nx, Ny, Nz), NS, medium, CPML(), kx, device)``: the
  fields [s, m, i, j, k, c] (NS excitations, NM structure slices, x, y, z,
  channel: real and imaginary halves), coefficients and CPML of a grid
  filled with one medium; ``Grid`` takes a painted ``MaterialGrid`` instead
  (``reflectance.build_materials`` paints stacks and shapes).
- ``CurrentSource(grid, waveform, position, size, amplitude)``: E ← E − J(t)
  in a box of cells, amplitudes (Ax, Ay, Az).
- ``FluxPlane(grid, k, DFTClock(frequencies, units, device))``: running DFTs
  of Ex, Ey, Hx, Hy on plane z = k; ``flux()`` is S_z per unit area,
  [NS, NM, NF].
- ``DecayProbe(decay_by, planes=[...])``: the periodic check (decay of the
  fields' change at the planes, divergence, the verdict in the returned
  ``RunStats``: ``converged``, ``decayed``, ``steps_needed``).
- ``run(grid, sources, monitors, max_steps, probe)``: the step loop
  (Update_H, sources' magnetic side, Update_E and completion, sources'
  electric side, periodic wrap, monitors, check).

Other pieces that plug into the same loop:
- ``CurrentSource(grid, waveform, position, amplitude=block)`` with a
  [3, Bx, By, Bz] complex block (an extended current, one amplitude per
  component and cell); ``magnetic=True`` subtracts it from H after the
  magnetic update instead.
- ``dipoles.PointDipole(grid, waveform, position, orientation, kind)``: an
  electric or magnetic point dipole anywhere (off-grid positions spread
  over the 8 samples of each component), a physical moment (dt and ε
  applied); passed as a monitor too, ``power(frequencies, steps)`` is the
  power it radiates per unit moment squared.
- ``snapshots.Snapshots(grid, plane_boxes(grid, "z", k), every=N)``: copies
  of the fields every N steps with their positions (a) and times,
  ``save("snap.npz")``; ``plot.field(values, coords, outline=plot.outline(
  grid, "z", k))`` draws one plane with the structure's edges.
"""
import numpy as np

import voxsim as vx
from voxsim.monitors import DFTClock, FluxPlane
from voxsim.simulation import DecayProbe, run, uniform_grid
from voxsim.sources import CurrentSource, GaussianPulse


def main():
    units = vx.Units(resolution=40)                 # 40 cells per a, courant 0.5
    glass = vx.Medium(2.25)
    grid = uniform_grid(units, (2, 2, 120), 1, glass, vx.CPML(), np.zeros(1), "cpu")
    pulse = GaussianPulse(frequency=1.0, bandwidth=0.3)
    sheet = CurrentSource(grid, pulse, position=(0, 0, 60), size=(2, 2, 1),
                          amplitude=(0, 1, 0))
    f = np.linspace(0.8, 1.2, 5)
    clock = DFTClock(f, units, "cpu")
    up, down = FluxPlane(grid, 90, clock), FluxPlane(grid, 30, clock)
    probe = DecayProbe(decay_by=1e-9, planes=[30, 90], after_step=400)
    stats = run(grid, [sheet], [up, down], 20000, probe)
    fu, fd = up.flux()[0, 0], down.flux()[0, 0]          # slice [s = 0, m = 0]
    print(f"{stats.steps} steps, stopped by {stats.stopped_by}, converged "
          f"{bool(stats.converged.all())}, decayed to {float(stats.decayed.max()):.1e}")
    for k in range(len(f)):
        print(f"f = {f[k]:.2f}: flux up {fu[k]:.4e}, down {-fd[k]:.4e}, "
              f"|up + down| / up = {abs(fu[k] + fd[k]) / fu[k]:.1e}")


if __name__ == "__main__":
    main()
