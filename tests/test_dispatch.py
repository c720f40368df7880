"""Overridable methods reached from native code: a lookup that found no
override is remembered, and the memo must never hide an override added,
replaced or deleted later on the class, on a base class or on the instance."""
import pytest

from tarnu.process import Process
from tarnu.sim import Environment


def finishing(env):
    """Runs the native finish of every process (dispatch on); returns what ran."""
    ran.clear()
    env.finish()
    return list(ran)


ran = []


def hook(label):
    def finish(self):
        ran.append(label)

    return finish


def instance_hook(label):
    return lambda: ran.append(label)


class Base(Process):
    pass


class Leaf(Base):
    pass


class Sibling(Base):
    pass


@pytest.mark.parametrize("warm", [1, 3])
def test_changes_anywhere_are_seen_at_once(warm):
    """Each step changes one place, then the hook must run as changed at the
    first call and at every later call (`warm` calls, so the memo is used)."""
    base = type("Base", (Process,), {})
    leaf = type("Leaf", (base,), {})
    other = type("Other", (Process,), {"finish": hook("other")})
    env = Environment()
    p = leaf(env)
    steps = [
        (lambda: None, []),
        (lambda: setattr(base, "finish", hook("base")), ["base"]),
        (lambda: setattr(base, "finish", hook("base2")), ["base2"]),
        (lambda: setattr(leaf, "finish", hook("leaf")), ["leaf"]),
        (lambda: setattr(leaf, "finish", hook("leaf2")), ["leaf2"]),
        (lambda: setattr(p, "finish", instance_hook("inst")), ["inst"]),
        (lambda: setattr(p, "finish", instance_hook("inst2")), ["inst2"]),
        (lambda: delattr(p, "finish"), ["leaf2"]),
        (lambda: delattr(leaf, "finish"), ["base2"]),
        (lambda: delattr(base, "finish"), []),
        (lambda: setattr(p, "finish", instance_hook("inst3")), ["inst3"]),
        (lambda: setattr(base, "finish", hook("base3")), ["inst3"]),  # the instance still shadows
        (lambda: p.__dict__.clear(), ["base3"]),
        (lambda: setattr(p, "__dict__", {"finish": instance_hook("new dict")}), ["new dict"]),
        (lambda: setattr(p, "__dict__", {}), ["base3"]),
        (lambda: setattr(leaf, "__bases__", (other,)), ["other"]),  # another base
        (lambda: setattr(leaf, "__bases__", (base,)), ["base3"]),
    ]
    for number, (change, expected) in enumerate(steps):
        change()
        for _ in range(warm):
            assert finishing(env) == expected, number


def test_instances_and_classes_do_not_share_a_memo():
    env = Environment()
    plain, shadowed = Leaf(env), Leaf(env)
    other = Sibling(env)
    shadowed.finish = instance_hook("shadowed")
    Sibling.finish = hook("sibling")
    try:
        # Interleaved: the memo of one object or class must not answer for another.
        for _ in range(3):
            assert finishing(env) == ["shadowed", "sibling"]
    finally:
        del Sibling.finish
    assert finishing(env) == ["shadowed"]
    assert plain.env is env


def test_classes_without_an_instance_dict():
    class Slotted(Process):
        __slots__ = ()

    env = Environment()
    Slotted(env)
    assert finishing(env) == []
    Slotted.finish = hook("slotted")
    assert finishing(env) == ["slotted"]
    del Slotted.finish
    assert finishing(env) == []


def test_a_replaced_class_dict_entry_that_is_not_a_function():
    class Odd(Process):
        pass

    env = Environment()
    Odd(env)
    assert finishing(env) == []

    class Callable:
        def __call__(self):
            ran.append("callable")

    # Not a function: found on the instance's class and called unbound.
    Odd.finish = staticmethod(Callable())
    assert finishing(env) == ["callable"]
    Odd.finish = Process.finish  # the built-in method itself is no override
    assert finishing(env) == []


def test_a_class_without_an_override_is_looked_up_once():
    lookups = []

    class Counting:
        """Hands out the built-in method, counting the lookups."""

        def __get__(self, obj, cls):
            lookups.append(obj)
            return Process.finish.__get__(obj, cls)

    class Quiet(Process):
        finish = Counting()

    env = Environment()
    Quiet(env)
    for _ in range(5):
        assert finishing(env) == []
    assert len(lookups) == 1
