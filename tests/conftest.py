"""Shared fixtures: an unraisable-report collector and a fresh-interpreter runner."""
import contextlib
import importlib.util
import os
import shlex
import subprocess
import sys
import sysconfig
import textwrap

import pytest


@contextlib.contextmanager
def collect_unraisable():
    """Collects sys.unraisablehook calls as (exc_type, exc_value, object).

    pytest replaces the hook around each test phase, so install it inside the
    test body with ``with collect_unraisable() as reports:``.
    """
    reports = []
    old = sys.unraisablehook

    def hook(info):
        reports.append((info.exc_type, info.exc_value, info.object))

    sys.unraisablehook = hook
    try:
        yield reports
    finally:
        sys.unraisablehook = old


@pytest.fixture
def unraisable():
    return collect_unraisable


def run_python(code, *, env=None, timeout=120):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=full_env,
        cwd=os.path.dirname(__file__),
    )


@pytest.fixture
def run_py():
    return run_python


NATIVE = os.path.join(os.path.dirname(__file__), "native")


def build_extension(source, name, directory):
    """Compiles tests/native/<source> into the extension module `name` in
    `directory` with the interpreter's own compiler and flags, and imports it."""
    import tarnu

    cpp = source.endswith(".cpp")
    compiler = shlex.split(sysconfig.get_config_var("CXX" if cpp else "CC") or ("c++" if cpp else "cc"))
    flags = shlex.split(sysconfig.get_config_var("CFLAGS") or "") + shlex.split(sysconfig.get_config_var("CCSHARED") or "")
    if cpp:
        flags = [f for f in flags if not f.startswith("-std=")] + ["-std=c++17"]
    target = os.path.join(str(directory), name + sysconfig.get_config_var("EXT_SUFFIX"))
    command = compiler + flags + [
        "-shared", "-I" + sysconfig.get_paths()["include"], "-I" + tarnu.get_include(),
        os.path.join(NATIVE, source), "-o", target,
    ]
    result = subprocess.run(command, capture_output=True, text=True)
    assert result.returncode == 0, " ".join(command) + "\n" + result.stderr
    spec = importlib.util.spec_from_file_location(name, target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def alloc_counter(tmp_path_factory):
    """A module whose start() and stop() count the interpreter's allocations in between."""
    return build_extension("alloc_counter.c", "alloc_counter", tmp_path_factory.mktemp("alloc"))


def simulate_model(env, until):
    """Starts `env` if needed and runs it to `until`; an exception in a process
    fails the caller instead of being reported as unraisable."""
    with collect_unraisable() as reports:
        if not env.started:
            env.start()
        env.run_until(until)
    if reports:
        raise reports[0][1]


@pytest.fixture
def simulate():
    return simulate_model


@pytest.fixture(scope="session")
def build_ext():
    return build_extension
