"""Field maps: the mode profile of a layered microcavity and the near
field of a dielectric sphere, as PNGs.

    PYTHONPATH=. python examples/fields.py [--small] [--out DIR]

1. The microcavity (quarter-wave mirrors of ε = 4 and 2.25 around a
   half-wave spacer of ε = 2.25, in air): ``resonance.resonances`` finds
   its mode (f, Q); a plane-wave run at that frequency records the DFT of
   E on the column (``fields.FieldRequest``), and |E/E0|² is drawn along z
   with the layers' permittivity beside it (cavity_mode.png).
2. A sphere (ε = 2.25, radius 0.4 a) under a plane wave along +z polarised
   along x: |E/E0|² on the plane y = 0 at one frequency, with the sphere's
   outline (sphere_near_field.png); the same map from Mie theory
   (miepython) gives the error printed.

--small runs both at coarse settings (the test's).
"""
import argparse
import os
import time

import numpy as np

import voxsim as vx
from voxsim.fields import FieldRequest
from voxsim.resonance import resonances
from voxsim.scatter import cross_sections


def cavity(pairs: int) -> vx.Stack:
    H, L = vx.Medium(4.0), vx.Medium(2.25)
    mirror = [vx.Layer(0.125, H), vx.Layer(1 / 6, L)] * pairs
    return vx.Stack(mirror + [vx.Layer(1 / 3, L)] + mirror[::-1], vx.Medium(1.0), vx.Medium(1.0))


def cavity_mode(out: str, pairs: int = 5, resolution: float = 40) -> dict:
    """The cavity's mode (f, Q) and its |E/E0|² profile at f."""
    st = cavity(pairs)
    r = resonances(st, 0.9, 1.1, resolution)
    k = int(np.argmax(np.abs(r.modes.amplitude)))
    f0, Q = float(r.modes.frequency[k]), float(r.modes.Q[k])
    sp = vx.spectrum(st, [0.95 * f0, f0, 1.05 * f0], resolution,
                     fields=FieldRequest((f0,), axis=1, at=0.0))
    path = os.path.join(out, "cavity_mode.png")
    sp.fields.plot(path, title=f"{pairs}-pair microcavity: |E/E0|² at its mode, "
                              f"f = {f0:.5f} c/a, Q = {Q:.1f}")
    values, (x, y, z) = sp.fields.intensity()
    profile = values.reshape(-1)
    peak = float(profile.max())
    return dict(f=f0, Q=Q, peak=peak, peak_z=float(z[np.argmax(profile)]),
                T=float(sp.T[0, 0, 1]), path=path)


def sphere_near_field(out: str, resolution: float = 24, f: float = 0.5, radius: float = 0.4,
                      eps: float = 2.25) -> dict:
    """|E/E0|² around the sphere on y = 0, and its difference from Mie."""
    cs = cross_sections([vx.Sphere((0, 0, 0), radius, vx.Medium(eps))], [0.8 * f, f, 1.2 * f],
                        resolution, fields=FieldRequest((f,), axis=1, at=0.0))
    path = os.path.join(out, "sphere_near_field.png")
    cs.fields.plot(path, title=f"sphere, ε = {eps:g}, r = {radius:g} a: |E/E0|² at "
                              f"f = {f:g} c/a, y = 0")
    values, (x, y, z) = cs.fields.intensity()
    fdtd = values[:, 0, :]
    ref = mie_intensity(x, z, f, radius, eps)
    R = np.hypot(*np.meshgrid(x, z, indexing="ij"))
    outside = R > radius + 1.5 / resolution        # the surface's own cell left out
    err = np.abs(fdtd - ref)[outside] / ref[outside]
    return dict(peak=float(fdtd[outside].max()), mie_peak=float(ref[outside].max()),
                rms=float(np.sqrt(np.mean(err**2))), max=float(err.max()), path=path)


def mie_intensity(x, z, f, radius, eps):
    """|E/E0|² on the plane y = 0 (points x × z) from Mie theory."""
    import miepython
    X, Z = np.meshgrid(x, z, indexing="ij")
    E = miepython.e_near_cartesian(1 / f, 2 * radius, np.sqrt(eps), 1.0, X.ravel(),
                                   np.zeros(X.size), Z.ravel())
    return (np.abs(np.asarray(E)) ** 2).sum(axis=0).reshape(X.shape)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--small", action="store_true", help="coarse settings (seconds, not minutes)")
    p.add_argument("--out", default=".", help="folder for the PNGs")
    args = p.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    t = time.perf_counter()
    c = cavity_mode(args.out, *((3, 24) if args.small else (5, 40)))
    print(f"cavity: mode at f = {c['f']:.5f} c/a, Q = {c['Q']:.1f}; |E/E0|² peaks at "
          f"{c['peak']:.1f} (z = {c['peak_z']:.3f} a), T = {c['T']:.3f} there; wrote "
          f"{c['path']} ({time.perf_counter() - t:.0f} s)")
    t = time.perf_counter()
    s = sphere_near_field(args.out, 12 if args.small else 24)
    print(f"sphere: |E/E0|² outside peaks at {s['peak']:.2f} (Mie {s['mie_peak']:.2f}); outside the "
          f"sphere |FDTD - Mie|/Mie: rms {s['rms']:.1%}, largest {s['max']:.1%}; wrote "
          f"{s['path']} ({time.perf_counter() - t:.0f} s)")
    return c, s


if __name__ == "__main__":
    main()
