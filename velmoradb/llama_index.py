"""LlamaIndex vector store over a velmoradb collection directory.

    from llama_index.core import StorageContext, VectorStoreIndex
    from velmoradb.llama_index import VelmoraVectorStore
    store = VelmoraVectorStore("/data/notes")                # metric="cosine"
    index = VectorStoreIndex.from_documents(
        documents, storage_context=StorageContext.from_defaults(vector_store=store))

Each node is one record whose payload holds the node's id, its document's id,
the node itself as JSON (text and relationships, without the embedding) and
its metadata (see the `*_FIELD` names), so the store answers retrieval
without a docstore. The record's integer id comes from the node id (see
`velmoradb._stringids`). Needs the `llama-index` extra:
`pip install "velmoradb[llama-index]"`.
"""

from __future__ import annotations

import json
import os
import threading
from collections.abc import Sequence
from typing import Any

try:
    from llama_index.core.bridge.pydantic import PrivateAttr
    from llama_index.core.schema import BaseNode
    from llama_index.core.vector_stores.types import (
        BasePydanticVectorStore,
        FilterCondition,
        FilterOperator,
        MetadataFilter,
        MetadataFilters,
        VectorStoreQuery,
        VectorStoreQueryMode,
        VectorStoreQueryResult,
    )
    from llama_index.core.vector_stores.utils import metadata_dict_to_node
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(
        "velmoradb.llama_index needs llama-index-core: pip install 'velmoradb[llama-index]'"
    ) from error

from velmoradb import _stringids
from velmoradb._core import Collection, Record
from velmoradb._store_directory import check_metric, open_existing

__all__ = [
    "ID_FIELD",
    "METADATA_FIELD",
    "NODE_FIELD",
    "REF_DOC_ID_FIELD",
    "TYPE_FIELD",
    "VelmoraVectorStore",
    "where_from_filters",
]

ID_FIELD = "_li_id"
REF_DOC_ID_FIELD = "_li_ref_doc_id"
NODE_FIELD = "_li_node"
TYPE_FIELD = "_li_type"
METADATA_FIELD = "_li_metadata"


_COMPARISONS = {
    FilterOperator.EQ: "$eq",
    FilterOperator.NE: "$ne",
    FilterOperator.GT: "$gt",
    FilterOperator.GTE: "$gte",
    FilterOperator.LT: "$lt",
    FilterOperator.LTE: "$lte",
    FilterOperator.IN: "$in",
    FilterOperator.NIN: "$nin",
    # A field holding a list matches $in when one of its elements does.
    FilterOperator.ANY: "$in",
    # ... and an equality when one of its elements is equal.
    FilterOperator.CONTAINS: "$eq",
}
SUPPORTED_OPERATORS = (*_COMPARISONS, FilterOperator.ALL)


def where_from_filters(filters: MetadataFilters) -> dict[str, Any]:
    """`MetadataFilters` as a `where` filter over the records' metadata.

    Maps ==, !=, >, >=, <, <=, in, nin, any, all and contains, nested
    filters, and the conditions and, or and not. Raises ValueError for the
    operators the filter language has no equivalent of (text_match,
    text_match_insensitive, is_empty)."""
    parts = [
        where_from_filters(f) if isinstance(f, MetadataFilters) else _where_from_filter(f)
        for f in filters.filters
    ]
    condition = filters.condition or FilterCondition.AND
    if not parts:
        # No condition: every record; "not" of nothing is nothing.
        return {"$not": {}} if condition == FilterCondition.NOT else {}
    if condition == FilterCondition.OR:
        return {"$or": parts}
    combined = {"$and": parts} if len(parts) > 1 else parts[0]
    if condition == FilterCondition.NOT:
        return {"$not": combined}
    if condition == FilterCondition.AND:
        return combined
    raise ValueError(f"unsupported filter condition {condition.value!r}")


def _where_from_filter(f: MetadataFilter) -> dict[str, Any]:
    field = f"{METADATA_FIELD}.{f.key}"
    if f.operator == FilterOperator.ALL:
        if not isinstance(f.value, list) or not f.value:
            raise ValueError(f"filter on {f.key!r}: 'all' needs a non-empty list")
        return {"$and": [{field: {"$eq": v}} for v in f.value]}
    op = _COMPARISONS.get(f.operator)
    if op is None:
        supported = ", ".join(repr(o.value) for o in SUPPORTED_OPERATORS)
        raise ValueError(
            f"filter on {f.key!r}: operator {f.operator.value!r} is not supported by velmoradb "
            f"(supported: {supported})"
        )
    if op in ("$in", "$nin") and not isinstance(f.value, list):
        raise ValueError(f"filter on {f.key!r}: {f.operator.value!r} needs a list")
    return {field: {op: f.value}}


class VelmoraVectorStore(BasePydanticVectorStore):
    """A LlamaIndex vector store over one velmoradb collection directory.

    `path` is created when it holds no collection; the collection itself is
    created by the first `add`, with the dimension of the nodes' embeddings.
    An existing collection keeps its metric: opening it with another one is
    a `ValueError`. The store holds the directory open (and locked) until
    `close()`; it may be shared between threads.

    Query similarities are larger for nearer nodes: the cosine similarity
    (metric "cosine"), the dot product ("dot"), 1 / (1 + distance)
    ("euclidean").
    """

    stores_text: bool = True
    flat_metadata: bool = False

    _path: str = PrivateAttr()
    _metric: str = PrivateAttr()
    _collection: Collection | None = PrivateAttr(default=None)
    _lock: Any = PrivateAttr()
    _closed: bool = PrivateAttr(default=False)

    def __init__(self, path: str | os.PathLike[str], *, metric: str = "cosine") -> None:
        check_metric(metric)
        super().__init__(stores_text=True)
        self._path = os.fspath(path)
        self._metric = metric
        self._lock = threading.RLock()
        self._collection = open_existing(self._path, metric)

    @classmethod
    def class_name(cls) -> str:
        return "VelmoraVectorStore"

    @property
    def client(self) -> Collection | None:
        """The open collection, or None before the first add created it."""
        return self._collection

    @property
    def path(self) -> str:
        return self._path

    @property
    def metric(self) -> str:
        return self._metric

    def close(self) -> None:
        """Closes the collection and releases the directory; idempotent."""
        with self._lock:
            self._closed = True
            if self._collection is not None:
                self._collection.close()

    # --- writing --------------------------------------------------------------

    def add(self, nodes: Sequence[BaseNode], **kwargs: Any) -> list[str]:
        """Stores the nodes with their embeddings; a node whose id is already
        stored is replaced. Returns the node ids."""
        if not nodes:
            return []
        last = {node.node_id: node for node in nodes}  # a node given twice: the last one
        keys = list(last)
        vectors: list[list[float]] = []
        payloads: list[dict[str, Any]] = []
        for key in keys:
            node = last[key]
            if node.embedding is None:
                raise ValueError(f"node {key!r} has no embedding")
            vectors.append(node.embedding)
            payloads.append(_payload(node))
        with self._lock:
            if self._closed:
                raise ValueError("the store is closed")
            if self._collection is None:
                self._collection = Collection.open_or_create(self._path, len(vectors[0]), self._metric)
            numeric = _stringids.place(self._collection, ID_FIELD, keys)
            self._collection.insert_batch(numeric, vectors, payloads)
        return [node.node_id for node in nodes]

    def delete(self, ref_doc_id: str, **delete_kwargs: Any) -> None:
        """Deletes every node of the document `ref_doc_id`."""
        self._delete_where({REF_DOC_ID_FIELD: {"$eq": ref_doc_id}})

    def delete_nodes(
        self,
        node_ids: list[str] | None = None,
        filters: MetadataFilters | None = None,
        **delete_kwargs: Any,
    ) -> None:
        """Deletes the nodes with these ids that match `filters` (either may
        be None: no condition; both None deletes nothing)."""
        if node_ids is None and filters is None:
            return
        self._delete_where(_where(node_ids, filters))

    def clear(self) -> None:
        """Deletes every node."""
        self._delete_where({})

    def _delete_where(self, where: dict[str, Any]) -> None:
        with self._lock:
            if self._collection is not None:
                self._collection.delete_batch(self._collection.ids(where=where))

    # --- reading --------------------------------------------------------------

    def get_nodes(
        self, node_ids: list[str] | None = None, filters: MetadataFilters | None = None
    ) -> list[BaseNode]:
        """The stored nodes with these ids (in that order) that match
        `filters`; every node when both are None."""
        if self._collection is None:
            return []
        ids = self._collection.ids(where=_where(node_ids, filters))
        records = [r for r in self._collection.get_batch(ids) if r is not None]
        if node_ids is not None:
            order = {key: i for i, key in enumerate(node_ids)}
            records.sort(key=lambda r: order.get(r.payload.get(ID_FIELD, ""), len(order)))
        return [_node(r) for r in records]

    def query(self, query: VectorStoreQuery, **kwargs: Any) -> VectorStoreQueryResult:
        """The `similarity_top_k` nearest nodes to `query_embedding`, among
        those matching `filters`, `doc_ids` and `node_ids` (each when given
        and not empty)."""
        if query.mode != VectorStoreQueryMode.DEFAULT:
            raise ValueError(f"query mode {query.mode.value!r} is not supported by velmoradb (only 'default')")
        if query.query_embedding is None:
            raise ValueError("the query has no query_embedding")
        # An empty node_ids or doc_ids is no restriction: VectorStoreIndex
        # passes the node ids it keeps itself, none for a store that keeps text.
        where = _where(query.node_ids or None, query.filters)
        if query.doc_ids:
            where = {"$and": [where, {REF_DOC_ID_FIELD: {"$in": list(query.doc_ids)}}]}
        if self._collection is None or query.similarity_top_k <= 0:
            return VectorStoreQueryResult(nodes=[], similarities=[], ids=[])
        hits = self._collection.search(query.query_embedding, query.similarity_top_k, where=where)
        records = self._collection.get_batch([i for i, _ in hits])
        nodes: list[BaseNode] = []
        similarities: list[float] = []
        for record, (_, distance) in zip(records, hits):
            if record is None:
                continue
            nodes.append(_node(record))
            similarities.append(self._similarity(distance))
        return VectorStoreQueryResult(nodes=nodes, similarities=similarities, ids=[n.node_id for n in nodes])

    def _similarity(self, distance: float) -> float:
        if self._metric == "cosine":
            return 1.0 - distance
        if self._metric == "dot":
            return -distance
        return 1.0 / (1.0 + distance)


def _where(node_ids: Sequence[str] | None, filters: MetadataFilters | None) -> dict[str, Any]:
    parts: list[dict[str, Any]] = []
    if node_ids is not None:
        parts.append({ID_FIELD: {"$in": list(node_ids)}})
    if filters is not None:
        parts.append(where_from_filters(filters))
    if not parts:
        return {}
    return parts[0] if len(parts) == 1 else {"$and": parts}


def _payload(node: BaseNode) -> dict[str, Any]:
    # JSON mode: every value becomes one a payload can hold (an int stays an int).
    node_dict = node.model_dump(mode="json")
    node_dict["embedding"] = None
    metadata = node_dict.get("metadata") or {}
    return {
        ID_FIELD: node.node_id,
        REF_DOC_ID_FIELD: node.ref_doc_id,
        NODE_FIELD: json.dumps(node_dict, ensure_ascii=False),
        TYPE_FIELD: node.class_name(),
        METADATA_FIELD: metadata,
    }


def _node(record: Record) -> BaseNode:
    payload = record.payload
    node = metadata_dict_to_node({"_node_content": payload[NODE_FIELD], "_node_type": payload.get(TYPE_FIELD)})
    node.embedding = record.vector
    return node
