"""Leak soak: build, run and drop many small simulations and full heaps, and
check that memory stays flat (tracemalloc for Python objects, RSS for the
rest). The short version runs in `make test`; SOAK=1 (set by `make fuzz`)
runs 10**5 rounds.
"""
import gc
import io
import os
import pickle
import sys
import tracemalloc

import pytest

from tarnu import define
from tarnu.event import Event
from tarnu.minqueue import MinPairingHeap, MinPairingHeapNode
from tarnu.process import Process
from tarnu.sim import Environment

LONG = bool(os.environ.get("SOAK"))
ROUNDS = 10**5 if LONG else 3000
WARMUP = 2000 if LONG else 600
# Under the sanitizers (freed memory held in quarantine) and valgrind (its
# shadow memory) RSS says nothing about leaks.
SANITIZED = "ASAN_OPTIONS" in os.environ or "vgpreload" in os.environ.get("LD_PRELOAD", "")


class Ticker(Process):
    def __init__(self, env, period, log):
        self.period = period
        self.log = log
        super().__init__(env)  # starts the process in a started environment

    def __call__(self):
        reason = None
        while True:
            self.log.append(reason)
            reason = yield (self.time + self.period, define.TIME_PASSED)


class Waiter(Process):
    """The default generator: _wait, then a _process generator."""

    def _wait(self):
        return (self.time + 1.5, define.TIME_REACHED)

    def _process(self):
        yield (self.time + 0.25, define.TIME_PASSED)


class Sleeper(Process):
    def __call__(self):
        while True:
            yield None


class Failing(Process):
    def __call__(self):
        yield (1.0, define.TIME_PASSED)
        raise ValueError("step failed")


class Ending(Process):
    def __call__(self):
        yield (2.0, define.TIME_PASSED)


class Spawner(Process):
    def __call__(self):
        yield (0.5, define.TIME_PASSED)
        Ticker(self.env, 0.75, [])
        while True:
            yield None


class Node(MinPairingHeapNode):
    def __init__(self, key):
        self.key = key

    def __lt__(self, other):
        return self.key < other.key


def one_simulation(i):
    log = []
    env = Environment()
    Ticker(env, 1.0, log)
    Waiter(env)
    sleeper = Sleeper(env)
    if i % 3 == 0:
        Failing(env)
    if i % 5 == 0:
        Ending(env)
    Spawner(env)
    env.start()
    env.run_until(3.5)
    sleeper.activate(env.time + 0.5, define.LOCK_RELEASED)
    env.run_until(6.0)
    env.next_event()
    env.next_event_time()
    env.finish()
    if i % 4 == 0:
        env.__init__()  # drops the old heap and processes with their cycles
    with Environment(stop_time=3.0) as env2:
        Ticker(env2, 0.5, [])
    wrapped_simulation(i)
    if i % 2 == 0:
        pickled_round_trip()


def ticks(self, period, log=None):
    for _ in range(3):
        yield (self.time + period, define.TIME_PASSED)
    if log is not None:
        log.append(self.time)


def wrapped_simulation(i):
    """Processes made by Environment.process: parked at the end, looping, or
    failing in their function."""
    env = Environment(start=i % 2 == 0)
    env.process(ticks, 0.5)
    env.process(ticks, 0.25, log=[], loop_forever=True)
    env.process(lambda self: iter(()))
    try:
        # A function that returns no iterable fails the start of its process.
        env.process(lambda self: None)
        env.start()
    except TypeError:
        pass
    env.run_until(4.0)
    env.finish()


def pickled_round_trip():
    """An environment and its processes, in a cycle, pickled and restored.
    A live heap does not pickle, so the states are set by hand."""
    env = Environment.__new__(Environment)
    procs = [Process.__new__(Process) for _ in range(3)]
    for k, p in enumerate(procs):
        p.__setstate__((False, env, None, Event(k, p, 0), k, None))
    env.__setstate__((None, procs, False, 5.0, 1000))
    restored = pickle.loads(pickle.dumps(env))
    assert restored.time == 1.0

def full_heaps(i):
    h = MinPairingHeap(Node((i * 7919 + k * 104729) % 1000) for k in range(40))
    for _ in range(15):
        h.pop()
    events = MinPairingHeap([Event(k, None, 0) for k in range(30, 0, -1)])
    for _ in range(10):
        events.pop()
    plain = MinPairingHeap([MinPairingHeapNode() for _ in range(5)])
    if i % 2:
        h.clear()
        events.clear()
    else:
        h.__init__([Node(1), Node(2)])
    del plain  # a heap dropped while it holds nodes


class Discard(io.TextIOBase):
    def write(self, text):
        return len(text)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("body", [one_simulation, full_heaps])
def test_memory_stays_flat(body):
    old_hook, old_stderr = sys.unraisablehook, sys.stderr
    # Failing steps are reported as unraisable; their tracebacks are dropped.
    sys.unraisablehook = lambda info: None
    sys.stderr = Discard()
    try:
        for i in range(WARMUP):
            body(i)
        gc.collect()
        # A structure of the interpreter's that grows once (a table resized
        # on the way, such as the interned strings') is no leak: the traced
        # growth is the smaller of two windows, the second and the last
        # third of the rounds, which a leak would both show; RSS and the
        # object count are taken over all of them.
        rss_before = rss_bytes()
        objects_before = len(gc.get_objects())
        tracemalloc.start()
        try:
            marks = {WARMUP + ROUNDS // 3, WARMUP + 2 * ROUNDS // 3}
            traced = []
            for i in range(WARMUP, WARMUP + ROUNDS):
                if i in marks:
                    gc.collect()
                    traced.append(tracemalloc.get_traced_memory()[0])
                body(i)
                if i % 1000 == 0:
                    gc.collect()
            gc.collect()
            traced.append(tracemalloc.get_traced_memory()[0])
            traced_growth = min(traced[1] - traced[0], traced[2] - traced[1])
        finally:
            tracemalloc.stop()
        gc.collect()
        objects_growth = len(gc.get_objects()) - objects_before
        rss_growth = rss_bytes() - rss_before
    finally:
        sys.unraisablehook, sys.stderr = old_hook, old_stderr
    # One leaked object per round would show as at least ROUNDS / 3 * 32 bytes.
    assert traced_growth < ROUNDS + 16 * 1024, traced_growth
    assert objects_growth < 100, objects_growth
    if not SANITIZED:
        assert rss_growth < (16 if LONG else 8) * 1024 * 1024, rss_growth
