"""Search the standard library's docstrings through LlamaIndex.

Run after `pip install ".[llama-index,demo]"`:  python examples/llama_index_example.py

The texts are those of `velmoradb demo text`; the embedding is TF-IDF then
truncated SVD (scikit-learn), fitted on the texts here, so nothing is
downloaded. Any LlamaIndex embedding takes its place unchanged.
"""

from __future__ import annotations

import sys
import tempfile
from pathlib import Path
from typing import Any

from llama_index.core import Document, Settings, StorageContext, VectorStoreIndex
from llama_index.core.embeddings import BaseEmbedding
from llama_index.core.vector_stores.types import FilterOperator, MetadataFilter, MetadataFilters
from sklearn.decomposition import TruncatedSVD
from sklearn.feature_extraction.text import TfidfVectorizer
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import Normalizer

from velmoradb.demo_text import collect_texts
from velmoradb.llama_index import VelmoraVectorStore


class FittedEmbedding(BaseEmbedding):
    """TF-IDF and an SVD fitted on a corpus; unit-length vectors."""

    def __init__(self, corpus: list[str], components: int = 128) -> None:
        super().__init__(model_name="tfidf-svd")
        model: Any = make_pipeline(
            TfidfVectorizer(stop_words="english", sublinear_tf=True, min_df=2),
            TruncatedSVD(n_components=components, random_state=0),
            Normalizer(),
        )
        model.fit(corpus)
        self._model = model

    def _embed(self, text: str) -> list[float]:
        return [float(x) for x in self._model.transform([text])[0]]

    def _get_query_embedding(self, query: str) -> list[float]:
        return self._embed(query)

    async def _aget_query_embedding(self, query: str) -> list[float]:
        return self._embed(query)

    def _get_text_embedding(self, text: str) -> list[float]:
        return self._embed(text)

    def _get_text_embeddings(self, texts: list[str]) -> list[list[float]]:
        return [[float(x) for x in row] for row in self._model.transform(texts)]


def main(limit: int | None = None) -> None:
    texts = collect_texts()[:limit]
    Settings.embed_model = FittedEmbedding([t.text for t in texts], components=min(128, len(texts) // 4))
    documents = [
        Document(
            text=t.text,
            doc_id=t.name,
            metadata={"name": t.name, "module": t.module, "kind": t.kind},
            excluded_embed_metadata_keys=["name", "module", "kind"],  # embed the docstring alone
        )
        for t in texts
    ]
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "docstrings"
        store = VelmoraVectorStore(path)
        index = VectorStoreIndex.from_documents(
            documents, storage_context=StorageContext.from_defaults(vector_store=store)
        )
        print(f"{len(store.get_nodes())} nodes in {path}")

        question = "pick a random element from a sequence"
        print(f"\n? {question}")
        for hit in index.as_retriever(similarity_top_k=3).retrieve(question):
            print(f"  {hit.score or 0.0:.3f}  {hit.node.ref_doc_id}: {hit.node.get_content().splitlines()[0]}")

        question = "remove a directory tree"
        print(f"\n? {question}  (os and shutil only)")
        only = MetadataFilters(filters=[MetadataFilter(key="module", value=["os", "shutil"], operator=FilterOperator.IN)])
        for hit in index.as_retriever(similarity_top_k=3, filters=only).retrieve(question):
            print(f"  {hit.node.ref_doc_id}: {hit.node.get_content().splitlines()[0]}")

        store.delete("shutil.rmtree")  # every node of that document
        print("\nafter deleting shutil.rmtree:")
        for hit in index.as_retriever(similarity_top_k=3, filters=only).retrieve(question):
            print(f"  {hit.node.ref_doc_id}")
        store.close()

        # The directory is the database: an index over a new store answers alone.
        reopened = VelmoraVectorStore(path)
        hits = VectorStoreIndex.from_vector_store(reopened).as_retriever(similarity_top_k=1).retrieve(
            "choose a random item from a sequence"
        )
        print(f"\nreopened: {[hit.node.ref_doc_id for hit in hits]}")
        reopened.close()


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else None)
