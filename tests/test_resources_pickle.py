"""Pickling the blocks and their monitors."""
import io
import pickle

import pytest

import tarnu.resources as resources
from tarnu.define import TIME_PASSED
from tarnu.process import Process
from tarnu.resources import Container, FilterStore, Level, PreemptiveResource, PriorityStore, Resource, Store, Tally
from tarnu.sim import Environment


class Checkpoint:
    """Pickles a model's blocks with the environment and processes left out (by
    reference), as a modeller saving part of a running model would."""

    def __init__(self, *shared):
        self.shared = list(shared)

    def dumps(self, obj):
        shared = self.shared

        class Pickler(pickle.Pickler):
            def persistent_id(self, o):
                return next((i for i, s in enumerate(shared) if o is s), None)

        buffer = io.BytesIO()
        Pickler(buffer).dump(obj)
        return buffer.getvalue()

    def loads(self, data):
        shared = self.shared

        class Unpickler(pickle.Unpickler):
            def persistent_load(self, pid):
                return shared[pid]

        return Unpickler(io.BytesIO(data)).load()


def test_a_block_on_a_bare_environment_round_trips_whole():
    env = Environment.__new__(Environment)  # pickles as itself
    tank = Container(env, 10, 4)
    copy = pickle.loads(pickle.dumps(tank))
    assert type(copy) is Container and (copy.capacity, copy.level) == (10, 4)
    assert copy.level_monitor.values() == [4] and copy.env is not env


def test_monitors_round_trip_with_their_samples(simulate):
    env = Environment()
    level, tally = Level(env, 1, name="stock"), Tally(env)

    def model(self):
        for t in range(1, 6):
            yield t, TIME_PASSED
            level.record(t * 2)
            tally.record(t / 3)
        yield None

    env.process(model)
    simulate(env, 8)
    level.reset(2)
    cp = Checkpoint(env)
    for m in (level, tally):
        copy = cp.loads(cp.dumps(m))
        assert type(copy) is type(m) and copy.env is env and copy.name == m.name
        assert (copy.times(), copy.values(), copy.start, copy.value) == (m.times(), m.values(), m.start, m.value)
        assert copy.mean() == m.mean() and copy.enabled


def test_resources_with_users_round_trip(simulate):
    env = Environment()
    desk = PreemptiveResource(env, 2)
    low, high = Process(env), Process(env)
    env.start()
    desk.acquire(low, 5)
    desk.acquire(high, 1)
    desk.capacity = 1  # keeps both users
    cp = Checkpoint(env, low, high)
    copy = cp.loads(cp.dumps(desk))
    assert type(copy) is PreemptiveResource
    assert copy.users == (low, high) and copy.capacity == 1 and copy.count == 2
    copy.release(low)
    assert copy.users == (high,)
    third = Process(env)
    copy.capacity = 2
    copy.acquire(third, 0)
    assert copy.users == (high, third)


def test_stores_round_trip_with_their_items():
    env = Environment()
    p = Process(env)
    for kind in (Store, FilterStore, PriorityStore):
        shelf = kind(env, 5)
        for item in (3, 1, 2):
            shelf.put(p, item)
        copy = Checkpoint(env).loads(Checkpoint(env).dumps(shelf))
        assert type(copy) is kind and copy.items == shelf.items and copy.capacity == 5


def test_subclass_attributes_travel():
    env = Environment.__new__(Environment)

    class Counter(Resource):
        pass

    desk = Counter(env, 3)
    desk.label = "front desk"
    rebuild, (cls, checksum, none), state = desk.__reduce__()
    assert cls is Counter and state[-1] == {"label": "front desk"}
    copy = rebuild(cls, checksum, None)
    copy.__setstate__(state)
    assert type(copy) is Counter and copy.label == "front desk" and copy.capacity == 3


def test_a_block_with_waiters_refuses():
    env = Environment()
    desk, shelf, tank = Resource(env), Store(env, 1), Container(env, 1)
    p = Process(env)
    desk.acquire(p)
    desk.acquire(p)
    shelf.get(p)
    tank.put(p, 1)
    tank.put(p, 1)
    cp = Checkpoint(env, p)
    for block in (desk, shelf, tank):
        with pytest.raises(TypeError, match="with processes waiting in its queue"):
            cp.dumps(block)
    with pytest.raises(TypeError, match="cannot pickle"):
        pickle.dumps(desk.acquire(p))  # a waiting request


def test_restoring_checks_the_state():
    env = Environment.__new__(Environment)
    desk = Resource(env)
    rebuild, args, state = desk.__reduce__()
    assert rebuild is resources.__pyx_unpickle_Resource
    with pytest.raises(pickle.PickleError, match=r"Incompatible checksums \(1 vs 0x839af7"):
        resources.__pyx_unpickle_Resource(Resource, 1, None)
    fresh = Resource.__new__(Resource)
    bad_users = state[:6] + (((1, 0, 0.0, 1),),) + state[7:]
    with pytest.raises(TypeError):
        fresh.__setstate__(bad_users)
    with pytest.raises(TypeError):
        fresh.__setstate__(state[:1] + ("not a monitor",) + state[2:])
    with pytest.raises(ValueError, match="at least 0"):
        fresh.__setstate__((-1,) + state[1:])
    with pytest.raises(IndexError):
        fresh.__setstate__(state[:3])
    fresh.__setstate__(state)
    assert fresh.capacity == 1 and fresh.env is env
    level = Level(env)
    _, _, mstate = level.__reduce__()
    with pytest.raises(ValueError, match="whole"):
        Level.__new__(Level).__setstate__(mstate[:3] + (b"123",) + mstate[4:])
    busy = Resource(Environment())
    q = Process(busy.env)
    busy.acquire(q)
    busy.acquire(q)
    with pytest.raises(RuntimeError, match="cannot restore"):
        busy.__setstate__(state)
