"""STACK.json: the description read by ``python -m voxsim spectrum``.

    {"resolution": 40,                                 cells per a (required)
     "frequency": {"min": 0.5, "max": 1.5, "count": 101},   c/a (required)
     "angle_deg": 0,                                   optional, 0 ≤ θ < 90, at the centre frequency;
                                                       a list runs an angle sweep in one batch
     "polarization": "s",                              optional, "s" (E along y) or "p"
     "courant": 0.5,                                   optional, ≤ 1/√3
     "max_time": 2000,                                 optional (a/c): stop there even if the
                                                       fields have not decayed (default: the
                                                       safety cap, see reflectance.spectrum)
     "decay_by": 1e-9,                                 optional, in (0, 1): the decay that ends the run
     "incident": MEDIUM,                               required, lossless
     "substrate": MEDIUM,                              optional (default: the incident medium), lossless
     "period": [px, py],                               the unit cell (a); required with patterns
     "layers": [{"thickness": 0.125, "medium": MEDIUM}, ...]}   required (may be empty)

    A layer may carry "pattern" instead of "medium":
    PATTERN = {"background": MEDIUM, "shapes": [SHAPE, ...]}  (later shapes win)
    SHAPE   = {"kind": "circle", "center": [x, y], "radius": r, "medium": MEDIUM}
            | {"kind": "rectangle", "center": [x, y], "size": [w, h], "angle_deg": 0, "medium": MEDIUM}
            | {"kind": "polygon", "vertices": [[x, y], ...], "medium": MEDIUM}
    (coordinates in a, within the unit cell; a shape crossing its edge wraps;
    a 1-D grating is a rectangle spanning the cell in y)

    MEDIUM = {"eps": 4, "sigma": 0.0, "pole": POLE}   eps required; sigma, pole optional
           | {"n": 2.0, "k": 0.01}                     a complex index n + ik (k optional),
                                                       exact at the band's centre frequency
                                                       (see media.Medium.from_index)
    POLE   = {"kind": "lorentz", "f0": 1.0, "delta_eps": 0.5, "gamma": 0.1}
           | {"kind": "drude", "fp": 2.0, "gamma": 0.1}
           | {"kind": "debye", "delta_eps": 1.0, "tau": 0.3}

The band may be given instead as vacuum wavelengths or photon energies once
the length a is named:

     "length_unit": "um",                              a is one nm, um, mm or m
     "wavelength": {"min": 0.4, "max": 0.8, "count": 101},   in length_unit
     "energy_eV": {"min": 1.5, "max": 3.0, "count": 101}      photon energy

(one of "frequency", "wavelength", "energy_eV"; evenly spaced in the given
quantity, converted to c/a here and run in increasing frequency; the output
carries the given quantity beside "frequency").

Validation is strict: an unknown key, a missing field, a value of the wrong
type or out of range, or a resolution too coarse for the frequencies raises
``InputError`` whose message starts with the field's path
(``layers[1].medium.eps: must be positive, got -2``); nothing runs.
"""
from __future__ import annotations

import json
from dataclasses import dataclass
from typing import List, Optional

import numpy as np

from .geometry import Layer, Stack
from .shapes import Box, Circle, Cylinder, Pattern, Polygon, Rectangle, Shape, Sphere
from .media import POLE_KINDS, Medium
from .units import BAND_KINDS, LENGTH_UNITS, InputError, Units, finite_number, require, to_frequency

BAND_KEYS = {*BAND_KINDS, "length_unit"}
TOP_KEYS = {"resolution", "angle_deg", "polarization", "courant", "incident",
            "substrate", "layers", "period", "max_time", "decay_by", "fields", "boundaries",
            *BAND_KEYS}
# kind: (class, required keys in the constructor's order, optional keys: defaults)
PATTERN_SHAPES = {"circle": (Circle, ("center", "radius", "medium"), {}),
                  "rectangle": (Rectangle, ("center", "size", "medium"), {"angle_deg": 0.0}),
                  "polygon": (Polygon, ("vertices", "medium"), {})}
SOLIDS = {"sphere": (Sphere, ("center", "radius", "medium"), {}),
          "box": (Box, ("center", "size", "medium"), {}),
          "cylinder": (Cylinder, ("center", "radius", "height", "medium"), {"axis": "z"})}
SCATTER_KEYS = {"resolution", "background", "shapes", "polarization", "padding",
                "courant", "max_time", "decay_by", "fields", "boundaries", *BAND_KEYS}
POLES = {"lorentz": (POLE_KINDS["lorentz"], ("f0", "delta_eps", "gamma"), {}),
         "drude": (POLE_KINDS["drude"], ("fp", "gamma"), {}),
         "debye": (POLE_KINDS["debye"], ("delta_eps", "tau"), {})}


@dataclass
class SpectrumJob:
    stack: Stack
    frequencies: np.ndarray
    resolution: float
    courant: float
    angle_deg: object          # a number, or a list of them (an angle sweep)
    polarization: str
    max_time: Optional[float] = None
    decay_by: float = 1e-9
    fields: object = None      # fields.FieldRequest ("fields" key)
    band: object = None        # (kind, values) where the band was not given in c/a
    simulation: object = None  # the validated model.Simulation


def _object(value, field: str, allowed, required=()):
    require(isinstance(value, dict), field or "STACK.json", f"must be an object, got {type(value).__name__}")
    for k in value:
        require(k in allowed, f"{field}.{k}" if field else k,
                f"unknown key (allowed: {', '.join(sorted(allowed))})")
    for k in required:
        require(k in value, f"{field}.{k}" if field else k, "missing")
    return value


def parse_medium(value, field: str, f_ref: Optional[float] = None) -> Medium:
    """MEDIUM at `field`; `f_ref` (c/a) is where an index n + ik holds. The
    values are checked by ``Medium`` itself, reported under `field`."""
    d = _object(value, field, {"eps", "sigma", "pole", "n", "k"})
    if "n" in d:
        for k in ("eps", "sigma", "pole"):
            require(k not in d, f"{field}.{k}",
                    'give either "n" (and "k") or "eps" (with "sigma", "pole"), not both')
        make = lambda: Medium.from_index(d["n"], d.get("k", 0.0), f_ref)
    else:
        require("k" not in d, f"{field}.k", 'needs "n"')
        require("eps" in d, f"{field}.eps", "missing")
        pole = _pole(d.get("pole"), f"{field}.pole")
        make = lambda: Medium(d["eps"], d.get("sigma", 0.0), pole)
    try:
        return make()
    except InputError as e:
        raise e.under(field, "medium") from None


def _pole(p, pf: str):
    if isinstance(p, list):
        require(len(p) <= 1, pf, f"{len(p)} poles given; a medium holds at most one "
                "dispersive pole (the dispersive completion keeps one per material)")
        p = p[0] if p else None
        pf = f"{pf}[0]"
    if p is None:
        return None
    pole = _kinded(p, pf, POLES)
    pole.validate(pf)
    return pole


def _kinded(value, field: str, table: dict, f_ref: Optional[float] = None):
    """An object {"kind": ..., keys} of `table` (see PATTERN_SHAPES): the
    JSON's shape checked here, the values by the class, reported under
    `field`."""
    require(isinstance(value, dict), field, "must be an object")
    require("kind" in value, f"{field}.kind", "missing")
    kind = value["kind"]
    require(kind in table, f"{field}.kind", f"must be one of {', '.join(table)}, got {kind!r}")
    cls, keys, optional = table[kind]
    _object(value, field, set(keys) | set(optional) | {"kind"}, keys)
    args = [parse_medium(value[k], f"{field}.medium", f_ref) if k == "medium" else value[k]
            for k in keys] + [value.get(k, v) for k, v in optional.items()]
    try:
        return cls(*args)
    except InputError as e:
        raise e.under(field, kind) from None


def parse_pattern(value, field: str, f_ref: Optional[float] = None) -> Pattern:
    d = _object(value, field, {"background", "shapes"}, ("background", "shapes"))
    background = parse_medium(d["background"], f"{field}.background", f_ref)
    require(isinstance(d["shapes"], list), f"{field}.shapes", "must be a list")
    shapes = [_kinded(sh, f"{field}.shapes[{i}]", PATTERN_SHAPES, f_ref)
              for i, sh in enumerate(d["shapes"])]
    return Pattern(background, shapes)


def parse_job(data) -> SpectrumJob:
    """Validate a decoded STACK.json and build the job (nothing runs). The
    JSON's own shape (keys, types, lists) is checked here; the values by the
    model (``Units``, ``Medium``, ``Layer``, ``Stack``, ``PlaneWave`` and
    ``model.Simulation``, which the Python API builds too), reported under
    their JSON paths."""
    from .model import Simulation
    from .reflectance import plane_wave
    d = _object(data, "", TOP_KEYS, ("resolution", "incident", "layers"))
    freqs, band = parse_band(d)
    f_ref = 0.5 * float(freqs[0] + freqs[-1])
    max_time, decay_by = parse_stop(d, 1e-9)
    raw = d.get("angle_deg", 0.0)
    many = isinstance(raw, list)
    require(not many or len(raw) > 0, "angle_deg", "an angle sweep needs at least one angle")
    where = lambda i: f"angle_deg[{i}]" if many else "angle_deg"
    angles = [finite_number(a, where(i)) for i, a in enumerate(raw if many else [raw])]
    pol = d.get("polarization", "s")
    units = Units(d["resolution"], d.get("courant", 0.5))
    incident = parse_medium(d["incident"], "incident", f_ref)
    substrate = parse_medium(d["substrate"], "substrate", f_ref) if "substrate" in d else None
    require(isinstance(d["layers"], list), "layers", "must be a list")
    layers: List[Layer] = []
    for i, l in enumerate(d["layers"]):
        f = f"layers[{i}]"
        _object(l, f, {"thickness", "medium", "pattern"}, ("thickness",))
        require(("medium" in l) != ("pattern" in l), f"{f}.medium",
                "a layer needs either \"medium\" or \"pattern\" (not both)")
        medium = (parse_pattern(l["pattern"], f"{f}.pattern", f_ref) if "pattern" in l else
                  parse_medium(l["medium"], f"{f}.medium", f_ref))
        layers.append(Layer(l["thickness"], medium))
    period = d.get("period")
    require(period is None or isinstance(period, list), "period",
            f"must be [px, py], got {period!r}")
    stack = Stack(layers, incident, substrate, period)
    boundaries = _boundaries(d)
    fixed = getattr((boundaries or {}).get("x"), "k", 0.0)
    # a fixed Bloch k and no angle: the resonance search's job (no plane wave)
    sources = None if fixed and "angle_deg" not in d else []
    for i, a in enumerate(angles if sources is not None else []):
        try:
            sources.append(plane_wave(freqs, pol, a, stack))
        except InputError as e:
            raise e.under(where(i), "angle_deg") if e.field == "angle_deg" else e from None
    try:
        sim = Simulation([stack], freqs, units.resolution, sources, courant=units.courant,
                         decay_by=decay_by, max_time=max_time, fields=_fields(d),
                         boundaries=boundaries)
    except InputError as e:
        # a source is an angle of the JSON
        i = e.field[len("sources["):].split("]")[0] if e.field.startswith("sources[") else None
        if i is not None and e.field in (f"sources[{i}]", f"sources[{i}].angle_deg"):
            raise InputError(where(int(i)), e.message) from None
        raise
    return SpectrumJob(stack, freqs, units.resolution, units.courant,
                       angles if many else angles[0], pol, max_time, decay_by, sim.fields, band,
                       sim)


def load_job(path) -> SpectrumJob:
    return parse_job(_read_json(path))


def parse_frequencies(value, field: str = "frequency") -> np.ndarray:
    """{"min", "max", "count"} as the evenly spaced values (c/a for a
    frequency)."""
    fr = _object(value, field, {"min", "max", "count"}, ("min", "max", "count"))
    fmin = finite_number(fr["min"], f"{field}.min")
    fmax = finite_number(fr["max"], f"{field}.max")
    count = fr["count"]
    require(isinstance(count, int) and not isinstance(count, bool) and count >= 1,
            f"{field}.count", f"must be a positive integer, got {count!r}")
    require(fmin > 0, f"{field}.min", f"must be positive, got {fmin:g}")
    require(fmax >= fmin, f"{field}.max", f"must be >= {field}.min ({fmin:g}), got {fmax:g}")
    require(count == 1 or fmax > fmin, f"{field}.count",
            f"must be 1 when {field}.min equals {field}.max")
    return np.linspace(fmin, fmax, count)


def parse_band(d: dict):
    """The band of a description: "frequency" (c/a), or "wavelength" /
    "energy_eV" with "length_unit" (``units.to_frequency``). Returns the
    frequencies in increasing order and, for the latter two, (kind, values)
    in the same order (None for a band in c/a)."""
    given = [k for k in BAND_KINDS if k in d]
    require(len(given) > 0, "frequency", "missing (or \"wavelength\" or \"energy_eV\" with "
            "\"length_unit\")")
    if len(given) > 1:
        raise InputError(given[1], f"the band is already given by \"{given[0]}\"")
    kind = given[0]
    unit = d.get("length_unit")
    require(unit is None or unit in LENGTH_UNITS, "length_unit",
            f"must be one of {', '.join(LENGTH_UNITS)}, got {unit!r}")
    values = parse_frequencies(d[kind], kind)
    freqs = to_frequency(values, kind, unit, kind)
    if kind == "frequency":
        return freqs, None
    order = np.argsort(freqs, kind="stable")
    return freqs[order], (kind, values[order])


def parse_stop(d: dict, default_decay: float):
    """The optional "max_time" (a/c, positive) and "decay_by" (in (0, 1))."""
    max_time = None
    if "max_time" in d:
        max_time = finite_number(d["max_time"], "max_time")
        require(max_time > 0, "max_time", f"must be positive, got {max_time:g}")
    decay_by = finite_number(d.get("decay_by", default_decay), "decay_by")
    require(0 < decay_by < 1, "decay_by", f"must be in (0, 1), got {decay_by:g}")
    return max_time, decay_by


def parse_solid(value, field: str, f_ref: Optional[float] = None) -> Shape:
    """A 3-D shape: sphere, box or cylinder (coordinates in a)."""
    return _kinded(value, field, SOLIDS, f_ref)


@dataclass
class ScatterJob:
    shapes: List[Shape]
    frequencies: np.ndarray
    resolution: float
    courant: float
    background: Medium
    polarization: str = "x"
    padding: Optional[float] = None
    max_time: Optional[float] = None
    decay_by: float = 1e-8
    fields: object = None      # fields.FieldRequest ("fields" key)
    band: object = None        # (kind, values) where the band was not given in c/a
    simulation: object = None  # the validated model.Simulation


def _boundaries(d: dict):
    """"boundaries": {"x": KIND, ...}, a KIND being "periodic", "bloch",
    "absorbing" or {"bloch": k} (a fixed wavevector, rad/a); the kinds are
    checked by the model."""
    from .boundaries import Bloch
    if "boundaries" not in d:
        return None
    b = d["boundaries"]
    require(isinstance(b, dict), "boundaries", f"must be an object {{\"x\": ...}}, got {b!r}")
    out = {}
    for ax, v in b.items():
        if isinstance(v, dict):
            _object(v, f"boundaries.{ax}", {"bloch"}, ("bloch",))
            v = Bloch(finite_number(v["bloch"], f"boundaries.{ax}.bloch"))
        out[ax] = v
    return out


def _fields(d: dict):
    """The "fields" key: ``fields.parse_request``, or None."""
    if "fields" not in d:
        return None
    from .fields import parse_request
    return parse_request(d["fields"])


def parse_scatter_job(data) -> ScatterJob:
    """Validate a decoded OBJECT.json and build the job (nothing runs): the
    JSON's shape here, the values by the model (``model.Scene``, ``TFSF``,
    ``Simulation``), as in the Python API."""
    from .model import TFSF, Scene, Simulation
    d = _object(data, "", SCATTER_KEYS, ("resolution", "shapes"))
    freqs, band = parse_band(d)
    f_ref = 0.5 * float(freqs[0] + freqs[-1])
    max_time, decay_by = parse_stop(d, 1e-8)
    background = (parse_medium(d["background"], "background", f_ref) if "background" in d
                  else Medium())
    require(isinstance(d["shapes"], list) and len(d["shapes"]) > 0, "shapes",
            "must be a non-empty list")
    shapes = [parse_solid(sh, f"shapes[{i}]", f_ref) for i, sh in enumerate(d["shapes"])]
    sim = Simulation(Scene(shapes, background, d.get("padding")), freqs, d["resolution"],
                     [TFSF(d.get("polarization", "x"))], courant=d.get("courant", 0.5),
                     decay_by=decay_by, max_time=max_time, fields=_fields(d),
                     boundaries=_boundaries(d))
    return ScatterJob(shapes, freqs, sim.units.resolution, sim.units.courant, background,
                      sim.sources[0].polarization, sim.padding, max_time, decay_by, sim.fields,
                      band, sim)


def _read_json(path):
    try:
        with open(path) as fh:
            text = fh.read()
    except OSError as e:
        raise InputError(str(path), f"cannot read: {e.strerror}")
    try:
        return json.loads(text)
    except json.JSONDecodeError as e:
        raise InputError(str(path), f"not valid JSON: {e.msg} at line {e.lineno} column {e.colno}")


def load_scatter_job(path) -> ScatterJob:
    return parse_scatter_job(_read_json(path))
