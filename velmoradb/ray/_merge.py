"""Merging the shards' answers into the answer of one collection.

Every distance is computed by the shard that holds the vector, with the
collection's fixed order of operations, so the merge only chooses: the k
smallest distances of all shards' top k are exactly the k smallest of the whole
collection (each shard's top k holds every one of its records that can be in
the global top k). Equal distances may come in any order, as in one collection.
"""

from __future__ import annotations

import heapq
import itertools
from collections.abc import Sequence
from operator import itemgetter

Hit = tuple[int, float]

_DISTANCE = itemgetter(1)


def merge_hits(per_shard: Sequence[Sequence[Hit]], k: int) -> list[Hit]:
    """The k nearest of the shards' lists (each nearest first), nearest first."""
    if len(per_shard) == 1:
        return list(per_shard[0][:k])
    return heapq.nsmallest(k, itertools.chain.from_iterable(per_shard), key=_DISTANCE)


def merge_ids(per_shard: Sequence[Sequence[int]]) -> list[int]:
    """The union of the shards' ascending id lists (disjoint: an id lives on
    one shard), ascending."""
    return list(heapq.merge(*per_shard))
