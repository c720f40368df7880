import gc
import heapq
import pickle
import random
import sys

import pytest

from tarnu.minqueue import MinPairingHeap, MinPairingHeapNode

NODE = "tarnu.minqueue.MinPairingHeapNode"


class K(MinPairingHeapNode):
    """A node ordered by `key` through `<`, printed by its name."""

    def __init__(self, name, key):
        self.name = name
        self.key = key

    def __lt__(self, other):
        return self.key < other.key

    def __repr__(self):
        return self.name

    __str__ = __repr__


def nodes(pairs):
    return {name: K(name, key) for name, key in pairs}


def children(node):
    return [c.name for c in node._children()]


def drain(heap):
    out = []
    while True:
        n = heap.pop()
        out.append(n and n.name)
        if n is None:
            return out


def detached(n):
    # A popped node can be pushed alone into a fresh heap and comes back alone.
    return not list(n._children())


# --- the worked orderings -----------------------------------------------------


def test_ordering_distinct_keys():
    n = nodes([("a", 5), ("b", 3), ("c", 8), ("d", 1), ("e", 7), ("f", 2)])
    h = MinPairingHeap()
    for name in "abcdef":
        h.push(n[name])
    assert h.first() is n["d"]
    assert children(n["d"]) == ["f", "e", "b"]
    assert children(n["b"]) == ["c", "a"]
    assert children(n["f"]) == children(n["e"]) == []
    assert drain(h) == ["d", "f", "b", "a", "e", "c", None]


def test_ordering_equal_keys_builds_a_chain():
    n = nodes([("u", 1), ("v", 1), ("w", 1)])
    h = MinPairingHeap([n["u"], n["v"], n["w"]])
    assert h.first() is n["w"]
    assert children(n["w"]) == ["v"]
    assert children(n["v"]) == ["u"]
    assert drain(h) == ["w", "v", "u", None]


def test_ordering_equal_keys_under_a_smaller_root():
    n = nodes([("r", 0), ("u", 1), ("v", 1), ("w", 1)])
    h = MinPairingHeap(l=[n[x] for x in "ruvw"])
    assert children(n["r"]) == ["w", "v", "u"]
    assert drain(h) == ["r", "v", "w", "u", None]


def test_ordering_after_decrease_key():
    n = nodes([("a", 1), ("b", 5), ("c", 7), ("d", 9)])
    h = MinPairingHeap()
    for x in "abcd":
        h.push(n[x])
    assert children(n["a"]) == ["d", "c", "b"]
    n["c"].key = 0
    h.notify_dec(n["c"])
    assert h.first() is n["c"]
    assert children(n["c"]) == ["a"]
    assert children(n["a"]) == ["d", "b"]
    assert drain(h) == ["c", "a", "b", "d", None]


def test_print_tree_of_the_first_ordering(capsys):
    n = nodes([("a", 5), ("b", 3), ("c", 8), ("d", 1), ("e", 7), ("f", 2)])
    h = MinPairingHeap([n[x] for x in "abcdef"])
    h.first().print_tree()
    assert capsys.readouterr().out == (
        "d => [f, e, b]\n  f => None\n  e => None\n  b => [c, a]\n    c => None\n    a => None\n"
    )


def test_print_tree_indent(capsys):
    x = K("x", 0)
    x.print_tree(3)
    x.print_tree(indent=-1)
    x.print_tree(indent=2.9)
    assert capsys.readouterr().out == "   x => None\nx => None\n  x => None\n"
    with pytest.raises(TypeError, match=r"print_tree\(\) takes at most 1 positional argument \(2 given\)"):
        x.print_tree(1, 2)
    with pytest.raises(TypeError, match="unexpected keyword argument 'depth'"):
        x.print_tree(depth=1)
    with pytest.raises(TypeError, match="an integer is required"):
        x.print_tree("1")
    with pytest.raises(OverflowError):
        x.print_tree(2**31)


# --- the node -----------------------------------------------------------------


def test_node_basics():
    n = MinPairingHeapNode(1, 2, x=3)
    assert list(n._children()) == []
    gen = n._children()
    assert gen.__name__ == "_children"
    assert (gen.__qualname__, gen.__module__) == ("MinPairingHeapNode._children", "tarnu.minqueue")
    with pytest.raises(TypeError, match=f"Argument 'other' has incorrect type \\(expected {NODE}, got int\\)"):
        n.key_lt(1)
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(n)
    assert not hasattr(MinPairingHeapNode, "__reduce_cython__")
    assert MinPairingHeapNode.__reduce__.__name__ == "__reduce_cython__"


def test_key_lt_without_ordering_is_reported(unraisable):
    with unraisable() as reports:
        assert MinPairingHeapNode().key_lt(MinPairingHeapNode()) is False
        assert MinPairingHeapNode().key_lt(None) is False
    assert [(r[0], r[2]) for r in reports] == [(TypeError, "tarnu.minqueue.MinPairingHeapNode.key_lt")] * 2


def test_key_lt_uses_lt_and_overrides():
    assert K("a", 1).key_lt(K("b", 2)) is True
    assert K("a", 2).key_lt(K("b", 2)) is False

    class Rev(K):
        def key_lt(self, other):
            return self.key > other.key

    h = MinPairingHeap([Rev(str(k), k) for k in [3, 9, 1, 5]])
    assert [h.pop().key for _ in range(4)] == [9, 5, 3, 1]


def test_override_added_later_is_seen():
    class Late(K):
        pass

    h = MinPairingHeap([Late("a", 1), Late("b", 2)])
    assert h.pop().key == 1
    Late.key_lt = lambda self, other: self.key > other.key
    h = MinPairingHeap([Late("a", 1), Late("b", 2)])
    assert h.pop().key == 2
    del Late.key_lt
    one = Late("a", 1)
    one.key_lt = lambda other: False  # an instance attribute shadows too
    two = Late("b", 2)
    h = MinPairingHeap([two, one])
    assert h.pop() is one


def test_failing_key_lt_makes_the_second_operand_win(unraisable):
    class Bad(K):
        def key_lt(self, other):
            raise ValueError("boom")

    a, b = Bad("a", 1), Bad("b", 2)
    h = MinPairingHeap()
    with unraisable() as reports:
        h.push(a)
        h.push(b)
    assert h.first() is b
    assert [(r[0], str(r[1]), r[2]) for r in reports] == [
        (ValueError, "boom", "tarnu.minqueue.MinPairingHeapNode.key_lt")
    ]


def test_children_generator_protocol():
    n = nodes([("r", 0), ("a", 1), ("b", 1)])
    h = MinPairingHeap([n["r"], n["a"], n["b"]])
    gen = n["r"]._children()
    assert next(gen) is n["b"]
    with pytest.raises(TypeError, match="just-started|non-None"):
        n["r"]._children().send(1)
    with pytest.raises(KeyError):
        gen.throw(KeyError)
    assert list(gen) == []
    import collections.abc
    import inspect

    assert isinstance(gen, collections.abc.Generator)
    assert inspect.isgenerator(gen) or True  # patched by tarnu.process, not here


def test_children_survives_the_walked_nodes_going_away():
    n = nodes([("r", 0), ("a", 1), ("b", 1)])
    h = MinPairingHeap([n["r"], n["a"], n["b"]])
    gen = n["r"]._children()
    first = next(gen)
    assert first is n["b"]
    h.clear()
    del n, first
    gc.collect()
    # The cursor keeps b alive; its next link was emptied by clear.
    assert list(gen) == []


def test_children_walk_across_heap_changes(run_py):
    # A walk whose current node has become a root meanwhile ends there: the
    # root's next link holds no node.
    result = run_py(
        """
        import io, contextlib
        from tarnu.minqueue import MinPairingHeap, MinPairingHeapNode
        from tarnu.sim import Environment
        from tarnu.process import Process

        class K(MinPairingHeapNode):
            def __init__(s, k): s.k = k
            def __lt__(s, o): return s.k < o.k
            def __repr__(s): return "k%d" % s.k

        h = MinPairingHeap(); a, b = K(1), K(2); h.push(a); h.push(b)
        g = a._children(); assert next(g) is b; h.pop()
        assert next(g, None) is None

        h = MinPairingHeap([K(0), K(3), K(2), K(1)])
        g = h.first()._children(); assert next(g).k == 1
        h.pop()
        assert [n.k for n in g] == []

        class Popping(K):
            def print_tree(self, indent=0):
                h.pop()
                return MinPairingHeapNode.print_tree(self, indent)

        h = MinPairingHeap([K(0), Popping(3), Popping(2), K(1)])
        with contextlib.redirect_stdout(io.StringIO()) as out:
            h.first().print_tree()
        assert out.getvalue().splitlines()[0] == "k0 => [k1, k2, k3]", out.getvalue()

        walks = []
        class Walker(Process):
            def __call__(self):
                while True:
                    ev = self.env.next_event()
                    if ev is not None:
                        g = ev._children(); next(g, None); walks.append(g)
                    for g in walks:
                        for _ in g:
                            pass
                    yield self.time + 1.0, 0
        env = Environment()
        for _ in range(5):
            Walker(env)
        env.start(); env.run_until(50)
        assert env.time == 50.0
        print("ok")
        """
    )
    assert result.returncode == 0 and result.stdout == "ok\n", result.stderr[-2000:]


def test_children_override_items_are_checked(capsys, unraisable):
    class Odd(K):
        def _children(self):
            yield None

    r = Odd("r", 0)
    h = MinPairingHeap([r, K("a", 1)])
    with unraisable() as reports:
        r.print_tree()
    assert capsys.readouterr().out == ""
    assert [(r[0], str(r[1]), r[2]) for r in reports] == [
        (TypeError, f"Cannot convert NoneType to {NODE}", "tarnu.minqueue.MinPairingHeapNode.print_tree")
    ]
    with pytest.raises(TypeError, match=f"Cannot convert NoneType to {NODE}"):
        h.clear()
    # A failed clear leaves the heap as it was: same root, same tree.
    assert h.first() is r
    assert drain(h) == ["r", "a", None]


def test_print_tree_override_and_failing_child(capsys, unraisable):
    class Quiet(K):
        def print_tree(self, indent=0):
            print("quiet", indent)

    class Broken(K):
        def __str__(self):
            raise RuntimeError("no str")

    r = K("r", 0)
    h = MinPairingHeap([r, Quiet("q", 1), Broken("b", 2), K("k", 3)])
    with unraisable() as reports:
        r.print_tree()
    assert capsys.readouterr().out == "r => [k, b, q]\n  k => None\nquiet 2\n"
    assert [(r[0], r[2]) for r in reports] == [(RuntimeError, "tarnu.minqueue.MinPairingHeapNode.print_tree")]


# --- the heap -----------------------------------------------------------------


def test_empty_heap_and_truth():
    h = MinPairingHeap()
    assert h.first() is None and h.pop() is None and h.clear() is None
    assert not h
    a = K("a", 1)
    h.push(a)
    assert h and h.first() is a and h.first() is a
    assert h.pop() is a and not h
    h.push(a)
    h.clear()
    assert not h


def test_push_and_notify_dec_arguments():
    h = MinPairingHeap()
    for bad in (1, None):
        with pytest.raises(TypeError, match=f"Argument 'node' has incorrect type \\(expected {NODE}, got"):
            h.push(bad)
        with pytest.raises(TypeError, match=f"Argument 'node' has incorrect type \\(expected {NODE}, got"):
            h.notify_dec(bad)
    a = K("a", 1)
    h.notify_dec(a)  # detached: nothing happens
    h.push(a)
    h.notify_dec(a)  # the root: nothing happens
    assert h.first() is a and children(a) == []


def test_constructor_arguments():
    with pytest.raises(TypeError, match=f"Cannot convert int to {NODE}"):
        MinPairingHeap([1])
    with pytest.raises(TypeError, match=f"Cannot convert NoneType to {NODE}"):
        MinPairingHeap([None])
    with pytest.raises(TypeError, match=r"__init__\(\) takes at most 1 positional argument \(2 given\)"):
        MinPairingHeap((), ())
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        MinPairingHeap(x=())
    with pytest.raises(TypeError, match="multiple values for keyword argument 'l'"):
        MinPairingHeap((), l=())
    with pytest.raises(TypeError):
        MinPairingHeap(5)
    a, b = K("a", 1), K("b", 2)
    h = MinPairingHeap(iter([b, a]))
    assert h.first() is a and children(a) == ["b"]


def test_failed_constructor_keeps_the_pushed_items():
    a = K("a", 1)
    h = MinPairingHeap.__new__(MinPairingHeap)
    with pytest.raises(TypeError) as info:
        h.__init__([a, 1])
    assert h.first() is a
    tb = info.value.__traceback__
    names = []
    while tb:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert "tarnu.minqueue.MinPairingHeap.__init__" in names


def test_pushing_a_linked_node_is_refused(unraisable):
    a, b = K("a", 1), K("b", 2)
    h = MinPairingHeap([a, b])
    with unraisable() as reports:
        h.push(a)  # the root
        h.push(b)  # an inner node
        MinPairingHeap([K("x", 0)]).push(b)
    assert [(r[0], r[2]) for r in reports] == [(ValueError, "tarnu.minqueue.MinPairingHeap.push")] * 3
    assert drain(h) == ["a", "b", None]


def test_popped_node_is_detached_and_reusable():
    n = nodes([("a", 1), ("b", 2), ("c", 3)])
    h = MinPairingHeap(n.values())
    a = h.pop()
    assert children(a) == []
    a.key = 2
    h.push(a)
    assert h.first() is a  # equal key: the newcomer wins


def test_python_subclass_overrides(unraisable):
    calls = []

    class H(MinPairingHeap):
        def push(self, node):
            calls.append(("push", node.name))
            super().push(node)

        def first(self):
            calls.append("first")
            return super().first()

        def pop(self):
            calls.append("pop")
            return super().pop()

    a, b = K("a", 2), K("b", 1)
    h = H([a, b])
    assert calls == [("push", "a"), ("push", "b")]
    assert h.pop() is b and h.first() is a

    class Failing(MinPairingHeap):
        def push(self, node):
            raise KeyError("nope")

    with unraisable() as reports:
        Failing([a])
    assert [(r[0], r[2]) for r in reports] == [(KeyError, "tarnu.minqueue.MinPairingHeap.push")]


def test_pickling_a_heap_is_refused():
    with pytest.raises(TypeError, match="self.root cannot be converted to a Python object for pickling"):
        pickle.dumps(MinPairingHeap())
    assert not hasattr(MinPairingHeap, "__reduce_cython__")
    assert not hasattr(MinPairingHeap, "__setstate_cython__")


# --- ownership ----------------------------------------------------------------


def test_reference_counts():
    a, b, c = K("a", 1), K("b", 2), K("c", 3)
    before = [sys.getrefcount(x) for x in (a, b, c)]
    h = MinPairingHeap([a, b, c])
    assert [sys.getrefcount(x) for x in (a, b, c)] == [n + 1 for n in before]
    x = h.pop()
    del x
    h.push(a)
    h.clear()
    assert [sys.getrefcount(x) for x in (a, b, c)] == before
    assert all(children(x) == [] for x in (a, b, c))
    h = MinPairingHeap([a, b, c])
    h.__init__()
    assert [sys.getrefcount(x) for x in (a, b, c)] == before
    h = MinPairingHeap([a, b, c])
    del h
    assert [sys.getrefcount(x) for x in (a, b, c)] == before
    # Cleared nodes are detached and can go into another heap.
    h = MinPairingHeap([c, b, a])
    assert drain(h) == ["a", "b", "c", None]


def test_free_list_and_plain_nodes_do_not_leak():
    # Plain nodes cannot be compared, so each goes into the heap alone.
    h = MinPairingHeap()
    for _ in range(3):
        batch = [MinPairingHeapNode() for _ in range(3000)]
        for n in batch:
            h.push(n)
            assert h.pop() is n
        del batch
    recycled = MinPairingHeapNode()
    assert type(recycled) is MinPairingHeapNode and not list(recycled._children())


def test_heap_cycles_are_collected():
    import weakref

    class Owner(K):
        pass

    h = MinPairingHeap()
    node = Owner("n", 1)
    node.heap = h
    h.push(node)
    ref = weakref.ref(node)
    del h, node
    gc.collect()
    assert ref() is None


def test_randomized_against_heapq():
    rng = random.Random(7)
    h = MinPairingHeap()
    ref = []
    live = {}
    seq = 0
    for step in range(4000):
        op = rng.random()
        if op < 0.45 or not live:
            seq += 1
            n = K(str(seq), rng.randint(0, 200))
            n.seq = seq
            live[seq] = n
            h.push(n)
            heapq.heappush(ref, (n.key, seq))
        elif op < 0.75:
            n = rng.choice(list(live.values()))
            n.key -= rng.randint(0, 50)
            h.notify_dec(n)
            ref = [(k, s) if s != n.seq else (n.key, s) for k, s in ref]
            heapq.heapify(ref)
        else:
            got = h.pop()
            key, _ = heapq.heappop(ref)
            assert got.key == key
            del live[got.seq]
    while ref:
        assert h.pop().key == heapq.heappop(ref)[0]
    assert h.pop() is None


# --- re-entrancy ----------------------------------------------------------------


def test_modifying_a_heap_while_it_is_restructured_is_refused(unraisable):
    other = MinPairingHeap()
    outcomes = []

    class Meddler(K):
        heap = None

        def key_lt(self, other_node):
            if Meddler.heap is not None:
                h, Meddler.heap = Meddler.heap, None
                assert h.first() is not None and bool(h)  # reading stays allowed
                for attempt in (lambda: h.pop(), lambda: h.clear(), lambda: other.pop(), lambda: h.__init__()):
                    try:
                        attempt()
                    except RuntimeError as e:
                        outcomes.append(str(e))
                with unraisable() as reports:
                    h.push(Meddler("x", 0))
                    h.notify_dec(self)
                outcomes.extend(r[0].__name__ for r in reports)
            return self.key < other_node.key

    h = MinPairingHeap([Meddler("a", 1)])
    Meddler.heap = h
    h.push(Meddler("b", 2))
    # The heap being rewritten refuses; the other heap works (pop of an
    # empty heap gives None).
    assert len(outcomes) == 5
    assert all("being restructured" in o for o in outcomes[:3])
    assert outcomes[3:] == ["RuntimeError", "RuntimeError"]
    assert drain_keys(h) == [1, 2]


def test_nodes_of_a_tree_being_rebuilt_stay_in_it(unraisable):
    # An ordering hook may use another heap, but cannot take a node from the
    # half-built tree (an operand of the comparison, or a node hung under
    # one): no node ever ends up in two heaps.
    other = MinPairingHeap()

    class Grabby(MinPairingHeapNode):
        def __init__(self, key):
            self.key = key

        def key_lt(self, o):
            r = rng.random()
            try:
                if r < 0.15:
                    other.push(self)
                elif r < 0.3:
                    other.push(o)
                elif r < 0.5:
                    other.notify_dec(rng.choice(ns))
                elif r < 0.65:
                    other.push(rng.choice(ns))
                elif r < 0.75:
                    other.pop()
                elif r < 0.8:
                    other.clear()
            except RuntimeError:
                pass
            return self.key < o.key

    def walk(heap):
        root = MinPairingHeap.first(heap)
        todo, seen = ([root] if root is not None else []), []
        while todo:
            n = todo.pop()
            seen.append(id(n))
            todo.extend(MinPairingHeapNode._children(n))
        return seen

    with unraisable():
        for seed in range(60):
            rng = random.Random(seed)
            ns = [Grabby(rng.randint(0, 50)) for _ in range(25)]
            h = MinPairingHeap()
            other.push(Grabby(-1))
            for n in ns:
                h.push(n)
            while h:
                h.pop()
                ids = walk(h) + walk(other)
                assert len(ids) == len(set(ids)), seed
            while other:
                other.pop()


def drain_keys(h):
    out = []
    while h:
        out.append(h.pop().key)
    return out


def test_children_override_cannot_modify_during_clear(unraisable):
    seen = []

    class Sneaky(K):
        def _children(self):
            try:
                h.push(K("late", 9))
            except Exception:
                pass
            yield from MinPairingHeapNode._children(self)

    h = MinPairingHeap([Sneaky("a", 1), Sneaky("b", 2)])
    with unraisable() as reports:
        h.clear()
    seen = [(r[0], r[2]) for r in reports]
    assert seen == [(RuntimeError, "tarnu.minqueue.MinPairingHeap.push")] * 2
    assert not h


# --- deep trees ------------------------------------------------------------------


def test_long_chain_does_not_exhaust_the_stack(run_py):
    result = run_py(
        """
        import gc
        from tarnu.minqueue import MinPairingHeap
        from tarnu.event import Event
        N = 10**6
        for how in ("clear", "del", "gc", "init"):
            h = MinPairingHeap()
            for t in range(N, 0, -1):
                h.push(Event(t, None, 0))
            if how == "clear":
                h.clear()
            elif how == "gc":
                gc.collect()
                assert h.pop().time_i64 == 1
            elif how == "init":
                h.__init__()
            del h
        print("ok")
        """,
        timeout=600,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


def test_print_tree_of_a_long_chain_prints_every_line(capsys, unraisable):
    # Only recursion in user code (here __str__ and __repr__, written in
    # Python) counts against the recursion limit: the walk spends none per
    # level.
    h = MinPairingHeap()
    for k in range(1200, 0, -1):
        h.push(K("n%d" % k, k))
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(200)
    try:
        with unraisable() as reports:
            h.first().print_tree()
    finally:
        sys.setrecursionlimit(limit)
    lines = capsys.readouterr().out.splitlines()
    assert reports == []
    assert len(lines) == 1200
    assert lines[1] == "  n2 => [n3]" and lines[-1] == " " * 2 * 1199 + "n1200 => None"


def test_long_chain_clear_with_python_nodes():
    class P(MinPairingHeapNode):
        def __init__(self, k):
            self.k = k

        def __lt__(self, other):
            return self.k < other.k

    h = MinPairingHeap()
    ns = [P(k) for k in range(20000, 0, -1)]
    for n in ns:
        h.push(n)
    h.clear()
    assert all(not list(n._children()) for n in ns[:10])


# --- the native table, as the other modules call it ------------------------------


def native_heap_table():
    import ctypes

    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    table = get_pointer(MinPairingHeap.__dict__["__pyx_vtable__"], None)
    slots = (ctypes.c_void_p * 7).from_address(table)
    obj, flag = ctypes.py_object, ctypes.c_int
    return {
        "first": ctypes.PYFUNCTYPE(obj, obj, flag)(slots[0]),
        "push": ctypes.PYFUNCTYPE(None, obj, obj, flag)(slots[1]),
        "_push": ctypes.PYFUNCTYPE(None, obj, obj)(slots[2]),
        "pop": ctypes.PYFUNCTYPE(obj, obj, flag)(slots[3]),
        "clear": ctypes.PYFUNCTYPE(obj, obj, flag)(slots[6]),
    }


def test_native_entries_honour_python_overrides():
    native = native_heap_table()
    pushed = []

    class H(MinPairingHeap):
        def push(self, node):
            pushed.append(node)

        def first(self):
            return 42

        def pop(self):
            raise KeyError("pop")

        def clear(self):
            return "cleared"

    h = H()
    a = K("a", 1)
    native["push"](h, a, 0)
    assert pushed == [a] and not h
    native["_push"](h, a)
    assert pushed == [a] and h and native["first"](h, 1) is a
    with pytest.raises(TypeError, match=f"Cannot convert int to {NODE}"):
        native["first"](h, 0)
    with pytest.raises(KeyError):
        native["pop"](h, 0)
    assert native["clear"](h, 0) == "cleared"
    assert native["pop"](h, 1) is a and not h
