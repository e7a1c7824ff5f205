# Type stubs for the extension module velmoradb._core (the records API).
#
# Vectors, queries and ids take what _velmoradb takes (sequences of numbers,
# float32/float64 buffers such as numpy arrays); here every component must be
# finite and inside the float32 range. A payload is a dict with str keys whose
# values are None, bool, int (-2**63 .. 2**64-1), finite float, str, list or
# tuple of values, or dict of the same kind.

from collections.abc import Mapping, Sequence
from os import PathLike
from types import TracebackType
from typing import Any, NamedTuple, SupportsIndex, final

from typing_extensions import Self, TypeAlias

from _velmoradb import _Hits, _Ids, _Vector, _Vectors

__all__ = ["Collection", "CompactStats", "Record"]

_JsonIn: TypeAlias = None | bool | int | float | str | Sequence[_JsonIn] | Mapping[str, _JsonIn]
_PayloadIn: TypeAlias = Mapping[str, _JsonIn]
_Path: TypeAlias = str | bytes | PathLike[str] | PathLike[bytes]

_Where: TypeAlias = Mapping[str, Any]

class Record(NamedTuple):
    id: int
    vector: list[float]
    payload: dict[str, Any]

class CompactStats(NamedTuple):
    bytes_before: int
    bytes_after: int
    records_dropped: int

@final
class Collection:
    """A persistent vector collection in a directory: vectors with JSON-like payloads,
    kept crash-safe by a write-ahead log."""

    @staticmethod
    def open_or_create(path: _Path, dimension: SupportsIndex, metric: str) -> Collection:
        """Raises ValueError for an unknown metric, a dimension of 0 or one that differs
        from the stored collection's; OSError when the directory cannot be opened.

        A large collection goes on loading after this returns: until it is loaded,
        search() without `where` reads the data file (the same results), and every
        other call waits for the load (raising its error, should it fail)."""

    @staticmethod
    def open(path: _Path, read_only: bool = False) -> Collection:
        """FileNotFoundError when the directory holds no collection."""

    @staticmethod
    def create(path: _Path, dimension: SupportsIndex, metric: str) -> Collection:
        """FileExistsError when the directory already holds a collection."""

    def insert(self, id: SupportsIndex, vector: _Vector, payload: _PayloadIn | None = None) -> None:
        """Replaces the record the id already has, payload included."""

    def insert_batch(
        self, ids: _Ids, vectors: _Vectors, payloads: Sequence[_PayloadIn | None] | None = None
    ) -> None: ...
    def search(self, query: _Vector, k: SupportsIndex, *, where: _Where | None = None) -> _Hits: ...
    def search_batch(
        self,
        queries: _Vectors,
        k: SupportsIndex,
        *,
        where: _Where | None = None,
        threads: int | None = None,
    ) -> list[_Hits]: ...
    def get(self, id: SupportsIndex) -> Record | None: ...
    def get_batch(self, ids: _Ids) -> list[Record | None]: ...
    def delete(self, id: SupportsIndex) -> bool: ...
    def delete_batch(self, ids: _Ids) -> int: ...
    def ids(self, where: _Where | None = None) -> list[int]: ...
    def compact(self) -> CompactStats: ...
    def __contains__(self, id: object, /) -> bool: ...
    def flush(self) -> None: ...
    def wait_for_bound_codes(self) -> None:
        """Wait until the bound codes built after open are in use; until then search()
        scans every vector, with the same results."""
    def close(self) -> None:
        """Idempotent; any other call afterwards raises ValueError("collection is closed")."""

    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None: ...
    def __len__(self) -> int: ...
    @property
    def path(self) -> str: ...
    @property
    def dimension(self) -> int: ...
    @property
    def metric(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    @property
    def read_only(self) -> bool: ...
    @property
    def search_threads(self) -> int:
        """Threads of search_batch when its threads argument is None (1 unless set)."""
    @search_threads.setter
    def search_threads(self, value: int | None) -> None: ...
    @property
    def reclaimable_bytes(self) -> int:
        """Bytes of the data file that compact() would remove (deleted and replaced records)."""
    @property
    def bound_codes_bytes(self) -> int:
        """Bytes of memory held by the compact codes that let search() compute few exact
        distances; 0 below the size from which they are kept, and while they are built
        after open (see wait_for_bound_codes)."""
