# Type stubs for the extension module _velmoradb (installed next to it).
#
# A vector or query is any sequence of numbers (each converted through
# __float__ and rounded to float32) or a C-contiguous float32/float64 buffer
# such as a 1-D numpy array; `vectors` and `queries` are a sequence of those
# or a 2-D buffer. Ids are unsigned 64-bit integers (anything with __index__).
# Metric names: "euclidean", "cosine", "dot"; any other raises ValueError.

from collections.abc import Iterator, Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, TypeVar, final

from typing_extensions import Buffer, Self, TypeAlias

__all__ = ["Index", "Collection"]

_T_co = TypeVar("_T_co", covariant=True)

class _SequenceLike(Protocol[_T_co]):
    # What the conversion takes apart: an object that passes the sequence
    # check and is iterated, such as a numpy array (whose stubs declare the
    # buffer protocol only from Python 3.12 on).
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> Any: ...
    def __iter__(self) -> Iterator[_T_co]: ...

_Vector: TypeAlias = Sequence[SupportsFloat] | _SequenceLike[SupportsFloat] | Buffer
_Vectors: TypeAlias = Sequence[_Vector] | _SequenceLike[_Vector] | Buffer
_Ids: TypeAlias = Sequence[SupportsIndex] | _SequenceLike[SupportsIndex]
_Hits: TypeAlias = list[tuple[int, float]]

@final
class Index:
    """In-memory brute-force vector index."""

    def __new__(cls, metric: str, dimension: SupportsIndex) -> Self: ...
    def insert(self, id: SupportsIndex, vector: _Vector) -> None:
        """Raises ValueError for a vector of the wrong length or an id already present."""

    def search(self, query: _Vector, k: SupportsIndex) -> _Hits:
        """The k nearest (id, distance) pairs, nearest first; [] for a query of the wrong length."""

    def insert_batch(self, ids: _Ids, vectors: _Vectors) -> None: ...
    def search_batch(self, queries: _Vectors, k: SupportsIndex) -> list[_Hits]: ...

@final
class Collection:
    """Persistent vector collection backed by disk storage.

    Instances come only from `open_or_create`; calling the class raises TypeError.
    """

    @staticmethod
    def open_or_create(path: str, dimension: SupportsIndex, metric: str) -> Collection:
        """Raises OSError when the directory cannot be opened, is locked by another
        open collection, or holds a collection of another dimension."""

    def insert(self, id: SupportsIndex, vector: _Vector) -> None:
        """Replaces an id already present. Raises ValueError (also for I/O failures)."""

    def search(self, query: _Vector, k: SupportsIndex) -> _Hits: ...
    def flush(self) -> None:
        """The checkpoint: data file forced to disk, log emptied, meta.json rewritten.
        Raises OSError."""

    def insert_batch(self, ids: _Ids, vectors: _Vectors) -> None: ...
    def search_batch(self, queries: _Vectors, k: SupportsIndex) -> list[_Hits]: ...
