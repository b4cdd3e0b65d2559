"""Writes the type stubs stubs/<module>.pyi from the built modules: each
function's parameters, in binding order, from the module's argument table
(`_arguments`), its return annotation from `_returns`, its docstring and the
module's. Run after changing a table: `python scripts/write_stubs.py`;
tests/test_frame.py checks that the stored stubs match."""
import pathlib
import sys

STUBS = pathlib.Path(__file__).resolve().parent.parent / "stubs"
MODULES = ("Voxstep", "Voxstep4", "_voxstep_host")
PY_TYPES = {"int": "int", "bool": "bool"}


def stub_text(module):
    lines = [f'"""{module.__doc__}"""', "from torch import Tensor"]
    for name, table in module._arguments.items():
        params = ", ".join(f"{a}: {PY_TYPES.get(role, 'Tensor')}" for a, role, *_ in table)
        lines += ["", f"def {name}({params}, /) -> {module._returns[name]}:",
                  f'    """{getattr(module, name).__doc__}"""']
    return "\n".join(lines) + "\n"


def main():
    import importlib
    for name in MODULES:
        (STUBS / f"{name}.pyi").write_text(stub_text(importlib.import_module(name)))


if __name__ == "__main__":
    sys.exit(main())
