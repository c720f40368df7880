"""Hold model: one pop and one push per step at a steady queue size.

tarnu's MinPairingHeap of Event nodes against heapq on (tick, seq, obj)
tuples, both driven from Python with the same random increments.
"""
import heapq
import random
import sys
import time

from tarnu.event import Event
from tarnu.minqueue import MinPairingHeap


def hold_tarnu(initial, increments):
    h = MinPairingHeap()
    push, pop = h.push, h.pop
    for t in initial:
        push(Event(t, None, 0))
    start = time.perf_counter()
    for inc in increments:
        e = pop()
        e.time_i64 += inc
        push(e)
    return time.perf_counter() - start


def hold_heapq(initial, increments):
    q = []
    push, pop = heapq.heappush, heapq.heappop
    for seq, t in enumerate(initial):
        push(q, (t, seq, None))
    seq = len(initial)
    start = time.perf_counter()
    for inc in increments:
        tick, _, obj = pop(q)
        seq += 1
        push(q, (tick + inc, seq, obj))
    return time.perf_counter() - start


def main():
    steps = int(sys.argv[1]) if len(sys.argv) > 1 else 10**6
    rng = random.Random(1)
    print(f"{'size':>9} {'steps':>9} {'tarnu s':>9} {'heapq s':>9} {'heapq/tarnu':>12}")
    for size in (10**3, 10**5, 10**6):
        initial = [rng.randrange(0, 1000 * size) for _ in range(size)]
        increments = [rng.randrange(1, 2000 * size) for _ in range(steps)]
        # Best of three, alternating, so neither side benefits from warm-up.
        ours, theirs = [], []
        for _ in range(3):
            ours.append(hold_tarnu(initial, increments))
            theirs.append(hold_heapq(initial, increments))
        a, b = min(ours), min(theirs)
        print(f"{size:>9} {steps:>9} {a:>9.3f} {b:>9.3f} {b / a:>12.2f}", flush=True)


if __name__ == "__main__":
    main()
