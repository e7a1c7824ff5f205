"""LanceDB: a table with no vector index, so every search is an exact scan.

Rows go in as Arrow tables (`create_table` with the first batch, `add` for
the rest): id int64, tag string, vector fixed_size_list<float32>[d]. LanceDB
has no call that forces its files to disk; `make_durable` has nothing to
call. A batch is one multi-vector query (`search([q1, q2, ...])`, one result
row set per query_index); a filter is a prefilter `where("tag = 't3'")`.
"""

from __future__ import annotations

from typing import ClassVar

import numpy as np

from . import Store, tags_for

TABLE = "vectors"


class LanceStore(Store):
    name = "lancedb"
    native_batch = True
    # LANCE_IO_THREADS stays at its default: with one I/O thread the writer
    # of this version hangs now and then (always under strace).
    one_thread_env: ClassVar[dict[str, str]] = {"LANCE_CPU_THREADS": "1"}
    durability = "none: LanceDB offers no call that forces its files to disk"
    thread_caveat = "LANCE_CPU_THREADS=1; its I/O threads keep their default number (one of them hangs the writer)"

    def __init__(self, path, dim, threads):
        super().__init__(path, dim, threads)
        import lancedb
        import pyarrow as pa

        if threads == 1:
            pa.set_cpu_count(1)
            pa.set_io_thread_count(1)
        self.lancedb = lancedb
        self.pa = pa
        self.db = None
        self.table = None

    def version(self):
        return self.lancedb.__version__

    def _arrow(self, data, start, stop):
        pa = self.pa
        flat = pa.array(np.ascontiguousarray(data[start:stop]).reshape(-1))
        return pa.table({
            "id": pa.array(np.arange(start, stop, dtype=np.int64)),
            "tag": pa.array(tags_for(start, stop), pa.string()),
            "vector": pa.FixedSizeListArray.from_arrays(flat, self.dim),
        })

    def load(self, data, batch):
        self.db = self.lancedb.connect(self.path)
        for start in range(0, len(data), batch):
            rows = self._arrow(data, start, min(start + batch, len(data)))
            if self.table is None:
                self.table = self.db.create_table(TABLE, data=rows)
            else:
                self.table.add(rows)

    def open(self):
        self.db = self.lancedb.connect(self.path)
        self.table = self.db.open_table(TABLE)

    def _query(self, query, k):
        return self.table.search(query).limit(k).select(["id", "_distance"])

    def search(self, query, k):
        return self._query(query, k).to_arrow().column("id").to_pylist()

    def search_batch(self, queries, k):
        result = self._query(list(queries), k).to_arrow()
        which = result.column("query_index").to_numpy()
        ids = result.column("id").to_numpy()
        dist = result.column("_distance").to_numpy()
        order = np.lexsort((dist, which))
        out = [[] for _ in range(len(queries))]
        for row in order:
            out[which[row]].append(int(ids[row]))
        return out

    def search_filtered(self, query, k, tag):
        q = self._query(query, k).where(f"tag = '{tag}'", prefilter=True)
        return q.to_arrow().column("id").to_pylist()

    def close(self):
        self.table = None
        self.db = None
