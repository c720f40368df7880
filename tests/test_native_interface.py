"""An extension outside the package, built against the headers tarnu ships, binds to the
kernel and to tarnu.resources through what they publish, and nothing else."""
import os
import shlex
import subprocess
import sysconfig

import pytest

import tarnu
from tarnu.define import LOCK_RELEASED, TIME_PASSED
from tarnu.process import Process
from tarnu.resources import PREEMPTED, Resource
from tarnu.sim import Environment

HEADERS = ["native.hpp", "timeconv.hpp", "minqueue.hpp", "event.hpp", "process.hpp", "sim.hpp", "resources.hpp"]


@pytest.fixture(scope="module")
def outside(build_ext, tmp_path_factory):
    return build_ext("outside.cpp", "outside", tmp_path_factory.mktemp("outside"))


def test_get_include_names_the_shipped_headers():
    include = tarnu.get_include()
    assert sorted(os.listdir(os.path.join(include, "tarnu"))) == sorted(HEADERS)
    # The sources stay out of the package.
    package = os.path.dirname(tarnu.__file__)
    assert not [f for f in os.listdir(package) if f.endswith((".cpp", ".hpp"))]
    assert not os.path.exists(os.path.join(package, "runtime"))


@pytest.mark.parametrize("header", HEADERS)
def test_each_header_compiles_on_its_own(tmp_path, header):
    source = tmp_path / "one.cpp"
    source.write_text(f"#include <tarnu/{header}>\n")
    compiler = shlex.split(sysconfig.get_config_var("CXX") or "c++")
    result = subprocess.run(
        compiler + ["-std=c++17", "-fsyntax-only", "-Wall", "-Wextra", "-Werror",
                    "-I" + sysconfig.get_paths()["include"], "-I" + tarnu.get_include(), str(source)],
        capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


def test_activate_through_the_process_method_table(outside, simulate):
    env = Environment()
    woken = []

    def sleeper(self):
        woken.append(((yield None), self.time))
        yield None

    p = env.process(sleeper)
    simulate(env, 2)
    outside.wake(p, 3.5, LOCK_RELEASED)
    simulate(env, 10)
    assert woken == [(LOCK_RELEASED, 3.5)]


def test_a_python_override_of_activate_is_honoured(outside, simulate):
    env = Environment()
    seen = []

    class Logged(Process):
        def __call__(self):
            while True:
                yield None

        def activate(self, time, reason):
            seen.append((time, reason))

    outside.wake(Logged(env), 1.0, 7)
    assert seen == [(1.0, 7)]


def test_resource_method_table(outside, simulate):
    env = Environment()
    desk = Resource(env)
    log = []

    def customer(self, name):
        granted = yield from outside.acquire(desk, self, 0.0)
        log.append((name, granted, self.time))
        yield self.time + 2, TIME_PASSED
        log.append(("left", outside.release(desk, self)))
        yield None

    env.process(customer, "a")
    env.process(customer, "b")
    simulate(env, 10)
    assert sorted(log) == [("a", True, 0), ("b", True, 2), ("left", 0), ("left", 1)]
    with pytest.raises(RuntimeError, match="does not hold"):
        outside.release(desk, Process(env))


def test_published_constants_and_functions(outside):
    assert outside.constants() == (LOCK_RELEASED, PREEMPTED, 1001)
