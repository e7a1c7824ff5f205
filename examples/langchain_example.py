"""Search the standard library's docstrings through LangChain.

Run after `pip install ".[langchain,demo]"`:  python examples/langchain_example.py

The texts are those of `velmoradb demo text`; the embeddings are TF-IDF then
truncated SVD (scikit-learn), fitted on the texts here, so nothing is
downloaded. Any LangChain `Embeddings` takes their place unchanged.
"""

from __future__ import annotations

import sys
import tempfile
from pathlib import Path
from typing import Any

from langchain_core.embeddings import Embeddings
from sklearn.decomposition import TruncatedSVD
from sklearn.feature_extraction.text import TfidfVectorizer
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import Normalizer

from velmoradb.demo_text import collect_texts
from velmoradb.langchain import VelmoraVectorStore


class FittedEmbeddings(Embeddings):
    """TF-IDF and a 128-component SVD fitted on a corpus; unit-length vectors."""

    def __init__(self, corpus: list[str], components: int = 128) -> None:
        self._model: Any = make_pipeline(
            TfidfVectorizer(stop_words="english", sublinear_tf=True, min_df=2),
            TruncatedSVD(n_components=components, random_state=0),
            Normalizer(),
        )
        self._model.fit(corpus)

    def embed_documents(self, texts: list[str]) -> list[list[float]]:
        return [[float(x) for x in row] for row in self._model.transform(texts)]

    def embed_query(self, text: str) -> list[float]:
        return self.embed_documents([text])[0]


def main(limit: int | None = None) -> None:
    texts = collect_texts()[:limit]
    embeddings = FittedEmbeddings([t.text for t in texts], components=min(128, len(texts) // 4))
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "docstrings"
        store = VelmoraVectorStore.from_texts(
            [t.text for t in texts],
            embeddings,
            metadatas=[{"name": t.name, "module": t.module, "kind": t.kind} for t in texts],
            ids=[t.name for t in texts],  # the qualified name is the document id
            path=path,
        )
        print(f"{len(store)} docstrings in {path}")

        question = "pick a random element from a sequence"
        print(f"\n? {question}")
        for doc, score in store.similarity_search_with_relevance_scores(question, k=3):
            print(f"  {score:.3f}  {doc.id}: {doc.page_content.splitlines()[0]}")

        question = "remove a directory tree"
        print(f"\n? {question}  (functions of os and shutil only)")
        where = {"module": {"$in": ["os", "shutil"]}, "kind": "function"}
        for doc in store.similarity_search(question, k=3, filter=where):
            print(f"  {doc.id}: {doc.page_content.splitlines()[0]}")

        retriever = store.as_retriever(search_type="mmr", search_kwargs={"k": 3, "fetch_k": 20})
        print("\n? wait for a task to finish  (maximal marginal relevance: varied hits)")
        for doc in retriever.invoke("wait for a task to finish"):
            print(f"  {doc.id} ({doc.metadata['module']})")
        store.close()

        # The directory is the database: a new store over it finds everything.
        with VelmoraVectorStore(path, embeddings) as reopened:
            for doc in reopened.get_by_ids(["json.loads"]):
                print(f"\nreopened: {doc.id} is a {doc.metadata['kind']} of {doc.metadata['module']}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else None)
