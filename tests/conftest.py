"""Shared fixtures: an unraisable-report collector and a fresh-interpreter runner."""
import contextlib
import os
import subprocess
import sys
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
