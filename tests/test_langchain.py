"""What LangChain's standard suite leaves out: filters, scores, MMR, the
retriever modes, string ids, metadata round trips, reopening."""

from __future__ import annotations

import copy
import subprocess
import sys
import threading
from pathlib import Path

import pytest

pytest.importorskip("langchain_core")

from langchain_core.documents import Document  # noqa: E402
from langchain_core.embeddings import Embeddings  # noqa: E402

from velmoradb import Collection, _stringids  # noqa: E402
from velmoradb.langchain import VelmoraVectorStore, relevance_score  # noqa: E402


class TableEmbeddings(Embeddings):
    """Fixed vectors for known texts: the geometry of each test is explicit."""

    TABLE = {
        "north": [0.0, 1.0, 0.0],
        "north-east": [0.7, 0.7, 0.0],
        "east": [1.0, 0.0, 0.0],
        "south": [0.0, -1.0, 0.0],
        "up": [0.0, 0.1, 1.0],
        "north again": [0.0, 1.0, 0.0],
        "nearly north": [0.05, 1.0, 0.0],
    }

    def embed_documents(self, texts: list[str]) -> list[list[float]]:
        return [self.TABLE[t] for t in texts]

    def embed_query(self, text: str) -> list[float]:
        return self.TABLE[text]


TEXTS = ["north", "north-east", "east", "south", "up"]
METADATAS = [
    {"n": 1, "side": "n", "tags": ["a", "b"]},
    {"n": 2, "side": "n", "tags": ["b"]},
    {"n": 3, "side": "e", "nested": {"deep": True}},
    {"n": 4, "side": "s"},
    {"n": 5},
]


def make(path: Path, metric: str = "cosine") -> VelmoraVectorStore:
    return VelmoraVectorStore.from_texts(
        TEXTS, TableEmbeddings(), METADATAS, ids=[f"id-{t}" for t in TEXTS], path=path, metric=metric
    )


@pytest.mark.parametrize(
    ("where", "expected"),
    [
        ({"side": "n"}, ["north", "north-east"]),
        ({"n": {"$gte": 3}}, ["up", "east", "south"]),
        ({"tags": "b"}, ["north", "north-east"]),
        ({"side": {"$exists": False}}, ["up"]),
        ({"$or": [{"side": "s"}, {"nested.deep": True}]}, ["east", "south"]),
        ({"$not": {"side": {"$in": ["n", "e"]}}}, ["up", "south"]),
        ({"n": {"$lt": 0}}, []),
    ],
)
def test_filters_reach_the_metadata(tmp_path: Path, where: dict[str, object], expected: list[str]) -> None:
    with make(tmp_path / "s") as store:
        assert [d.page_content for d in store.similarity_search("north", k=10, filter=where)] == expected


def test_a_bad_filter_is_refused(tmp_path: Path) -> None:
    with make(tmp_path / "s") as store:
        with pytest.raises(ValueError, match=r"unknown operator '\$foo'"):
            store.similarity_search("north", filter={"n": {"$foo": 1}})


@pytest.mark.parametrize("metric", ["cosine", "euclidean", "dot"])
def test_scores_are_ordered_and_relevance_in_range(tmp_path: Path, metric: str) -> None:
    with make(tmp_path / metric, metric) as store:
        with_scores = store.similarity_search_with_score("north", k=5)
        distances = [s for _, s in with_scores]
        assert distances == sorted(distances)
        assert with_scores[0][0].page_content == "north"
        relevance = store.similarity_search_with_relevance_scores("north", k=5)
        scores = [s for _, s in relevance]
        assert all(0.0 <= s <= 1.0 for s in scores)
        assert scores == sorted(scores, reverse=True)
        assert [d.id for d, _ in relevance] == [d.id for d, _ in with_scores]


@pytest.mark.parametrize(
    ("metric", "distance", "score"),
    [
        ("cosine", 0.0, 1.0), ("cosine", 2.0, 0.0), ("cosine", 1.0, 0.5),
        ("euclidean", 0.0, 1.0), ("euclidean", 1.0, 0.5), ("euclidean", 1e30, 0.0),
        ("dot", 0.0, 0.5), ("dot", -1e6, 1.0), ("dot", 1e6, 0.0),
    ],
)
def test_relevance_score_ends(metric: str, distance: float, score: float) -> None:
    assert relevance_score(metric, distance) == pytest.approx(score, abs=1e-12)


def test_mmr_prefers_diversity_over_a_duplicate(tmp_path: Path) -> None:
    with VelmoraVectorStore(tmp_path / "s", TableEmbeddings()) as store:
        store.add_texts(["north", "north again", "nearly north", "east", "south"])
        plain = [d.page_content for d in store.similarity_search("north", k=2)]
        assert set(plain) == {"north", "north again"}
        mmr = [d.page_content for d in store.max_marginal_relevance_search("north", k=2, fetch_k=5, lambda_mult=0.3)]
        assert mmr[0] in ("north", "north again") and mmr[1] not in ("north", "north again", "nearly north")
        filtered = store.max_marginal_relevance_search("north", k=2, fetch_k=5, filter={"x": 1})
        assert filtered == []


def test_retriever_modes(tmp_path: Path) -> None:
    with make(tmp_path / "s") as store:
        similarity = store.as_retriever(search_kwargs={"k": 2}).invoke("north")
        assert [d.page_content for d in similarity] == ["north", "north-east"]
        filtered = store.as_retriever(search_kwargs={"k": 2, "filter": {"side": "e"}}).invoke("north")
        assert [d.page_content for d in filtered] == ["east"]
        mmr = store.as_retriever(search_type="mmr", search_kwargs={"k": 2, "fetch_k": 5}).invoke("north")
        assert [d.page_content for d in mmr][0] == "north" and len(mmr) == 2
        # cosine relevance 1 - d/2: north 1.0, north-east ~0.85, up ~0.55, east 0.5, south 0.
        threshold = store.as_retriever(
            search_type="similarity_score_threshold", search_kwargs={"k": 5, "score_threshold": 0.6}
        ).invoke("north")
        assert [d.page_content for d in threshold] == ["north", "north-east"]


def test_colliding_string_ids_keep_both_records(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    # Every string id starts its probe sequence at the same integer id.
    monkeypatch.setattr(_stringids, "probe_id", lambda string_id, attempt: 7 + attempt)
    with VelmoraVectorStore(tmp_path / "s", TableEmbeddings()) as store:
        store.add_texts(["north", "east", "south"], ids=["a", "b", "c"])
        assert store.collection is not None and store.collection.ids() == [7, 8, 9]
        assert [d.page_content for d in store.get_by_ids(["a", "b", "c"])] == ["north", "east", "south"]
        # Deleting the head of the chain leaves a hole that lookups must see past.
        store.delete(["a"])
        assert [d.page_content for d in store.get_by_ids(["c", "b", "a"])] == ["south", "east"]
        store.add_texts(["up"], ids=["c"])  # an update stays where it is
        store.add_texts(["north-east"], ids=["d"])  # a new id takes the hole
        assert store.collection.ids() == [7, 8, 9]
        assert {d.id: d.page_content for d in store.get_by_ids(["b", "c", "d"])} == {
            "b": "east", "c": "up", "d": "north-east"
        }
        store.delete(["b", "c", "d"])
        assert len(store) == 0


def test_metadata_round_trips_and_documents_stay_unchanged(tmp_path: Path) -> None:
    metadata = {"int": 2**63 + 5, "neg": -3, "float": 1.0, "flag": False, "none": None,
                "list": [1, "two", [3.5]], "nested": {"k": [True]}}
    docs = [Document(page_content="north", metadata=metadata), Document(page_content="east", id="given")]
    before = copy.deepcopy(docs)
    with VelmoraVectorStore(tmp_path / "s", TableEmbeddings()) as store:
        ids = store.add_documents(docs)
        assert docs == before and docs[0].id is None
        assert ids[1] == "given" and len(ids[0]) == 36  # a UUID
        stored = store.get_by_ids(ids)
        assert stored[0].metadata == metadata
        assert type(stored[0].metadata["int"]) is int and type(stored[0].metadata["float"]) is float
        assert stored[1] == Document(page_content="east", id="given", metadata={})
        stored[0].metadata["int"] = 0  # the returned copy is the caller's
        assert store.get_by_ids([ids[0]])[0].metadata == metadata


def test_duplicate_ids_in_one_call_store_the_last(tmp_path: Path) -> None:
    with VelmoraVectorStore(tmp_path / "s", TableEmbeddings()) as store:
        store.add_texts(["north", "east"], ids=["x", "x"])
        assert len(store) == 1 and store.get_by_ids(["x"])[0].page_content == "east"


def test_bad_arguments_are_refused(tmp_path: Path) -> None:
    with pytest.raises(ValueError, match="unknown metric"):
        VelmoraVectorStore(tmp_path / "s", TableEmbeddings(), metric="l2")
    with pytest.raises(TypeError, match="path="):
        VelmoraVectorStore.from_texts(["north"], TableEmbeddings())
    with VelmoraVectorStore(tmp_path / "s", TableEmbeddings()) as store:
        with pytest.raises(ValueError, match="2 texts but 1 ids"):
            store.add_texts(["north", "east"], ids=["a"])
        with pytest.raises(TypeError, match="document ids must be str"):
            store.add_texts(["north"], ids=[5])  # type: ignore[list-item]
        with pytest.raises(TypeError, match="expected None, bool, int, float, str, list, tuple or dict, got set"):
            store.add_texts(["north"], metadatas=[{"bad": {1}}])
        assert len(store) == 0 and store.similarity_search("north") == []
    make(tmp_path / "m").close()
    with pytest.raises(ValueError, match="has metric 'cosine', not 'dot'"):
        VelmoraVectorStore(tmp_path / "m", TableEmbeddings(), metric="dot")


def test_delete_without_ids_deletes_everything(tmp_path: Path) -> None:
    with make(tmp_path / "s") as store:
        store.delete()
        assert len(store) == 0 and store.similarity_search("north") == []


def test_reopen_in_a_new_process(tmp_path: Path) -> None:
    path = tmp_path / "s"
    make(path).close()
    script = f"""
import sys
import threading
sys.path.insert(0, {str(Path(__file__).parent)!r})
from test_langchain import TableEmbeddings
from velmoradb.langchain import VelmoraVectorStore
with VelmoraVectorStore({str(path)!r}, TableEmbeddings()) as store:
    for doc, score in store.similarity_search_with_score("north", k=2, filter={{"n": {{"$gte": 2}}}}):
        print(doc.id, doc.page_content, doc.metadata, score)
    store.add_texts(["up"], ids=["from-child"])
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    lines = out.splitlines()
    assert lines[0].startswith("id-north-east north-east {'n': 2, 'side': 'n', 'tags': ['b']} ")
    assert lines[1].startswith("id-up up ")
    with VelmoraVectorStore(path, TableEmbeddings()) as store:
        assert [d.page_content for d in store.get_by_ids(["from-child", "id-south"])] == ["up", "south"]
        assert len(store) == 6
    with Collection.open(path, read_only=True) as c:
        assert c.dimension == 3 and c.metric == "cosine"


def test_the_example_runs() -> None:
    pytest.importorskip("sklearn")
    example = Path(__file__).parent.parent / "examples" / "langchain_example.py"
    result = subprocess.run([sys.executable, str(example), "200"], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("200 docstrings in ") and "? remove a directory tree" in result.stdout


def test_concurrent_adds_with_colliding_ids_lose_nothing(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(_stringids, "probe_id", lambda string_id, attempt: 100 + attempt)
    texts = list(TableEmbeddings.TABLE)
    with VelmoraVectorStore(tmp_path / "s", TableEmbeddings()) as store:

        def add(worker: int) -> None:
            for i in range(10):
                store.add_texts([texts[i % len(texts)]], metadatas=[{"w": worker, "i": i}], ids=[f"{worker}-{i}"])

        threads = [threading.Thread(target=add, args=(w,)) for w in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        ids = [f"{w}-{i}" for w in range(4) for i in range(10)]
        docs = store.get_by_ids(ids)
        assert [d.id for d in docs] == ids
        assert [(d.metadata["w"], d.metadata["i"]) for d in docs] == [(w, i) for w in range(4) for i in range(10)]


@pytest.mark.parametrize("created", [True, False], ids=["collection", "no collection yet"])
def test_a_closed_store_refuses_writes(tmp_path: Path, created: bool) -> None:
    store = make(tmp_path / "s") if created else VelmoraVectorStore(tmp_path / "s", TableEmbeddings())
    store.close()
    store.close()
    with pytest.raises(ValueError, match="closed"):
        store.add_texts(["north"])
    assert (tmp_path / "s" / "meta.json").exists() == created  # nothing created after close
