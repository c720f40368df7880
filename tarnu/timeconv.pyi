# Type stub of tarnu.timeconv: simulated time in seconds and in ticks.
from typing import Any, Dict, SupportsFloat, SupportsIndex, SupportsInt, Union

# Set at import, as in every module of the package.
__test__: Dict[str, Any]
# The native interface: entry name -> capsule named by its C signature.
__pyx_capi__: Dict[str, object]

_Seconds = Union[SupportsFloat, SupportsIndex]

def d2l(x: _Seconds, /) -> int:
    """Seconds to ticks: ``x`` times 1000, rounded half away from zero.

    NaN, infinities and times beyond the 64-bit range give the most negative
    64-bit value.
    """

def l2d(x: SupportsInt, /) -> float:
    """Ticks to seconds: ``x`` divided by 1000 (a float ``x`` is truncated to
    an int first)."""

def time_eq(a: _Seconds, b: _Seconds) -> bool:
    """Whether ``a`` and ``b`` fall on the same tick: ``d2l(a) == d2l(b)``."""

def time_le(a: _Seconds, b: _Seconds) -> bool:
    """``d2l(a) <= d2l(b)``: ``a`` is at or before ``b``, on ticks."""

def time_lt(a: _Seconds, b: _Seconds) -> bool:
    """``d2l(a) < d2l(b)``: ``a`` is before ``b``, on ticks."""

def time_ge(a: _Seconds, b: _Seconds) -> bool:
    """``d2l(a) >= d2l(b)``: ``a`` is at or after ``b``, on ticks."""

def time_gt(a: _Seconds, b: _Seconds) -> bool:
    """``d2l(a) > d2l(b)``: ``a`` is after ``b``, on ticks."""
