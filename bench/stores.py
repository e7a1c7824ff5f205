"""Benchmark of velmoradb against the embedded stores a user would pick instead.

  velmoradb    velmoradb.Collection: insert_batch + flush; exact search
  lancedb      LanceDB table without a vector index (an exact scan)
  sqlite-vec   a vec0 virtual table through Python's sqlite3 (exact)
  chroma       Chroma PersistentClient (HNSW: approximate, recall reported)
  duckdb       DuckDB brute force, array_distance over a FLOAT[d] column
  faiss        faiss-cpu IndexFlatL2 + write_index / read_index + fsync

Every store and size runs in processes of its own, on the same data: a
float32 .npy written once to a temporary directory and memory-mapped by the
processes (Gaussian from a fixed seed, or --data mixture: a Gaussian
mixture of 1,000 clusters). Per store and size:

  insert + durable    vectors/s from a numpy array in hand to data on disk,
                      as far as the store forces it (see the fsync check)
  + fsync by harness  the same, plus an fsync of every file the store left
                      (what durability still costs a store that forces nothing)
  reopen              a new process opens the store (files in the page cache)
                      and answers its first query: ms, imports excluded; the
                      median of --reopen-rounds such processes
  one exact query     median latency over --nsingle queries, k = 10
  batch               1,000 queries, q/s (one call where the library has a
                      batch form, else a loop, cut at --batch-budget seconds)
  filtered            median latency of a query restricted to tag = 't3'
                      (10 % of the rows); n/a where the store cannot
  recall@10           against an exact float64 reference (1.0 for an exact
                      store, up to ties; Chroma's HNSW is approximate)
  disk                bytes allocated on disk by the store's files
  peak memory         peak resident set of the load and of the query process
  cores               CPU time / wall time of the batch (1.0 = one thread)

Results go to bench/stores_results.json (a run replaces the entries of its
own thread setting and data kind, so the one-thread and the all-cores
tables can come from two runs) and its copy, the "stores" section of
bench/results.json; tables are printed as Markdown and written
to bench/stores_table.md, charts to bench/stores_<threads>_<data>.png.

    python bench/stores.py                       # full run, one thread (roughly 40-60 min)
    python bench/stores.py --threads all         # the all-cores table
    python bench/stores.py --smoke               # tiny sizes, every path once
    python bench/stores.py --charts-only bench/stores_results.json

It installs nothing; a store whose library is missing fails alone and is
reported as such.
"""

from __future__ import annotations

import os
import sys

# The driver computes the exact reference with numpy: keep it to one thread
# on a shared machine. Each store's process gets its own environment.
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse  # noqa: E402
import datetime  # noqa: E402
import json  # noqa: E402
import platform  # noqa: E402
import re  # noqa: E402
import shutil  # noqa: E402
import signal  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from store_adapters import FILTER_TAG, STORES, TAGS, store_class  # noqa: E402
from stores_report import markdown_tables, write_readme_block  # noqa: E402

K = 10
SEED = 20240611
CLUSTERS = 1000
FULL_SIZES = ("100000x128", "1000000x128", "100000x768", "100000x1536")
SMOKE_SIZES = ("20000x128", "5000x768", "2000x1536")
CHILD = os.path.join(HERE, "store_child.py")
WARM_BYTES_MAX = 4 << 30
FILTER_CODE = TAGS.index(FILTER_TAG)


# --- data -------------------------------------------------------------------

def parse_size(text):
    m = re.fullmatch(r"(\d+)x(\d+)", text.lower().replace("_", ""))
    if not m:
        raise argparse.ArgumentTypeError(f"a size is N x D such as 100000x128, not {text!r}")
    return int(m.group(1)), int(m.group(2))


def centers_for(dim, seed):
    return np.random.default_rng(seed + 1).standard_normal((CLUSTERS, dim), dtype=np.float32)


def draw(rng, m, dim, kind, centers, spread):
    if kind == "gaussian":
        return rng.standard_normal((m, dim), dtype=np.float32)
    which = rng.integers(0, len(centers), m)
    return centers[which] + np.float32(spread) * rng.standard_normal((m, dim), dtype=np.float32)


def write_data(path, n, dim, kind, spread, chunk=50_000):
    """The vectors as a .npy, generated in chunks (never all in memory twice)."""
    seed = SEED + n + dim
    centers = centers_for(dim, seed) if kind == "mixture" else None
    rng = np.random.default_rng(seed)
    out = np.lib.format.open_memmap(path, mode="w+", dtype=np.float32, shape=(n, dim))
    for start in range(0, n, chunk):
        m = min(chunk, n - start)
        out[start:start + m] = draw(rng, m, dim, kind, centers, spread)
    out.flush()
    del out


def make_queries(count, n, dim, kind, spread):
    seed = SEED + n + dim
    centers = centers_for(dim, seed) if kind == "mixture" else None
    return draw(np.random.default_rng(seed + 2), count, dim, kind, centers, spread)


# --- the exact reference and recall ------------------------------------------

def exact_top_k(data, queries, k, rows=None):
    """Exact top-k by float64 distance: a float32 BLAS shortlist of 4k + 32
    candidates per query, re-ranked in float64. Returns (ids, k-th distance)."""
    base = data if rows is None else data[rows]
    ids_of = np.arange(len(data)) if rows is None else rows
    short = min(len(base), 4 * k + 32)
    norms = np.einsum("ij,ij->i", base, base, dtype=np.float32)
    step = max(1, min(len(queries), 50_000_000 // max(1, len(base))))
    top, kth = [], []
    for start in range(0, len(queries), step):
        q = queries[start:start + step]
        d2 = norms[None, :] - 2 * (q @ base.T)
        cand = np.argpartition(d2, short - 1, axis=1)[:, :short]
        exact = np.sqrt(((base[cand].astype(np.float64) - q[:, None, :].astype(np.float64)) ** 2).sum(-1))
        order = np.argsort(exact, axis=1, kind="stable")[:, :k]
        top.append(ids_of[np.take_along_axis(cand, order, axis=1)])
        kth.append(np.take_along_axis(exact, order, axis=1)[:, -1])
    return np.concatenate(top), np.concatenate(kth)


def recall(got, queries, kth, data, k, only_code=None):
    """Mean over queries of (hits among the returned ids) / k: a returned id
    is a hit when it is a valid row (of the filter, if any) whose exact
    distance is within the k-th exact distance (ties at the cut count)."""
    n = len(data)
    scores = []
    for row, q, cut in zip(got, queries, kth):
        ids = np.unique(np.asarray([i for i in row if 0 <= i < n], dtype=np.int64))
        if only_code is not None:
            ids = ids[ids % len(TAGS) == only_code]
        if len(ids):
            dist = np.sqrt(((data[ids].astype(np.float64) - q.astype(np.float64)) ** 2).sum(-1))
            hits = int((dist <= cut * (1 + 1e-6) + 1e-12).sum())
        else:
            hits = 0
        scores.append(min(hits, k) / k)
    return float(np.mean(scores)) if scores else None


# --- processes ----------------------------------------------------------------

def run_child(args_list, env, timeout):
    """One child process in a session of its own; killed (its whole group) at
    the timeout. Returns (exit code or None on timeout, seconds)."""
    t0 = time.perf_counter()
    proc = subprocess.Popen(args_list, env=env, start_new_session=True,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        output, _ = proc.communicate(timeout=timeout)
        code = proc.returncode
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        output, _ = proc.communicate()
        code = None
    return code, time.perf_counter() - t0, output


def child_env(store, threads):
    env = dict(os.environ)
    for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        env.pop(var, None)  # the driver's own setting; the store's follows
    env.update(store_class(store).child_env(1 if threads == "1" else None))
    env["PYTHONUNBUFFERED"] = "1"
    return env


def disk_usage(path):
    allocated = apparent = 0
    for root, _, files in os.walk(path):
        for name in files:
            st = os.lstat(os.path.join(root, name))
            allocated += st.st_blocks * 512
            apparent += st.st_size
    return allocated, apparent


def warm_page_cache(path):
    buf = bytearray(1 << 20)
    for root, _, files in os.walk(path):
        for name in files:
            with open(os.path.join(root, name), "rb", buffering=0) as f:
                while f.readinto(buf):
                    pass


def read_json(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def run_store(store, n, dim, files, work, args):
    """Load then query one store; the record of one table column."""
    rec = {"store": store, "size": f"{n}x{dim}", "n": n, "dim": dim}
    limit = args.max_rows.get(store)
    if limit is not None and n > limit:
        rec["skipped"] = f"more than {limit:,} rows (--max-rows {store}={limit})"
        return rec
    sdir = os.path.join(work, store)
    env = child_env(store, args.threads)
    # Twice the raw vectors, backed before each timed part (store_child.py).
    warm = min(2 * 4 * n * dim, WARM_BYTES_MAX)
    common = [sys.executable, CHILD, "--store", store, "--dir", sdir, "--dim", str(dim),
              "--threads", args.threads, "--k", str(K), "--warm-bytes", str(warm)]
    out = os.path.join(work, f"{store}-load.json")
    code, _, log = run_child(common + ["--phase", "load", "--data", files["data"], "--batch", str(args.batch),
                                          "--out", out], env, args.timeout)
    load = read_json(out)
    if code is None or load is None or "error" in (load or {}):
        rec["error"] = "load: " + (f"timed out after {args.timeout:.0f} s" if code is None else
                                   (load or {}).get("error") or f"exit {code}: {log[-500:]}")
        shutil.rmtree(sdir, ignore_errors=True)
        return rec
    rec["load"] = load
    rec["disk_bytes"], rec["disk_apparent_bytes"] = disk_usage(sdir)
    warm_page_cache(sdir)
    out = os.path.join(work, f"{store}-query.json")
    code, _, log = run_child(common + ["--phase", "query", "--queries", files["queries"],
                                          "--nsingle", str(args.nsingle), "--nbatch", str(args.nbatch),
                                          "--batch-budget", str(args.batch_budget), "--out", out], env, args.timeout)
    query = read_json(out)
    if code is None or query is None or "error" in (query or {}):
        shutil.rmtree(sdir, ignore_errors=True)
        rec["error"] = "query: " + (f"timed out after {args.timeout:.0f} s" if code is None else
                                    (query or {}).get("error") or f"exit {code}: {log[-500:]}")
        return rec
    # One reopen is one sample of first touches on a machine whose memory
    # comes and goes: the figure is the median over the query process's and
    # those of further processes that only reopen.
    reopens = [query["reopen_s"]]
    for round_ in range(1, args.reopen_rounds):
        out = os.path.join(work, f"{store}-reopen{round_}.json")
        code, _, log = run_child(common + ["--phase", "reopen", "--queries", files["queries"], "--out", out],
                                 env, args.timeout)
        again = read_json(out)
        if code is None or again is None or "error" in again:
            query.setdefault("reopen_errors", []).append(
                f"timed out after {args.timeout:.0f} s" if code is None else
                (again or {}).get("error") or f"exit {code}: {log[-300:]}")
            continue
        reopens.append(again["reopen_s"])
    shutil.rmtree(sdir, ignore_errors=True)
    query["reopen_rounds_s"] = reopens
    query["reopen_s"] = statistics.median(reopens)
    data = np.load(files["data"], mmap_mode="r")
    queries = np.load(files["queries"])[:args.nsingle]
    truth = files["truth"]
    rec["recall"] = {
        "single": recall(query.pop("single_ids"), queries, truth["kth"], data, K),
        "batch": recall(query.pop("batch_ids"), queries, truth["kth"], data, K),
    }
    if "filtered_ids" in query:
        rec["recall"]["filtered"] = recall(query.pop("filtered_ids"), queries, truth["kth_filtered"], data, K,
                                           only_code=FILTER_CODE)
    rec["query"] = query
    return rec


# --- fsync check ------------------------------------------------------------------

SYNC_CALLS = ("fsync", "fdatasync", "sync_file_range", "msync", "syncfs", "sync")
SYNC_FLAGS = ("O_SYNC", "O_DSYNC", "O_DIRECT")


def parse_strace(text, root):
    calls, files, sync_opens = {}, set(), set()
    for line in text.splitlines():
        m = re.match(r"^(?:\d+\s+)?(\w+)\((.*)$", line)
        if not m:
            continue
        name, rest = m.groups()
        paths = re.findall(r"<([^<>]*)>", rest)
        inside = [os.path.relpath(p, root) for p in paths if p.startswith(root)]
        if name == "openat":
            opened = re.search(r'"([^"]*)"', rest)
            flags = set(re.findall(r"\bO_[A-Z]+\b", rest))
            if opened and flags & set(SYNC_FLAGS) and opened.group(1).startswith(root):
                sync_opens.add(os.path.relpath(opened.group(1), root))
            continue
        if name in SYNC_CALLS:
            calls[name] = calls.get(name, 0) + 1
            files.update(inside)
    return {"calls": calls, "files": sorted(files), "sync_opens": sorted(sync_opens),
            "forces": bool(calls) or bool(sync_opens)}


def fsync_check(stores, tmp, n=2000, dim=32):
    """Each store's load under strace on tiny data: which calls force data
    to disk, on which of its files (the harness's own fsync is left out)."""
    strace = shutil.which("strace")
    if not strace:
        return {"skipped": "strace not installed (apt-get install strace)"}
    root = os.path.join(tmp, "fsync-check")
    os.makedirs(root, exist_ok=True)
    data = os.path.join(root, "data.npy")
    write_data(data, n, dim, "gaussian", 0.5)
    found = {}
    for store in stores:
        sdir = os.path.join(root, store)
        trace = os.path.join(root, f"{store}.strace")
        out = os.path.join(root, f"{store}.json")
        cmd = [strace, "-f", "-qq", "-y", "-e", "trace=" + ",".join(SYNC_CALLS + ("openat",)), "-o", trace,
               sys.executable, CHILD, "--store", store, "--phase", "load", "--dir", sdir, "--dim", str(dim),
               "--data", data, "--batch", "500", "--no-harness-sync", "--out", out]
        code, _, log = run_child(cmd, child_env(store, "1"), 300)
        result = read_json(out)
        if code != 0 or result is None or "error" in result:
            found[store] = {"error": (result or {}).get("error") or f"exit {code}: {log[-300:]}"}
            print(f"  fsync check {store:<11} failed: {found[store]['error']}", flush=True)
            continue
        with open(trace) as f:
            found[store] = parse_strace(f.read(), os.path.realpath(sdir))
        found[store]["rows"], found[store]["batch"] = n, 500
        print(f"  fsync check {store:<11} {found[store]}", flush=True)
    shutil.rmtree(root, ignore_errors=True)
    return found


# --- the run ------------------------------------------------------------------------

def machine_info():
    info = {"python": platform.python_version(), "platform": platform.platform(), "cpus": os.cpu_count(),
            "date": datetime.date.today().isoformat()}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
        with open("/proc/meminfo") as f:
            info["memory"] = f.readline().split(":", 1)[1].strip()
    except OSError:
        pass
    try:
        info["commit"] = subprocess.run(["git", "-C", HERE, "rev-parse", "--short", "HEAD"], capture_output=True,
                                        text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    return info


def merge_results(path, mode, runs, fsync, info):
    """Replace in the results file the runs of this thread setting and data
    kind; keep the others (the other table), unless they come from a smoke
    run and this one is full, or the other way round."""
    old = read_json(path) or {}
    key = (mode["threads"], mode["data"])
    kept = [r for r in old.get("runs", [])
            if (r["mode"]["threads"], r["mode"]["data"]) != key and r["mode"].get("smoke") == mode["smoke"]]
    merged = {"machine": info, "runs": kept + runs,
              "fsync_check": fsync if fsync else old.get("fsync_check", {}),
              "stores": {name: describe_store(name) for name in STORES}}
    with open(path, "w") as f:
        json.dump(merged, f, indent=1)
    if os.path.abspath(path) == os.path.join(HERE, "stores_results.json"):
        record_in_combined(merged)
    return merged


def record_in_combined(merged):
    """The results file of the default run is also the "stores" section of
    bench/results.json, beside the other benchmarks' sections."""
    combined = os.path.join(HERE, "results.json")
    everything = read_json(combined) or {}
    everything["stores"] = merged
    with open(combined, "w") as f:
        json.dump(everything, f, indent=1)


def describe_store(name):
    cls = store_class(name)
    return {"exact": cls.exact, "native_batch": cls.native_batch, "durability": cls.durability,
            "thread_caveat": cls.thread_caveat}


def parse_max_rows(items):
    limits = {}
    for item in items:
        store, _, value = item.partition("=")
        if store not in STORES or not value.isdigit():
            raise SystemExit(f"--max-rows takes STORE=ROWS with a store of {sorted(STORES)}, not {item!r}")
        limits[store] = int(value)
    return limits


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--sizes", nargs="*", type=parse_size, help=f"N x D sizes (default: {' '.join(FULL_SIZES)})")
    p.add_argument("--stores", nargs="*", choices=sorted(STORES), help="run only these stores")
    p.add_argument("--threads", choices=("1", "all"), default="1",
                   help="1: every store held to one thread where it allows; all: library defaults (every core)")
    p.add_argument("--data", choices=("gaussian", "mixture"), default="gaussian",
                   help=f"standard Gaussian, or a mixture of {CLUSTERS:,} Gaussian clusters")
    p.add_argument("--spread", type=float, default=0.5,
                   help="standard deviation within a cluster (--data mixture; the centres have 1)")
    p.add_argument("--smoke", action="store_true",
                   help=f"tiny sizes ({' '.join(SMOKE_SIZES)}) and a handful of queries: every path once")
    p.add_argument("--nsingle", type=int, help="single and filtered queries per store (default 100; smoke 5)")
    p.add_argument("--nbatch", type=int, help="queries in the batch (default 1000; smoke 50)")
    p.add_argument("--batch", type=int, default=100_000, help="rows per insert call (Chroma: at most its limit)")
    p.add_argument("--batch-budget", type=float, default=60.0,
                   help="seconds after which a looped batch stops; its rate is over the queries done")
    p.add_argument("--timeout", type=float, default=1800.0, help="seconds per process before it is killed")
    p.add_argument("--reopen-rounds", type=int,
                   help="new processes that reopen each store; the figure is their median (default 3; smoke 1)")
    p.add_argument("--max-rows", nargs="*", default=["chroma=100000"], metavar="STORE=ROWS",
                   help="skip a store above this many rows (default chroma=100000: ~2k inserts/s)")
    p.add_argument("--no-fsync-check", action="store_true", help="skip the strace check of fsync calls")
    p.add_argument("--tmp", help="directory for the data and the stores (default: a new temporary directory)")
    p.add_argument("--out", default=os.path.join(HERE, "stores_results.json"))
    p.add_argument("--table-out", default=os.path.join(HERE, "stores_table.md"))
    p.add_argument("--charts-dir", default=HERE, help="where the PNG charts go (default: bench/)")
    p.add_argument("--readme", action=argparse.BooleanOptionalAction, default=None,
                   help="write the tables into bench/README.md (default: on for a full run, off for --smoke)")
    p.add_argument("--charts-only", metavar="RESULTS_JSON", help="redraw the charts and tables of a saved run, exit")
    args = p.parse_args()
    args.max_rows = parse_max_rows(args.max_rows)

    if args.charts_only:
        results = read_json(args.charts_only)
        if results is None:
            sys.exit(f"cannot read {args.charts_only}")
        return report(results, args, readme=bool(args.readme))

    sizes = args.sizes or [parse_size(s) for s in (SMOKE_SIZES if args.smoke else FULL_SIZES)]
    args.nsingle = args.nsingle or (5 if args.smoke else 100)
    args.nbatch = args.nbatch or (50 if args.smoke else 1000)
    args.reopen_rounds = max(1, args.reopen_rounds or (1 if args.smoke else 3))
    if args.smoke:
        args.batch = min(args.batch, 5_000)
        args.batch_budget = min(args.batch_budget, 10.0)
    stores = args.stores or list(STORES)
    if "velmoradb" not in stores:
        stores.insert(0, "velmoradb")  # the ratios are against it

    info = machine_info()
    mode = {"threads": args.threads, "data": args.data, "smoke": args.smoke, "date": info["date"],
            "commit": info.get("commit"), "nsingle": args.nsingle, "nbatch": args.nbatch,
            "batch_budget": args.batch_budget, "spread": args.spread if args.data == "mixture" else None}
    print(json.dumps({"machine": info, "mode": mode}, indent=1), flush=True)

    tmp = args.tmp or tempfile.mkdtemp(prefix="velmoradb-stores-")
    os.makedirs(tmp, exist_ok=True)
    runs, started = [], time.perf_counter()
    try:
        fsync = {} if args.no_fsync_check else fsync_check(stores, tmp)
        for n, dim in sizes:
            work = os.path.join(tmp, f"{n}x{dim}")
            os.makedirs(work, exist_ok=True)
            files = {"data": os.path.join(work, "data.npy"), "queries": os.path.join(work, "queries.npy")}
            t0 = time.perf_counter()
            write_data(files["data"], n, dim, args.data, args.spread)
            queries = make_queries(max(args.nbatch, args.nsingle), n, dim, args.data, args.spread)
            np.save(files["queries"], queries)
            data = np.load(files["data"], mmap_mode="r")
            rows = np.flatnonzero(np.arange(n) % len(TAGS) == FILTER_CODE)
            _, kth = exact_top_k(data, queries[:args.nsingle], K)
            _, kth_f = exact_top_k(data, queries[:args.nsingle], K, rows=rows)
            files["truth"] = {"kth": kth, "kth_filtered": kth_f}
            del data
            print(f"{n}x{dim}: data and exact reference in {time.perf_counter() - t0:.1f} s", flush=True)
            for store in stores:
                t0 = time.perf_counter()
                rec = run_store(store, n, dim, files, work, args)
                rec["mode"] = mode
                rec["wall_s"] = time.perf_counter() - t0
                runs.append(rec)
                print(f"  {store:<11} {n}x{dim}: {summary(rec)} ({rec['wall_s']:.0f} s)", flush=True)
                merge_results(args.out, mode, runs, fsync, info)  # partial results survive a stop
            shutil.rmtree(work, ignore_errors=True)
    finally:
        if not args.tmp:
            shutil.rmtree(tmp, ignore_errors=True)
    results = merge_results(args.out, mode, runs, fsync, info)
    print(f"wrote {args.out} ({time.perf_counter() - started:.0f} s)")
    readme = (not args.smoke) if args.readme is None else args.readme
    return report(results, args, readme=readme)


def summary(rec):
    if "skipped" in rec:
        return "skipped: " + rec["skipped"]
    if "error" in rec:
        return "ERROR " + rec["error"]
    load, query = rec["load"], rec["query"]
    return (f"insert+durable {rec['n'] / load['total_s']:,.0f}/s, reopen {query['reopen_s'] * 1e3:.1f} ms, "
            f"single {query['single_s'] * 1e3:.2f} ms, batch {query['batch_done'] / query['batch_s']:,.0f} q/s, "
            f"recall {rec['recall']['single']:.3f}")


def report(results, args, readme):
    from stores_charts import draw_charts

    text = markdown_tables(results)
    print(text)
    with open(args.table_out, "w") as f:
        f.write(text + "\n")
    print("wrote", args.table_out)
    for path in draw_charts(results, args.charts_dir):
        print("wrote", path)
    if readme:
        write_readme_block(os.path.join(HERE, "README.md"), text)
        print("updated bench/README.md")
    return 1 if any("error" in r for r in results.get("runs", [])) else 0


if __name__ == "__main__":
    sys.exit(main())
