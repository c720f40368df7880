"""Hostile shapes for the modelling blocks of tarnu.resources, driven by driver.py.

Processes that queue on blocks while their environments are re-initialised
and their generators closed or thrown into; releases and acquisitions from
inside activate overrides, filters, item comparisons and finalisers; blocks
dropped or collected with processes waiting; pickled states swapped for
hostile ones. Every call is made through the driver's `call`, which
swallows Python exceptions: a fault shows as a crash or a sanitizer report.
"""
import gc
import pickle

from tarnu.process import Process
from tarnu.resources import (
    TIMED_OUT,
    Container,
    FilterStore,
    Level,
    PreemptiveResource,
    PriorityResource,
    PriorityStore,
    Resource,
    Store,
    Tally,
)

d = None  # the driver module, bound by bind()
RESOURCES = (Resource, PriorityResource, PreemptiveResource)
STORES = (Store, FilterStore, PriorityStore)
BLOCKS = RESOURCES + (Container,) + STORES


def bind(driver):
    global d
    d = driver


def state():
    s = d.State
    if not hasattr(s, "blocks"):
        s.blocks, s.requests, s.monitors = [], [], []
    return s


def pick_process():
    s = state()
    return s.pick(s.procs) if s.rng.random() < 0.9 else d.hostile_value()


def deadline():
    rng = state().rng
    return rng.choice([None, None, rng.uniform(-1, 20), d.number(), d.hostile_value()])


# --- hostile callbacks -------------------------------------------------------------


class HostileItem:
    """An item whose comparison and finaliser use blocks."""

    def __init__(self, key):
        self.key = key

    def __lt__(self, other):
        rng = state().rng
        r = rng.random()
        if r < 0.2:
            block_action()
        elif r < 0.3:
            raise ValueError("bad item order")
        elif r < 0.35:
            gc.collect()
        elif r < 0.4:
            return d.BadBool()
        return self.key < getattr(other, "key", 0)

    def __del__(self):
        if d.State is not None and d.State.rng.random() < 0.3:
            d.nested()


def hostile_filter(item):
    rng = state().rng
    r = rng.random()
    if r < 0.2:
        block_action()
    elif r < 0.3:
        raise KeyError("bad filter")
    elif r < 0.35:
        return d.BadBool()
    elif r < 0.4:
        d.forget_some()
    return rng.random() < 0.6


def item():
    rng = state().rng
    return rng.choice([1, 2.5, "x", None, (1, 2), ValueError("item"), HostileItem(rng.randint(0, 5)),
                       HostileItem(rng.randint(0, 5)), d.hostile_value()])


# --- operations ------------------------------------------------------------------------


def operate(block, process):
    """A random acquire, request, put or get of `block` for `process`; the waitable or None."""
    s = state()
    rng = s.rng
    d.STATS["block operations"] = d.STATS.get("block operations", 0) + 1
    if isinstance(block, RESOURCES):
        method = block.request if rng.random() < 0.3 else block.acquire
        if isinstance(block, PreemptiveResource):
            return d.call(method, process, rng.choice([0, 1, 2, d.number()]), deadline(), rng.choice([True, False]))
        if isinstance(block, PriorityResource):
            return d.call(method, process, rng.choice([0, 1, 2, d.number()]), deadline())
        return d.call(method, process, deadline())
    if isinstance(block, Container):
        amount = rng.choice([0, 1, 2, 5, 50, -1, d.number(), d.hostile_value()])
        return d.call(rng.choice([block.put, block.get]), process, amount, deadline())
    if isinstance(block, STORES):
        if rng.random() < 0.5:
            return d.call(block.put, process, item(), deadline())
        if isinstance(block, FilterStore):
            return d.call(block.get, process, rng.choice([None, hostile_filter, hostile_filter, 5]), deadline())
        return d.call(block.get, process, deadline())
    return None


def drive(req):
    """Resumes, throws into or leaves a waitable from outside its process."""
    rng = state().rng
    op = rng.choice(["next", "send", "throw", "close", "enter", "exit"])
    if op == "next":
        d.call(next, req)
    elif op == "send":
        d.call(req.send, rng.choice([None, 0, 2, 3]))
    elif op == "throw":
        if rng.random() < 0.2:  # the long form, with a traceback that is none
            d.call(req.throw, ValueError, rng.choice([None, "v"]), rng.choice([None, 42]))
        else:
            d.call(req.throw, rng.choice([ValueError, GeneratorExit, KeyError("k"), 5]))
    elif op == "close":
        d.call(req.close)
    elif op == "enter":
        d.call(req.__enter__)
    else:
        d.call(req.__exit__, None, None, None)


def monitor_action(m):
    rng = state().rng
    op = rng.choice(["record", "stats", "percentile", "interval", "reset", "enabled", "series", "pickle"])
    if op == "record":
        d.call(m.record, rng.choice([1, 2.5, -3, d.number(), d.hostile_value()]))
    elif op == "stats":
        for f in (m.mean, m.std, m.min, m.max):
            d.call(f)
    elif op == "percentile":
        d.call(m.percentile, rng.choice([0, 50, 100, 101, d.number(), d.hostile_value()]))
    elif op == "interval":
        d.call(m.confidence_interval, rng.choice([0.95, 0.5, 2, d.hostile_value()]), rng.choice([2, 20, 0, 10 ** 6, 10 ** 15]))
    elif op == "reset":
        d.call(m.reset, rng.choice([None, rng.uniform(-1, 30), d.number(), d.hostile_value()]))
    elif op == "enabled":
        d.call(setattr, m, "enabled", rng.choice([True, False, d.BadBool()]))
    elif op == "series":
        d.call(m.times)
        d.call(m.values)
    else:
        pickle_action(m)


def pickle_action(o):
    """A round trip, or the object's state with items swapped for hostile ones."""
    s = state()
    rng = s.rng
    if rng.random() < 0.3:
        d.call(lambda: pickle.loads(pickle.dumps(o)))
        return
    reduced = d.call(o.__reduce__)
    if not isinstance(reduced, tuple) or len(reduced) < 3 or not isinstance(reduced[2], tuple):
        return
    st = list(reduced[2])
    for _ in range(rng.randint(0, 3)):
        if st:
            st[rng.randrange(len(st))] = rng.choice([d.hostile_value(), d.any_object(), s.pick(s.blocks),
                                                    s.pick(s.monitors), ((pick_process(), 0, 0.0, 1),)])
    if rng.random() < 0.2:
        del st[rng.randrange(len(st) + 1):]
    target = s.pick(s.blocks + s.monitors) if rng.random() < 0.5 else o
    d.call(target.__setstate__, tuple(st))


def make_block(env=None):
    s = state()
    rng = s.rng
    if env is None:
        env = s.pick(s.envs) if rng.random() < 0.9 else d.hostile_value()
    cls = d.fresh(rng.choice(BLOCKS))
    if issubclass(cls, RESOURCES):
        args = (rng.choice([1, 1, 2, 3, 0, d.hostile_value()]),)
    elif issubclass(cls, Container):
        args = (rng.choice([10, 100, 1, d.hostile_value()]), rng.choice([0, 5, d.hostile_value()]))
    else:
        args = (rng.choice([1, 2, 10, float("inf"), d.hostile_value()]),)
    block = d.keep(s.blocks, d.call(cls, env, *args[:rng.randint(0, len(args))]), limit=15)
    if block is not None:
        for name in dir(block):
            if name.endswith("_monitor"):
                d.keep(s.monitors, getattr(block, name), limit=15)
    return block


def block_action():
    """One random thing done to a block, a waitable or a monitor."""
    s = state()
    if s.depth > d.MAX_DEPTH:
        return
    rng = s.rng
    b = s.pick(s.blocks)
    if b is None:
        return make_block()
    r = rng.random()
    s.depth += 1
    try:
        if r < 0.25:
            d.keep(s.requests, operate(b, pick_process()), limit=20)
        elif r < 0.33:
            if hasattr(b, "release"):
                d.call(b.release, s.pick(getattr(b, "users", ()) or s.procs) or pick_process())
        elif r < 0.45:
            req = s.pick(s.requests)
            if req is not None:
                drive(req)
        elif r < 0.5:
            d.call(setattr, b, "capacity", rng.choice([0, 1, 3, -1, d.hostile_value()]))
        elif r < 0.58:
            for name in ("queue", "users", "count", "items", "level", "put_queue", "get_queue", "size"):
                d.call(getattr, b, name)
            d.call(repr, b)
            d.call(len, b)
        elif r < 0.62:
            pickle_action(b)
        elif r < 0.7:
            m = s.pick(s.monitors)
            if m is not None:
                monitor_action(m)
        elif r < 0.74:
            if hasattr(b, "preemption"):
                d.call(b.preemption, pick_process())
            d.call(b.__init__, s.pick(s.envs))
        elif r < 0.78:
            for pool in (s.blocks, s.requests, s.monitors):
                if pool and rng.random() < 0.5:
                    del pool[rng.randrange(len(pool))]
            gc.collect()
        elif r < 0.88:
            env = getattr(b, "env", None)
            d.keep(s.procs, d.call(d.fresh(rng.choice([BlockProcess, ReentrantProcess])), env))
        else:
            scenario()
    finally:
        s.depth -= 1


# --- processes that use blocks ----------------------------------------------------------


class BlockProcess(Process):
    """Queues on blocks with yield from, releases, yields, raises and re-enters."""

    def __call__(self):
        s = state()
        rng = s.rng
        for _ in range(rng.randint(3, d.GEN_BUDGET)):
            r = rng.random()
            if r < 0.02:
                return
            if r < 0.04:
                raise ValueError("process failed")
            b = s.pick(s.blocks)
            if r < 0.5 and b is not None:
                req = operate(b, self)
                if req is not None:
                    d.STATS["block waits"] = d.STATS.get("block waits", 0) + 1
                    try:
                        if hasattr(req, "__exit__") and rng.random() < 0.3:
                            with req:
                                yield from req
                                yield d.activation_pair()
                        else:
                            yield from req
                    except (Exception, GeneratorExit) as e:
                        if isinstance(e, GeneratorExit):
                            raise
            elif r < 0.6 and b is not None and hasattr(b, "release"):
                d.call(b.release, self)
            elif r < 0.75:
                if s.depth < d.MAX_DEPTH:
                    s.depth += 1
                    try:
                        block_action()
                    finally:
                        s.depth -= 1
            elif r < 0.8:
                d.process_step(self)
            d.STATS["resumed"] += 1
            yield d.activation_pair()


class ReentrantProcess(BlockProcess):
    """activate() runs inside a block's handover: it uses the blocks there."""

    def activate(self, time, reason):
        s = d.State
        if s is not None and s.rng.random() < 0.5:
            block_action()
        return Process.activate(self, time, reason)

    def __del__(self):
        if d.State is not None and d.State.rng.random() < 0.3:
            block_action()


def scenario():
    """A small model: an environment, blocks, processes queueing on them, a run."""
    s = state()
    rng = s.rng
    env = d.keep(s.envs, d.call(rng.choice([d.Environment, d.HostileEnv])))
    if env is None:
        return
    for _ in range(rng.randint(1, 3)):
        make_block(env)
    for _ in range(rng.randint(1, 6)):
        d.keep(s.procs, d.call(d.fresh(rng.choice([BlockProcess, ReentrantProcess])), env))
    d.call(env.start)
    for _ in range(rng.randint(1, 4)):
        d.call(env.run_until, env.time + rng.uniform(0, 15), rng.choice([0, 1, 2, 3]))
        if rng.random() < 0.3:
            gc.collect()
