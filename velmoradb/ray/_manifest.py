"""The manifest of a sharded collection: `ROOT/velmoradb-shards.json`.

It records what every driver must agree on to find a record: the shard
count, the routing function, the dimension and the metric. Shard `i` is the
ordinary collection directory `ROOT/shard-NNNN` (`i` in four or more digits).
The manifest is written once, when the collection is created, after every
shard directory exists; it is replaced atomically (temporary file, fsync,
rename, fsync of the directory), so a reader sees the whole of it or none.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass

from velmoradb.ray._routing import ROUTING_NAME

MANIFEST_NAME = "velmoradb-shards.json"
FORMAT_NAME = "velmoradb sharded collection"
FORMAT_VERSION = 1
METRICS = ("euclidean", "cosine", "dot")


@dataclass(frozen=True)
class Manifest:
    shards: int
    dimension: int
    metric: str


def shard_path(root: str, shard: int) -> str:
    return os.path.join(root, f"shard-{shard:04d}")


def manifest_path(root: str) -> str:
    return os.path.join(root, MANIFEST_NAME)


def check_layout(shards: object, dimension: object, metric: object) -> Manifest:
    """A Manifest from user arguments; ValueError / TypeError for bad ones."""
    for name, value in (("shards", shards), ("dimension", dimension)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an int, got {type(value).__name__}")
        if value < 1:
            raise ValueError(f"{name} must be at least 1, got {value}")
    if metric not in METRICS:
        raise ValueError(f"unknown metric {metric!r} (expected one of 'euclidean', 'cosine', 'dot')")
    assert isinstance(shards, int) and isinstance(dimension, int) and isinstance(metric, str)
    return Manifest(shards=shards, dimension=dimension, metric=metric)


def write_manifest(root: str, manifest: Manifest) -> None:
    """Writes the manifest atomically; FileExistsError when one is there."""
    target = manifest_path(root)
    text = json.dumps(
        {
            "format": FORMAT_NAME,
            "version": FORMAT_VERSION,
            "shards": manifest.shards,
            "dimension": manifest.dimension,
            "metric": manifest.metric,
            "routing": ROUTING_NAME,
        },
        indent=2,
    )
    temporary = target + ".tmp"
    with open(temporary, "w", encoding="utf-8") as f:
        f.write(text + "\n")
        f.flush()
        os.fsync(f.fileno())
    # link() refuses an existing target, where rename() would replace it: two
    # drivers creating the same root at once cannot both win.
    try:
        os.link(temporary, target)
    finally:
        os.unlink(temporary)
    _fsync_directory(root)


def read_manifest(root: str) -> Manifest:
    """FileNotFoundError when ROOT holds no sharded collection; ValueError for a
    manifest this version cannot use."""
    target = manifest_path(root)
    try:
        with open(target, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        raise FileNotFoundError(f"no sharded collection at {root!r} (no {MANIFEST_NAME})") from None
    try:
        fields = json.loads(text)
    except json.JSONDecodeError as e:
        raise ValueError(f"{target}: not valid JSON ({e})") from None
    if not isinstance(fields, dict) or fields.get("format") != FORMAT_NAME:
        raise ValueError(f"{target}: not a velmoradb sharded collection manifest")
    if fields.get("version") != FORMAT_VERSION:
        raise ValueError(f"{target}: manifest version {fields.get('version')!r} is not supported (expected {FORMAT_VERSION})")
    if fields.get("routing") != ROUTING_NAME:
        raise ValueError(f"{target}: routing {fields.get('routing')!r} is not supported (expected {ROUTING_NAME!r})")
    try:
        return check_layout(fields.get("shards"), fields.get("dimension"), fields.get("metric"))
    except (TypeError, ValueError) as e:
        raise ValueError(f"{target}: {e}") from None


def _fsync_directory(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
