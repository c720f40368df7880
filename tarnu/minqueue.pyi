# Type stub of tarnu.minqueue: the heap node and the min pairing heap.
from typing import Any, Dict, Generator, Generic, Iterable, Optional, SupportsInt, TypeVar

from typing_extensions import Self, disjoint_base

# Set at import, as in every module of the package.
__test__: Dict[str, Any]

_N = TypeVar("_N", bound=MinPairingHeapNode)

@disjoint_base
class MinPairingHeapNode:
    """A node of a :class:`MinPairingHeap`.

    Subclass it and give the subclass an order: define ``__lt__``, or
    override :meth:`key_lt`. The constructor accepts and ignores any
    arguments, so a subclass's ``__init__`` may take whatever it needs and
    need not call this one. A node is in at most one heap at a time.
    """

    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    def key_lt(self, other: Optional[MinPairingHeapNode], /) -> bool:
        """Whether this node orders before ``other``: ``self < other``.

        The heap makes every order decision through this method. A failure
        is reported as unraisable and counts as false.
        """

    def _children(self) -> Generator[MinPairingHeapNode, None, None]:
        """The node's children in the heap, newest first."""

    def print_tree(self, indent: SupportsInt = 0) -> None:
        """Print the subtree under this node, one line per node, depth first:
        ``indent`` blanks, then ``"{node} => {children}"`` (``None`` for a
        leaf)."""

@disjoint_base
class MinPairingHeap(Generic[_N]):
    """A min pairing heap of :class:`MinPairingHeapNode` objects.

    ``MinPairingHeap(l=())`` pushes the nodes of ``l`` in order. The heap
    orders nodes with their ``key_lt``; it never allocates, keeps no count
    and has no removal of an arbitrary node. It is true when it holds a
    node. Heaps cannot be pickled.

    The type parameter is the node class, for type checkers only: write
    ``MinPairingHeap[Job]`` in annotations that are not evaluated at run
    time (quoted, or under ``from __future__ import annotations``).
    """

    def __init__(self, l: Iterable[_N] = ()) -> None: ...
    def first(self) -> Optional[_N]:
        """The minimum node, left in the heap; ``None`` when the heap is
        empty."""

    def push(self, node: _N, /) -> None:
        """Add ``node``, which must be in no heap."""

    def pop(self) -> Optional[_N]:
        """Remove and return the minimum node; ``None`` when the heap is
        empty."""

    def notify_dec(self, node: _N, /) -> None:
        """Re-position ``node``, a node of this heap whose key has just been
        lowered. Only for decreases: a key that grows is not noticed."""

    def clear(self) -> None:
        """Remove every node."""

    def __bool__(self) -> bool: ...
