"""Every script in examples/ runs and prints what its docstring promises.

An example states its output in an "Output::" block at the end of its module
docstring, indented by four spaces.
"""
import ast
import pathlib
import subprocess
import sys
import textwrap

import pytest

EXAMPLES = sorted((pathlib.Path(__file__).parent.parent / "examples").glob("*.py"))


def promised_output(path):
    doc = ast.get_docstring(ast.parse(path.read_text()), clean=False) or ""
    head, marker, block = doc.partition("Output::\n")
    assert marker, f"{path.name} promises no output"
    return textwrap.dedent(block).strip("\n") + "\n"


def test_examples_exist():
    assert "timeconv_demo.py" in [p.name for p in EXAMPLES]


@pytest.mark.parametrize("path", EXAMPLES, ids=[p.name for p in EXAMPLES])
def test_example_prints_its_promise(path):
    result = subprocess.run(
        [sys.executable, str(path)], capture_output=True, text=True, timeout=120, cwd=path.parent
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert result.stdout == promised_output(path)
