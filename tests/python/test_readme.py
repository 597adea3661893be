"""The README's usage example runs as printed: its output is the `# ->` lines."""

import contextlib
import io
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"


def usage_block() -> str:
    text = README.read_text(encoding="utf-8")
    section = text.split("\n## Usage\n", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"^```python\n(.*?)^```", section, re.S | re.M)
    assert len(blocks) == 1, "the Usage section should hold exactly one python block"
    return blocks[0]


def test_usage_example_prints_what_it_shows() -> None:
    pytest.importorskip("quarlex")
    code = usage_block()
    expected = [line.removeprefix("# -> ") for line in code.splitlines() if line.startswith("# -> ")]
    assert expected, "the example shows no output to check"
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, str(README), "exec"), {"__name__": "readme"})
    assert out.getvalue().splitlines() == expected
