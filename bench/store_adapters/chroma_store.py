"""Chroma: `PersistentClient`, one collection, its HNSW index (approximate).

Chroma has no exact search: its answers come from an HNSW graph with the
default parameters (M 16, ef_construction 100, ef_search 100), so the run
reports its recall against the exact answer beside its times. Rows go in
through `add` (string ids, the embeddings as an array, a metadata dict
with the tag) in batches of at most the client's maximum batch size; a
batch of queries is one `query` call; a filter is `where={"tag": ...}`.
Chroma offers no flush: each `add` commits the rows to its SQLite log
(forced to disk by SQLite); the HNSW files are written behind it and are
not forced.
"""

from __future__ import annotations

from . import Store, tags_for

COLLECTION = "vectors"


class ChromaStore(Store):
    name = "chroma"
    exact = False
    native_batch = True
    durability = "each add() commits its SQLite log (fsync); the HNSW files are not forced (rebuilt from the log)"
    thread_caveat = "num_threads=1 is passed in the HNSW configuration; the Rust core keeps its own runtime threads"

    def __init__(self, path, dim, threads):
        super().__init__(path, dim, threads)
        import chromadb
        from chromadb.config import Settings

        self.chromadb = chromadb
        self.settings = Settings(anonymized_telemetry=False, allow_reset=False)
        self.client = None
        self.col = None

    def version(self):
        return self.chromadb.__version__

    def _client(self):
        return self.chromadb.PersistentClient(path=self.path, settings=self.settings)

    def load(self, data, batch):
        self.client = self._client()
        hnsw = {"space": "l2"}
        if self.threads == 1:
            hnsw["num_threads"] = 1
        self.col = self.client.create_collection(COLLECTION, configuration={"hnsw": hnsw}, embedding_function=None)
        batch = min(batch, self.client.get_max_batch_size())
        for start in range(0, len(data), batch):
            stop = min(start + batch, len(data))
            self.col.add(
                ids=[str(i) for i in range(start, stop)],
                embeddings=data[start:stop],
                metadatas=[{"tag": t} for t in tags_for(start, stop)],
            )

    def open(self):
        self.client = self._client()
        self.col = self.client.get_collection(COLLECTION, embedding_function=None)

    def search(self, query, k):
        r = self.col.query(query_embeddings=query[None, :], n_results=k, include=["distances"])
        return [int(i) for i in r["ids"][0]]

    def search_batch(self, queries, k):
        r = self.col.query(query_embeddings=queries, n_results=k, include=["distances"])
        return [[int(i) for i in row] for row in r["ids"]]

    def search_filtered(self, query, k, tag):
        r = self.col.query(query_embeddings=query[None, :], n_results=k, where={"tag": tag}, include=["distances"])
        return [int(i) for i in r["ids"][0]]

    def close(self):
        self.col = None
        self.client = None
