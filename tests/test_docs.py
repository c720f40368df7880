"""Every Python code block of the documentation runs.

The ``.. code-block:: python`` blocks of a page run in order in one fresh
namespace, as a reader would type them, in a scratch directory.
"""
import pathlib
import re
import textwrap

import pytest

DOCS = pathlib.Path(__file__).parent.parent / "docs"
PAGES = sorted(DOCS.glob("**/*.rst"))
DIRECTIVE = re.compile(r"^(\s*)\.\. code-block:: python\s*$")


def python_blocks(text):
    """Yields (line number, source) for each Python code block of a page."""
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        match = DIRECTIVE.match(lines[i])
        i += 1
        if not match:
            continue
        start = i
        indent = len(match.group(1))
        # Options (":caption: ...") come first; the block ends at the first
        # line that is indented no more than the directive.
        while i < len(lines) and lines[i].strip().startswith(":"):
            i += 1
        body = []
        while i < len(lines) and (not lines[i].strip() or len(lines[i]) - len(lines[i].lstrip()) > indent):
            body.append(lines[i])
            i += 1
        yield start + 1, textwrap.dedent("\n".join(body)).strip("\n") + "\n"


def test_the_guides_have_code():
    assert "experiments.rst" in [p.name for p in PAGES]
    assert len(list(python_blocks((DOCS / "guides" / "experiments.rst").read_text()))) >= 5


@pytest.mark.parametrize("page", PAGES, ids=[str(p.relative_to(DOCS)) for p in PAGES])
def test_code_blocks_run(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    namespace = {"__name__": "__main__"}
    for line, source in python_blocks(page.read_text()):
        exec(compile(source, f"{page.relative_to(DOCS)}, block at line {line}", "exec"), namespace)
