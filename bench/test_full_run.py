"""Checks of the verdicts of bench/full_run.py on made-up results (nothing is
run or timed): pytest bench/test_full_run.py"""

from __future__ import annotations

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import full_run  # noqa: E402


def store_run(store, n, dim, reopen_ms, single_ms, disk_ratio=1.0, threads="1", data="gaussian"):
    return {"store": store, "n": n, "dim": dim, "disk_bytes": disk_ratio * 4 * n * dim,
            "mode": {"threads": threads, "data": data},
            "query": {"reopen_s": reopen_ms / 1e3, "single_s": single_ms / 1e3}}


def stores_results(runs):
    exact = {"velmoradb": True, "faiss": True, "chroma": False, "sqlite-vec": True}
    return {"stores": {name: {"exact": e} for name, e in exact.items()}, "runs": runs}


def verdicts(targets, figure):
    return [t["holds"] for t in targets if t["figure"].startswith(figure)]


@pytest.mark.parametrize("ours, fastest, holds", [(10.0, 12.0, True), (12.0, 12.0, False), (13.0, 12.0, False)])
def test_reopen_must_beat_the_fastest_other_store(ours, fastest, holds):
    runs = [store_run("velmoradb", 1000, 8, ours, 1.0), store_run("sqlite-vec", 1000, 8, fastest, 9.0),
            store_run("faiss", 1000, 8, fastest + 50, 9.0)]
    assert verdicts(full_run.stores_targets(stores_results(runs)), "reopen") == [holds]


@pytest.mark.parametrize("faiss_ms, holds", [(3.0, True), (2.9, False)])
def test_one_query_is_compared_with_exact_stores_only(faiss_ms, holds):
    # Chroma's approximate query is faster than ours, and is not counted.
    runs = [store_run("velmoradb", 1000, 8, 1.0, 1.0), store_run("faiss", 1000, 8, 5.0, faiss_ms),
            store_run("chroma", 1000, 8, 5.0, 0.5)]
    targets = full_run.stores_targets(stores_results(runs))
    assert verdicts(targets, "fastest other exact query") == [holds]


def test_stores_of_other_modes_are_kept_apart():
    # An all-cores or mixture run of a faster store is not the one-thread gaussian table's.
    runs = [store_run("velmoradb", 1000, 8, 10.0, 1.0), store_run("faiss", 1000, 8, 20.0, 4.0),
            store_run("faiss", 1000, 8, 1.0, 0.1, threads="all"), store_run("faiss", 1000, 8, 1.0, 0.1, data="mixture")]
    targets = full_run.stores_targets(stores_results(runs))
    assert verdicts(targets, "reopen") == [True] and verdicts(targets, "fastest other exact query") == [True]


@pytest.mark.parametrize("ratio, holds", [(1.1, True), (1.11, False)])
def test_bytes_on_disk(ratio, holds):
    runs = [store_run("velmoradb", 1000, 8, 1.0, 1.0, disk_ratio=ratio)]
    assert verdicts(full_run.stores_targets(stores_results(runs)), "bytes on disk") == [holds]


def test_pruned_checks_the_large_cases_and_counts_every_differing_answer():
    row = {"data": "gaussian", "metric": "dot", "queries": 100, "codes_bytes_per_vector": 148.0}
    rows = [dict(row, case="1000000x128", codes_per_read=0.3, answers_differ=0),
            dict(row, case="100000x128", codes_per_read=0.9, answers_differ=1)]
    targets = full_run.pruned_targets({"rows": rows, "quick": False})
    assert verdicts(targets, "time / one read") == [True]
    differ = next(t for t in targets if t["figure"].startswith("answers"))
    assert (differ["value"], differ["holds"], differ["note"]) == (1, False, "of 200")
    memory = next(t for t in targets if t["group"] == "memory")
    assert memory["holds"] and "148 B per vector" in memory["note"]


@pytest.mark.parametrize("two, faiss_all, holds", [(1800.0, 900.0, [True, True]), (1799.0, 900.0, [False, True]),
                                                   (1900.0, 2000.0, [True, False])])
def test_threads(two, faiss_all, holds):
    rows = [{"case": "c", "figure": "velmoradb, 1 thread", "queries_per_s": 1000.0},
            {"case": "c", "figure": "velmoradb, 2 threads", "queries_per_s": two},
            {"case": "c", "figure": "faiss-cpu, default threads (2)", "queries_per_s": faiss_all}]
    assert [t["holds"] for t in full_run.threads_targets({"rows": rows})] == holds


def test_batch_pairs_each_metric_with_faiss():
    rows = [{"case": "1000x8", "metric": m, "figure": "batch 1000 (q/s)", "library": lib, "value": v}
            for m, lib, v in [("euclidean", "velmoradb", 10.0), ("euclidean", "faiss", 9.0),
                              ("dot", "velmoradb", 8.0), ("dot", "faiss", 9.0), ("cosine", "velmoradb", 5.0)]]
    targets = full_run.batch_targets({"rows": rows})
    assert {t["case"]: t["holds"] for t in targets} == {"1,000 × 8 euclidean": True, "1,000 × 8 dot": False}


def test_readme_block_is_replaced_and_a_missing_marker_refused(tmp_path, monkeypatch):
    monkeypatch.setattr(full_run, "HERE", str(tmp_path))
    readme = tmp_path / "README.md"
    readme.write_text(f"a\n{full_run.README_BEGIN}\nold\n{full_run.README_END}\nb\n")
    full_run.write_readme("new")
    assert readme.read_text() == f"a\n{full_run.README_BEGIN}\nnew\n{full_run.README_END}\nb\n"
    readme.write_text("no markers")
    with pytest.raises(SystemExit):
        full_run.write_readme("new")
