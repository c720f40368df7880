import ctypes
import gc
import pickle
import random
import sys
import weakref

import pytest

from tarnu import define
from tarnu.event import Event
from tarnu.minqueue import MinPairingHeap, MinPairingHeapNode


class Proc:
    pass


def test_fields_and_conversions():
    p = Proc()
    e = Event(1500, p, 2)
    assert isinstance(e, MinPairingHeapNode)
    assert type(e).__name__ == "Event" and type(e).__module__ == "tarnu.event"
    assert (e.time_i64, e.process, e.reason) == (1500, p, 2)
    e.time_i64 = 7.9
    e.reason = True
    assert (e.time_i64, e.reason) == (7, 1)
    with pytest.raises(TypeError, match="an integer is required"):
        e.time_i64 = "1"
    with pytest.raises(OverflowError):
        e.reason = 2**31
    with pytest.raises(OverflowError):
        e.time_i64 = 2**63
    with pytest.raises(AttributeError):
        e.process = None
    with pytest.raises(TypeError):
        del e.reason
    assert e.time_i64 == 7
    with pytest.raises(TypeError, match="takes exactly 3 positional arguments"):
        Event(1, None)
    with pytest.raises(TypeError, match="an integer is required"):
        Event(None, None, 0)


def test_repr_shows_seconds_reason_and_process():
    assert repr(Event(1500, None, 2)) == "<tarnu.event.Event t=1.5s reason=2 process=None>"
    assert repr(Event(-1, "p", 0)) == "<tarnu.event.Event t=-0.001s reason=0 process='p'>"


def test_ordering_by_time():
    a, b = Event(1, None, 0), Event(2, None, 0)
    assert a.key_lt(b) is True and b.key_lt(a) is False
    # The same tick: the one made first is earlier.
    assert a.key_lt(Event(1, None, 5)) is True and Event(1, None, 5).key_lt(a) is False
    rng = random.Random(3)
    times = [rng.randint(-10**12, 10**12) for _ in range(2000)]
    h = MinPairingHeap(Event(t, None, 0) for t in times)
    out = []
    while h:
        out.append(h.pop().time_i64)
    assert out == sorted(times)


def test_equal_times_first_in_first_out():
    # Events of one tick come out in the order in which they got their time:
    # made, or given a new time_i64 (which goes behind the others).
    evs = [Event(5, None, r) for r in range(4)]
    assert [e.seq for e in evs] == sorted(e.seq for e in evs)
    evs[1].time_i64 = 5
    h = MinPairingHeap(reversed(evs))
    assert [h.pop().reason for _ in range(4)] == [0, 2, 3, 1]
    later = Event(6, None, 9)
    earlier_stamp = Event(6, None, 8)
    later.time_i64 = 6
    assert earlier_stamp.key_lt(later) and not later.key_lt(earlier_stamp)


def test_ordering_does_not_call_python():
    calls = []

    class Spy(Event):
        def key_lt(self, other):
            calls.append(1)
            return False

        def __lt__(self, other):
            calls.append(2)
            return False

    h = MinPairingHeap([Spy(3, None, 0), Spy(1, None, 0), Spy(2, None, 0)])
    assert [h.pop().time_i64 for _ in range(3)] == [1, 2, 3]
    assert calls == []


def test_inlined_ordering_links_as_the_generic_one():
    # Events (exact and subclassed) link exactly as nodes ordered through a
    # Python key_lt on the same keys (time, then schedule stamp), ties and
    # decrease-keys included.
    class Keyed(MinPairingHeapNode):
        def __init__(self, key):
            self.key = key

        def key_lt(self, other):
            return self.key < other.key

    class Sub(Event):
        pass

    rng = random.Random(11)
    keys = [rng.randint(0, 40) for _ in range(300)]
    events = [(Event if i % 3 else Sub)(k, None, i) for i, k in enumerate(keys)]
    nodes = [Keyed((e.time_i64, e.seq)) for e in events]
    he, hn = MinPairingHeap(), MinPairingHeap()
    order_e, order_n = [], []
    for i in range(len(keys)):
        he.push(events[i])
        hn.push(nodes[i])
        if i % 4 == 3:
            order_e.append(events.index(he.pop()))
            order_n.append(nodes.index(hn.pop()))
        if i % 5 == 4:
            j = rng.randrange(i + 1)
            events[j].time_i64 -= 3
            nodes[j].key = (events[j].time_i64, events[j].seq)
            he.notify_dec(events[j])
            hn.notify_dec(nodes[j])
    while he:
        order_e.append(events.index(he.pop()))
        order_n.append(nodes.index(hn.pop()))
    assert order_e == order_n and not hn


def test_decrease_key():
    evs = [Event(t, None, 0) for t in (10, 20, 30, 40)]
    h = MinPairingHeap(evs)
    evs[3].time_i64 = 5
    h.notify_dec(evs[3])
    assert [h.pop().time_i64 for _ in range(4)] == [5, 10, 20, 30]


def test_process_is_collected_through_cycles():
    class P:
        pass

    p = P()
    e = Event(1, p, 0)
    p.event = e
    h = MinPairingHeap([e])
    p.heap = h
    ref = weakref.ref(p)
    del p, e, h
    gc.collect()
    assert ref() is None


def test_reference_counts():
    p = Proc()
    before = sys.getrefcount(p)
    e = Event(1, p, 0)
    assert sys.getrefcount(p) == before + 1
    h = MinPairingHeap([e])
    n = sys.getrefcount(e)
    assert h.pop() is e
    assert sys.getrefcount(e) == n - 1
    del e, h
    assert sys.getrefcount(p) == before


def test_pickles_as_a_detached_event():
    e = Event(1500, "proc", 2)
    h = MinPairingHeap([Event(1, None, 0), e, Event(3000, None, 0)])
    assert e.__reduce__() == (Event, (1500, "proc", 2))
    copy = pickle.loads(pickle.dumps(e))
    assert (copy.time_i64, copy.process, copy.reason) == (1500, "proc", 2)
    assert list(copy._children()) == []
    assert not hasattr(Event, "__reduce_cython__")
    assert h


def test_define_constants_and_capsules():
    assert define.TIME_FOREVER == 1e12 and isinstance(define.TIME_FOREVER, float)
    assert (define.TIME_PASSED, define.TIME_REACHED, define.LOCK_RELEASED) == (0, 1, 2)
    capi = define.__pyx_capi__
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = [ctypes.py_object]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    expected = {
        "_TIME_FOREVER": (b"double", ctypes.c_double, 1e12),
        "_TIME_PASSED": (b"int", ctypes.c_int, 0),
        "_TIME_REACHED": (b"int", ctypes.c_int, 1),
        "_LOCK_RELEASED": (b"int", ctypes.c_int, 2),
    }
    assert set(capi) == set(expected)
    for name, (signature, ctype, value) in expected.items():
        assert get_name(capi[name]) == signature
        address = get_pointer(capi[name], signature)
        assert ctype.from_address(address).value == value


def test_event_vtable_is_published():
    assert "__pyx_vtable__" in Event.__dict__
    assert "__pyx_vtable__" in MinPairingHeapNode.__dict__
    assert "__pyx_vtable__" in MinPairingHeap.__dict__


def test_construction_forms_agree():
    # Event(...) takes the type's fast call; type.__call__ the generic one
    # (new, then __init__ with a tuple). Both give the same results and errors.
    e = Event(time_i64=5, process="p", reason=1)
    assert (e.time_i64, e.process, e.reason) == (5, "p", 1)
    for args, kwargs in [((1, None), {}), ((1, None, 0), {"reason": 2}), ((1, None), {"when": 2}),
                         ((1, None, 0, 4), {}), ((None, None, 0), {}), ((1, None, 2**31), {})]:
        with pytest.raises((TypeError, OverflowError)) as fast:
            Event(*args, **kwargs)
        with pytest.raises((TypeError, OverflowError)) as generic:
            type.__call__(Event, *args, **kwargs)
        assert (fast.type, str(fast.value)) == (generic.type, str(generic.value))

    class Late(Event):
        def __init__(self, t, p, r):
            super().__init__(t + 1000, p, r)

    late = Late(1, None, 0)
    assert type(late) is Late and late.time_i64 == 1001
