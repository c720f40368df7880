"""Review findings: each test states the expected behaviour and fails until it is met."""
import re

import pytest

from tarnu.define import TIME_PASSED
from tarnu.sim import Environment


def tick(self, interval):
    yield self.time + interval, TIME_PASSED


@pytest.mark.xfail(strict=True, reason="process() is a vectorcall entry: the interpreter rejects the keyword unnamed")
def test_process_non_string_keyword_names_the_function():
    env = Environment()
    with pytest.raises(TypeError, match="^" + re.escape("process() keywords must be strings") + "$"):
        env.process(tick, 5, **{1: 2})
    # With func missing the count error comes first, as for the other entries.
    with pytest.raises(TypeError, match=r"^process\(\) takes at least 1 positional argument \(0 given\)$"):
        env.process(**{1: 2})


@pytest.mark.xfail(strict=True, reason="the quoted sentence is broken across two docstring lines")
def test_process_docstring_second_paragraph_is_one_line():
    lines = [line.strip() for line in Environment.process.__doc__.splitlines()]
    assert lines[0] == "process(func, *args, loop_forever=False, **kwargs)"
    assert ("Turn a generator function to a Process. The resulting process will be added to the "
            "environment automatically.") in lines
