"""Ten thousand processes: a sensor network and the kernel's speed.

Ten thousand sensors each take a reading at their own pace, every 2 to 20
seconds, and count it under the minute it was taken in. The model runs for
three simulated minutes, about 230,000 process steps, and then reports how
many steps the kernel ran per second of real time.

The readings depend only on the seeded random numbers, so they go to
standard output (compared with many_processes.out). The speed depends on
the machine, so it goes to standard error, as a line that starts with
"[timing]".
"""
import random
import sys
import time
from typing import Generator, List, Optional, Tuple

from tarnu import TIME_PASSED, Environment, Process

Steps = Generator[Optional[Tuple[float, int]], int, None]

SENSORS = 10_000
MINUTE = 60.0
RUN = 3 * MINUTE


class Network:
    def __init__(self) -> None:
        self.per_minute = [0] * int(RUN // MINUTE)  # readings taken in each minute
        self.steps = 0                               # every process step


class Sensor(Process):
    def __init__(self, env: Environment, network: Network, rng: random.Random) -> None:
        self.network = network
        self.period = rng.uniform(2.0, 20.0)
        self.offset = rng.uniform(0.0, self.period)
        super().__init__(env)

    def __call__(self) -> Steps:
        network = self.network
        yield self.time + self.offset, TIME_PASSED
        while True:
            network.steps += 1
            minute = int(self.time // MINUTE)
            if minute < len(network.per_minute):
                network.per_minute[minute] += 1
            yield self.time + self.period, TIME_PASSED


def main() -> None:
    rng = random.Random(3)
    network = Network()
    env = Environment(stop_time=RUN, errors="raise")
    sensors = [Sensor(env, network, rng) for _ in range(SENSORS)]
    started = time.perf_counter()
    env.start()
    env.join()
    env.finish()
    elapsed = time.perf_counter() - started

    print(f"{len(sensors)} sensors, {RUN / MINUTE:.0f} simulated minutes")
    for minute, count in enumerate(network.per_minute, 1):
        print(f"minute {minute}: {count} readings")
    print(f"{network.steps} process steps in all")
    print(f"[timing] {network.steps / elapsed:,.0f} process steps per second "
          f"({elapsed:.2f} s for the run)", file=sys.stderr)


if __name__ == "__main__":
    main()
