"""Simulated time in seconds and in ticks.

The kernel keeps every time as a whole number of ticks (thousandths of a
second), so two times that round to the same tick are the same time.

Its output is in timeconv_demo.out.
"""
from tarnu.timeconv import d2l, l2d, time_eq, time_lt

for seconds in (0.25, 1.0005, -0.0025):
    note = " (halves round away from zero)" if seconds == 1.0005 else ""
    print(f"{seconds} s -> {d2l(seconds)} ticks{note}")
print(f"1234 ticks -> {l2d(1234)} s")

# Float noise disappears once times are compared on ticks.
print(f"0.1 + 0.2 == 0.3: {0.1 + 0.2 == 0.3} in floats, {time_eq(0.1 + 0.2, 0.3)} in ticks")

for later in (1.0004, 1.0005):
    relation = "earlier" if time_lt(1.0, later) else "equal" if time_eq(1.0, later) else "later"
    print(f"1.0 vs {later}: {relation}")

# Wake-up times of three processes: the same tick means the same moment.
wakeups = {"a": 0.3000004, "b": 0.3, "c": 0.7}
first = min(d2l(t) for t in wakeups.values())
together = sorted(name for name, t in wakeups.items() if d2l(t) == first)
print(f"due first, at {l2d(first)} s: {', '.join(together)}")
