"""Reference and memory leaks: every method of Index and Collection, on its
success path and on each of its error paths (binding, every conversion
error, borrow conflicts, engine errors, I/O errors), thousands of times.
After a warm-up, the interpreter's allocated blocks and the process's
resident memory must stop growing. A leak of one object or one vector per
call would add thousands of blocks or megabytes over the rounds."""

import array
import gc
import math
import os
import sys

import numpy as np
import pytest

from _velmoradb import Collection, Index

DIM = 64
ROUNDS = 400  # per measured stretch; each round makes about 70 calls
STRETCHES = 4


class Boom(Exception):
    pass


class RaisingFloat:
    def __float__(self):
        raise Boom()


class RaisingIndex:
    def __index__(self):
        raise Boom()


class RaisingIter:
    def __getitem__(self, i):
        return 0.0

    def __len__(self):
        return DIM

    def __iter__(self):
        raise Boom()


class LyingLength:
    """Claims a huge length, then yields DIM floats."""

    def __getitem__(self, i):
        return 0.0

    def __len__(self):
        return 10**9

    def __iter__(self):
        return iter([0.25] * DIM)


class BadLength(LyingLength):
    def __len__(self):
        raise Boom()


class Reenter:
    """An element whose conversion calls back into the instance being used."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.insert(0, [0.0] * DIM)
        return 0.0


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def expect(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn} did not raise {exc}")


def vec(i):
    return [float(i) + k / 8.0 for k in range(DIM)]


def drive_index(r):
    """One round over Index: every method, every path."""
    expect(ValueError, Index, "cosinus", DIM)
    expect(TypeError, Index, 3, DIM)
    expect(OverflowError, Index, "dot", -1)
    expect(TypeError, Index, "dot")
    expect(TypeError, Index, "dot", DIM, extra=1)
    index = Index(metric="euclidean", dimension=DIM)
    index.insert(1, vec(r))
    index.insert(id=2, vector=np.arange(DIM, dtype=np.float32))
    index.insert(3, np.arange(DIM, dtype=np.float64))
    index.insert(4, tuple(vec(4)))
    index.insert(5, LyingLength())
    expect(ValueError, index.insert, 1, vec(1))  # duplicate id
    expect(ValueError, index.insert, 9, vec(1)[:-1])  # wrong length
    expect(OverflowError, index.insert, -1, vec(1))
    expect(OverflowError, index.insert, 2**64, vec(1))
    expect(TypeError, index.insert, 1.5, vec(1))
    expect(TypeError, index.insert, 9, "abc")
    expect(TypeError, index.insert, 9, {1.0, 2.0})
    expect(TypeError, index.insert, 9, [None] * DIM)
    expect(OverflowError, index.insert, 9, [10**400] * DIM)
    expect(Boom, index.insert, 9, [RaisingFloat()] * DIM)
    expect(Boom, index.insert, RaisingIndex(), vec(1))
    expect(Boom, index.insert, 9, RaisingIter())
    expect(Boom, index.insert, 9, [0.0, RaisingFloat()])
    expect(RuntimeError, index.insert, 9, [Reenter(index)] * DIM)
    expect(RuntimeError, index.search, [Reenter(index)] * DIM, 3)
    index.insert(6, BadLength())  # a failing __len__ only loses the size hint
    assert len(index.search(vec(1), 3)) == 3
    assert index.search(query=vec(1)[:-1], k=3) == []
    assert index.search(np.zeros(DIM, dtype=np.float32), 0) == []
    expect(OverflowError, index.search, vec(1), -1)
    expect(TypeError, index.search, vec(1), 2.0)
    expect(Boom, index.search, vec(1), RaisingIndex())
    index.insert_batch([10, 11], [vec(10), vec(11)])
    index.insert_batch(np.array([12, 13], dtype=np.uint64), np.ones((2, DIM), dtype=np.float32))
    expect(ValueError, index.insert_batch, [20, 21], [vec(20)])
    expect(ValueError, index.insert_batch, [20, 20], [vec(20), vec(21)])  # duplicate inside
    expect(TypeError, index.insert_batch, [30], [[None] * DIM])
    expect(TypeError, index.insert_batch, 30, [vec(30)])
    expect(Boom, index.insert_batch, [RaisingIndex()], [vec(30)])
    assert len(index.search_batch([vec(1), vec(2)], 2)) == 2
    assert len(index.search_batch(np.zeros((3, DIM)), 1)) == 3
    assert index.search_batch([], 5) == []
    expect(TypeError, index.search_batch, [[None] * DIM], 1)
    expect(TypeError, index.search_batch, "ab", 1)
    expect(TypeError, Index.search, object(), vec(1), 1)  # receiver of the wrong type


def drive_collection(collection, path, r):
    """One round over Collection: every method, every path."""
    expect(ValueError, Collection.open_or_create, str(path / "new"), DIM, "manhattan")
    expect(TypeError, Collection.open_or_create, 5, DIM, "dot")
    expect(ValueError, Collection.open_or_create, "a\0b", DIM, "dot")
    expect(OSError, Collection.open_or_create, str(path / "main"), DIM + 1, "dot")  # dimension
    expect(OSError, Collection.open_or_create, str(path / "main"), DIM, "dot")  # locked
    expect(OSError, Collection.open_or_create, "/proc/velmoradb-leaks", DIM, "dot")
    expect(TypeError, Collection)
    collection.insert(r % 50, vec(r))  # replaces: memory stays flat
    collection.insert(id=100, vector=np.full(DIM, r, dtype=np.float32))
    expect(ValueError, collection.insert, 1, vec(1)[:-1])
    expect(ValueError, collection.insert, 1, [math.nan] * DIM)
    expect(OverflowError, collection.insert, -5, vec(1))
    expect(TypeError, collection.insert, 1, "x" * DIM)
    expect(Boom, collection.insert, 1, [RaisingFloat()] * DIM)
    expect(RuntimeError, collection.insert, 1, [Reenter(collection)] * DIM)
    collection.insert_batch([200, 201], [vec(200), vec(201)])
    expect(ValueError, collection.insert_batch, [1, 2], [vec(1)])
    expect(ValueError, collection.insert_batch, [300, 301], [vec(300), vec(1)[:-1]])
    expect(TypeError, collection.insert_batch, [1], [None])
    assert len(collection.search(vec(r), 5)) == 5
    assert collection.search(vec(r)[:3], 5) == []
    expect(Boom, collection.search, vec(r), RaisingIndex())
    expect(RuntimeError, collection.search, [Reenter(collection)] * DIM, 1)
    assert len(collection.search_batch(np.zeros((2, DIM), dtype=np.float32), 3)) == 2
    expect(TypeError, collection.search_batch, [1.0], 3)
    expect(TypeError, collection.flush, 1)
    if r % 20 == 0:
        collection.flush()


def measure():
    gc.collect()
    return sys.getallocatedblocks(), rss_bytes()


def test_memory_stops_growing(tmp_path):
    main = tmp_path / "main"
    collection = Collection.open_or_create(str(main), DIM, "euclidean")
    r = 0

    def stretch():
        nonlocal r
        for _ in range(ROUNDS):
            drive_index(r)
            drive_collection(collection, tmp_path, r)
            r += 1

    # Samples go into preallocated arrays, so that taking them allocates no
    # objects of its own.
    blocks = array.array("q", [0] * (STRETCHES + 1))
    rss = array.array("q", [0] * (STRETCHES + 1))
    stretch()  # warm-up: caches, free lists, the allocator's arenas
    stretch()
    for i in range(STRETCHES + 1):
        if i > 0:
            stretch()
        blocks[i], rss[i] = measure()
    blocks, rss = list(blocks), list(rss)
    print(f"\nallocated blocks after each stretch of {ROUNDS} rounds: {blocks}")
    print(f"resident memory (KiB) after each stretch: {[m // 1024 for m in rss]}")
    # Small noise is allowed; a leak grows with every one of the
    # ROUNDS * STRETCHES rounds.
    assert blocks[-1] - blocks[0] < 200, blocks
    assert rss[-1] - rss[0] < 2 * 1024 * 1024, rss
