"""velmoradb on a Ray cluster: a collection sharded over Ray actors, and bulk
loads and searches through Ray Data. Install with the extra `velmoradb[ray]`.

`ShardedCollection` offers the records API of velmoradb.Collection over
several shard directories, each owned by one actor; `write_dataset` and
`search_dataset` move a `ray.data.Dataset` in and out (a load's rows are
staged in the shard actors' memory and durable when write_dataset returns).
docs/ray.md describes the layout of a root, what is durable when, and running
on several machines.
"""

try:
    import ray as _ray  # noqa: F401
except ImportError as e:  # pragma: no cover - depends on the installation
    raise ImportError("velmoradb.ray needs Ray: pip install 'velmoradb[ray]'") from e

from velmoradb.ray._actor import DEFAULT_STAGE_BYTES
from velmoradb.ray._collection import DEFAULT_TIMEOUT, ShardedCollection
from velmoradb.ray._data import search_dataset, write_dataset
from velmoradb.ray._errors import IncompleteLoadError, IncompleteWriteError, ShardUnavailableError
from velmoradb.ray._routing import shard_of

__all__ = [
    "DEFAULT_STAGE_BYTES",
    "DEFAULT_TIMEOUT",
    "IncompleteLoadError",
    "IncompleteWriteError",
    "ShardUnavailableError",
    "ShardedCollection",
    "search_dataset",
    "shard_of",
    "write_dataset",
]
