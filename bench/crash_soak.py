"""Crash soak: thousands of SIGKILLs at random moments of a records workload.

A forked child opens a velmoradb.Collection and works through a fixed
sequence of operations: inserts of new ids with a payload (or none), inserts
that replace an earlier id (payload included) and deletes of an earlier id
(present or not), singly or in batches (runs of inserts through
insert_batch, runs of deletes through delete_batch); between them it
flushes and compacts now and then. The parent kills it with SIGKILL at a
random moment: during its open and recovery, an insert, a delete, a batch,
a flush or a compaction. After every kill the parent reopens the collection
and checks that

  - the open succeeds;
  - the collection holds exactly the result of a prefix of the sequence:
    the ids live after it, each with the vector and the payload of the last
    operation of the prefix that wrote it, bit for bit and value for value
    (deleted ids absent, a filtered listing agreeing too);
  - the prefix covers every operation acknowledged by a completed flush or
    compaction, and everything an earlier reopen held.

The next child carries on after that prefix. Every `--block` cycles a fresh
collection starts with another dimension. The figures are printed at the
end; the exit status is 1 if anything was lost or an open failed.

    python bench/crash_soak.py --cycles 2000 --dir /tmp/soak
"""

from __future__ import annotations

import argparse
import mmap
import os
import random
import shutil
import signal
import struct
import sys
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # no threads in the parent that forks

import numpy as np  # noqa: E402

from velmoradb import Collection  # noqa: E402

DIMENSIONS = [1, 2, 3, 8, 17, 64, 128, 300]

# The words the child shares with the parent (one anonymous shared page):
# the end of the operations it has started, the end of those a completed
# flush or compaction acknowledged, whether a compaction is running, and how
# many flushes and compactions completed.
STARTED, ACKED, COMPACTING, FLUSHES, COMPACTIONS = range(5)
WORD = struct.Struct("<Q")


def put(shared: mmap.mmap, slot: int, value: int) -> None:
    WORD.pack_into(shared, slot * WORD.size, value)


def get(shared: mmap.mmap, slot: int) -> int:
    return WORD.unpack_from(shared, slot * WORD.size)[0]


# ---------------------------------------------------------------- the sequence

def scatter(i: int) -> int:
    """An earlier operation index, spread over 0 .. i-1."""
    return (i * 2654435761 + 12345) % i


def is_delete(i: int) -> bool:
    return i > 0 and i % 10 in (3, 8)


def op_id(i: int) -> int:
    """The id operation i writes or deletes: its own for a new insert, an
    earlier operation's for a replacement (every fifth) or a delete."""
    if is_delete(i) or (i % 5 == 4):
        return scatter(i)
    return i


def payload_of(i: int) -> dict | None:
    """The payload operation i writes: none for every sixth, else a small
    nested document, a long one now and then."""
    if i % 6 == 1:
        return None
    p: dict = {"op": i, "parity": i % 2, "tag": f"t{i % 13}",
               "nested": {"half": i * 0.5, "list": [i, str(i), i % 3 == 0, None]}}
    if i % 97 == 0:
        p["blob"] = "x" * (500 + i % 3000)
    return p


def vectors_of(ops, dim: int) -> np.ndarray:
    """The vectors of the given operations: component 0 is the operation's
    index, the rest a pattern of it."""
    i = np.asarray(ops, dtype=np.int64)[:, None]
    k = np.arange(dim, dtype=np.int64)[None, :]
    v = ((i * 31 + k * 17) % 1000).astype(np.float32) / np.float32(7.0)
    v[:, 0] = i[:, 0].astype(np.float32)
    return v


# ---------------------------------------------------------------- the child

def child(path: str, dim: int, start: int, seed: int, shared: mmap.mmap, ready_fd: int) -> None:
    rng = random.Random(seed)
    c = Collection.open_or_create(path, dim, "euclidean")
    os.write(ready_fd, b"r")
    i = start
    while True:
        roll = rng.random()
        if roll < 0.50:
            put(shared, STARTED, i + 1)
            if is_delete(i):
                c.delete(op_id(i))
            elif rng.random() < 0.3:
                c.insert(op_id(i), vectors_of([i], dim)[0].tolist(), payload_of(i))
            else:
                c.insert(op_id(i), vectors_of([i], dim)[0], payload_of(i))
            i += 1
        elif roll < 0.95:
            n = rng.randint(2, 40)
            put(shared, STARTED, i + n)
            end = i + n
            while i < end:  # runs of one kind
                j = i
                while j < end and is_delete(j) == is_delete(i):
                    j += 1
                if is_delete(i):
                    c.delete_batch([op_id(k) for k in range(i, j)])
                else:
                    c.insert_batch([op_id(k) for k in range(i, j)], vectors_of(range(i, j), dim),
                                   [payload_of(k) for k in range(i, j)])
                i = j
        elif roll < 0.99:
            c.flush()
            put(shared, ACKED, i)  # operations before i are durable
            put(shared, FLUSHES, get(shared, FLUSHES) + 1)
        else:
            put(shared, COMPACTING, 1)
            c.compact()
            put(shared, ACKED, i)
            put(shared, COMPACTING, 0)
            put(shared, COMPACTIONS, get(shared, COMPACTIONS) + 1)


def run_child(path: str, dim: int, start: int, seed: int, rng: random.Random,
              stats: dict) -> tuple[int, int]:
    """Forks a child, kills it at a random moment; returns the acknowledged
    end and the end of the operations started."""
    shared = mmap.mmap(-1, mmap.PAGESIZE)
    put(shared, STARTED, start)
    put(shared, ACKED, 0)
    ready_r, ready_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(ready_r)
            child(path, dim, start, seed, shared, ready_w)
        finally:
            os._exit(3)
    os.close(ready_w)
    if rng.random() < 0.1:
        # Anywhere in the open: loading, replay, torn-tail cutting, the
        # checkpoint after a replay.
        time.sleep(rng.uniform(0, 0.02))
        stats["kills_in_open"] += 1
    else:
        os.read(ready_r, 1)
        time.sleep(rng.uniform(0, 0.03))
    os.kill(pid, signal.SIGKILL)
    _, status = os.waitpid(pid, 0)
    os.close(ready_r)
    if not (os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL):
        raise SystemExit(f"child ended by itself, status {status}")
    stats["kills_in_compaction"] += get(shared, COMPACTING)
    stats["flushes_acknowledged"] += get(shared, FLUSHES)
    stats["compactions_completed"] += get(shared, COMPACTIONS)
    acked, started = get(shared, ACKED), get(shared, STARTED)
    shared.close()
    return acked, started


# ---------------------------------------------------------------- verification

class Expected:
    """The state after a prefix of the sequence, id -> writing operation,
    advanced one operation at a time while counting the ids on which it
    differs from the state read back."""

    def __init__(self) -> None:
        self.writer: dict[int, int] = {}
        self.prefix = 0

    def copy(self) -> Expected:
        e = Expected()
        e.writer = dict(self.writer)
        e.prefix = self.prefix
        return e

    def advance(self, actual: dict[int, int], mismatches: int) -> int:
        """Applies operation `prefix`; returns the new count of mismatches."""
        i, key = self.prefix, op_id(self.prefix)
        before = self.writer.get(key) != actual.get(key)
        if is_delete(i):
            self.writer.pop(key, None)
        else:
            self.writer[key] = i
        self.prefix += 1
        return mismatches - before + (self.writer.get(key) != actual.get(key))


def verify(path: str, dim: int, acked: int, started: int, state: Expected) -> Expected:
    """Reopens, finds the prefix the collection holds (between the one an
    earlier reopen held and the end of what the child started) and checks
    every record of it; returns its state. Raises AssertionError on loss."""
    c = Collection.open_or_create(path, dim, "euclidean")
    try:
        ids = c.ids()
        records = c.get_batch(ids)
        actual = {r.id: int(r.vector[0]) for r in records}
        if len(actual) != len(ids):
            raise AssertionError("ids() lists an id twice")
        e = state.copy()
        mismatches = sum(e.writer.get(k) != actual.get(k) for k in set(e.writer) | set(actual))
        held = None
        while True:
            if mismatches == 0:
                held = e.copy()  # the longest matching prefix: trailing no-op deletes
            if e.prefix >= started:
                break
            mismatches = e.advance(actual, mismatches)
        if held is None:
            raise AssertionError(f"the collection ({len(actual)} ids) is the result of no prefix "
                                 f"from {state.prefix} to {started}")
        if held.prefix < acked:
            raise AssertionError(f"prefix {held.prefix} misses acknowledged operations "
                                 f"(acknowledged {acked})")
        # Every record exactly as its last writer wrote it.
        if records:
            writers = [held.writer[r.id] for r in records]
            got = np.array([r.vector for r in records], dtype=np.float32)
            if not np.array_equal(got.view(np.uint32), vectors_of(writers, dim).view(np.uint32)):
                raise AssertionError("a vector differs from the one written")
            for r, w in zip(records, writers):
                if r.payload != (payload_of(w) or {}):
                    raise AssertionError(f"id {r.id}: payload {r.payload!r} is not that of "
                                         f"operation {w}")
        odd = sorted(k for k, w in held.writer.items() if payload_of(w) and w % 2)
        if c.ids(where={"parity": 1}) != odd:
            raise AssertionError("a filtered listing differs from the expected ids")
        return held
    finally:
        c.close()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cycles", type=int, default=2000)
    parser.add_argument("--block", type=int, default=50, help="cycles per collection")
    parser.add_argument("--dir", default=None, help="where the collections go (default: a temp dir)")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    rng = random.Random(args.seed)
    base = args.dir or tempfile.mkdtemp(prefix="velmoradb-soak-")
    os.makedirs(base, exist_ok=True)
    stats = {"cycles": 0, "kills_in_open": 0, "kills_in_compaction": 0,
             "flushes_acknowledged": 0, "compactions_completed": 0, "operations": 0,
             "deletes": 0, "acknowledged": 0, "collections": 0, "open_failures": 0,
             "losses": 0}
    started_at = time.time()
    cycle = 0
    while cycle < args.cycles:
        dim = rng.choice(DIMENSIONS)
        path = os.path.join(base, f"c{stats['collections']}-d{dim}")
        stats["collections"] += 1
        state = Expected()
        acknowledged = 0
        for _ in range(min(args.block, args.cycles - cycle)):
            acked, started = run_child(path, dim, state.prefix, rng.randrange(1 << 30), rng,
                                       stats)
            try:
                held = verify(path, dim, acked, started, state)
            except AssertionError as e:
                stats["losses"] += 1
                print(f"cycle {cycle}, dimension {dim}: {e}", file=sys.stderr)
                return report(stats, started_at, base, 1)
            except OSError as e:
                stats["open_failures"] += 1
                print(f"cycle {cycle}, dimension {dim}: open failed: {e}", file=sys.stderr)
                return report(stats, started_at, base, 1)
            stats["operations"] += held.prefix - state.prefix
            stats["deletes"] += sum(is_delete(i) for i in range(state.prefix, held.prefix))
            acknowledged = max(acknowledged, acked)
            state = held
            cycle += 1
            stats["cycles"] = cycle
            if cycle % 100 == 0:
                print(f"{cycle} cycles, {stats['operations']} operations held, "
                      f"{time.time() - started_at:.0f} s", flush=True)
        stats["acknowledged"] += acknowledged
        shutil.rmtree(path, ignore_errors=True)
    if not args.dir:
        shutil.rmtree(base, ignore_errors=True)
    return report(stats, started_at, base, 0)


def report(stats: dict, started_at: float, base: str, status: int) -> int:
    print(f"cycles (SIGKILL, reopen, check): {stats['cycles']}")
    print(f"  of which killed during open/recovery: {stats['kills_in_open']}")
    print(f"  of which killed during a compaction: {stats['kills_in_compaction']}")
    print(f"collections (dimensions {DIMENSIONS}): {stats['collections']}")
    print(f"operations held across the kills: {stats['operations']} "
          f"(of them deletes: {stats['deletes']})")
    print(f"operations acknowledged by a flush or compaction: {stats['acknowledged']}")
    print(f"flushes completed before a kill: {stats['flushes_acknowledged']}")
    print(f"compactions completed before a kill: {stats['compactions_completed']}")
    print(f"open failures: {stats['open_failures']}")
    print(f"cycles that lost data or held no prefix: {stats['losses']}")
    print(f"time: {time.time() - started_at:.0f} s")
    if status:
        print(f"the collections are kept in {base}")
    return status


if __name__ == "__main__":
    sys.exit(main())
