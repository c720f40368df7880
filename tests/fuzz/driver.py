"""Random-call fuzzer for the kernel.

For each seed it runs a bounded sequence of calls on heaps, nodes, events,
environments and processes with hostile arguments and hostile overrides,
swallowing every Python exception. A fault shows as a crash, a hang, a
sanitizer report or an interpreter that does not exit normally, which the
caller (tests/test_fuzz.py, `make fuzz`) checks for from outside.

    python driver.py FIRST_SEED COUNT [--steps N] [--verbose]

prints "sequences=<n> calls=<m>" on success. --verbose prints each seed
before it runs, to find the sequence at fault.
"""
import argparse
import faulthandler
import gc
import io
import math
import pickle
import random
import sys
import weakref

from tarnu.minqueue import MinPairingHeap, MinPairingHeapNode
from tarnu.event import Event
from tarnu.sim import Environment
from tarnu.process import Process
from tarnu import define
import tarnu.process

import blocks  # the modelling blocks' hostile shapes

MAX_DEPTH = 3  # nesting of hostile callbacks that make calls of their own
GEN_BUDGET = 20  # steps of a fuzz generator before it ends
WAIT_BUDGET = 12  # _wait calls of a default-generator process before it raises

State = None  # the running sequence
TRACE = None  # a stream that logs every call (--trace)
STATS = {"resumed": 0, "started": 0, "processes": 0}  # generator steps, printed with --verbose


class Sequence:
    def __init__(self, seed, steps):
        self.rng = random.Random(seed)
        self.steps = steps
        self.calls = 0
        self.depth = 0
        self.heaps = []
        self.nodes = []
        self.events = []
        self.envs = []
        self.procs = []
        self.gens = []  # process generators, reached through the collector
        self.walks = []  # _children walks, advanced across heap changes
        self.removed = []  # class attributes to put back at the end

    def pick(self, pool):
        return self.rng.choice(pool) if pool else None


# --- hostile values ------------------------------------------------------------


class BadNumber:
    """Fails every numeric conversion."""

    def __int__(self):
        raise ValueError("no int")

    def __index__(self):
        raise ValueError("no index")

    def __float__(self):
        raise ValueError("no float")


class MutatingNumber:
    """Converts, but runs a hostile call while converting."""

    def __int__(self):
        nested()
        return 1

    def __float__(self):
        nested()
        return 1.0


class BadBool:
    def __bool__(self):
        raise ValueError("no truth")


class BadIter:
    """An iterable whose iteration fails half way, after a hostile call."""

    def __iter__(self):
        yield 1.0
        nested()
        raise ValueError("iteration failed")


class FuzzInterrupt(BaseException):
    """Not an Exception, as KeyboardInterrupt: the loop passes it on."""


def number():
    rng = State.rng
    return rng.choice([
        0, 1, -1, 2.5, -3.25, 1e-4, 0.0005, 1e12, -1e12, 1e300, -1e300, math.inf, -math.inf, math.nan,
        2 ** 31, -2 ** 31 - 1, 2 ** 63, 2 ** 70, True, define.TIME_FOREVER, define.TIME_FOREVER - 1,
        rng.uniform(-10, 100), rng.randint(-5, 50),
    ])


def hostile_value():
    rng = State.rng
    r = rng.random()
    if r < 0.45:
        return number()
    if r < 0.55:
        return rng.choice([None, "x", b"", (), [], object(), BadNumber(), MutatingNumber(), BadBool()])
    return any_object()


def any_object():
    s = State
    pools = [p for p in (s.heaps, s.nodes, s.events, s.envs, s.procs) if p]
    if not pools:
        return None
    return s.pick(s.rng.choice(pools))


def activation_pair():
    """Something a process generator might yield."""
    rng = State.rng
    r = rng.random()
    if r < 0.86:
        return (number() if rng.random() < 0.1 else rng.uniform(-1, 20), rng.choice([0, 1, 2, -1, 7]))
    if r < 0.9:
        return None
    if r < 0.94:
        return [rng.uniform(0, 10), rng.choice([0, 1, 2.7])]
    return rng.choice([
        (), (1.0,), (1.0, 0, 0), "ab", 5, BadIter(), iter([1.0, 0]), (BadNumber(), 0), (1.0, BadNumber()),
        (MutatingNumber(), MutatingNumber()), (1.0, 2 ** 40), ("t", 0), any_object(),
    ])


# --- hostile classes -----------------------------------------------------------


class KeyNode(MinPairingHeapNode):
    def __init__(self, key=0):
        self.key = key

    def __lt__(self, other):
        return self.key < getattr(other, "key", 0)

    def __repr__(self):
        return "KeyNode(%r)" % (self.key,)


class KeyLtNode(MinPairingHeapNode):
    def __init__(self, key=0):
        self.key = key

    def key_lt(self, other):
        return self.key < getattr(other, "key", 0)


class HostileNode(KeyNode):
    """An ordering that mutates heaps, fails, or answers garbage."""

    def __lt__(self, other):
        rng = State.rng
        r = rng.random()
        if r < 0.3:
            nested()
        elif r < 0.4:
            raise ValueError("bad ordering")
        elif r < 0.5:
            return BadBool()
        elif r < 0.55:
            forget_some()
        elif r < 0.6:
            gc.collect()
        elif r < 0.65:
            build_something()
        return rng.random() < 0.5


class DyingNode(KeyNode):
    """A finaliser that makes calls, while a heap or the collector releases it."""

    def __del__(self):
        if State is not None and State.rng.random() < 0.5:
            nested()


class HostileEvent(Event):
    """An event ordered by a key_lt override that runs calls of its own."""

    def key_lt(self, other):
        r = State.rng.random()
        if r < 0.3:
            nested()
        elif r < 0.35:
            build_something()
        return self.time_i64 < getattr(other, "time_i64", 0)


class ChildrenNode(KeyNode):
    """A _children that yields garbage, fails, or mutates heaps."""

    def _children(self):
        rng = State.rng
        for _ in range(rng.randint(0, 4)):
            r = rng.random()
            if r < 0.3:
                yield rng.choice([None, 1, "x", object()])
            elif r < 0.5:
                yield any_object()
            elif r < 0.6:
                nested()
            elif r < 0.7:
                raise ValueError("bad children")
            else:
                yield from MinPairingHeapNode._children(self)
                return


class HostileHeap(MinPairingHeap):
    """Overrides that return garbage, fail, or do something else first."""

    def _hostile(self, name, *args):
        rng = State.rng
        r = rng.random()
        if r < 0.2:
            nested()
        elif r < 0.3:
            raise ValueError("bad " + name)
        elif r < 0.4:
            return hostile_value()
        elif r < 0.45:
            forget_some()
        return getattr(MinPairingHeap, name)(self, *args)

    def first(self):
        return self._hostile("first")

    def pop(self):
        return self._hostile("pop")

    def push(self, node):
        return self._hostile("push", node)

    def notify_dec(self, node):
        return self._hostile("notify_dec", node)

    def clear(self):
        return self._hostile("clear")


class HostileEnv(Environment):
    def _hostile(self, name, *args):
        rng = State.rng
        r = rng.random()
        if r < 0.2:
            nested()
        elif r < 0.3:
            raise ValueError("bad " + name)
        elif r < 0.4:
            return hostile_value()
        elif r < 0.45:
            self.__init__()
        elif r < 0.47:
            raise FuzzInterrupt(name)
        return getattr(Environment, name)(self, *args)

    def add(self, process):
        return self._hostile("add", process)

    def start(self):
        return self._hostile("start")

    def finish(self):
        return self._hostile("finish")

    def run_until(self, ex_time, after_reason=0):
        return self._hostile("run_until", ex_time, after_reason)

    def join(self):
        return self._hostile("join")

    def next_event(self):
        return self._hostile("next_event")

    def next_event_time(self):
        return self._hostile("next_event_time")


def process_step(proc):
    """One hostile thing a running process does besides yielding."""
    s = State
    rng = s.rng
    env = proc.env
    r = rng.random()
    if r < 0.05 and env is not None:
        call(env.start)
    elif r < 0.2 and env is not None:
        call(env.run_until, rng.uniform(-1, 30), rng.choice([0, 1, 2]))
    elif r < 0.22 and env is not None:
        call(env.__init__)
    elif r < 0.3 and env is not None:
        call(env.join)
    elif r < 0.35:
        call(proc.start)
    elif r < 0.45:
        other = s.pick(s.procs)
        if other is not None:
            call(other.activate, rng.uniform(-1, 20), rng.choice([0, 1, 2]))
    elif r < 0.5 and env is not None:
        make_process(env)
    elif r < 0.55:
        forget_some()
    elif r < 0.6:
        gc.collect()
    elif r < 0.7:
        nested()
    elif r < 0.72 and env is not None:
        call(env.finish)
    elif r < 0.75:
        call(proc.__init__, s.pick(s.envs) or env)
    elif r < 0.8:
        steal_internals(env if rng.random() < 0.5 else proc)
    elif r < 0.85:
        gen_action()
    elif r < 0.87:
        pickle_action()
    elif r < 0.9 and env is not None:
        ev = call(env.next_event)
        if isinstance(ev, MinPairingHeapNode):
            walk = call(MinPairingHeapNode._children, ev)
            call(next, walk, None)
            keep(s.walks, walk, limit=10)
        walk_action()
    elif r < 0.91:
        call(Process.__init__, proc, rng.choice([env, s.pick(s.envs)]))


def gen_action():
    """Drives a process generator from outside its process, even from
    inside its own step."""
    s = State
    g = s.pick(s.gens)
    if g is None:
        return
    op = s.rng.choice(["send", "next", "throw", "close"])
    if op == "send":
        call(g.send, s.rng.choice([None, 0, 1]))
    elif op == "next":
        call(next, g)
    elif op == "throw":
        call(g.throw, s.rng.choice([ValueError, GeneratorExit, StopIteration]))
    else:
        call(g.close)


def steal_internals(obj):
    """Puts an object's hidden heap and events in the pools, as reached
    through the collector's view of it."""
    s = State
    for o in call(gc.get_referents, obj) or ():
        if isinstance(o, MinPairingHeap):
            keep(s.heaps, o)
        elif isinstance(o, Event):
            keep(s.events, o)
        elif hasattr(o, "send") and hasattr(o, "throw"):
            keep(s.gens, o, limit=10)
    if isinstance(obj, Environment):
        ev = call(obj.next_event)
        if isinstance(ev, Event):
            keep(s.events, ev)


class GenProcess(Process):
    """A generator process that yields garbage, returns, raises and re-enters."""

    def __call__(self):
        STATS["started"] += 1
        rng = State.rng
        for i in range(rng.randint(GEN_BUDGET // 2, GEN_BUDGET)):
            r = rng.random()
            if r < 0.02:
                return
            if r < 0.04:
                raise ValueError("process failed")
            if r < 0.045:
                raise FuzzInterrupt("process interrupted")
            # Mostly a plain first step, so that a start walk goes on.
            if r < 0.3 and (i or r < 0.1):
                process_step(self)
            STATS["resumed"] += 1
            yield activation_pair()


class WaitProcess(Process):
    """The default generator, with _wait and _process overrides."""

    waits = 0

    def _wait(self):
        self.waits += 1
        if self.waits > WAIT_BUDGET:
            raise ValueError("enough waiting")
        rng = State.rng
        r = rng.random()
        process_step(self)
        if r < 0.7:
            return (rng.uniform(-1, 20), rng.choice([0, 1, 2]))
        return rng.choice([None, [1.0, 0], "x", 5, (), (1.0, 0, 0), any_object()])

    def _process(self):
        rng = State.rng
        r = rng.random()
        if r < 0.4:
            return self._subgen()
        if r < 0.5:
            raise ValueError("bad work")
        process_step(self)
        return rng.choice([None, 1, any_object(), iter(())])

    def _subgen(self):
        for _ in range(State.rng.randint(0, 3)):
            process_step(self)
            yield activation_pair()


class OddCallProcess(Process):
    """__call__ returns something that is not a generator."""

    def __call__(self):
        return State.rng.choice([None, 1, iter([(1.0, 0)]), any_object(), BadIter()])


class OverridingProcess(GenProcess):
    """Overrides of the native operations that fail or re-enter."""

    def _hostile(self, name, *args):
        rng = State.rng
        r = rng.random()
        if r < 0.15:
            nested()
        elif r < 0.25:
            raise ValueError("bad " + name)
        elif r < 0.3:
            forget_some()
        elif r < 0.35:
            return hostile_value()
        return getattr(Process, name)(self, *args)

    def setup_env(self, env):
        return self._hostile("setup_env", env)

    def activate(self, time, reason):
        return self._hostile("activate", time, reason)

    def start(self):
        return self._hostile("start")

    def finish(self):
        return self._hostile("finish")

    def __del__(self):
        if State is not None and State.rng.random() < 0.5:
            nested()


NODE_CLASSES = [MinPairingHeapNode, KeyNode, KeyLtNode, HostileNode, ChildrenNode, DyingNode]
PROCESS_CLASSES = [GenProcess, WaitProcess, OddCallProcess, OverridingProcess]


# --- calls -----------------------------------------------------------------------


def call(func, *args, **kwargs):
    """Calls `func`, swallowing its exception (interrupts included); counts
    the call."""
    State.calls += 1
    if TRACE:
        TRACE.write("%s%s %s\n" % ("  " * State.depth, getattr(func, "__qualname__", func), [type(a).__name__ for a in args]))
        TRACE.flush()
    try:
        return func(*args, **kwargs)
    except (Exception, GeneratorExit, FuzzInterrupt):
        return None


def nested():
    """A random call from inside a hostile callback, bounded in depth."""
    s = State
    if s is None or s.depth >= MAX_DEPTH:
        return
    s.depth += 1
    try:
        action()
    finally:
        s.depth -= 1


def forget_some():
    """Drops the sequence's references to a few objects."""
    s = State
    for pool in (s.heaps, s.nodes, s.events, s.envs, s.procs):
        if pool and s.rng.random() < 0.3:
            del pool[s.rng.randrange(len(pool))]


def keep(pool, obj, limit=40):
    if obj is not None:
        pool.append(obj)
        if len(pool) > limit:
            del pool[State.rng.randrange(len(pool))]
    return obj


def make_node():
    rng = State.rng
    cls = fresh(rng.choice(NODE_CLASSES))
    if cls is MinPairingHeapNode:
        return keep(State.nodes, call(cls, *[hostile_value() for _ in range(rng.randint(0, 2))]))
    return keep(State.nodes, call(cls, rng.randint(0, 9)))


def make_event():
    rng = State.rng
    args = [rng.choice([rng.randint(-5, 50), hostile_value()]), State.pick(State.procs), rng.choice([0, 1, 2, hostile_value()])]
    return keep(State.events, call(fresh(rng.choice([Event, Event, HostileEvent])), *args))


def make_heap():
    rng = State.rng
    cls = fresh(rng.choice([MinPairingHeap, MinPairingHeap, HostileHeap]))
    items = [State.pick(State.nodes + State.events) for _ in range(rng.randint(0, 4))]
    arg = rng.choice([(), (items,), (tuple(items),), (iter(items),), (BadIter(),), (hostile_value(),)])
    return keep(State.heaps, call(cls, *arg))


def make_env():
    rng = State.rng
    cls = fresh(rng.choice([Environment, Environment, HostileEnv]))
    # Both error policies: under "raise" the failures of hostile processes
    # reach the fuzzer's calls instead of the unraisable hook.
    policy = {"errors": rng.choice(["report", "raise", hostile_value()])} if rng.random() < 0.5 else {}
    return keep(State.envs, call(cls, rng.choice([False, False, True, BadBool()]), rng.choice([define.TIME_FOREVER, 10.0, rng.uniform(0, 50), hostile_value()]), **policy))


def fresh(cls):
    """Sometimes a new subclass made on the spot: classes come and go, and
    a new one may take the address of a freed one."""
    if State.rng.random() < 0.15:
        return type("Fresh" + cls.__name__, (cls,), {})
    return cls


def make_process(env=None):
    rng = State.rng
    cls = fresh(rng.choice(PROCESS_CLASSES))
    if env is None:
        env = State.pick(State.envs) if rng.random() < 0.9 else hostile_value()
    if hasattr(env, "process") and rng.random() < 0.3:
        p = keep(State.procs, make_wrapped(env))
    else:
        p = keep(State.procs, call(cls, env))
    if p is not None:
        STATS["processes"] += 1
    return p


def wrapped_body(self, *args, **kwargs):
    rng = State.rng
    for i in range(rng.randint(0, 6)):
        if rng.random() < 0.03:
            raise ValueError("wrapped function failed")
        if rng.random() < 0.005:
            raise FuzzInterrupt("wrapped function interrupted")
        if rng.random() < 0.3:
            process_step(self)
        STATS["resumed"] += 1
        yield activation_pair()


def make_wrapped(env):
    """A process made by Environment.process, from functions good and bad;
    a looping one that ends at once included."""
    rng = State.rng
    func = rng.choice([
        wrapped_body, wrapped_body, wrapped_body,
        lambda self, *a, **k: iter(()),
        lambda self, *a, **k: [activation_pair()],
        lambda self, *a, **k: hostile_value(),
        5,
    ])
    args = [hostile_value() for _ in range(rng.randint(0, 2))]
    kwargs = {"x": hostile_value()} if rng.random() < 0.3 else {}
    loop_forever = rng.choice([False, True, BadBool()])
    return call(env.process, func, *args, loop_forever=loop_forever, **kwargs)


def scenario():
    """A small simulation run for a while, hostile processes included."""
    s = State
    rng = s.rng
    env = keep(s.envs, call(rng.choice([Environment, Environment, HostileEnv])))
    if env is None:
        return
    for _ in range(rng.randint(1, 5)):
        make_process(env)
    call(env.start)
    for _ in range(rng.randint(1, 4)):
        call(env.run_until, env.time + rng.uniform(0, 15), rng.choice([0, 1, 2]))
        if rng.random() < 0.3:
            p = s.pick(s.procs)
            if p is not None:
                call(p.activate, rng.uniform(-1, 20), rng.choice([0, 1, 2]))
    if rng.random() < 0.5:
        call(env.finish)


def heap_action():
    s = State
    rng = s.rng
    h = s.pick(s.heaps)
    if h is None:
        return make_heap()
    node = s.pick(s.nodes + s.events) if rng.random() < 0.85 else hostile_value()
    op = rng.choice(["push", "push", "pop", "pop", "first", "notify_dec", "clear", "init", "bool", "decrease"])
    if op == "push":
        call(h.push, node)
    elif op == "pop":
        popped = call(h.pop)
        if isinstance(popped, MinPairingHeapNode):
            keep(s.nodes, popped)
    elif op == "first":
        call(h.first)
    elif op == "notify_dec":
        call(h.notify_dec, node)
    elif op == "decrease":
        if isinstance(node, KeyNode):
            node.key -= rng.randint(0, 3)
        call(h.notify_dec, node)
    elif op == "clear":
        call(h.clear)
    elif op == "init":
        items = [s.pick(s.nodes + s.events) for _ in range(rng.randint(0, 3))]
        call(h.__init__, *rng.choice([(), (items,), (iter(items),), (BadIter(),)]))
    else:
        call(bool, h)


def node_action():
    s = State
    rng = s.rng
    n = s.pick(s.nodes + s.events)
    if n is None:
        return make_node()
    op = rng.choice(["key_lt", "children", "print_tree", "pickle", "event_fields"])
    if op == "key_lt":
        call(n.key_lt, s.pick(s.nodes + s.events) if rng.random() < 0.8 else hostile_value())
    elif op == "children":
        if rng.random() < 0.5:
            # The native walk, left half done, to be resumed after later
            # heap changes.
            walk = call(MinPairingHeapNode._children, n)
            call(next, walk, None)
            keep(s.walks, walk, limit=10)
            return
        def walk():
            for i, c in enumerate(n._children()):
                if i > 50:
                    break
                if rng.random() < 0.2:
                    heap_action()
        call(walk)
    elif op == "print_tree":
        call(n.print_tree, rng.choice([0, 2, -1, hostile_value()]))
    elif op == "pickle":
        call(n.__reduce__)
    elif isinstance(n, Event):
        field = rng.choice(["time_i64", "reason", "process"])
        call(setattr, n, field, hostile_value() if rng.random() < 0.5 else rng.randint(-3, 30))
        call(getattr, n, field)


def env_action():
    s = State
    rng = s.rng
    e = s.pick(s.envs)
    if e is None:
        return make_env()
    op = rng.choice(["start", "start", "run_until", "run_until", "run_until", "run_until", "join", "finish", "add", "next", "init",
                     "with", "attrs", "stray", "bare"])
    if op == "start":
        call(e.start)
    elif op == "run_until":
        call(e.run_until, rng.choice([rng.uniform(-1, 40), hostile_value()]), *rng.choice([(), (rng.choice([0, 1, 2, -1]),), (hostile_value(),)]))
    elif op == "join":
        if e.stop_time < define.TIME_FOREVER or rng.random() < 0.3:
            call(e.join)
    elif op == "finish":
        call(e.finish)
    elif op == "add":
        call(e.add, s.pick(s.procs) if rng.random() < 0.8 else hostile_value())
    elif op == "next":
        call(e.next_event)
        call(e.next_event_time)
    elif op == "init":
        call(e.__init__, *rng.choice([(), (True,), (False, rng.uniform(0, 30)), (hostile_value(), hostile_value())]))
    elif op == "with":
        def body():
            with e:
                if rng.random() < 0.5:
                    make_process(e)
                if rng.random() < 0.3:
                    raise ValueError("in the block")
        call(body)
    elif op == "attrs":
        steal_internals(e)
        call(getattr, e, rng.choice(["time", "started", "stop_time"]))
        call(setattr, e, "time", 1.0)
    elif op == "stray":
        # An event for a process that has one already, in the process's heap.
        p = s.pick(s.procs)
        heap = next((o for o in (call(gc.get_referents, e) or ()) if isinstance(o, MinPairingHeap)), None)
        if p is not None and heap is not None:
            call(heap.push, call(Event, rng.randint(0, 30000), p, rng.choice([0, 1, 2])))
    elif rng.random() < 0.2:
        keep(s.envs, call(rng.choice([Environment, HostileEnv]).__new__, rng.choice([Environment, HostileEnv])))


def process_action():
    s = State
    rng = s.rng
    p = s.pick(s.procs)
    if p is None:
        return make_process()
    op = rng.choice(["activate", "activate", "start", "finish", "setup_env", "times", "call", "init", "attrs", "wait", "bare"])
    if op == "activate":
        call(p.activate, rng.choice([rng.uniform(-1, 20), hostile_value()]), rng.choice([0, 1, 2, hostile_value()]))
    elif op == "start":
        call(p.start)
    elif op == "finish":
        call(p.finish)
    elif op == "setup_env":
        call(p.setup_env, s.pick(s.envs) if rng.random() < 0.8 else hostile_value())
    elif op == "times":
        call(p.next_event_time)
        call(p.next_activation_time)
    elif op == "call":
        g = call(p)
        if g is not None and hasattr(g, "send"):
            keep(s.gens, g, limit=10)
        if g is not None and rng.random() < 0.5:
            call(lambda: g.send(None))
            call(lambda: g.throw(ValueError))
            call(lambda: g.close())
    elif op == "init":
        call(rng.choice([p.__init__, lambda e: Process.__init__(p, e)]),
             s.pick(s.envs) if rng.random() < 0.8 else hostile_value())
    elif op == "attrs":
        steal_internals(p)
        call(getattr, p, rng.choice(["env", "time", "_is_waiting"]))
    elif op == "wait":
        call(p._wait)
        call(p._process)
    elif rng.random() < 0.2:
        keep(s.procs, call(rng.choice(PROCESS_CLASSES).__new__, rng.choice(PROCESS_CLASSES)))


# Overrides that come and go on the classes and on instances, while the
# kernel remembers which methods it found overridden.
TOGGLES = [
    (HostileHeap, ("push", "pop", "first", "notify_dec", "clear")),
    (KeyNode, ("key_lt", "print_tree", "_children")),
    (HostileEnv, ("add", "start", "finish", "run_until", "join", "next_event", "next_event_time")),
    (GenProcess, ("start", "finish", "activate", "setup_env", "_wait", "_process")),
    (WaitProcess, ("_wait", "_process")),
]
SIBLINGS = [(KeyNode, HostileNode, ChildrenNode, DyingNode), (GenProcess, WaitProcess, OddCallProcess, OverridingProcess)]
ORIGINAL_ISGENERATOR = tarnu.process.isgenerator


def hostile_override(*args):
    rng = State.rng if State is not None else random
    r = rng.random()
    if r < 0.3:
        nested()
    elif r < 0.5:
        raise ValueError("bad override")
    return hostile_value() if State is not None else None


def tweak_classes():
    s = State
    rng = s.rng
    r = rng.random()
    if r < 0.4:
        cls, names = rng.choice(TOGGLES)
        name = rng.choice(names)
        if name in cls.__dict__ and rng.random() < 0.5:
            s.removed.append((cls, name, cls.__dict__[name]))
            delattr(cls, name)
        else:
            s.removed.append((cls, name, cls.__dict__.get(name)))
            setattr(cls, name, hostile_override)
    elif r < 0.6:
        o = any_object()
        if o is not None and hasattr(o, "__dict__"):
            call(setattr, o, rng.choice(["push", "pop", "key_lt", "start", "finish", "run_until", "_wait"]),
                 hostile_override)
    elif r < 0.85:
        o = any_object()
        for family in SIBLINGS:
            if type(o) in family:
                call(setattr, o, "__class__", rng.choice(family))
    else:
        tarnu.process.isgenerator = rng.choice([hostile_override, lambda o: BadBool(), lambda o: True, None])
        if rng.random() < 0.3:
            del tarnu.process.isgenerator


def restore_classes(removed):
    for cls, name, value in reversed(removed):
        if value is None:
            if name in cls.__dict__:
                delattr(cls, name)
        else:
            setattr(cls, name, value)
    tarnu.process.isgenerator = ORIGINAL_ISGENERATOR


def pickle_action():
    """Round trips, and states of one object applied to another, with
    items swapped for hostile ones."""
    s = State
    rng = s.rng
    o = s.pick(s.envs + s.procs)
    if o is None:
        return
    r = rng.random()
    if r < 0.3:
        restored = call(lambda: pickle.loads(pickle.dumps(o)))
        if isinstance(restored, Environment):
            keep(s.envs, restored)
        elif isinstance(restored, Process):
            keep(s.procs, restored)
        return
    reduced = call(o.__reduce__)
    if not isinstance(reduced, tuple) or len(reduced) < 2:
        return
    state = reduced[2] if len(reduced) > 2 else reduced[1][2]
    if not isinstance(state, tuple):
        state = ()
    state = list(state)
    for _ in range(rng.randint(0, 3)):
        if state:
            state[rng.randrange(len(state))] = hostile_value()
    if rng.random() < 0.2:
        del state[rng.randrange(len(state) + 1):]
    target = s.pick(s.envs if isinstance(o, Environment) else s.procs) if r < 0.8 else o
    if target is None:
        return
    if r < 0.9:
        call(target.__setstate__, tuple(state))
    else:
        rebuild, args = reduced[0], reduced[1]
        restored = call(rebuild, type(o), rng.choice([args[1], args[1], 1, hostile_value()]), tuple(state))
        if isinstance(restored, (Environment, Process)):
            keep(s.envs if isinstance(restored, Environment) else s.procs, restored)


def build_something():
    """What an ordering hook may do: make an environment, a heap or a process."""
    s = State
    if s is None or s.depth >= MAX_DEPTH:
        return
    s.depth += 1
    try:
        s.rng.choice([make_env, make_heap, make_process, make_node])()
    finally:
        s.depth -= 1


def walk_action():
    """Resumes a walk left half done, whatever happened to its heap meanwhile."""
    s = State
    walk = s.pick(s.walks)
    if walk is None:
        return
    for _ in range(s.rng.randint(1, 3)):
        n = call(next, walk, None)
        if n is None:
            break
        if not isinstance(n, MinPairingHeapNode):
            raise SystemExit("a walk yielded %r" % (n,))
        if s.rng.random() < 0.3:
            heap_action()


class Resumer:
    """A finaliser that resumes a generator the collector may have cleared."""

    def __init__(self, ref):
        self.ref = ref

    def __del__(self):
        g = self.ref()
        if g is None or State is None:
            return
        op = State.rng.choice(["next", "send", "throw", "close"])
        if op == "next":
            call(next, g, None)
        elif op == "send":
            call(g.send, None)
        elif op == "throw":
            call(g.throw, ValueError)
        else:
            call(g.close)
        call(next, g, None)


class Trigger:
    """Hands the owner a Resumer of the generator while the collector
    finalises their cycle."""

    def __del__(self):
        try:
            self.owner.resumer = Resumer(weakref.ref(self.g))
        except Exception:
            pass
        self.owner = self.g = None


def cleared_generator():
    """A package generator cleared by the collector while a finaliser still
    reaches it: its owner's dictionary frees the Resumer, which resumes it."""
    s = State
    rng = s.rng
    kind = rng.choice(["children", "process", "wrapped"])
    env = Environment()
    if kind == "children":
        owner = call(fresh(rng.choice(NODE_CLASSES[1:])), 1)
    elif kind == "process":
        # A class of its own, so that the owner has a dictionary.
        owner = call(type("Owner", (rng.choice([Process, WaitProcess]),), {}), env)
    else:
        owner = make_wrapped(env)
    if owner is None:
        return
    owner.resumer = None  # before the generator in the dictionary's order
    enabled = gc.isenabled()
    gc.disable()
    try:
        # Made after the freeze, the generator is cleared before its owner.
        gc.freeze()
        try:
            g = call(owner._children) if kind == "children" else call(owner)
            if g is not None and rng.random() < 0.3:
                call(next, g, None)  # started: the collector closes it first
            gc.collect()
        finally:
            gc.unfreeze()
        if g is None:
            return
        t = Trigger()
        t.owner, t.g, owner.g, owner.t = owner, g, g, t
        del owner, g, t, env
        gc.collect()
    finally:
        if enabled:
            gc.enable()


def action():
    rng = State.rng
    if rng.random() < 0.1:
        return blocks.block_action()
    r = rng.random()
    if r < 0.05:
        scenario()
    elif r < 0.08:
        make_node()
    elif r < 0.1:
        make_event()
    elif r < 0.13:
        make_heap()
    elif r < 0.17:
        make_env()
    elif r < 0.24:
        make_process()
    elif r < 0.4:
        heap_action()
    elif r < 0.48:
        node_action()
    elif r < 0.78:
        env_action()
    elif r < 0.93:
        process_action()
    elif r < 0.945:
        walk_action()
    elif r < 0.95:
        cleared_generator()
    elif r < 0.955:
        forget_some()
    elif r < 0.96:
        gen_action()
    elif r < 0.965:
        pickle_action()
    elif r < 0.97:
        tweak_classes()
    else:
        gc.collect()


def check_heaps():
    """Walks every heap of the pool through the base _children (--trace)."""
    seen = {}
    for h in State.heaps:
        root = MinPairingHeap.first(h)
        todo = [root] if root is not None else []
        while todo:
            n = todo.pop()
            if id(n) in seen:
                raise SystemExit("node %r in two places (heaps %x and %x)" % (n, seen[id(n)], id(h)))
            seen[id(n)] = id(h)
            todo.extend(MinPairingHeapNode._children(n))


def run_sequence(seed, steps):
    global State
    State = Sequence(seed, steps)
    try:
        for _ in range(steps):
            action()
            if TRACE:
                check_heaps()
    finally:
        restore_classes(State.removed)
    calls = State.calls
    State = None
    gc.collect()
    return calls


class Discard(io.TextIOBase):
    """Swallows the printed trees and the tracebacks of the reports."""

    def write(self, text):
        return len(text)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("first", type=int)
    parser.add_argument("count", type=int)
    parser.add_argument("--steps", type=int, default=200)
    parser.add_argument("--verbose", action="store_true")
    parser.add_argument("--trace", action="store_true")
    args = parser.parse_args()
    global TRACE
    if args.trace:
        TRACE = sys.stderr

    real_stderr, real_stdout = sys.stderr, sys.stdout
    sys.setrecursionlimit(3000)
    # The kernel prints the tracebacks of its unraisable reports; the fuzzer
    # expects thousands of them.
    import collections
    reports = collections.Counter()
    sys.unraisablehook = lambda info: reports.update([(info.exc_type.__name__, str(info.exc_value)[:50], str(info.object))])
    faulthandler.enable(file=real_stderr)
    calls = 0
    for seed in range(args.first, args.first + args.count):
        if args.verbose:
            print("seed", seed, file=real_stderr, flush=True)
        # A hang shows where it is stuck, then ends the run with an error.
        faulthandler.dump_traceback_later(60, exit=True, file=real_stderr)
        sys.stderr = sys.stdout = Discard()
        try:
            calls += run_sequence(seed, args.steps)
        finally:
            sys.stderr, sys.stdout = real_stderr, real_stdout
            faulthandler.cancel_dump_traceback_later()
    if args.verbose:
        print(STATS, file=real_stderr)
        for k, v in reports.most_common(15):
            print(v, k, file=real_stderr)
    print("sequences=%d calls=%d" % (args.count, calls))


blocks.bind(sys.modules[__name__])

if __name__ == "__main__":
    main()
