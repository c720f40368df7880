"""MinPairingHeap against a model: a dict of the nodes it holds.

Each run picks one family of nodes: a Python subclass ordered by `__lt__`,
one ordered by a `key_lt` override, or `Event`s ordered natively by
`time_i64`. `make fuzz` runs many more examples (HYPOTHESIS_PROFILE=fuzz).
"""
import os
import sys

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, invariant, precondition, rule

from tarnu.event import Event
from tarnu.minqueue import MinPairingHeap, MinPairingHeapNode


class LtNode(MinPairingHeapNode):
    def __init__(self, key):
        self.key = key

    def __lt__(self, other):
        return self.key < other.key

    def __repr__(self):
        return "LtNode(%d)" % self.key


class KeyLtNode(MinPairingHeapNode):
    def __init__(self, key):
        self.key = key

    def key_lt(self, other):
        return self.key < other.key

    def __repr__(self):
        return "KeyLtNode(%d)" % self.key


FAMILIES = {
    "lt": (LtNode, lambda n: n.key),
    "key_lt": (KeyLtNode, lambda n: n.key),
    "event": (lambda key: Event(key, None, 0), lambda n: n.time_i64),
}


def lower(node, delta):
    if isinstance(node, Event):
        node.time_i64 -= delta
    else:
        node.key -= delta


def assert_detached(node):
    """A removed node has no children and comes back alone from a fresh heap."""
    assert list(node._children()) == []
    h = MinPairingHeap()
    h.push(node)
    assert h.pop() is node
    assert h.pop() is None
    assert list(node._children()) == []


class HeapModel(RuleBasedStateMachine):
    nodes = Bundle("nodes")

    def __init__(self):
        super().__init__()
        self.heap = MinPairingHeap()
        self.held = {}  # id -> node, the nodes the heap holds
        self.reports = []
        self.old_hook = sys.unraisablehook
        sys.unraisablehook = lambda info: self.reports.append(info.exc_value)

    def teardown(self):
        sys.unraisablehook = self.old_hook

    @initialize(family=st.sampled_from(sorted(FAMILIES)))
    def choose_family(self, family):
        self.make, self.key = FAMILIES[family]

    def min_key(self):
        return min(self.key(n) for n in self.held.values())

    @rule(target=nodes, key=st.integers(-5, 15))
    def new_node(self, key):
        return self.make(key)

    @rule(node=nodes)
    def push(self, node):
        if id(node) in self.held:
            return  # pushing a node twice is the caller's fault
        self.heap.push(node)
        self.held[id(node)] = node

    @rule()
    def pop(self):
        node = self.heap.pop()
        if not self.held:
            assert node is None
            return
        assert self.key(node) == self.min_key()
        assert self.held.pop(id(node)) is node
        assert_detached(node)

    @precondition(lambda self: self.held)
    @rule(data=st.data(), delta=st.integers(0, 6))
    def notify_dec(self, data, delta):
        # In the order pushed: an order by address would differ between runs.
        node = data.draw(st.sampled_from(list(self.held.values())))
        lower(node, delta)
        self.heap.notify_dec(node)

    @rule(node=nodes)
    def notify_dec_detached(self, node):
        if id(node) not in self.held:
            self.heap.notify_dec(node)
            assert_detached(node)

    @rule()
    def clear(self):
        assert self.heap.clear() is None
        removed = list(self.held.values())
        self.held.clear()
        for node in removed:
            assert_detached(node)

    @rule(items=st.lists(nodes, max_size=5), as_list=st.booleans())
    def reinit(self, items, as_list):
        removed = list(self.held.values())
        fresh = []
        for n in items:
            if all(n is not f for f in fresh):
                fresh.append(n)
        # The new contents must not be held by the heap any more: they are
        # detached by the reset first.
        self.heap.__init__(fresh if as_list else iter(fresh))
        self.held = {id(n): n for n in fresh}
        for node in removed:
            if id(node) not in self.held:
                assert_detached(node)

    @rule()
    def reinit_empty(self):
        removed = list(self.held.values())
        self.heap.__init__()
        self.held.clear()
        for node in removed:
            assert_detached(node)

    @invariant()
    def heap_matches_model(self):
        assert self.reports == []
        assert bool(self.heap) == bool(self.held)
        first = self.heap.first()
        if not self.held:
            assert first is None
            return
        assert self.key(first) == self.min_key()
        # The tree holds exactly the model's nodes, each once, every child no
        # less than its parent.
        seen = []
        todo = [first]
        while todo:
            n = todo.pop()
            seen.append(id(n))
            for c in n._children():
                assert not self.key(c) < self.key(n)
                todo.append(c)
        assert sorted(seen) == sorted(self.held)


settings.register_profile(
    "heap-model", max_examples=150, stateful_step_count=30, deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile(
    "heap-model-fuzz", max_examples=3000, stateful_step_count=80, deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
HeapModel.TestCase.settings = settings.get_profile(
    "heap-model-fuzz" if os.environ.get("HYPOTHESIS_PROFILE") == "fuzz" else "heap-model"
)
TestHeapModel = HeapModel.TestCase
