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


NATIVE_MODULES = ["tarnu.sim", "tarnu.process", "tarnu.minqueue", "tarnu.timeconv", "tarnu.event", "tarnu.resources"]

# Native callables whose signature the interpreter cannot give: a struct
# sequence's methods are the interpreter's own, and Request.__exit__ takes
# and ignores any arguments, which its stub spells as the protocol's three.
NO_SIGNATURE = {"tarnu.resources.Preempted", "tarnu.resources.Request.__exit__"}

# The callables and types that have no docstring, besides the pickling
# internals (__reduce__, __setstate__, __pyx_unpickle_*): a signature must
# not give them one.
UNDOCUMENTED = {
    "tarnu.sim.Environment.add",
    "tarnu.sim.Environment.__enter__",
    "tarnu.sim.Environment.__exit__",
    "tarnu.sim.Environment.next_event",
    "tarnu.process.Process.setup_env",
    "tarnu.process.Process.start",
    "tarnu.process.Process.finish",
    "tarnu.process.Process.next_event_time",
    "tarnu.minqueue.MinPairingHeapNode",
    "tarnu.minqueue.MinPairingHeapNode.key_lt",
    "tarnu.minqueue.MinPairingHeapNode._children",
    "tarnu.minqueue.MinPairingHeapNode.print_tree",
    "tarnu.minqueue.MinPairingHeap",
    "tarnu.minqueue.MinPairingHeap.first",
    "tarnu.minqueue.MinPairingHeap.push",
    "tarnu.minqueue.MinPairingHeap.pop",
    "tarnu.minqueue.MinPairingHeap.notify_dec",
    "tarnu.minqueue.MinPairingHeap.clear",
    *(f"tarnu.timeconv.{f}" for f in ["d2l", "l2d", "time_eq", "time_le", "time_lt", "time_ge", "time_gt"]),
    "tarnu.resources.Request.__enter__",
    "tarnu.resources.Request.__exit__",
}


def native_callables():
    """(qualified name, object): the types of the native modules, their methods, and their functions."""
    import importlib
    import inspect

    for name in NATIVE_MODULES:
        module = importlib.import_module(name)
        types = [(attr, v) for attr, v in vars(module).items() if isinstance(v, type) and v.__module__ == name]
        if name == "tarnu.resources":
            types.append(("_TimedOut", type(module.TIMED_OUT)))  # not in the namespace
        for attr, value in types:
            if not attr.startswith("_") or value.__name__ == "_TimedOut":
                yield f"{name}.{attr}", value
            for member, v in vars(value).items():
                public = not member.startswith("__") or member in (
                    "__call__", "__enter__", "__exit__", "__reduce__", "__setstate__"
                )
                if public and callable(v):
                    yield f"{name}.{attr}.{member}", v
        for attr, value in vars(module).items():
            if inspect.isbuiltin(value):
                yield f"{name}.{attr}", value


def test_native_callables_have_signatures():
    import inspect

    missing = []
    for qualname, value in native_callables():
        if qualname in NO_SIGNATURE or qualname.rsplit(".", 1)[0] in NO_SIGNATURE:
            continue
        try:
            inspect.signature(value)
        except ValueError:
            missing.append(qualname)
    assert missing == []
    # What a signature reads like: the defaults render as Python values.
    env = tarnu.Environment()
    assert str(inspect.signature(tarnu.Environment)) == "(start=False, stop_time=1000000000000.0, *, errors='report')"
    assert inspect.signature(tarnu.Environment).parameters["stop_time"].default == tarnu.TIME_FOREVER
    assert str(inspect.signature(env.run_until)) == "(ex_time, after_reason=0)"
    assert inspect.signature(env.run_until).parameters["after_reason"].default == tarnu.TIME_PASSED
    assert str(inspect.signature(env.process)) == "(func, *args, loop_forever=False, **kwargs)"
    assert str(inspect.signature(tarnu.Process.__call__)) == "(self, /)"
    assert str(inspect.signature(tarnu.Process.activate)) == "(self, /, time, reason)"
    assert str(inspect.signature(tarnu.MinPairingHeap)) == "(l=())"
    assert str(inspect.signature(tarnu.Container)) == "(env, capacity=inf, init=0)"
    assert str(inspect.signature(tarnu.d2l)) == "(x, /)"

    # A subclass shows its own constructor, or the one it inherits.
    class Job(tarnu.MinPairingHeapNode):
        def __init__(self, priority):
            self.priority = priority

    class Plain(tarnu.Process):
        pass

    assert (str(inspect.signature(Job)), str(inspect.signature(Plain))) == ("(priority)", "(env)")


def test_signatures_leave_every_docstring_as_it_was():
    # The interpreter takes the signature off the head of the docstring: what
    # is left is the docstring as it was, its first line the call as the
    # docstring writes it, or None for a callable that had none.
    problems = []
    for qualname, value in native_callables():
        doc = value.__doc__
        short = qualname.rsplit(".", 1)[1]
        pickling = short in ("__reduce__", "__setstate__") or short.startswith("__pyx_unpickle_")
        if qualname in UNDOCUMENTED or pickling:
            if doc is not None:
                problems.append((qualname, "has a docstring", doc))
        elif not isinstance(doc, str) or "\n--\n" in doc:
            problems.append((qualname, "docstring", doc))
        elif getattr(value, "__text_signature__", None) and not doc.startswith(f"{value.__name__}("):
            problems.append((qualname, "first line", doc.partition("\n")[0]))
        if isinstance(value, type):
            # Instances and vars() read the type's dict, which must agree.
            if "__doc__" not in vars(value) or vars(value)["__doc__"] != doc:
                problems.append((qualname, "vars()['__doc__']", vars(value).get("__doc__", "<absent>")))
    assert problems == []
    assert tarnu.Process.__call__.__doc__.startswith("__call__()\n")
    assert tarnu.MinPairingHeapNode().__doc__ is None and tarnu.MinPairingHeap().__doc__ is None
