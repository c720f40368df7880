"""How the stubs type a model: checked by mypy --strict (tests/test_typing.py).

Each assert_type pins a type the stubs promise; each "type: ignore[code]"
marks a call the stubs must refuse (--strict warns about an ignore that is
no longer needed). This file is read by the type checker, not run.
"""
from __future__ import annotations

from typing import Generator, List, Optional, Tuple

from typing_extensions import Literal, assert_type

import tarnu
from tarnu import LOCK_RELEASED, TIME_FOREVER, TIME_PASSED, Environment, Event, Process
from tarnu.minqueue import MinPairingHeap, MinPairingHeapNode
from tarnu.timeconv import d2l, l2d, time_eq

Steps = Generator[Optional[Tuple[float, int]], int, None]


class Ticker(Process):
    def __init__(self, env: Environment, interval: float) -> None:
        self.interval = interval
        super().__init__(env)

    def __call__(self) -> Steps:
        while True:
            reason = yield self.time + self.interval, TIME_PASSED
            assert_type(reason, int)


class Waiter(Process):
    def _wait(self) -> Optional[Tuple[float, int]]:
        return None

    def _process(self) -> None:
        pass


def tick(self: Process, interval: float, label: str = "") -> Steps:
    yield self.time + interval, TIME_PASSED


def model() -> None:
    with Environment(stop_time=100.0, errors="raise") as env:
        assert_type(env, Environment)
        Ticker(env, 2.5)
        Waiter(env)
        assert_type(env.process(tick, 5), Process)
        env.process(tick, 5, label="x")
        env.process(tick, 5, loop_forever=True)
        env.process(tick, "5")  # type: ignore[call-overload]
        env.process(tick, 5, colour="red")  # type: ignore[call-arg]
    assert_type(env.time, float)
    assert_type(env.errors, Literal["report", "raise"])
    Environment(errors="loud")  # type: ignore[arg-type]
    assert_type(env.run_until(10, LOCK_RELEASED), float)
    assert_type(env.join(), float)
    assert_type(env.next_event(), Optional[Event])
    assert_type(env.next_event_time(), float)
    assert_type(TIME_FOREVER, float)
    p = Ticker(env, 1)
    p.activate(3, LOCK_RELEASED)
    assert_type(p.env, Environment)
    assert_type(p.next_activation_time(), float)
    assert_type(Process(env)(), Generator[Optional[Tuple[float, int]], int, object])
    env.time = 3.0  # type: ignore[misc]
    Process()  # type: ignore[call-arg]
    assert_type(tarnu.Environment, type[Environment])


class Job(MinPairingHeapNode):
    def __init__(self, priority: int) -> None:
        self.priority = priority

    def __lt__(self, other: Job) -> bool:
        return self.priority < other.priority


def heap() -> None:
    jobs: MinPairingHeap[Job] = MinPairingHeap([Job(2), Job(1)])
    jobs.push(Job(3))
    assert_type(jobs.pop(), Optional[Job])
    assert_type(jobs.first(), Optional[Job])
    jobs.push(MinPairingHeapNode())  # type: ignore[arg-type]
    MinPairingHeapNode(1, 2, x=3)
    out: List[Job] = []
    while jobs:
        job = jobs.pop()
        assert job is not None
        out.append(job)


def times() -> None:
    assert_type(d2l(1.5), int)
    assert_type(l2d(1500), float)
    assert_type(time_eq(0.1 + 0.2, 0.3), bool)
    d2l("1")  # type: ignore[arg-type]
