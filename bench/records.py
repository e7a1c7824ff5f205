"""Benchmark of the records API: filtered search, delete and compact.

Every figure is a ratio against a reference measured in the same run, on the
same machine, one thread:

  filter    Collection.search(q, 10, where={"tag": value}) against the
            unfiltered search of the same collection, one query at a time,
            interleaved (query i filtered and unfiltered before query i + 1,
            the order alternating), medians. One collection of n x 128 per
            selectivity, each with one string field per record, drawn
            from a fixed hash of the record's id (h(i), uniform in 0..99):
              10%  {"tag": "t<h(i) % 10>"}              where {"tag": "t0"}
              1%   {"tag": "t<h(i)>"}                   where {"tag": "t0"}
              90%  {"tag": "t0" if h(i) % 10 else "t1"}  where {"tag": "t0"}
              10%, every 10th  {"tag": "t<i % 10>"}     where {"tag": "t0"}
            The last is the worst case of the scan's layout: vectors are
            stored in blocks of 16, and a block is read whole when any of
            its records matches, so a filter matching every 10th record
            reads every block, as the unfiltered search does (no target).
            Every filtered hit is checked to carry the value asked for.
  memory    resident memory of a fresh process after opening the collection
            and answering one filtered query, minus its resident memory
            before the open, per record; the same for a payload-free
            collection of the same vectors; the difference is what the
            payloads and their index cost.
  delete    delete_batch of 10,000 present ids against insert_batch of 10,000
            new ids (same payload form) on the n-record collection,
            alternating, medians of several rounds.
  compact   compact() of the n-record collection after delete_batch of every
            other id (half the records), against writing the same number of
            bytes as the compacted data.vdb to a new file in the same
            directory and fsyncing it (median of three writes).

Standalone (python bench/records.py [--quick]) or through
python bench/run.py --records. It writes bench/results_records.json.
"""

from __future__ import annotations

import argparse
import os
import sys

# One thread for every library: set before numpy (and its BLAS) is imported.
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "VECLIB_MAXIMUM_THREADS"):
    os.environ[_var] = "1"

import gc
import json  # noqa: E402
import shutil  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from warm_memory import warm_memory  # noqa: E402

K = 10
DIM = 128
SEED = 20251208
CHUNK = 100_000

# Selectivity name -> (payload tag of record i, the value a filter asks for).
def spread(i):
    """A fixed hash of id i, uniform in 0..99 (Fibonacci hashing, top bits)."""
    return ((i * 0x9E3779B97F4A7C15) % 2**64 >> 32) % 100


SELECTIVITIES = {
    "10%": (lambda i: f"t{spread(i) % 10}", "t0", 0.10),
    "1%": (lambda i: f"t{spread(i)}", "t0", 0.01),
    "90%": (lambda i: "t0" if spread(i) % 10 else "t1", "t0", 0.90),
    "10%, every 10th": (lambda i: f"t{i % 10}", "t0", 0.10),
}

TARGETS = {  # figure -> largest ratio velmoradb / reference that meets the target
    "filter 10% / unfiltered": 1.0,
    "filter 1% / unfiltered": 0.25,
    "filter 90% / unfiltered": 1.2,
    "delete_batch 10k / insert_batch 10k": 2.0,
    "compact (half deleted) / write data.vdb": 3.0,
}


def vectors(start, count, seed):
    return np.random.default_rng(seed + start).standard_normal((count, DIM), dtype=np.float32)


def build(vdb, path, n, tag_of, seed):
    """A flushed collection of n records (ids 0..n-1), closed again; payloads
    when tag_of is given. Returns the seconds it took."""
    t0 = time.perf_counter()
    with vdb.Collection.create(path, DIM, "euclidean") as c:
        for start in range(0, n, CHUNK):
            count = min(CHUNK, n - start)
            ids = list(range(start, start + count))
            payloads = None if tag_of is None else [{"tag": tag_of(i)} for i in ids]
            c.insert_batch(ids, vectors(start, count, seed), payloads)
            c.flush()  # keeps the log short
    return time.perf_counter() - t0


_RSS_CHILD = r"""
import gc, json, sys, psutil
import velmoradb
path, value = sys.argv[1], sys.argv[2]
proc = psutil.Process()
q = [0.5] * 128
gc.collect()
before = proc.memory_info().rss
c = velmoradb.Collection.open(path)
c.wait_for_bound_codes()  # their memory counts
c.search(q, 10)
if value:
    c.search(q, 10, where={"tag": value})
after = proc.memory_info().rss
print(json.dumps({"before": before, "after": after, "records": len(c)}))
c.close()
"""


def open_rss(path, value):
    """Resident bytes per record that opening the collection (and one query)
    adds to a fresh process."""
    # Run outside the source tree, whose velmoradb/ would shadow the installed package.
    child = subprocess.run([sys.executable, "-c", _RSS_CHILD, path, value or ""], cwd=os.path.dirname(path),
                           capture_output=True, text=True)
    if child.returncode:
        raise RuntimeError(f"memory probe failed:\n{child.stderr}")
    r = json.loads(child.stdout)
    return (r["after"] - r["before"]) / r["records"]


def filtered_latency(c, queries, value, tag_of):
    """Medians of unfiltered and filtered single queries, interleaved."""
    where = {"tag": value}
    for q in queries[:3]:  # warm both paths
        c.search(q, K)
        c.search(q, K, where=where)
    plain, filt = [], []
    wrong = 0
    for i, q in enumerate(queries):
        order = (False, True) if i % 2 == 0 else (True, False)
        for filtered in order:
            t0 = time.perf_counter()
            hits = c.search(q, K, where=where) if filtered else c.search(q, K)
            dt = time.perf_counter() - t0
            if filtered:
                filt.append(dt)
                wrong += sum(1 for rid, _ in hits if tag_of(rid) != value) + (len(hits) != K)
            else:
                plain.append(dt)
    return statistics.median(plain), statistics.median(filt), wrong


def delete_vs_insert(c, n, rounds, tag_of, seed):
    """delete_batch of 10,000 present ids against insert_batch of 10,000 new
    ids, alternating which goes first; the collection stays at n records."""
    batch = min(10_000, n // (2 * rounds))
    rng = np.random.default_rng(seed)
    victims = rng.permutation(n)[: batch * rounds].tolist()
    t_del, t_ins = [], []
    next_id = n + 10_000_000
    for r in range(rounds):
        ids_del = victims[r * batch:(r + 1) * batch]
        ids_new = list(range(next_id, next_id + batch))
        next_id += batch
        vecs = vectors(next_id, batch, seed)
        payloads = None if tag_of is None else [{"tag": tag_of(i)} for i in ids_new]
        gc.collect()

        def do_insert():
            t0 = time.perf_counter()
            c.insert_batch(ids_new, vecs, payloads)
            t_ins.append(time.perf_counter() - t0)

        def do_delete():
            t0 = time.perf_counter()
            got = c.delete_batch(ids_del)
            t_del.append(time.perf_counter() - t0)
            if got != batch:
                raise RuntimeError(f"delete_batch removed {got} of {batch} present ids")

        for step in ((do_insert, do_delete) if r % 2 == 0 else (do_delete, do_insert)):
            step()
        c.flush()  # each round starts from an empty log
    return batch, statistics.median(t_del), statistics.median(t_ins)


def write_once(directory, size, repeat=3):
    """Seconds to write `size` bytes to a new file and fsync it (median)."""
    block = os.urandom(1 << 20) * 8  # 8 MiB
    times = []
    for r in range(repeat):
        path = os.path.join(directory, f"write-reference-{r}.bin")
        warm_memory(2 * size)
        t0 = time.perf_counter()
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            left = size
            view = memoryview(block)
            while left:
                left -= os.write(fd, view[: min(left, len(block))])
            os.fsync(fd)
        finally:
            os.close(fd)
        times.append(time.perf_counter() - t0)
        os.unlink(path)
    return statistics.median(times)


def compact_vs_write(vdb, path):
    """compact() after deleting every other record, against one write of
    the compacted data.vdb's size."""
    with vdb.Collection.open(path) as c:
        ids = sorted(c.ids())
        deleted = c.delete_batch(ids[::2])
        c.flush()
        gc.collect()
        warm_memory(2 * os.path.getsize(os.path.join(path, "data.vdb")))
        t0 = time.perf_counter()
        stats = c.compact()
        t_compact = time.perf_counter() - t0
        # records_dropped also counts records deleted or replaced before this pass.
        if deleted != len(ids[::2]) or len(c) != len(ids) - deleted or stats.records_dropped < deleted:
            raise RuntimeError(f"compact left {len(c)} records, dropped {stats.records_dropped}")
    size = os.path.getsize(os.path.join(path, "data.vdb"))
    t_write = write_once(path, size)
    return t_compact, t_write, size, stats


class Results:
    def __init__(self):
        self.rows = []

    def add(self, figure, velmoradb, reference, reference_name, unit, **extra):
        ratio = velmoradb / reference if reference else float("nan")
        target = TARGETS.get(figure.removesuffix(", payload-free"))
        row = {"figure": figure, "velmoradb": velmoradb, "reference": reference,
               "reference_name": reference_name, "unit": unit, "ratio": ratio,
               "target": target, "holds": None if target is None else bool(ratio <= target), **extra}
        self.rows.append(row)
        holds = "" if target is None else f"  target <= {target}: {'holds' if row['holds'] else 'FAILS'}"
        print(f"  {figure:<44} {velmoradb:12.5g} {unit:<4} vs {reference_name} {reference:12.5g}"
              f"  ratio {ratio:6.3f}{holds}", flush=True)


def run(vdb, n, nqueries, rounds, root, res):
    rng = np.random.default_rng(SEED)
    queries = rng.standard_normal((nqueries, DIM), dtype=np.float32)
    info = {"n": n, "dim": DIM, "k": K, "queries": nqueries, "delete_rounds": rounds}

    plain_path = os.path.join(root, "plain")
    info["build_plain_s"] = build(vdb, plain_path, n, None, SEED)
    rss_plain = open_rss(plain_path, None)
    res.add("open RSS per record, payload-free", rss_plain, 4.0 * DIM, "raw 4*d", "B")

    for name, (tag_of, value, share) in SELECTIVITIES.items():
        path = os.path.join(root, "tag-" + "".join(ch for ch in name if ch.isalnum()))
        info[f"build_{name}_s"] = build(vdb, path, n, tag_of, SEED)
        rss = open_rss(path, value)
        res.add(f"open RSS per record, payloads {name}", rss, rss_plain, "payload-free", "B",
                extra_bytes_per_record=rss - rss_plain)
        with vdb.Collection.open(path) as c:
            c.wait_for_bound_codes()  # searches timed with the codes in use
            plain, filt, wrong = filtered_latency(c, queries, value, tag_of)
            res.add(f"filter {name} / unfiltered", filt * 1e3, plain * 1e3, "unfiltered", "ms",
                    matching_share=share, wrong_hits=wrong)
            if wrong:
                print(f"  FILTER WRONG: {wrong} hits of the {name} filter miss the value or are short")
            if name == "10%":
                batch, t_del, t_ins = delete_vs_insert(c, n, rounds, tag_of, SEED + 1)
                res.add("delete_batch 10k / insert_batch 10k", t_del * 1e3, t_ins * 1e3,
                        "insert_batch", "ms", batch=batch, payloads=True)
        if name == "10%":
            t_compact, t_write, size, stats = compact_vs_write(vdb, path)
            res.add("compact (half deleted) / write data.vdb", t_compact, t_write, "write+fsync", "s",
                    data_vdb_bytes=size, bytes_before=stats.bytes_before, bytes_after=stats.bytes_after,
                    records_dropped=stats.records_dropped, payloads=True)
        shutil.rmtree(path, ignore_errors=True)
        gc.collect()

    # The same two write figures without payloads.
    with vdb.Collection.open(plain_path) as c:
        batch, t_del, t_ins = delete_vs_insert(c, n, rounds, None, SEED + 2)
        res.add("delete_batch 10k / insert_batch 10k, payload-free", t_del * 1e3, t_ins * 1e3,
                "insert_batch", "ms", batch=batch, payloads=False)
    t_compact, t_write, size, stats = compact_vs_write(vdb, plain_path)
    res.add("compact (half deleted) / write data.vdb, payload-free", t_compact, t_write, "write+fsync", "s",
            data_vdb_bytes=size, bytes_before=stats.bytes_before, bytes_after=stats.bytes_after,
            records_dropped=stats.records_dropped, payloads=False)
    shutil.rmtree(plain_path, ignore_errors=True)
    return info


def markdown(saved):
    """The rows of a saved results file as a Markdown table."""
    lines = ["| figure | velmoradb | reference | ratio | target | holds? |", "|---|---|---|---|---|---|"]
    for r in saved["rows"]:
        target = "" if r["target"] is None else f"<= {r['target']:g}"
        holds = "" if r["holds"] is None else ("yes" if r["holds"] else "**no**")
        lines.append(f"| {r['figure']} | {r['velmoradb']:.4g} {r['unit']} | {r['reference_name']}: "
                     f"{r['reference']:.4g} {r['unit']} | {r['ratio']:.3f} | {target} | {holds} |")
    return "\n".join(lines)


def main(argv=None, machine=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="50,000 records instead of 1,000,000")
    parser.add_argument("--n", type=int, help="records per collection (default 1,000,000; --quick 50,000)")
    parser.add_argument("--queries", type=int, default=30, help="single queries per figure (default 30)")
    parser.add_argument("--rounds", type=int, default=5, help="delete/insert rounds (default 5)")
    parser.add_argument("--dir", help="where the collections go (default: a new temporary directory)")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                      "results_records.json"))
    parser.add_argument("--markdown", metavar="RESULTS_JSON", help="print a saved run as a Markdown table and exit")
    args = parser.parse_args(argv)
    if args.markdown:
        with open(args.markdown) as f:
            print(markdown(json.load(f)))
        return 0
    n = args.n or (50_000 if args.quick else 1_000_000)
    try:
        import velmoradb as vdb
    except ImportError:
        sys.exit("velmoradb is not importable: pip install . first")
    if machine is None:
        from run import machine_info

        machine = machine_info()
    print(json.dumps(machine, indent=1))
    root = tempfile.mkdtemp(prefix="velmoradb-records-", dir=args.dir)
    res = Results()
    t0 = time.perf_counter()
    try:
        info = run(vdb, n, args.queries, args.rounds, root, res)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    info["total_s"] = time.perf_counter() - t0
    cmd = "python bench/records.py" + (" --quick" if args.quick else "") + (f" --n {args.n}" if args.n else "")
    with open(args.out, "w") as f:
        json.dump({"machine": machine, "command": cmd, "run": info, "rows": res.rows}, f, indent=1)
    print(f"wrote {args.out} ({info['total_s']:.0f} s)")
    failed = [r["figure"] for r in res.rows if r["holds"] is False]
    print("targets:", "all hold" if not failed else f"NOT MET: {failed}")
    wrong = sum(r.get("wrong_hits", 0) for r in res.rows)
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
