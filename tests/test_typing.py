"""The typed API: the stubs match the installed package, and models type-check.

stubtest compares every module of the installed package with its stub (a
pure-Python module is its own stub); mypy --strict checks the examples and
tests/typecheck/, which pins the types the stubs promise.
"""
import pathlib
import pkgutil
import re
import subprocess
import sys

import pytest

import tarnu

ROOT = pathlib.Path(__file__).resolve().parent.parent
ALLOWLIST = pathlib.Path(__file__).parent / "stubtest-allowlist.txt"


def run_tool(args, tmp_path):
    # From an empty directory, so that the installed package is the one seen
    # and no cache of an earlier run is trusted.
    result = subprocess.run(
        [sys.executable, "-m", *args],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=tmp_path,
    )
    return result.returncode, result.stdout + result.stderr


def installed_modules():
    return sorted(m.name for m in pkgutil.walk_packages(tarnu.__path__, "tarnu."))


def test_stubs_installed_with_the_package():
    package = pathlib.Path(tarnu.__file__).parent
    assert package != ROOT / "tarnu", "tests must run against the installed package"
    assert (package / "py.typed").is_file()
    for name in installed_modules():
        short = name.split(".", 1)[1].replace(".", "/")
        assert (package / f"{short}.pyi").is_file() or (package / f"{short}.py").is_file(), name


def header_directories():
    """The package's directories of C++ headers (tarnu.get_include()), which
    stubtest visits as namespace packages."""
    package = pathlib.Path(tarnu.__file__).parent
    return [d for d in package.rglob("*") if d.is_dir() and d.name != "__pycache__"]


def test_stubtest_every_module(tmp_path):
    code, out = run_tool(["mypy.stubtest", "tarnu", "--allowlist", str(ALLOWLIST)], tmp_path)
    assert code == 0, out
    checked = re.search(r"in (\d+) modules?", out)
    assert checked, out
    # The package itself and each of its modules, whoever wrote them.
    assert int(checked.group(1)) == 1 + len(installed_modules()) + len(header_directories()), out


def test_allowlist_entries_give_reasons():
    lines = ALLOWLIST.read_text().splitlines()
    for i, line in enumerate(lines):
        if line.strip() and not line.startswith("#"):
            assert i > 0 and lines[i - 1].startswith("#"), f"no reason above {line!r}"


def test_mypy_strict_on_examples(tmp_path):
    files = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    files += sorted(str(p) for p in (ROOT / "tests" / "typecheck").glob("*.py"))
    assert len(files) >= 2
    code, out = run_tool(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *files], tmp_path)
    assert code == 0, out
