# Type stub of tarnu.define: the reasons and the time that means never.
from typing import Any, Dict, Final

# Set at import, as in every module of the package.
__test__: Dict[str, Any]
# The native interface: entry name -> capsule named by its C signature.
__pyx_capi__: Dict[str, object]

TIME_FOREVER: Final[float]
"""The time in seconds that means never (1e12 s). A process that yields
``None`` waits here until another process activates it; ``join()`` with the
default stop time stops one second before it."""

TIME_PASSED: Final[int]
"""Reason 0: the process waited for time to pass. The reason of ``None``
(sleep until activated) and the default limit reason of ``run_until``."""

TIME_REACHED: Final[int]
"""Reason 1, free for models to use (for example: a deadline was reached)."""

LOCK_RELEASED: Final[int]
"""Reason 2, free for models to use (for example: what the process waited
for is available)."""
