# Type stubs for the extension module _velmoradb (installed next to it).
#
# A vector or query is any sequence of numbers (each converted through
# __float__ and rounded to float32) or a C-contiguous float32/float64 buffer
# such as a 1-D numpy array; `vectors` and `queries` are a sequence of those
# or a 2-D buffer. Ids are unsigned 64-bit integers (anything with __index__).
# Metric names: "euclidean", "cosine", "dot"; any other raises ValueError.

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

from typing_extensions import Buffer, Self, TypeAlias

__all__ = ["Index", "Collection"]

_Vector: TypeAlias = Sequence[SupportsFloat] | Buffer
_Vectors: TypeAlias = Sequence[_Vector] | Buffer
_Ids: TypeAlias = Sequence[SupportsIndex] | Buffer
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
