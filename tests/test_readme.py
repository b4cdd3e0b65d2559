"""The README's usage example runs as written."""
import pathlib
import re


def test_usage_example_runs():
    readme = (pathlib.Path(__file__).parent.parent / "README.md").read_text()
    code = re.search(r"## Usage.*?```python\n(.*?)```", readme, re.S).group(1)
    scope = {}
    exec(compile(code, "README.md", "exec"), scope)
    Ez = scope["Ez"]
    assert Ez.abs().sum() > 0 and bool(Ez.isfinite().all())
