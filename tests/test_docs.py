"""Every piece of code the documentation shows runs as written.

The conventions the pages follow (docs/ and README.md):

- A ``.. code-block:: python`` block is run. The blocks of one page run in
  order, in one fresh ``__main__`` namespace, in a fresh interpreter whose
  working directory is a new temporary directory; a traceback names the
  page and the line.
- A ``.. code-block:: pycon`` block is a doctest: its ``>>>`` lines run in
  the same namespace, and what they print must match.
- Anything that is not meant to run is marked with another language
  (``text``, ``console``, ``c``, ...). A bare ``::`` literal block would be
  shown as Python without being checked, so pages may not use one.
- A page that leaves an unraisable report behind fails: a model that failed
  quietly is a broken example. (A page may install its own
  ``sys.unraisablehook`` to show the reports.)
- In README.md the same holds for the fenced ```` ```python ```` blocks.

The ``::`` examples in the package's docstrings run too, each in a namespace
that already holds the package's public names, an environment ``env`` and a
small process class ``MyProcess``, which the docstrings take as given.
"""
import json
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
PAGES = sorted(p for p in DOCS.rglob("*.rst") if "_build" not in p.parts)

RUNNABLE = {"python", "python3", "py"}
DOCTEST = {"pycon"}

_DIRECTIVE = re.compile(r"^(\s*)\.\. (?:code-block|code|sourcecode)::\s*(\S*)\s*$")


def rst_blocks(text):
    """The code blocks of an rst page: [(kind, first line number, code)]."""
    lines = text.splitlines()
    blocks = []
    i = 0
    while i < len(lines):
        m = _DIRECTIVE.match(lines[i])
        if not m:
            i += 1
            continue
        indent, language = len(m.group(1)), m.group(2).lower()
        i += 1
        # Options (":caption: ...") up to the blank line before the body.
        while i < len(lines) and lines[i].strip().startswith(":"):
            i += 1
        body, first = [], None
        while i < len(lines):
            line = lines[i]
            if line.strip() and len(line) - len(line.lstrip()) <= indent:
                break
            if line.strip() and first is None:
                first = i + 1
            if first is not None:
                body.append(line)
            i += 1
        kind = "python" if language in RUNNABLE else "pycon" if language in DOCTEST else None
        if kind and body:
            blocks.append((kind, first, textwrap.dedent("\n".join(body)).rstrip() + "\n"))
    return blocks


def bare_literal_blocks(text):
    """Line numbers of paragraphs that open a ``::`` literal block."""
    found = []
    for number, line in enumerate(text.splitlines(), 1):
        stripped = line.strip()
        if stripped.endswith("::") and not stripped.startswith(".."):
            found.append(number)
    return found


def markdown_blocks(text):
    """The fenced ```python blocks of a markdown file."""
    blocks, lines = [], text.splitlines()
    i = 0
    while i < len(lines):
        if lines[i].strip() in ("```python", "```py"):
            first, body = i + 2, []
            i += 1
            while i < len(lines) and lines[i].strip() != "```":
                body.append(lines[i])
                i += 1
            blocks.append(("python", first, "\n".join(body) + "\n"))
        i += 1
    return blocks


# Runs the blocks of one page in a fresh interpreter. Python blocks are
# compiled with blank lines in front so that tracebacks give the page's own
# line numbers; the namespace is a real __main__ module so that pickle finds
# the classes a page defines.
RUNNER = r'''
import doctest, json, sys, traceback, types

page, blocks = json.load(sys.stdin)
main = types.ModuleType("__main__")
main.__dict__["__builtins__"] = __builtins__
sys.modules["__main__"] = main
ns = main.__dict__
reports = []
sys.unraisablehook = lambda info: reports.append(info)

for kind, line, code in blocks:
    if kind == "python":
        try:
            exec(compile("\n" * (line - 1) + code, page, "exec"), ns)
        except BaseException:
            traceback.print_exc()
            sys.exit(f"{page}:{line}: the block raised")
    else:
        test = doctest.DocTestParser().get_doctest(code, ns, f"{page}:{line}", page, line - 1)
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        runner.run(test, clear_globs=False)
        ns.update(test.globs)
        if runner.failures:
            sys.exit(f"{page}:{line}: the doctest failed")
    if reports:
        info = reports[0]
        traceback.print_exception(info.exc_type, info.exc_value, info.exc_traceback)
        sys.exit(f"{page}:{line}: an unraisable report from {info.object!r}")
'''


def run_page(path, blocks, tmp_path):
    result = subprocess.run(
        [sys.executable, "-c", RUNNER],
        input=json.dumps([str(path), blocks]),
        capture_output=True,
        text=True,
        timeout=120,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_docs_exist():
    names = {p.relative_to(DOCS).as_posix() for p in PAGES}
    assert {"index.rst", "tutorial.rst"} <= names
    assert any(n.startswith("guides/") for n in names)


@pytest.mark.parametrize("path", PAGES, ids=[p.relative_to(DOCS).as_posix() for p in PAGES])
def test_page_code_runs(path, tmp_path):
    text = path.read_text()
    bare = bare_literal_blocks(text)
    assert not bare, f"{path.name}: '::' literal blocks at lines {bare}; use .. code-block:: with a language"
    blocks = rst_blocks(text)
    if blocks:
        run_page(path, blocks, tmp_path)


def test_readme_code_runs(tmp_path):
    blocks = markdown_blocks((ROOT / "README.md").read_text())
    assert blocks
    run_page(ROOT / "README.md", blocks, tmp_path)


def test_block_parser():
    text = textwrap.dedent(
        """\
        Intro.

        .. code-block:: python
           :caption: first

           x = 1
           if x:
               y = 2

        After.

        .. code-block:: pycon

           >>> x + 1
           2

        .. code-block:: text

           not run
        """
    )
    blocks = rst_blocks(text)
    assert blocks == [
        ("python", 6, "x = 1\nif x:\n    y = 2\n"),
        ("pycon", 14, ">>> x + 1\n2\n"),
    ]
    assert bare_literal_blocks(text) == []
    assert bare_literal_blocks("Example::\n\n   x = 1\n.. note::\n") == [1]


# --- docstring examples ---------------------------------------------------------------

MODULES = ["tarnu.sim", "tarnu.process", "tarnu.minqueue", "tarnu.timeconv", "tarnu.event", "tarnu.define",
           "tarnu.resources"]


def docstring_examples():
    """(owner, code) for every ``::`` literal block of the package's docstrings."""
    import importlib
    import inspect

    found = []
    for name in MODULES:
        module = importlib.import_module(name)
        owners = [(name, module)]
        for attr, value in sorted(vars(module).items()):
            if isinstance(value, type) and value.__module__ == name:
                owners.append((f"{name}.{attr}", value))
                owners += [(f"{name}.{attr}.{k}", v) for k, v in sorted(vars(value).items())]
        for owner, value in owners:
            doc = inspect.getdoc(value) if not isinstance(value, type) else value.__doc__
            if not isinstance(doc, str):
                continue
            for code in literal_blocks(doc):
                found.append((owner, code))
    return found


def literal_blocks(doc):
    lines = textwrap.dedent(doc).splitlines()
    # The first line of a class docstring is not indented like the rest.
    lines = [lines[0]] + textwrap.dedent("\n".join(lines[1:])).splitlines() if lines else lines
    blocks, i = [], 0
    while i < len(lines):
        if lines[i].rstrip().endswith("::"):
            indent = len(lines[i]) - len(lines[i].lstrip())
            i += 1
            body = []
            while i < len(lines) and (not lines[i].strip() or len(lines[i]) - len(lines[i].lstrip()) > indent):
                body.append(lines[i])
                i += 1
            code = textwrap.dedent("\n".join(body)).strip("\n")
            if code:
                blocks.append(code + "\n")
        else:
            i += 1
    return blocks


DOCSTRING_SETUP = """
from tarnu import *
from tarnu.process import isgenerator
from tarnu.define import TIME_FOREVER, TIME_PASSED, TIME_REACHED, LOCK_RELEASED

class MyProcess(Process):
    def __call__(self):
        for _ in range(3):
            yield self.time + 60, TIME_PASSED
        yield None

env = Environment()
"""


def test_docstring_examples_run(tmp_path):
    examples = docstring_examples()
    assert len(examples) >= 4
    for owner, code in examples:
        # Each example, then the environment it built runs for a simulated
        # hour; a failing process shows up as an unraisable report.
        blocks = [
            ("python", 1, DOCSTRING_SETUP),
            ("python", 1, code),
            ("python", 1, "if not env.started:\n    env.start()\nenv.run_until(3600)\n"),
        ]
        run_page(pathlib.Path(f"<docstring of {owner}>"), blocks, tmp_path)


# --- every public name is documented -------------------------------------------------


def load_stubdoc():
    import importlib.util

    spec = importlib.util.spec_from_file_location("stubdoc", DOCS / "_ext" / "stubdoc.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# Hooks that subclasses override or the kernel calls, public despite the
# underscore.
PUBLIC_PRIVATE = {"__call__", "_wait", "_process", "_is_waiting", "_children"}


def public_names():
    import importlib

    for name in MODULES:
        module = importlib.import_module(name)
        for attr, value in vars(module).items():
            if attr.startswith("_") or attr == "isgenerator":
                continue
            yield f"{name}.{attr}", value
            if isinstance(value, type):
                for member, v in vars(value).items():
                    if not member.startswith("_") or member in PUBLIC_PRIVATE:
                        yield f"{name}.{attr}.{member}", v


def test_every_public_name_is_documented():
    stubs = load_stubdoc()._load_stubs()
    undocumented = []
    for qualname, value in public_names():
        if isinstance(value, (int, float)):
            doc = None  # a constant's __doc__ is its type's
        else:
            doc = value.__doc__
        if not doc and not (stubs.get(qualname) or (None, None, None))[2]:
            undocumented.append(qualname)
    assert undocumented == []
