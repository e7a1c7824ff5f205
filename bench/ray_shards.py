"""Benchmark of velmoradb.ray: a collection sharded over Ray actors against one
velmoradb.Collection, measured in the same run on the same machine.

  search     search_batch of 1,000 queries (k = 10) over n x 128 (euclidean):
             ShardedCollection with 2 shards on a local Ray cluster
             (ray.init(num_cpus=2)) against one Collection on one thread.
             Rounds alternate which goes first; medians. Every sharded answer
             is checked against the single collection's (the same distances
             bit for bit).
  load       write_dataset of the n records (a Ray Dataset of id and vector
             columns, already in the object store) into 2 new shards, flush
             included, against one new Collection's insert_batch of the same
             numpy arrays + flush(). One timing each.
  one query  search(q, 10) of one query through the ShardedCollection (Ray
             calls to both actors, merge) against the same query on the local
             Collection, interleaved, medians: over the n records (where the
             two shards search in parallel) and over 1,000 records (where the
             search costs little and the difference is Ray's round trip).

Standalone: python bench/ray_shards.py [--n N] [--markdown RESULTS]. It writes
bench/results_ray.json; --markdown prints the table of bench/README.md.
Needs the extra velmoradb[ray].
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import sys
import tempfile
import time

K = 10
DIM = 128
QUERIES = 1_000
SHARDS = 2
SEED = 20261208
ROUNDS = 3
SINGLE_QUERIES = 40
SMALL = 1_000
SMALL_QUERIES = 300

TARGETS = {  # figure -> smallest speed-up (reference time / velmoradb.ray time) that meets it
    "search_batch 1,000 queries": 1.6,
    "load (write_dataset vs insert_batch + flush)": 1.5,
}


def data(n):
    import numpy as np

    rng = np.random.default_rng(SEED)
    vectors = rng.standard_normal((n, DIM), dtype=np.float32)
    queries = rng.standard_normal((QUERIES, DIM), dtype=np.float32)
    return np.arange(n, dtype=np.uint64), vectors, queries


def dataset(ids, vectors, blocks=32):
    import pyarrow as pa
    import ray.data
    from ray.data.extensions import ArrowTensorArray

    step = -(-len(ids) // blocks)
    tables = [
        pa.table({"id": pa.array(ids[s : s + step]), "vector": ArrowTensorArray.from_numpy(vectors[s : s + step])})
        for s in range(0, len(ids), step)
    ]
    return ray.data.from_arrow(tables).materialize()


def run(n, workdir):
    import numpy as np
    import ray

    import velmoradb
    from velmoradb.ray import ShardedCollection, write_dataset

    ids, vectors, queries = data(n)
    # Workers import the installed package, not a checkout the driver may run in.
    os.chdir(workdir)
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False)
    context = ray.data.DataContext.get_current()
    context.enable_progress_bars = False
    context.print_on_execution_start = False
    results = {"n": n, "dim": DIM, "shards": SHARDS, "queries": QUERIES, "k": K, "figures": {},
               "load_average_before": os.getloadavg()}
    try:
        ds = dataset(ids, vectors)
        t0 = time.perf_counter()
        single = velmoradb.Collection.create(os.path.join(workdir, "single"), DIM, "euclidean")
        single.insert_batch(ids, vectors)
        single.flush()
        single_load = time.perf_counter() - t0
        root = os.path.join(workdir, "sharded")
        t0 = time.perf_counter()
        written = write_dataset(ds, root, dimension=DIM, metric="euclidean", shards=SHARDS)
        ray_load = time.perf_counter() - t0
        assert written == n
        del ds
        results["figures"]["load (write_dataset vs insert_batch + flush)"] = (ray_load, single_load)
        print(f"load: write_dataset {ray_load:.2f} s, insert_batch + flush {single_load:.2f} s", file=sys.stderr)

        with ShardedCollection.open(root) as sharded:
            # Each actor builds its shard's bound codes on a thread of its own
            # after opening it; timing before they are done would time that
            # build's use of the cores too. The single collection built its
            # codes as it was loaded.
            sharded.wait_for_bound_codes()
            single.wait_for_bound_codes()
            expected = single.search_batch(queries[:50], K)
            got = sharded.search_batch(queries[:50], K)
            assert [[d.hex() for _, d in r] for r in got] == [[d.hex() for _, d in r] for r in expected]
            ray_times, single_times = [], []
            for r in range(ROUNDS):
                for which in ((0, 1) if r % 2 == 0 else (1, 0)):
                    t0 = time.perf_counter()
                    answer = sharded.search_batch(queries, K) if which == 0 else single.search_batch(queries, K)
                    (ray_times if which == 0 else single_times).append(time.perf_counter() - t0)
                    if which == 0:
                        sharded_answer = answer
                    else:
                        single_answer = answer
            assert [[d.hex() for _, d in r] for r in sharded_answer] == [[d.hex() for _, d in r] for r in single_answer]
            results["figures"]["search_batch 1,000 queries"] = (statistics.median(ray_times), statistics.median(single_times))
            print(f"search_batch: sharded {ray_times}, single {single_times}", file=sys.stderr)

            one_ray, one_single = [], []
            for i, q in enumerate(queries[:SINGLE_QUERIES]):
                for which in ((0, 1) if i % 2 == 0 else (1, 0)):
                    t0 = time.perf_counter()
                    sharded.search(q, K) if which == 0 else single.search(q, K)
                    (one_ray if which == 0 else one_single).append(time.perf_counter() - t0)
            results["figures"]["one query"] = (statistics.median(one_ray), statistics.median(one_single))
            print(f"one query: sharded {statistics.median(one_ray) * 1e3:.2f} ms, single {statistics.median(one_single) * 1e3:.2f} ms", file=sys.stderr)
        single.close()
        results["figures"]["one query, 1,000 records"] = one_query_overhead(workdir, vectors[:SMALL], queries)
    finally:
        ray.shutdown()
    # Other processes' load: on a shared 2-core machine it decides how much
    # of the two shards' parallelism shows.
    results["load_average_after"] = os.getloadavg()
    results["machine"] = {"cpus": os.cpu_count(), "python": sys.version.split()[0], "ray": ray.__version__, "numpy": np.__version__}
    return results


def one_query_overhead(workdir, vectors, queries):
    """Medians of search(q, 10) on SMALL records through Ray and locally:
    the search itself costs little, so the difference is Ray's round trip
    (a call to each shard's actor, the merge)."""
    import velmoradb
    from velmoradb.ray import ShardedCollection

    ids = list(range(len(vectors)))
    with velmoradb.Collection.create(os.path.join(workdir, "small"), DIM, "euclidean") as single, \
            ShardedCollection.create(os.path.join(workdir, "small-sharded"), DIM, "euclidean", shards=SHARDS) as sharded:
        single.insert_batch(ids, vectors)
        sharded.insert_batch(ids, vectors)
        ray_times, single_times = [], []
        for i, q in enumerate(queries[:SMALL_QUERIES]):
            for which in ((0, 1) if i % 2 == 0 else (1, 0)):
                t0 = time.perf_counter()
                sharded.search(q, K) if which == 0 else single.search(q, K)
                (ray_times if which == 0 else single_times).append(time.perf_counter() - t0)
    return statistics.median(ray_times[10:]), statistics.median(single_times[10:])


def markdown(results):
    rows = [
        "| figure | velmoradb.ray (2 shards) | reference | speed-up | target | holds? |",
        "|---|---|---|---|---|---|",
    ]
    for name, (ray_s, ref_s) in results["figures"].items():
        if name.startswith("one query"):
            rows.append(
                f"| {name} (k = 10) | {ray_s * 1e3:.2f} ms | local Collection.search: {ref_s * 1e3:.2f} ms | "
                f"{ref_s / ray_s:.2f}x (overhead {(ray_s - ref_s) * 1e3:+.2f} ms) |  |  |"
            )
            continue
        reference = "one Collection, one thread" if name.startswith("search") else "one Collection: insert_batch + flush"
        target = TARGETS[name]
        speedup = ref_s / ray_s
        rows.append(
            f"| {name} | {ray_s:.2f} s | {reference}: {ref_s:.2f} s | {speedup:.2f}x | >= {target}x | "
            f"{'yes' if speedup >= target else '**no**'} |"
        )
    return "\n".join(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--n", type=int, default=1_000_000, help="records (default 1,000,000)")
    parser.add_argument("--markdown", metavar="RESULTS", help="print the table of a results file and exit")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "results_ray.json"))
    args = parser.parse_args()
    if args.markdown:
        with open(args.markdown) as f:
            print(markdown(json.load(f)))
        return
    workdir = tempfile.mkdtemp(prefix="velmoradb-ray-bench-")
    try:
        results = run(args.n, workdir)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    with open(args.out, "w") as f:
        json.dump(results, f, indent=2)
    print(markdown(results))


if __name__ == "__main__":
    main()
