"""Every script in examples/ runs and prints what it promises.

An example states its output in a file beside it with the suffix .out, or in
an "Output::" block at the end of its module docstring, indented by four
spaces. Examples run in a scratch directory, where they may save files.
"""
import ast
import pathlib
import subprocess
import sys
import textwrap

import pytest

EXAMPLES = sorted((pathlib.Path(__file__).parent.parent / "examples").glob("*.py"))


def promised_output(path):
    out = path.with_suffix(".out")
    if out.exists():
        return out.read_text()
    doc = ast.get_docstring(ast.parse(path.read_text()), clean=False) or ""
    head, marker, block = doc.partition("Output::\n")
    assert marker, f"{path.name} promises no output"
    return textwrap.dedent(block).strip("\n") + "\n"


def test_examples_exist():
    assert "timeconv_demo.py" in [p.name for p in EXAMPLES]


@pytest.mark.parametrize("path", EXAMPLES, ids=[p.name for p in EXAMPLES])
def test_example_prints_its_promise(path, tmp_path):
    result = subprocess.run(
        [sys.executable, str(path)], capture_output=True, text=True, timeout=120, cwd=tmp_path
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert result.stdout == promised_output(path)
    for line in result.stdout.splitlines():
        if " saved to " in line:
            assert (tmp_path / line.rsplit(" ", 1)[1]).stat().st_size > 0, line
