"""Benchmark of velmoradb against the libraries a user would pick instead.

Runs in one process, side by side and interleaved, with every library held
to one thread, on random float32 data from a fixed seed:

  velmoradb   _velmoradb.Index (and Collection for the write path and open)
  numpy       brute force: BLAS products plus argpartition
  faiss       faiss-cpu IndexFlatL2 / IndexFlatIP
  hnswlib     BFIndex (its exact brute-force index)
  usearch     usearch.index.search(..., exact=True)

Cases: n = 100,000 and 1,000,000 at dimension 128, and 100,000 at 768; k = 10;
euclidean, dot and cosine wherever the peer has the metric. Figures:

  single   median latency of one query (at least 50 queries)
  batch    search_batch of 1,000 queries, queries per second
  insert   Index.insert_batch from a numpy array vs faiss add of the same array
  collection insert_batch + flush rate, and the time to open a collection of
           1,000,000 x 128 (after a flush) vs reading its data.vdb once
  memory   resident bytes per vector of an Index vs the raw 4 x dimension
  floor    one pass of reading the vectors from memory (numpy sum)

It prints a table of medians with ratios (peer / velmoradb: above 1 means
velmoradb is faster for times, slower for rates), writes JSON
(bench/results.json by default) and checks that velmoradb's top-k ids agree
with an exact float64 reference (up to near-ties).

It installs nothing. In a virtual environment:

    pip install . numpy faiss-cpu hnswlib usearch psutil
    python bench/run.py            # the full run (about 10-15 minutes, ~8 GiB)
    python bench/run.py --quick    # small data, a minute
    python bench/run.py --records  # only the records API figures (bench/records.py)

A peer that is not installed is left out; the Collection figures are skipped
when the module has no working Collection.

Where OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE are set (they pin old OpenBLAS
builds to a safe kernel and slow a current numpy), this script removes them
from its own environment before importing numpy, so that numpy's BLAS peer
runs its best kernel; --keep-openblas-env leaves them alone. The BLAS kernel
in use is printed.
"""

from __future__ import annotations

import argparse
import os
import sys

# Every library gets one thread: set before numpy (and its BLAS) is imported.
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "VECLIB_MAXIMUM_THREADS"):
    os.environ[_var] = "1"
if "--keep-openblas-env" not in sys.argv:
    os.environ.pop("OPENBLAS_CORETYPE", None)
    os.environ.pop("OPENBLAS_L2_SIZE", None)

import gc  # noqa: E402
import json  # noqa: E402
import platform  # noqa: E402
import shutil  # noqa: E402
import statistics  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peers import PEERS, load_peers  # noqa: E402

K = 10
SEED = 20240611
METRICS = ("euclidean", "dot", "cosine")


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def read_floor(data, repeat=5):
    """One pass of reading the vectors from memory: a numpy sum over the array."""
    data.sum(dtype=np.float32)  # warm
    return median_time(lambda: data.sum(dtype=np.float32), repeat)


def exact_ids(data64, query, metric, k):
    """The exact top-k in float64, with the distances, as a reference."""
    q = query.astype(np.float64)
    if metric == "euclidean":
        d = np.sqrt(((data64 - q) ** 2).sum(axis=1))
    elif metric == "dot":
        d = -(data64 @ q)
    else:
        den = np.linalg.norm(data64, axis=1) * np.linalg.norm(q)
        d = np.where(den == 0, 1.0, 1.0 - (data64 @ q) / np.where(den == 0, 1.0, den))
    order = np.argsort(d, kind="stable")
    return order[:k], d


def check_top_k(index, data, queries, metric, k, count=20):
    """velmoradb's ids equal the exact ones, except where two distances at
    the cut are closer than float32 rounding can separate."""
    data64 = data.astype(np.float64)
    bad = 0
    for q in queries[:count]:
        got = [i for i, _ in index.search(q, k)]
        want, d = exact_ids(data64, q, metric, k)
        if set(got) == set(want.tolist()):
            continue
        cut = np.sort(d)[k - 1]
        scale = max(abs(cut), 1e-30)
        missing = set(want.tolist()) ^ set(got)
        if all(abs(d[i] - cut) <= 1e-5 * scale for i in missing):
            continue  # a near-tie at the cut
        bad += 1
    return {"queries": min(count, len(queries)), "disagree": bad}


def rss():
    import psutil

    return psutil.Process().memory_info().rss


def insert_rates(peers, data, rounds=3):
    """Index.insert_batch against faiss add of the same array, interleaved
    and in alternating order: fresh memory costs page faults, and whoever
    allocates right after the other frees gets warmer pages."""
    names = [name for name in ("velmoradb", "faiss") if name in peers]
    times = {name: [] for name in names}
    for r in range(rounds):
        for name in names if r % 2 == 0 else names[::-1]:
            gc.collect()
            t0 = time.perf_counter()
            index = peers[name].build(data, "euclidean")
            times[name].append(time.perf_counter() - t0)
            peers[name].free(index)
            del index
    return {name: len(data) / statistics.median(values) for name, values in times.items()}


def index_memory(vdb, data):
    """Resident bytes per vector that one more Index adds: the ids list is
    made before the first reading, so only the index itself is counted."""
    ids = list(range(len(data)))
    gc.collect()
    before = rss()
    index = vdb.Index("euclidean", data.shape[1])
    index.insert_batch(ids, data)
    per = (rss() - before) / len(data)
    del index
    return per


class Recorder:
    def __init__(self):
        self.rows = []

    def add(self, case, metric, figure, unit, lib, value, better):
        self.rows.append(
            {"case": case, "metric": metric, "figure": figure, "unit": unit, "library": lib,
             "value": value, "better": better}
        )
        print(f"  {case:>12} {metric:>9} {figure:<22} {lib:<10} {value:14.4f} {unit}", flush=True)


def run_search_case(rec, peers, n, dim, nq_batch, nsingle, batch_repeat, checks):
    case = f"{n}x{dim}"
    rng = np.random.default_rng(SEED + n + dim)
    data = rng.standard_normal((n, dim), dtype=np.float32)
    queries = rng.standard_normal((max(nq_batch, nsingle), dim), dtype=np.float32)
    for peer in peers.values():
        peer.prepare(n)
    floor = read_floor(data)
    rec.add(case, "-", "floor (read once)", "ms", "memory", floor * 1e3, "lower")

    for metric in METRICS:
        built = {}
        for name, peer in peers.items():
            if metric not in peer.metrics:
                continue
            gc.collect()
            built[name] = peer.build(data, metric)
        if metric == "euclidean" and "velmoradb" in built:
            for name, rate in insert_rates(peers, data).items():
                rec.add(case, "-", "insert (vectors/s)", "vec/s", name, rate, "higher")
            rec.add(case, "-", "memory (bytes/vector)", "B", "velmoradb",
                    index_memory(peers["velmoradb"].module, data), "lower")
            rec.add(case, "-", "memory (bytes/vector)", "B", "raw 4*d", 4.0 * dim, "lower")
        if "velmoradb" in built:
            checks.append({"case": case, "metric": metric,
                           **check_top_k(built["velmoradb"], data, queries, metric, K)})
            print(f"  top-k check {case} {metric}: {checks[-1]}", flush=True)

        # Single queries, interleaved: every library answers query i before
        # any answers query i + 1.
        lat = {name: [] for name in built}
        for i in range(nsingle):
            q = queries[i]
            for name, obj in built.items():
                t0 = time.perf_counter()
                peers[name].search(obj, q, K)
                lat[name].append(time.perf_counter() - t0)
        for name, values in lat.items():
            rec.add(case, metric, "single (ms)", "ms", name, statistics.median(values) * 1e3, "lower")

        # Batches, interleaved round by round.
        qb = queries[:nq_batch]
        times = {name: [] for name in built}
        for r in range(batch_repeat):
            for name, obj in built.items():
                if r and times[name][0] > 5.0:
                    continue  # a slow peer is timed once
                t0 = time.perf_counter()
                peers[name].search_batch(obj, qb, K)
                times[name].append(time.perf_counter() - t0)
        for name, values in times.items():
            rec.add(case, metric, f"batch {nq_batch} (q/s)", "q/s", name, nq_batch / statistics.median(values),
                    "higher")
        for name in list(built):
            peers[name].free(built.pop(name))
        gc.collect()
    del data
    gc.collect()


def collection_write(rec, vdb, n, dim, path, rounds=3):
    """Collection.insert_batch of n vectors plus flush into a new collection,
    as a rate: the median of `rounds`, each in a directory of its own."""
    rng = np.random.default_rng(SEED + 7)
    data = rng.standard_normal((n, dim), dtype=np.float32)
    ids = list(range(n))
    rates = []
    for r in range(rounds):
        c = vdb.Collection.open_or_create(f"{path}-{r}", dim, "euclidean")
        t0 = time.perf_counter()
        c.insert_batch(ids, data)
        c.flush()
        rates.append(n / (time.perf_counter() - t0))
        del c
        gc.collect()
    rec.add(f"{n}x{dim}", "-", "collection insert+flush", "vec/s", "velmoradb",
            statistics.median(rates), "higher")


def collection_open(rec, vdb, n, dim, path, step=100_000):
    """Open of a flushed collection of n vectors against one read of data.vdb
    (both with the file in the page cache)."""
    rng = np.random.default_rng(SEED + 8)
    c = vdb.Collection.open_or_create(path, dim, "euclidean")
    for start in range(0, n, step):
        chunk = rng.standard_normal((min(step, n - start), dim), dtype=np.float32)
        c.insert_batch(list(range(start, start + len(chunk))), chunk)
        c.flush()  # keeps the log short
    del c
    gc.collect()
    data_file = os.path.join(path, "data.vdb")
    size = os.path.getsize(data_file)
    buf = bytearray(size)

    def read_once():
        with open(data_file, "rb", buffering=0) as f:
            view = memoryview(buf)
            while view:
                got = f.readinto(view)
                if not got:
                    break
                view = view[got:]

    def open_once():
        c = vdb.Collection.open_or_create(path, dim, "euclidean")
        del c

    read_once()
    times_open, times_read = [], []
    for _ in range(3):
        times_read.append(median_time(read_once, 1))
        gc.collect()
        times_open.append(median_time(open_once, 1))
        gc.collect()
    case = f"{n}x{dim}"
    rec.add(case, "-", "open (s)", "s", "velmoradb", statistics.median(times_open), "lower")
    rec.add(case, "-", "open (s)", "s", "read data.vdb", statistics.median(times_read), "lower")


def run_collection(rec, peers, write_n, open_n, dim, skipped):
    vdb = peers["velmoradb"].module
    if not hasattr(vdb, "Collection"):
        skipped.append("collection: _velmoradb has no Collection")
        return
    root = tempfile.mkdtemp(prefix="velmoradb-bench-")
    try:
        try:
            collection_write(rec, vdb, write_n, dim, os.path.join(root, "write"))
        except Exception as e:  # a half-built Collection must not stop the run
            skipped.append(f"collection write: {type(e).__name__}: {e}")
        gc.collect()
        try:
            collection_open(rec, vdb, open_n, dim, os.path.join(root, "open"))
        except Exception as e:
            skipped.append(f"collection open: {type(e).__name__}: {e}")
    finally:
        gc.collect()
        shutil.rmtree(root, ignore_errors=True)


def print_table(rows):
    libs = ["velmoradb"] + [name for name in PEERS if name != "velmoradb"] + ["memory", "raw 4*d", "read data.vdb"]
    groups = {}
    for r in rows:
        groups.setdefault((r["case"], r["metric"], r["figure"]), {})[r["library"]] = r["value"]
    present = [lib for lib in libs if any(lib in g for g in groups.values())]
    head = f"{'case':>12} {'metric':>9} {'figure':<24}" + "".join(f"{lib:>22}" for lib in present)
    print("\n" + head)
    print("-" * len(head))
    for (case, metric, figure), values in groups.items():
        base = values.get("velmoradb")
        cells = []
        for lib in present:
            v = values.get(lib)
            if v is None:
                cells.append(f"{'':>22}")
            elif base and lib != "velmoradb":
                cells.append(f"{v:>12.4g} ({v / base:5.2f}x)")
            else:
                cells.append(f"{v:>22.4g}")
        print(f"{case:>12} {metric:>9} {figure:<24}" + "".join(cells))
    print("(ratio = peer / velmoradb: above 1 is better for velmoradb in ms, s and B; below 1 in q/s and vec/s;"
          " the floor row compares with single-query latency)")


def markdown_table(rows):
    """The results as a Markdown table, one row per figure, for the README."""
    libs = [name for name in PEERS]
    groups = {}
    for r in rows:
        groups.setdefault((r["case"], r["metric"], r["figure"]), {})[r["library"]] = r["value"]
    lines = ["| case | metric | figure | " + " | ".join(libs) + " | reference |",
             "|---" * (len(libs) + 4) + "|"]
    for (case, metric, figure), values in groups.items():
        base = values.get("velmoradb")
        cells = []
        for lib in libs:
            v = values.get(lib)
            if v is None:
                cells.append("")
            elif base and lib != "velmoradb":
                cells.append(f"{v:.4g} ({v / base:.2f}x)")
            else:
                cells.append(f"{v:.4g}")
        ref = [f"{lib}: {v:.4g}" for lib, v in values.items() if lib not in PEERS]
        lines.append(f"| {case} | {metric} | {figure} | " + " | ".join(cells) + f" | {', '.join(ref)} |")
    return "\n".join(lines)


def machine_info():
    info = {"python": platform.python_version(), "platform": platform.platform(), "cpus": os.cpu_count()}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        from threadpoolctl import threadpool_info

        info["blas"] = [{k: p.get(k) for k in ("internal_api", "version", "architecture", "num_threads")}
                        for p in threadpool_info()]
    except ImportError:
        info["blas"] = "threadpoolctl not installed"
    return info


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small data for a quick look")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "results.json"))
    parser.add_argument("--only", nargs="*", help="run only these libraries (velmoradb is always run)")
    parser.add_argument("--no-collection", action="store_true", help="skip the Collection figures")
    parser.add_argument("--keep-openblas-env", action="store_true",
                        help="leave OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE as they are")
    parser.add_argument("--cases", nargs="*", metavar="NxD",
                        help="run only these search cases, e.g. 100000x128 (default: all of the run)")
    parser.add_argument("--records", action="store_true",
                        help="run only the records API figures (filtered search, delete, compact) of "
                             "bench/records.py, with --quick passed on; writes bench/results_records.json")
    parser.add_argument("--markdown", metavar="RESULTS_JSON",
                        help="print the table of a saved results file as Markdown and exit")
    args = parser.parse_args()
    if args.markdown:
        with open(args.markdown) as f:
            print(markdown_table(json.load(f)["rows"]))
        return 0
    if args.records:
        import records

        return records.main(["--quick"] if args.quick else [], machine=machine_info())

    peers, skipped = load_peers(args.only)
    if "velmoradb" not in peers:
        sys.exit("velmoradb (_velmoradb) is not importable: pip install . first")
    info = machine_info()
    info["libraries"] = {name: peer.version for name, peer in peers.items()}
    print(json.dumps(info, indent=1))

    if args.quick:
        cases = [(20_000, 128), (20_000, 768)]
        nq_batch, nsingle, batch_repeat, write_n, open_n = 200, 50, 3, 20_000, 50_000
    else:
        cases = [(100_000, 128), (1_000_000, 128), (100_000, 768)]
        nq_batch, nsingle, batch_repeat, write_n, open_n = 1000, 50, 3, 100_000, 1_000_000

    if args.cases:
        wanted = [tuple(int(x) for x in c.lower().split("x")) for c in args.cases]
        cases = [c for c in wanted if len(c) == 2]
        if len(cases) != len(wanted):
            sys.exit("--cases takes N x D pairs such as 100000x128")

    rec = Recorder()
    checks = []
    for n, dim in cases:
        run_search_case(rec, peers, n, dim, nq_batch, nsingle, batch_repeat if n <= 100_000 else 1, checks)
    if not args.no_collection:
        run_collection(rec, peers, write_n, open_n, 128, skipped)

    print_table(rec.rows)
    for s in skipped:
        print("skipped:", s)
    bad = [c for c in checks if c["disagree"]]
    print("top-k check:", "ok" if not bad else f"DISAGREES in {bad}")
    with open(args.out, "w") as f:
        json.dump({"machine": info, "rows": rec.rows, "topk_checks": checks, "skipped": skipped,
                   "quick": args.quick}, f, indent=1)
    print("wrote", args.out)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
