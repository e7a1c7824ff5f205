"""Which shard holds an id.

An id lives on shard `splitmix64(id) % shards`, where splitmix64 is the
finaliser of Steele, Lea and Flood's SplitMix64 generator applied to the id
plus its increment (all arithmetic modulo 2**64). The function is fixed: it
depends on nothing but the id and the shard count (not on Python's hash
randomisation, the process or the machine), so a replacement or a delete always
reaches the shard where the id lives, from any driver, in any session. The mix
spreads consecutive ids evenly over the shards.

Changing this function (or the shard count of an existing collection) would
strand every record on the wrong shard: the manifest names the routing, and a
collection whose manifest names another is refused.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

ROUTING_NAME = "splitmix64"

_MASK = (1 << 64) - 1
_INCREMENT = 0x9E3779B97F4A7C15
_MULTIPLIER_1 = 0xBF58476D1CE4E5B9
_MULTIPLIER_2 = 0x94D049BB133111EB


def splitmix64(value: int) -> int:
    """The mixed 64-bit value of one id (0 <= value < 2**64)."""
    z = (value + _INCREMENT) & _MASK
    z = ((z ^ (z >> 30)) * _MULTIPLIER_1) & _MASK
    z = ((z ^ (z >> 27)) * _MULTIPLIER_2) & _MASK
    return z ^ (z >> 31)


def shard_of(value: int, shards: int) -> int:
    """The shard of one id."""
    return splitmix64(value) % shards


def shards_of(ids: npt.NDArray[np.uint64], shards: int) -> npt.NDArray[np.uint64]:
    """The shard of every id of a uint64 array; the same values as shard_of.

    numpy's uint64 array arithmetic wraps modulo 2**64, as the mix needs.
    """
    z = ids.astype(np.uint64, copy=True)
    z += np.uint64(_INCREMENT)
    z ^= z >> np.uint64(30)
    z *= np.uint64(_MULTIPLIER_1)
    z ^= z >> np.uint64(27)
    z *= np.uint64(_MULTIPLIER_2)
    z ^= z >> np.uint64(31)
    result: npt.NDArray[np.uint64] = z % np.uint64(shards)
    return result


def split_by_shard(ids: npt.NDArray[np.uint64], shards: int) -> list[npt.NDArray[np.intp]]:
    """For each shard, the positions in `ids` of the ids it holds, in their
    order in `ids` (so repeated ids keep their order: the last one wins, as in
    one collection's insert_batch)."""
    owner = shards_of(ids, shards)
    order = np.argsort(owner, kind="stable")
    bounds = np.searchsorted(owner[order], np.arange(shards + 1, dtype=np.uint64))
    return [order[bounds[s] : bounds[s + 1]] for s in range(shards)]


def parts_by_shard(ids: npt.NDArray[np.uint64], shards: int) -> dict[int, npt.NDArray[np.intp]]:
    """Shard -> the positions of its ids (as split_by_shard), for the shards
    that have any."""
    return {s: p for s, p in enumerate(split_by_shard(ids, shards)) if len(p)}
