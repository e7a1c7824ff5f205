"""sqlite-vec through Python's sqlite3: a vec0 virtual table, exact KNN.

`CREATE VIRTUAL TABLE v USING vec0(embedding float[d], tag text)`: the tag is
a metadata column, which vec0 filters inside its KNN query. Every batch of
rows is one transaction (executemany of rowid, float32 blob, tag); with
SQLite's defaults (rollback journal, synchronous=FULL) each commit forces
the database and its journal to disk. SQLite has no batch query: a batch is
a loop of single queries.

Python's own sqlite3 is used when the interpreter was built with extension
loading; otherwise pysqlite3 (the same module, built with a current SQLite
that can load extensions), and the run says so.
"""

from __future__ import annotations

import os

import numpy as np

from . import TAGS, Store

TABLE = "vectors"


def _sqlite_module():
    import sqlite3

    if hasattr(sqlite3.Connection, "enable_load_extension"):
        return sqlite3, "sqlite3"
    try:
        from pysqlite3 import dbapi2
    except ImportError as e:
        raise ImportError("this Python's sqlite3 cannot load extensions and pysqlite3 is not installed "
                          "(pip install pysqlite3-binary)") from e
    return dbapi2, "pysqlite3 (this Python's sqlite3 cannot load extensions)"


class SqliteVecStore(Store):
    name = "sqlite-vec"
    durability = "each commit: fsync of the database and its rollback journal (SQLite defaults)"
    thread_caveat = "SQLite answers a query on the calling thread: one thread in both tables"

    def __init__(self, path, dim, threads):
        super().__init__(path, dim, threads)
        import sqlite_vec

        self.sqlite_vec = sqlite_vec
        self.sqlite, how = _sqlite_module()
        if how != "sqlite3":
            self.notes.append(f"driver: {how}")
        self.file = os.path.join(path, "vectors.sqlite")
        self.conn = None
        self.knn = f"SELECT rowid FROM {TABLE} WHERE embedding MATCH ? AND k = ? ORDER BY distance"
        self.knn_where = f"SELECT rowid FROM {TABLE} WHERE embedding MATCH ? AND k = ? AND tag = ? ORDER BY distance"

    def version(self):
        return f"{self.sqlite_vec.__version__} (SQLite {self.sqlite.sqlite_version})"

    def _connect(self):
        os.makedirs(self.path, exist_ok=True)
        conn = self.sqlite.connect(self.file)
        conn.enable_load_extension(True)
        self.sqlite_vec.load(conn)
        conn.enable_load_extension(False)
        return conn

    def load(self, data, batch):
        self.conn = self._connect()
        self.conn.execute(f"CREATE VIRTUAL TABLE {TABLE} USING vec0(embedding float[{self.dim}], tag text)")
        self.conn.commit()
        sql = f"INSERT INTO {TABLE}(rowid, embedding, tag) VALUES (?, ?, ?)"
        for start in range(0, len(data), batch):
            block = np.ascontiguousarray(data[start:start + batch])
            rows = ((start + j, block[j].tobytes(), TAGS[(start + j) % 10]) for j in range(len(block)))
            with self.conn:  # one transaction per batch, committed on exit
                self.conn.executemany(sql, rows)

    def open(self):
        self.conn = self._connect()

    def search(self, query, k):
        blob = np.ascontiguousarray(query, dtype=np.float32).tobytes()
        return [row[0] for row in self.conn.execute(self.knn, (blob, k))]

    def search_filtered(self, query, k, tag):
        blob = np.ascontiguousarray(query, dtype=np.float32).tobytes()
        return [row[0] for row in self.conn.execute(self.knn_where, (blob, k, tag))]

    def close(self):
        if self.conn is not None:
            self.conn.close()
            self.conn = None
