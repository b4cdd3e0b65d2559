"""Adjoint gradients of spectra against central finite differences of the
same simulation, and against the transfer matrix's derivative. Every test
prints the relative errors it measured."""
import warnings

import numpy as np
import pytest
import torch

import voxsim as vx
from voxsim.analytic import transfer_matrix
from voxsim.reflectance import plane_wave
from voxsim.shapes import VoxelFill
from voxsim.units import InputError

F2 = np.array([0.8, 1.1])


def two_layers(eps, sigma=0.0, sub=2.25):
    return vx.Stack([vx.Layer(0.37, vx.Medium(eps, sigma=sigma)), vx.Layer(0.21, vx.Medium(2.1))],
                    incident=vx.Medium(1.0), substrate=vx.Medium(sub))


def loss_of(sp):
    """A loss that weighs R and T differently per frequency."""
    R, T = torch.as_tensor(sp.R[0, 0]), torch.as_tensor(sp.T[0, 0])
    return R[0] + 0.5 * R[-1] - T[-1]


def quiet_spectrum(*args, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return vx.spectrum(*args, **kw)


def central(fn, x0, h=0.05):
    """Central difference. R and T of a run carry a noise of about 1e-5 (an
    oblique pulse's static residue, truncated where the run stops), so the
    step is wide: 0.05 keeps that noise near 1e-4 of the slope, and the
    curvature's share is smaller still."""
    return (float(fn(x0 + h)) - float(fn(x0 - h))) / (2 * h)


CASES = [  # (polarisation, angle, sigma): lossless / lossy, normal / oblique
    ("s", 0.0, 0.0),
    ("p", 35.0, 0.3),
    ("s", 50.0, 0.3),
]


@pytest.mark.parametrize("pol,angle,sigma", CASES)
def test_layer_eps_and_sigma_match_finite_differences(pol, angle, sigma):
    ex = [plane_wave(F2, pol, angle)]
    eps = torch.tensor(4.0, dtype=torch.float64, requires_grad=True)
    sig = torch.tensor(sigma, dtype=torch.float64, requires_grad=True)
    sp = quiet_spectrum([two_layers(eps, sig)], F2, 30, ex)
    assert isinstance(sp.R, torch.Tensor) and sp.R.requires_grad
    loss_of(sp).backward()
    run = lambda e, s: loss_of(quiet_spectrum([two_layers(e, s)], F2, 30, ex))
    fd_eps = central(lambda e: run(e, sigma), 4.0)
    fd_sig = central(lambda s: run(4.0, s), sigma) if sigma else None
    err_eps = abs(eps.grad.item() / fd_eps - 1)
    print(f"{pol} {angle:g} deg sigma {sigma}: d/d eps {eps.grad.item():.6g} vs {fd_eps:.6g} "
          f"({err_eps:.1e})", end="")
    assert err_eps < 0.02
    if fd_sig is not None:
        err_sig = abs(sig.grad.item() / fd_sig - 1)
        print(f"; d/d sigma {sig.grad.item():.6g} vs {fd_sig:.6g} ({err_sig:.1e})")
        assert err_sig < 0.02


def test_layer_eps_against_transfer_matrix_derivative():
    """The scheme's gradient approaches the continuum one as cells shrink."""
    f = np.array([0.9])
    eps = torch.tensor(3.0, dtype=torch.float64, requires_grad=True)
    sp = quiet_spectrum([two_layers(eps)], f, 60)
    sp.R[0, 0, 0].backward()
    h = 1e-4
    tm = [transfer_matrix(two_layers(e), f)[0][0] for e in (3.0 + h, 3.0 - h)]
    d_tm = (tm[0] - tm[1]) / (2 * h)
    err = abs(eps.grad.item() / d_tm - 1)
    print(f"dR/d eps {eps.grad.item():.6g}, transfer matrix {d_tm:.6g} ({err:.1e})")
    assert err < 0.03


def test_without_parameters_results_stay_arrays():
    sp = quiet_spectrum([two_layers(4.0)], F2, 30)
    assert isinstance(sp.R, np.ndarray) and isinstance(sp.T, np.ndarray)


@pytest.mark.parametrize("build,field", [
    (lambda t: vx.Stack([vx.Layer(0.3, vx.Medium(t, pole=vx.Drude(1.0, 0.1)))]), "medium eps"),
    (lambda t: vx.Stack([vx.Layer(0.3, vx.Medium(2.0))], incident=vx.Medium(t)), "incident"),
])
def test_refused_design_parameters_name_the_field(build, field):
    t = torch.tensor(2.0, dtype=torch.float64, requires_grad=True)
    with pytest.raises(InputError, match=field):
        vx.spectrum([build(t)], F2, 30)


def test_staircased_fill_is_refused():
    fill = torch.full((2, 2, 1), 0.5, dtype=torch.float64, requires_grad=True)
    st = vx.Stack([vx.Layer(0.25, vx.Medium(1.0))], period=(1.0, 1.0),
                  shapes=[VoxelFill(fill, (0, 0, 0), (1.0, 1.0, 0.25), vx.Medium(2.0))])
    with pytest.raises(InputError, match=r"shapes\[0\].fill"):
        vx.spectrum([st], np.array([0.5]), 10, smoothing="staircase")


@pytest.mark.slow
def test_fill_voxels_match_finite_differences():
    """Three voxels of a fill in a periodic layer, objective the +1 order's
    transmission and the reflection."""
    f = np.array([1.15])
    g = torch.Generator().manual_seed(1)
    base = 0.2 + 0.6 * torch.rand(4, 4, 1, generator=g, dtype=torch.float64)

    def stack(fill):
        vf = VoxelFill(fill, (0, 0, 0), (0.7, 0.7, 0.25), vx.Medium(2.5))
        return vx.Stack([vx.Layer(0.25, vx.Medium(1.0))], substrate=vx.Medium(2.25),
                        period=(0.7, 0.7), shapes=[vf])

    def loss(sp):
        i = sp.orders.index((1, 0))
        return torch.as_tensor(sp.T_orders[0, 0, i, 0]) + 0.5 * torch.as_tensor(sp.R[0, 0, 0])

    fill = base.clone().requires_grad_(True)
    loss(quiet_spectrum([stack(fill)], f, 20)).backward()
    G = fill.grad
    big = G.abs().max()
    for v in [(0, 0, 0), (1, 2, 0), (3, 1, 0)]:
        def at(x, v=v):
            p = base.clone()
            p[v] = x
            return loss(quiet_spectrum([stack(p)], f, 20))
        fd = central(at, float(base[v]))
        err = abs(G[v].item() - fd) / abs(fd)
        print(f"voxel {v}: {G[v].item():.5g} vs {fd:.5g} ({err:.1e}; |g|/max {abs(fd) / big:.2f})")
        if abs(fd) > 0.01 * big:
            assert err < 0.05


def test_antireflection_example_lowers_reflection():
    """The inverse-design example's loop: Adam on adjoint gradients lowers
    the band's mean reflection from the first iteration on."""
    import runpy
    import os
    ex = runpy.run_path(os.path.join(os.path.dirname(__file__), "..", "examples",
                                     "antireflection.py"))
    history, eps = ex["optimise"](iterations=4, verbose=False)
    print("mean R per iteration", np.round(history, 5), "eps", np.round(eps, 4))
    assert all(b < a for a, b in zip(history, history[1:]))
