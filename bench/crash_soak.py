"""Crash soak: thousands of SIGKILLs at random moments.

A forked child opens a collection and works through a fixed sequence of
operations (single inserts, batch inserts, a flush now and then; every fifth
operation replaces an earlier id) until the parent kills it with SIGKILL at
a random moment: during its open and recovery, an insert, a batch or a
flush. After every kill the parent reopens the collection and checks that

  - the open succeeds;
  - the collection holds exactly the result of a prefix of the sequence,
    each id with the vector of the last operation of the prefix that wrote
    it (compared through two searches whose distances must match those of
    an in-memory Index holding the expected vectors, bit for bit);
  - the prefix covers every operation acknowledged by a completed flush,
    and everything an earlier reopen held.

The next child carries on after that prefix. Every `--block` cycles a fresh
collection starts with another dimension. The figures are printed at the
end; the exit status is 1 if anything was lost.

    python bench/crash_soak.py --cycles 2000 --dir /tmp/soak
"""

from __future__ import annotations

import argparse
import gc
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

from _velmoradb import Collection, Index  # noqa: E402

DIMENSIONS = [1, 2, 3, 8, 17, 64, 128, 300]


def op_id(i: int) -> int:
    """The id operation i writes: its own, or (every fifth) an earlier one."""
    while i % 5 == 4:
        i //= 2
    return i


def vectors_of(ops: np.ndarray, dim: int) -> np.ndarray:
    """The vectors of the given operations: component 0 is the operation's
    index, the rest a pattern of it."""
    i = np.asarray(ops, dtype=np.int64)[:, None]
    k = np.arange(dim, dtype=np.int64)[None, :]
    v = ((i * 31 + k * 17) % 1000).astype(np.float32) / np.float32(7.0)
    v[:, 0] = i[:, 0].astype(np.float32)
    return v


def op_vectors(first: int, count: int, dim: int) -> np.ndarray:
    return vectors_of(np.arange(first, first + count), dim)


def expected_state(prefix: int) -> tuple[np.ndarray, np.ndarray]:
    """Ids and the index of the operation that last wrote each, for a prefix."""
    ops = np.arange(prefix, dtype=np.int64)
    ids = np.fromiter((op_id(int(i)) for i in ops), dtype=np.uint64, count=prefix)
    # The last writer of each id: unique over the reversed sequence.
    uniq, first_in_reversed = np.unique(ids[::-1], return_index=True)
    return uniq, (prefix - 1 - first_in_reversed)


def distances(searchable, queries: list[np.ndarray], n: int) -> list[dict[int, float]]:
    return [dict(searchable.search(q, n + 10)) for q in queries]


# ---------------------------------------------------------------- the child

def child(path: str, dim: int, start: int, seed: int, ack_fd: int, ready_fd: int) -> None:
    rng = random.Random(seed)
    c = Collection.open_or_create(path, dim, "euclidean")
    os.write(ready_fd, b"r")
    i = start
    while True:
        roll = rng.random()
        if roll < 0.55:
            c.insert(op_id(i), op_vectors(i, 1, dim)[0])
            i += 1
        elif roll < 0.75:
            # The same kind of insert from a list of Python floats.
            c.insert(op_id(i), op_vectors(i, 1, dim)[0].tolist())
            i += 1
        elif roll < 0.96:
            n = rng.randint(2, 40)
            c.insert_batch([op_id(j) for j in range(i, i + n)], op_vectors(i, n, dim))
            i += n
        else:
            c.flush()
            os.write(ack_fd, struct.pack("<Q", i))  # operations before i are durable


def run_child(path: str, dim: int, start: int, seed: int, rng: random.Random,
              stats: dict) -> int:
    """Forks a child, kills it at a random moment; returns the acknowledged count."""
    ack_r, ack_w = os.pipe()
    ready_r, ready_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(ack_r)
            os.close(ready_r)
            child(path, dim, start, seed, ack_w, ready_w)
        finally:
            os._exit(3)
    os.close(ack_w)
    os.close(ready_w)
    if rng.random() < 0.1:
        # Anywhere in the open: loading, replay, torn-tail cutting.
        time.sleep(rng.uniform(0, 0.02))
        stats["kills_in_open"] += 1
    else:
        os.read(ready_r, 1)
        time.sleep(rng.uniform(0, 0.03))
    os.kill(pid, signal.SIGKILL)
    _, status = os.waitpid(pid, 0)
    if not (os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL):
        raise SystemExit(f"child ended by itself, status {status}")
    acked = 0
    data = b""
    while chunk := os.read(ack_r, 4096):
        data += chunk
    os.close(ack_r)
    os.close(ready_r)
    if len(data) >= 8:
        acked = struct.unpack_from("<Q", data, len(data) - len(data) % 8 - 8)[0]
        stats["flushes_acknowledged"] += len(data) // 8
    return acked


# ---------------------------------------------------------------- verification

def verify(path: str, dim: int, acked: int, durable: int, queries) -> int:
    """Reopens and returns the prefix the collection holds; raises on loss."""
    c = Collection.open_or_create(path, dim, "euclidean")
    try:
        actual = distances(c, queries, 1 << 40)
        n = len(actual[0])
        # The number of ids fixes the prefix up to the replacing operations
        # right after the last new id: try each candidate.
        candidates = [p for p in range(max(0, n * 5 // 4 - 3), n * 5 // 4 + 4)
                      if count_new_ids(p) == n]
        for p in candidates:
            ids, writers = expected_state(p)
            ref = Index("euclidean", dim)
            if len(ids):
                ref.insert_batch(ids, vectors_of(writers, dim))
            if distances(ref, queries, n) == actual:
                if p < acked:
                    raise AssertionError(f"prefix {p} misses flushed operations (acked {acked})")
                if p < durable:
                    raise AssertionError(f"prefix {p} misses operations an earlier open held "
                                         f"({durable})")
                return p
        raise AssertionError(f"the collection ({n} ids) is no prefix of {candidates}")
    finally:
        del c
        gc.collect()


def count_new_ids(p: int) -> int:
    """How many of operations 0 .. p-1 write an id of their own (every
    operation i with i % 5 == 4 replaces an earlier id)."""
    return p - p // 5


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
    stats = {"cycles": 0, "kills_in_open": 0, "flushes_acknowledged": 0, "operations": 0,
             "collections": 0, "open_failures": 0, "losses": 0}
    started = time.time()
    cycle = 0
    while cycle < args.cycles:
        dim = rng.choice(DIMENSIONS)
        path = os.path.join(base, f"c{stats['collections']}-d{dim}")
        stats["collections"] += 1
        queries = [np.zeros(dim, dtype=np.float32),
                   np.random.default_rng(cycle).standard_normal(dim).astype(np.float32)]
        durable = 0
        for _ in range(min(args.block, args.cycles - cycle)):
            acked = run_child(path, dim, durable, rng.randrange(1 << 30), rng, stats)
            try:
                held = verify(path, dim, acked, durable, queries)
            except AssertionError as e:
                stats["losses"] += 1
                print(f"cycle {cycle}, dimension {dim}: {e}", file=sys.stderr)
                return report(stats, started, base, 1)
            except OSError as e:
                stats["open_failures"] += 1
                print(f"cycle {cycle}, dimension {dim}: open failed: {e}", file=sys.stderr)
                return report(stats, started, base, 1)
            stats["operations"] += held - durable
            durable = held
            cycle += 1
            stats["cycles"] = cycle
            if cycle % 100 == 0:
                print(f"{cycle} cycles, {stats['operations']} operations held", flush=True)
        shutil.rmtree(path, ignore_errors=True)
    if not args.dir:
        shutil.rmtree(base, ignore_errors=True)
    return report(stats, started, base, 0)


def report(stats: dict, started: float, base: str, status: int) -> int:
    print(f"cycles (SIGKILL, reopen, check): {stats['cycles']}")
    print(f"  of which killed during open/recovery: {stats['kills_in_open']}")
    print(f"collections (dimensions {DIMENSIONS}): {stats['collections']}")
    print(f"operations held across the kills: {stats['operations']}")
    print(f"flushes acknowledged before a kill: {stats['flushes_acknowledged']}")
    print(f"open failures: {stats['open_failures']}")
    print(f"cycles that lost data or held no prefix: {stats['losses']}")
    print(f"time: {time.time() - started:.0f} s")
    if status:
        print(f"the collections are kept in {base}")
    return status


if __name__ == "__main__":
    sys.exit(main())
