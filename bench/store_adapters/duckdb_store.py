"""DuckDB: brute force in SQL over a FLOAT[d] array column.

`CREATE TABLE vectors(id BIGINT, tag VARCHAR, vec FLOAT[d])`, filled from
Arrow tables (one INSERT, so one committed transaction, per batch) and
checkpointed at the end. A query is
`SELECT id FROM vectors ORDER BY array_distance(vec, $q::FLOAT[d]) LIMIT k`
(DuckDB's top-N over the euclidean distance), the filter a WHERE on tag.
DuckDB has no batch form of this query: a batch is a loop.
"""

from __future__ import annotations

import os

import numpy as np

from . import Store, tags_for

TABLE = "vectors"


class DuckdbStore(Store):
    name = "duckdb"
    durability = "each commit: fsync of its write-ahead log; CHECKPOINT writes and forces the database file"

    def __init__(self, path, dim, threads):
        super().__init__(path, dim, threads)
        import duckdb
        import pyarrow as pa

        if threads == 1:
            pa.set_cpu_count(1)
            pa.set_io_thread_count(1)
        self.duckdb = duckdb
        self.pa = pa
        self.file = os.path.join(path, "vectors.duckdb")
        self.con = None
        order = f"ORDER BY array_distance(vec, $q::FLOAT[{dim}]) LIMIT $k"
        self.knn = f"SELECT id FROM {TABLE} {order}"
        self.knn_where = f"SELECT id FROM {TABLE} WHERE tag = $tag {order}"

    def version(self):
        return self.duckdb.__version__

    def _connect(self):
        os.makedirs(self.path, exist_ok=True)
        con = self.duckdb.connect(self.file)
        if self.threads == 1:
            con.execute("SET threads = 1")
        return con

    def load(self, data, batch):
        pa = self.pa
        self.con = self._connect()
        self.con.execute(f"CREATE TABLE {TABLE}(id BIGINT, tag VARCHAR, vec FLOAT[{self.dim}])")
        for start in range(0, len(data), batch):
            stop = min(start + batch, len(data))
            flat = pa.array(np.ascontiguousarray(data[start:stop]).reshape(-1))
            rows = pa.table({
                "id": pa.array(np.arange(start, stop, dtype=np.int64)),
                "tag": pa.array(tags_for(start, stop), pa.string()),
                "vec": pa.FixedSizeListArray.from_arrays(flat, self.dim),
            })
            self.con.register("batch_rows", rows)
            self.con.execute(f"INSERT INTO {TABLE} SELECT id, tag, vec FROM batch_rows")
            self.con.unregister("batch_rows")

    def make_durable(self):
        self.con.execute("CHECKPOINT")

    def open(self):
        self.con = self._connect()

    def search(self, query, k):
        return [row[0] for row in self.con.execute(self.knn, {"q": query, "k": k}).fetchall()]

    def search_filtered(self, query, k, tag):
        return [row[0] for row in self.con.execute(self.knn_where, {"q": query, "k": k, "tag": tag}).fetchall()]

    def close(self):
        if self.con is not None:
            self.con.close()
            self.con = None
