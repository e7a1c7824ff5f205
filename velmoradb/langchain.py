"""LangChain vector store over a velmoradb collection directory.

    from velmoradb.langchain import VelmoraVectorStore
    store = VelmoraVectorStore("/data/notes", embeddings)   # metric="cosine"
    store.add_texts(["..."], metadatas=[{"topic": "db"}])
    store.similarity_search("...", k=4, filter={"topic": "db"})

Each LangChain document is one record whose payload holds the document's
string id, its text and its metadata (see `ID_FIELD`, `TEXT_FIELD`,
`METADATA_FIELD`), so all three come back exactly as they were given: an int
stays an int. The record's integer id comes from the string id (see
`velmoradb._stringids`). Needs the `langchain` extra:
`pip install "velmoradb[langchain]"`.
"""

from __future__ import annotations

import math
import os
import threading
import uuid
from collections.abc import Callable, Iterable, Mapping, Sequence
from types import TracebackType
from typing import Any

try:
    from langchain_core.documents import Document
    from langchain_core.embeddings import Embeddings
    from langchain_core.vectorstores import VectorStore
    from langchain_core.vectorstores.utils import maximal_marginal_relevance
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(
        "velmoradb.langchain needs langchain-core: pip install 'velmoradb[langchain]'"
    ) from error

from typing_extensions import Self

from velmoradb import _stringids
from velmoradb._core import Collection
from velmoradb._store_directory import check_metric, open_existing

__all__ = ["ID_FIELD", "METADATA_FIELD", "TEXT_FIELD", "VelmoraVectorStore", "relevance_score"]

ID_FIELD = "_lc_id"
TEXT_FIELD = "_lc_text"
METADATA_FIELD = "_lc_metadata"


PathArg = str | os.PathLike[str]


def relevance_score(metric: str, distance: float) -> float:
    """A distance of `metric` as a relevance score in [0, 1], 1 the best.

    cosine: 1 - distance / 2 (the distance is 1 - cosine similarity, in
    [0, 2]); euclidean: 1 / (1 + distance); dot: the logistic function of the
    dot product, 1 / (1 + exp(distance)) (the distance is the negated
    product). Each keeps the order of the distances."""
    if metric == "cosine":
        return min(1.0, max(0.0, 1.0 - distance / 2.0))
    if metric == "euclidean":
        return 1.0 / (1.0 + distance)
    if metric == "dot":
        if distance > 700.0:  # exp would overflow; the score is 0 to double precision
            return 0.0
        return 1.0 / (1.0 + math.exp(distance))
    raise ValueError(f"unknown metric {metric!r} (expected one of 'euclidean', 'cosine', 'dot')")


def metadata_filter(where: Mapping[str, Any]) -> dict[str, Any]:
    """A filter on documents' metadata, in the language of `Collection`'s
    `where`, rewritten for the records: every field name is moved under
    `METADATA_FIELD`. Operators and their arguments are left as they are;
    the collection checks the whole filter."""
    if not isinstance(where, Mapping):
        raise TypeError(f"filter must be a dict, not {type(where).__name__}")
    rewritten: dict[str, Any] = {}
    for key, value in where.items():
        if key in ("$and", "$or") and isinstance(value, (list, tuple)):
            rewritten[key] = [metadata_filter(f) if isinstance(f, Mapping) else f for f in value]
        elif key == "$not" and isinstance(value, Mapping):
            rewritten[key] = metadata_filter(value)
        elif isinstance(key, str) and not key.startswith("$"):
            rewritten[f"{METADATA_FIELD}.{key}"] = value
        else:
            rewritten[key] = value
    return rewritten


class VelmoraVectorStore(VectorStore):
    """A LangChain `VectorStore` over one velmoradb collection directory.

    `path` is created when it holds no collection; the collection itself is
    created by the first add, with the dimension of the embeddings. An
    existing collection keeps its metric: opening it with another one is a
    `ValueError`. The store holds the directory open (and locked) until
    `close()`; it may be shared between threads.
    """

    def __init__(self, path: PathArg, embedding: Embeddings, *, metric: str = "cosine") -> None:
        check_metric(metric)
        self._path = os.fspath(path)
        self._embedding = embedding
        self._metric = metric
        self._write_lock = threading.RLock()
        self._closed = False
        self._collection: Collection | None = open_existing(self._path, metric)

    # --- properties and lifetime -------------------------------------------

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def path(self) -> str:
        return self._path

    @property
    def metric(self) -> str:
        return self._metric

    @property
    def collection(self) -> Collection | None:
        """The open collection, or None before the first add created it."""
        return self._collection

    def close(self) -> None:
        """Closes the collection and releases the directory; idempotent."""
        with self._write_lock:
            self._closed = True
            if self._collection is not None:
                self._collection.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    def __len__(self) -> int:
        return 0 if self._collection is None else len(self._collection)

    def _writable(self, dimension: int) -> Collection:
        """The collection, created with `dimension` if there is none yet."""
        if self._closed:
            raise ValueError("the store is closed")
        if self._collection is None:
            self._collection = Collection.open_or_create(self._path, dimension, self._metric)
        return self._collection

    # --- writing --------------------------------------------------------------

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: list[dict[Any, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        **kwargs: Any,
    ) -> list[str]:
        """Embeds and stores the texts; a text whose id is already stored
        replaces that document. Returns the ids (UUIDs where none was given)."""
        texts = list(texts)
        if metadatas is not None and len(metadatas) != len(texts):
            raise ValueError(f"{len(texts)} texts but {len(metadatas)} metadatas")
        if ids is not None and len(ids) != len(texts):
            raise ValueError(f"{len(texts)} texts but {len(ids)} ids")
        string_ids = [
            _check_id(given) if given is not None else str(uuid.uuid4())
            for given in (ids if ids is not None else [None] * len(texts))
        ]
        if not texts:
            return []
        payloads = [
            {
                ID_FIELD: string_id,
                TEXT_FIELD: text,
                METADATA_FIELD: dict(metadatas[i]) if metadatas is not None and metadatas[i] else {},
            }
            for i, (string_id, text) in enumerate(zip(string_ids, texts))
        ]
        vectors = self._embedding.embed_documents(texts)
        self._write(string_ids, vectors, payloads)
        return string_ids

    def add_documents(self, documents: list[Document], **kwargs: Any) -> list[str]:
        """Stores the documents under `ids=` if given, else their own ids
        (UUIDs for those without one). The documents are not changed."""
        ids = kwargs.pop("ids", None)
        if ids is None:
            ids = [doc.id for doc in documents]
        return self.add_texts(
            [doc.page_content for doc in documents],
            [doc.metadata for doc in documents],
            ids=ids,
            **kwargs,
        )

    def _write(self, string_ids: list[str], vectors: Sequence[Sequence[float]], payloads: list[dict[str, Any]]) -> None:
        # A string id given twice in one call is stored once, with its last text.
        last = {string_id: i for i, string_id in enumerate(string_ids)}
        rows = sorted(last.values())
        keys = [string_ids[i] for i in rows]
        with self._write_lock:
            collection = self._writable(len(vectors[0]))
            numeric = _stringids.place(collection, ID_FIELD, keys)
            collection.insert_batch(numeric, [vectors[i] for i in rows], [payloads[i] for i in rows])

    def delete(self, ids: list[str] | None = None, **kwargs: Any) -> bool | None:
        """Deletes the documents with these ids (missing ones are no error);
        every document when `ids` is None."""
        with self._write_lock:
            if self._collection is None:
                return True
            if ids is None:
                self._collection.delete_batch(self._collection.ids())
                return True
            found = _stringids.locate(self._collection, ID_FIELD, [_check_id(i) for i in ids])
            self._collection.delete_batch(list(found.values()))
            return True

    # --- reading --------------------------------------------------------------

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        """The stored documents with these ids, in the order of `ids`; ids
        without a document are left out."""
        if self._collection is None or not ids:
            return []
        found = _stringids.locate(self._collection, ID_FIELD, [_check_id(i) for i in ids])
        records = self._collection.get_batch([found[i] for i in ids if i in found])
        return [_document(r.payload) for r in records if r is not None]

    def similarity_search(
        self, query: str, k: int = 4, filter: Mapping[str, Any] | None = None, **kwargs: Any
    ) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score(query, k, filter=filter, **kwargs)]

    def similarity_search_with_score(
        self, query: str, k: int = 4, filter: Mapping[str, Any] | None = None, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        """The k nearest documents with their distances (smaller is nearer)."""
        return self.similarity_search_with_score_by_vector(
            self._embedding.embed_query(query), k, filter=filter, **kwargs
        )

    def similarity_search_by_vector(
        self, embedding: list[float], k: int = 4, filter: Mapping[str, Any] | None = None, **kwargs: Any
    ) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score_by_vector(embedding, k, filter=filter)]

    def similarity_search_with_score_by_vector(
        self, embedding: Sequence[float], k: int = 4, filter: Mapping[str, Any] | None = None, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        hits = self._search(embedding, k, filter)
        if not hits:
            return []
        collection = self._collection
        assert collection is not None  # _search found hits in it
        records = collection.get_batch([i for i, _ in hits])
        return [(_document(r.payload), d) for r, (_, d) in zip(records, hits) if r is not None]

    def _search(self, embedding: Sequence[float], k: int, where: Mapping[str, Any] | None) -> list[tuple[int, float]]:
        if k < 0:
            raise ValueError(f"k must not be negative, got {k}")
        if self._collection is None or k == 0:
            return []
        translated = metadata_filter(where) if where is not None else None
        return self._collection.search(embedding, k, where=translated)

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        metric = self._metric
        return lambda distance: relevance_score(metric, distance)

    def max_marginal_relevance_search(
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: Mapping[str, Any] | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        return self.max_marginal_relevance_search_by_vector(
            self._embedding.embed_query(query), k, fetch_k, lambda_mult, filter=filter, **kwargs
        )

    def max_marginal_relevance_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: Mapping[str, Any] | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        """Fetches the `fetch_k` nearest documents, then picks `k` of them by
        maximal marginal relevance, computed on their stored vectors."""
        import numpy as np

        hits = self._search(embedding, max(fetch_k, k), filter)
        if not hits or k <= 0:
            return []
        collection = self._collection
        assert collection is not None
        records = [r for r in collection.get_batch([i for i, _ in hits]) if r is not None]
        chosen = maximal_marginal_relevance(
            np.asarray(embedding, dtype=np.float32),
            [r.vector for r in records],
            lambda_mult=lambda_mult,
            k=min(k, len(records)),
        )
        return [_document(records[i].payload) for i in chosen]

    # --- construction ---------------------------------------------------------

    @classmethod
    def from_texts(
        cls,
        texts: list[str],
        embedding: Embeddings,
        metadatas: list[dict[Any, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        path: PathArg | None = None,
        metric: str = "cosine",
        **kwargs: Any,
    ) -> VelmoraVectorStore:
        """A store over the collection directory `path` (required), with
        these texts added."""
        if path is None:
            raise TypeError("from_texts needs the collection directory: path=...")
        store = cls(path, embedding, metric=metric)
        store.add_texts(texts, metadatas, ids=ids)
        return store

    @classmethod
    def from_documents(cls, documents: list[Document], embedding: Embeddings, **kwargs: Any) -> Self:
        """A store over the collection directory `path=` (required), with
        these documents added under their own ids (or `ids=`)."""
        path = kwargs.pop("path", None)
        if path is None:
            raise TypeError("from_documents needs the collection directory: path=...")
        store = cls(path, embedding, metric=kwargs.pop("metric", "cosine"))
        store.add_documents(documents, **kwargs)
        return store


def _check_id(string_id: object) -> str:
    if not isinstance(string_id, str):
        raise TypeError(f"document ids must be str, got {type(string_id).__name__} {string_id!r}")
    return string_id


def _document(payload: Mapping[str, Any]) -> Document:
    metadata = payload.get(METADATA_FIELD)
    return Document(
        id=payload.get(ID_FIELD),
        page_content=payload.get(TEXT_FIELD, ""),
        metadata=metadata if isinstance(metadata, dict) else {},
    )
