"""One phase of one store in a process of its own (started by bench/stores.py).

  load   insert every vector with its tag and make it durable, as the store
         allows; then time an fsync of every file the store left, done by
         this script, which is what durability would still cost a store that
         forces nothing.
  query  open the store written by `load` and answer the first query (the
         time to the first answer), then single queries, a batch, filtered
         queries.

The result is a JSON file (--out): times in seconds, the ids each query
returned (the driver measures recall), peak resident memory of this process,
and CPU time over wall time for the timed parts (how many cores the store
used). Library imports happen before any timing and are reported apart.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import sys
import time
import traceback

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from store_adapters import FILTER_TAG, Unsupported, fsync_tree, store_class  # noqa: E402
from warm_memory import warm_memory  # noqa: E402


def peak_rss():
    """The process's peak resident set in bytes (VmHWM; getrusage elsewhere)."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def current_rss():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def warm_before_timing(nbytes):
    """Touches and frees `nbytes` of memory, then starts the peak resident
    set afresh. On a guest whose freed memory the hypervisor takes back
    within seconds (warm_memory.py), the first touch of memory costs several
    times more than a touch of memory it still backs: a store that allocates
    its vectors (velmoradb, faiss) would pay that or not depending on what
    ran seconds before. Every store's process does the same, so the timed
    part finds backed memory whatever it allocates; the warming itself is
    not counted in the peak (writing 5 to clear_refs resets VmHWM)."""
    if nbytes <= 0:
        return
    warm_memory(nbytes)
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


class Clock:
    """Wall and CPU time (all threads of the process) of one timed part."""

    def __enter__(self):
        self.cpu0 = time.process_time()
        self.t0 = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.wall = time.perf_counter() - self.t0
        self.cpu = time.process_time() - self.cpu0
        return False

    @property
    def cores(self):
        return self.cpu / self.wall if self.wall > 0 else None


def run_load(store, args):
    # A plain ndarray over the mapped file (no copy): the array a user holds.
    # A np.memmap is a Python subclass, which velmoradb's conversion does not
    # read as a buffer (it takes the per-element path, many times slower).
    data = np.asarray(np.load(args.data, mmap_mode="r"))
    warm_before_timing(args.warm_bytes)
    out = {"rows": len(data), "base_rss": current_rss()}
    with Clock() as total:
        with Clock() as insert:
            store.load(data, args.batch)
        with Clock() as durable:
            store.make_durable()
            store.close()
    out.update(insert_s=insert.wall, durable_s=durable.wall, total_s=total.wall, cores=total.cores)
    if not args.no_harness_sync:
        with Clock() as sync:
            fsync_tree(args.dir)
        out["sync_after_s"] = sync.wall
    return out


def run_query(store, args):
    queries = np.load(args.queries)
    k = args.k
    warm_before_timing(args.warm_bytes)
    out = {"base_rss": current_rss()}
    with Clock() as first:
        store.open()
        store.search(queries[0], k)
    out["reopen_s"] = first.wall
    # Work a store finishes in the background after opening (velmoradb's
    # bound codes) is done before the steady-state figures are taken.
    getattr(store, "settle", lambda: None)()

    single_ids, lat = [], []
    with Clock() as singles:
        for q in queries[:args.nsingle]:
            t0 = time.perf_counter()
            ids = store.search(q, k)
            lat.append(time.perf_counter() - t0)
            single_ids.append([int(i) for i in ids])
    out.update(single_s=statistics.median(lat), single_n=len(lat), single_cores=singles.cores,
               single_ids=single_ids)

    batch = queries[:args.nbatch]
    if store.native_batch:
        # One call per round; a quick batch gets up to three rounds (median).
        times, cpu = [], []
        while True:
            with Clock() as c:
                ids = store.search_batch(batch, k)
            times.append(c.wall)
            cpu.append(c.cpu)
            if len(times) == 3 or sum(times) + c.wall > min(args.batch_budget, 2.0):
                break
        out.update(batch_s=statistics.median(times), batch_done=len(batch), batch_rounds=len(times),
                   batch_cores=sum(cpu) / sum(times))
    else:
        # A loop of single queries, cut off at the time budget: the rate is
        # then over the queries answered (batch_done says how many).
        ids = []
        with Clock() as c:
            for q in batch:
                ids.append(store.search(q, k))
                if time.perf_counter() - c.t0 > args.batch_budget:
                    break
        out.update(batch_s=c.wall, batch_done=len(ids), batch_rounds=1, batch_cores=c.cores)
    out["batch_native"] = store.native_batch
    out["batch_ids"] = [[int(i) for i in row] for row in ids[:args.nsingle]]

    try:
        filtered_ids, lat = [], []
        for q in queries[:args.nsingle]:
            t0 = time.perf_counter()
            ids = store.search_filtered(q, k, FILTER_TAG)
            lat.append(time.perf_counter() - t0)
            filtered_ids.append([int(i) for i in ids])
        out.update(filtered_s=statistics.median(lat), filtered_ids=filtered_ids)
    except Unsupported as e:
        out["filtered_na"] = str(e)
    store.close()
    return out


def run_reopen(store, args):
    """Only the reopen to the first answer: a further sample of the query
    process's first figure, in a process of its own."""
    queries = np.load(args.queries)
    warm_before_timing(args.warm_bytes)
    with Clock() as first:
        store.open()
        store.search(queries[0], args.k)
    out = {"reopen_s": first.wall}
    store.close()
    return out


PHASES = {"load": run_load, "query": run_query, "reopen": run_reopen}


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--store", required=True)
    p.add_argument("--phase", choices=sorted(PHASES), required=True)
    p.add_argument("--dir", required=True, help="the store's directory")
    p.add_argument("--dim", type=int, required=True)
    p.add_argument("--data", help="float32 .npy of the vectors (load)")
    p.add_argument("--queries", help="float32 .npy of the queries (query, reopen)")
    p.add_argument("--threads", choices=("1", "all"), default="1")
    p.add_argument("--batch", type=int, default=100_000, help="rows per insert call")
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--nsingle", type=int, default=100)
    p.add_argument("--nbatch", type=int, default=1000)
    p.add_argument("--batch-budget", type=float, default=60.0,
                   help="seconds after which a looped batch stops (its rate is over the queries done)")
    p.add_argument("--no-harness-sync", action="store_true",
                   help="skip this script's own fsync of the store's files (for the fsync check under strace)")
    p.add_argument("--warm-bytes", type=int, default=0,
                   help="memory to touch and free before the timed part (see warm_before_timing)")
    p.add_argument("--out", required=True)
    args = p.parse_args()

    result = {"store": args.store, "phase": args.phase}
    try:
        t0 = time.perf_counter()
        cls = store_class(args.store)
        store = cls(args.dir, args.dim, 1 if args.threads == "1" else None)
        result.update(import_s=time.perf_counter() - t0, version=store.version())
        result.update(PHASES[args.phase](store, args))
        result["notes"] = store.notes
        result["peak_rss"] = peak_rss()
        status = 0
    except Exception as e:  # reported in the results, not a crash of the run
        result["error"] = f"{type(e).__name__}: {e}"
        result["traceback"] = traceback.format_exc()
        status = 1
    with open(args.out, "w") as f:
        json.dump(result, f)
    return status


if __name__ == "__main__":
    sys.exit(main())
