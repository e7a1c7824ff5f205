"""velmoradb.llama_index.VelmoraVectorStore under a VectorStoreIndex."""

from __future__ import annotations

import hashlib
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("llama_index.core")

from llama_index.core import Document, Settings, StorageContext, VectorStoreIndex  # noqa: E402
from llama_index.core.embeddings import BaseEmbedding  # noqa: E402
from llama_index.core.schema import TextNode  # noqa: E402
from llama_index.core.vector_stores.types import (  # noqa: E402
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
)

from velmoradb import Collection  # noqa: E402
from velmoradb.llama_index import VelmoraVectorStore  # noqa: E402

DIMENSION = 32


class WordEmbedding(BaseEmbedding):
    """Each word adds 1 to the component its hash picks: texts sharing words are near."""

    def _embed(self, text: str) -> list[float]:
        vector = [0.0] * DIMENSION
        for word in text.lower().split():
            word = word.strip(".,?!")
            vector[hashlib.blake2b(word.encode(), digest_size=2).digest()[0] % DIMENSION] += 1.0
        return vector

    def _get_query_embedding(self, query: str) -> list[float]:
        return self._embed(query)

    async def _aget_query_embedding(self, query: str) -> list[float]:
        return self._embed(query)

    def _get_text_embedding(self, text: str) -> list[float]:
        return self._embed(text)


DOCS = [
    Document(text="Cats purr and sleep in the sun.", doc_id="cats", metadata={"kind": "animal", "legs": 4, "tags": ["pet", "fur"]}),
    Document(text="Parrots talk and fly between trees.", doc_id="parrots", metadata={"kind": "animal", "legs": 2, "tags": ["pet", "feathers"]}),
    Document(text="Oak trees grow slowly and live long.", doc_id="oaks", metadata={"kind": "plant", "legs": 0, "tags": ["tree"]}),
]


@pytest.fixture(autouse=True)
def _settings() -> None:
    Settings.embed_model = WordEmbedding()
    Settings.llm = None  # type: ignore[assignment]  # retrieval only; nothing asks an LLM


def build(path: Path) -> tuple[VelmoraVectorStore, VectorStoreIndex]:
    store = VelmoraVectorStore(path)
    index = VectorStoreIndex.from_documents(DOCS, storage_context=StorageContext.from_defaults(vector_store=store))
    return store, index


def retrieve(index: VectorStoreIndex, question: str, k: int = 3, filters: MetadataFilters | None = None) -> list[Any]:
    return index.as_retriever(similarity_top_k=k, filters=filters).retrieve(question)


def test_retrieval_answers_from_the_store_alone(tmp_path: Path) -> None:
    store, index = build(tmp_path / "li")
    hits = retrieve(index, "which animal can talk and fly?")
    assert hits[0].node.ref_doc_id == "parrots"
    assert "Parrots talk" in hits[0].node.get_content()
    assert hits[0].node.metadata == {"kind": "animal", "legs": 2, "tags": ["pet", "feathers"]}
    assert [h.score for h in hits] == sorted((h.score for h in hits), reverse=True)
    # A fresh index over the same store, without the docstore the first one filled.
    fresh = VectorStoreIndex.from_vector_store(store)
    assert [h.node.node_id for h in retrieve(fresh, "which animal can talk and fly?")] == [h.node.node_id for h in hits]
    store.close()


@pytest.mark.parametrize(
    ("filters", "expected"),
    [
        (MetadataFilters(filters=[MetadataFilter(key="kind", value="plant")]), {"oaks"}),
        (MetadataFilters(filters=[MetadataFilter(key="legs", value=2, operator=FilterOperator.GT)]), {"cats"}),
        (MetadataFilters(filters=[MetadataFilter(key="legs", value=2, operator=FilterOperator.LTE)]), {"parrots", "oaks"}),
        (MetadataFilters(filters=[MetadataFilter(key="kind", value="animal", operator=FilterOperator.NE)]), {"oaks"}),
        (MetadataFilters(filters=[MetadataFilter(key="legs", value=[0, 4], operator=FilterOperator.IN)]), {"cats", "oaks"}),
        (MetadataFilters(filters=[MetadataFilter(key="legs", value=[0, 4], operator=FilterOperator.NIN)]), {"parrots"}),
        (MetadataFilters(filters=[MetadataFilter(key="tags", value="pet", operator=FilterOperator.CONTAINS)]), {"cats", "parrots"}),
        (MetadataFilters(filters=[MetadataFilter(key="tags", value=["tree", "fur"], operator=FilterOperator.ANY)]), {"cats", "oaks"}),
        (MetadataFilters(filters=[MetadataFilter(key="tags", value=["pet", "fur"], operator=FilterOperator.ALL)]), {"cats"}),
        (
            MetadataFilters(
                filters=[MetadataFilter(key="kind", value="plant"), MetadataFilter(key="legs", value=4)],
                condition=FilterCondition.OR,
            ),
            {"cats", "oaks"},
        ),
        (
            MetadataFilters(filters=[MetadataFilter(key="kind", value="plant")], condition=FilterCondition.NOT),
            {"cats", "parrots"},
        ),
        (
            MetadataFilters(
                filters=[
                    MetadataFilter(key="kind", value="animal"),
                    MetadataFilters(
                        filters=[MetadataFilter(key="legs", value=4), MetadataFilter(key="legs", value=0)],
                        condition=FilterCondition.OR,
                    ),
                ]
            ),
            {"cats"},
        ),
    ],
)
def test_retrieval_with_metadata_filters(tmp_path: Path, filters: MetadataFilters, expected: set[str]) -> None:
    store, index = build(tmp_path / "li")
    assert {h.node.ref_doc_id for h in retrieve(index, "trees and animals", k=10, filters=filters)} == expected
    assert {n.ref_doc_id for n in store.get_nodes(filters=filters)} == expected
    store.close()


@pytest.mark.parametrize(
    "operator", [FilterOperator.TEXT_MATCH, FilterOperator.TEXT_MATCH_INSENSITIVE, FilterOperator.IS_EMPTY]
)
def test_unsupported_filter_operators_are_refused_by_name(tmp_path: Path, operator: FilterOperator) -> None:
    store, index = build(tmp_path / "li")
    filters = MetadataFilters(filters=[MetadataFilter(key="kind", value="an", operator=operator)])
    with pytest.raises(ValueError, match=f"operator '{operator.value}' is not supported"):
        retrieve(index, "cats", filters=filters)
    store.close()


def test_delete_document_nodes_and_clear(tmp_path: Path) -> None:
    store, index = build(tmp_path / "li")
    extra = TextNode(text="Cats also hunt mice.", id_="cat-2", embedding=WordEmbedding()._embed("Cats also hunt mice."))
    extra.relationships = {}
    store.add([extra])
    cats = [n for n in store.get_nodes() if n.ref_doc_id == "cats"]
    assert len(cats) == 1 and len(store.get_nodes()) == 4

    store.delete("cats")
    assert {n.ref_doc_id for n in store.get_nodes()} == {"parrots", "oaks", None}
    assert all(h.node.ref_doc_id != "cats" for h in retrieve(index, "cats purr", k=10))

    ids = [n.node_id for n in store.get_nodes()]
    assert [n.node_id for n in store.get_nodes(node_ids=list(reversed(ids)))] == list(reversed(ids))
    store.delete_nodes(node_ids=["cat-2"])
    assert store.get_nodes(node_ids=["cat-2"]) == []
    # Ids and filters together: only the nodes that have both.
    store.delete_nodes(node_ids=ids, filters=MetadataFilters(filters=[MetadataFilter(key="kind", value="plant")]))
    assert {n.ref_doc_id for n in store.get_nodes()} == {"parrots"}

    store.clear()
    assert store.get_nodes() == [] and retrieve(index, "anything") == []
    store.close()


def test_reopen_in_a_new_process(tmp_path: Path) -> None:
    path = tmp_path / "li"
    store, index = build(path)
    expected = [h.node.node_id for h in retrieve(index, "oak trees")]
    store.close()
    script = f"""
import hashlib, sys
sys.path.insert(0, {str(Path(__file__).parent)!r})
from test_llama_index import WordEmbedding
from llama_index.core import Settings, VectorStoreIndex
from velmoradb.llama_index import VelmoraVectorStore
Settings.embed_model = WordEmbedding()
store = VelmoraVectorStore({str(path)!r})
index = VectorStoreIndex.from_vector_store(store)
hits = index.as_retriever(similarity_top_k=3).retrieve("oak trees")
print(",".join(h.node.node_id for h in hits))
print(hits[0].node.get_content())
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout.splitlines()
    assert out[0].split(",") == expected
    assert out[1] == "Oak trees grow slowly and live long."


def test_reopen_checks_the_metric_and_a_node_needs_an_embedding(tmp_path: Path) -> None:
    path = tmp_path / "li"
    store, _ = build(path)
    store.close()
    with pytest.raises(ValueError, match="has metric 'cosine', not 'dot'"):
        VelmoraVectorStore(path, metric="dot")
    with Collection.open(path) as c:
        assert len(c) == 3
    store = VelmoraVectorStore(path)
    with pytest.raises(ValueError, match="has no embedding"):
        store.add([TextNode(text="no vector", id_="x")])
    assert len(store.get_nodes()) == 3
    store.close()


@pytest.mark.parametrize("metric", ["cosine", "dot", "euclidean"])
def test_query_similarities_grow_with_nearness(tmp_path: Path, metric: str) -> None:
    store = VelmoraVectorStore(tmp_path / metric, metric=metric)
    nodes = [TextNode(text=str(i), id_=f"n{i}", embedding=[1.0, float(i)]) for i in range(5)]
    store.add(nodes)
    result = store.query(VectorStoreQuery(query_embedding=[1.0, 0.0], similarity_top_k=5))
    assert result.ids is not None and result.similarities is not None
    assert result.similarities == sorted(result.similarities, reverse=True)
    if metric != "dot":
        assert result.ids[0] == "n0"
    limited = store.query(VectorStoreQuery(query_embedding=[1.0, 0.0], similarity_top_k=5, node_ids=["n3", "n1"]))
    assert set(limited.ids or []) == {"n1", "n3"}
    store.close()


def test_the_example_runs() -> None:
    pytest.importorskip("sklearn")
    example = Path(__file__).parent.parent / "examples" / "llama_index_example.py"
    result = subprocess.run([sys.executable, str(example), "200"], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("200 nodes in ") and "reopened: [" in result.stdout


def test_a_closed_store_refuses_adds(tmp_path: Path) -> None:
    store = VelmoraVectorStore(tmp_path / "li")
    store.close()
    with pytest.raises(ValueError, match="the store is closed"):
        store.add([TextNode(text="x", id_="x", embedding=[1.0, 0.0])])
    assert not (tmp_path / "li" / "meta.json").exists()
