"""The "ticker" model in each of its forms, shared by the benchmarks.

N processes; process i wakes every d = 1 + (i % 7) * 0.001 seconds, for ever.
The forms: tarnu with a Process subclass ("subclass") or a generator function
wrapped by env.process ("wrapper"), SimPy ("simpy"), and the floor ("floor",
"floorshuf"): a bare C binary heap of (tick, seq, generator) entries that
resumes the same generators, built from a floor.c that this project does not
ship (see find_floor). "floorshuf" is the floor with its generators shuffled,
so that ties are not served in memory order.

build(model, n) sets a model up (every process made and waiting at its first
yield, except the floor's, which start inside run) and returns an object with
run(until) and events() (the wake-ups handled so far, read from the model's
state after the run, so the timed loop carries no counter).
"""
import os
import pathlib
import random
import subprocess
import sys
import sysconfig
import tempfile

MODELS = ["floor", "floorshuf", "subclass", "wrapper", "simpy"]


def period(i):
    return 1 + (i % 7) * 0.001


def period_ticks(i):
    return 1000 + i % 7


def exact_events(n, until):
    """Wake-ups with activation time in (0, until]: the same in every form."""
    lim = round(until * 1000)
    return sum(lim // (1000 + k) * len(range(k, n, 7)) for k in range(7))


# --- the floor -----------------------------------------------------------------

def prepare_floor(floor_dir):
    """A directory holding the floor module for this interpreter: `floor_dir`
    itself when it has one, else a temporary directory where floor.c from
    `floor_dir` was built. None when there is neither (or no compiler)."""
    if not floor_dir:
        return None
    floor_dir = pathlib.Path(floor_dir)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    if (floor_dir / f"floor{suffix}").exists():
        return str(floor_dir)
    source = floor_dir / "floor.c"
    if not source.exists():
        return None
    build_dir = pathlib.Path(tempfile.mkdtemp(prefix="tarnu-floor-"))
    include = sysconfig.get_paths()["include"]
    try:
        subprocess.run(["gcc", "-O2", "-shared", "-fPIC", f"-I{include}", str(source), "-o",
                        str(build_dir / f"floor{suffix}")], check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError):
        return None
    return str(build_dir)


def find_floor(built_dir):
    """The floor module from a directory that prepare_floor gave, or None."""
    if not built_dir:
        return None
    sys.path.insert(0, built_dir)
    try:
        import floor
    except ImportError:
        return None
    finally:
        sys.path.pop(0)
    return floor


def default_floor_dir():
    """$TARNU_FLOOR_DIR, else the shared bench directory beside the repository."""
    env = os.environ.get("TARNU_FLOOR_DIR")
    if env:
        return env
    shared = pathlib.Path(__file__).resolve().parents[2] / "shared" / "bench"
    return str(shared) if shared.exists() else None


class FloorModel:
    def __init__(self, floor, n, shuffled):
        def ticker(clk, d):
            while True:
                yield (clk.time + d, 0)

        self.floor, self.clock = floor, floor.Clock()
        self.gens = [ticker(self.clock, period(i)) for i in range(n)]
        if shuffled:
            random.Random(1).shuffle(self.gens)
        self.count = 0

    def run(self, until):
        # The floor can only run once, from the start; its first steps are
        # not in its count.
        self.count = self.floor.run(self.clock, self.gens, until)

    def events(self):
        return self.count


# --- tarnu ---------------------------------------------------------------------

class TarnuModel:
    def __init__(self, n, wrapped):
        from tarnu.define import TIME_PASSED
        from tarnu.process import Process
        from tarnu.sim import Environment

        self.env = env = Environment()
        if wrapped:
            def ticker(self, env, d):
                while True:
                    yield (env.time + d, TIME_PASSED)

            self.procs = [env.process(ticker, env, period(i)) for i in range(n)]
        else:
            class Ticker(Process):
                def __init__(self, env, d):
                    self.d = d
                    super().__init__(env)

                def __call__(self):
                    env, d = self.env, self.d
                    while True:
                        yield (env.time + d, TIME_PASSED)

            self.procs = [Ticker(env, period(i)) for i in range(n)]
        env.start()

    def run(self, until):
        self.env.run_until(until)

    def events(self):
        # Each process waits for its next multiple of its period.
        return sum(round(p.next_event_time() * 1000) // period_ticks(i) - 1 for i, p in enumerate(self.procs))


# --- SimPy ---------------------------------------------------------------------

class SimpyModel:
    def __init__(self, n):
        import simpy

        self.env = env = simpy.Environment()

        def ticker(d):
            while True:
                yield env.timeout(d)

        for i in range(n):
            env.process(ticker(period(i)))
        env.run(until=1e-9)  # every process at its first yield

    def run(self, until):
        # Half a tick past the limit: the wake-ups due at the limit run, as
        # in the other forms.
        self.env.run(until=until + 0.0005)

    def events(self):
        # Each pending timeout is due at the next multiple of its delay.
        return sum(round(t * 1000) // round(ev._delay * 1000) - 1
                   for t, _, _, ev in self.env._queue if hasattr(ev, "_delay"))


def build(model, n, floor=None):
    if model in ("floor", "floorshuf"):
        return FloorModel(floor, n, model == "floorshuf")
    if model in ("subclass", "wrapper"):
        return TarnuModel(n, model == "wrapper")
    if model == "simpy":
        return SimpyModel(n)
    raise ValueError(f"unknown model {model!r}")
