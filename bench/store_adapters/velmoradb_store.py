"""velmoradb: `velmoradb.Collection`, insert_batch + flush, exact search.

Two capabilities are probed rather than assumed, on a scratch collection:
payloads with a filtered search (`insert_batch(..., payloads=...)` and
`search(query, k, where=...)`) and a thread count for batches
(`search_batch(..., threads=...)`). Where the class has them, the tag is
written as a payload and the filtered figure is measured; where it has not,
the load writes vectors only and the filtered figure is n/a.
"""

from __future__ import annotations

import os
import shutil
import tempfile

from . import TAGS, Store, Unsupported, tags_for


def _probe(vdb):
    """(payloads and where=, threads=) as the installed class offers them."""
    root = tempfile.mkdtemp(prefix="velmoradb-probe-")
    try:
        c = vdb.Collection.open_or_create(os.path.join(root, "c"), 2, "euclidean")
        try:
            c.insert_batch([0], [[0.0, 0.0]], payloads=[{"tag": TAGS[0]}])
            c.search([0.0, 0.0], 1, where={"tag": TAGS[0]})
            where = True
        except TypeError:
            where = False
        try:
            c.search_batch([[0.0, 0.0]], 1, threads=1)
            threads = True
        except TypeError:
            threads = False
        close = getattr(c, "close", None)
        if close is not None:
            close()
        del c
        return where, threads
    finally:
        shutil.rmtree(root, ignore_errors=True)


class VelmoradbStore(Store):
    name = "velmoradb"
    native_batch = True
    durability = "flush(): the data file is forced to disk (fsync), the log emptied"

    def __init__(self, path, dim, threads):
        super().__init__(path, dim, threads)
        import velmoradb

        self.vdb = velmoradb
        self.has_where, self.has_threads = _probe(velmoradb)
        if not self.has_where:
            self.notes.append("no payloads or filtered search in this version: the load writes no tag column")
        if not self.has_threads:
            self.notes.append("search_batch has no threads= in this version: one thread")
        self.c = None

    def version(self):
        return self.vdb.__version__

    def load(self, data, batch):
        self.c = self.vdb.Collection.open_or_create(self.path, self.dim, "euclidean")
        for start in range(0, len(data), batch):
            stop = min(start + batch, len(data))
            ids = list(range(start, stop))
            if self.has_where:
                payloads = [{"tag": t} for t in tags_for(start, stop)]
                self.c.insert_batch(ids, data[start:stop], payloads=payloads)
            else:
                self.c.insert_batch(ids, data[start:stop])

    def make_durable(self):
        self.c.flush()

    def open(self):
        self.c = self.vdb.Collection.open_or_create(self.path, self.dim, "euclidean")

    def settle(self):
        # The bound codes are built after open; searches scan until then.
        if hasattr(self.c, "wait_for_bound_codes"):
            self.c.wait_for_bound_codes()

    def search(self, query, k):
        return [i for i, _ in self.c.search(query, k)]

    def search_batch(self, queries, k):
        if self.has_threads:
            hits = self.c.search_batch(queries, k, threads=self.threads or os.cpu_count())
        else:
            hits = self.c.search_batch(queries, k)
        return [[i for i, _ in row] for row in hits]

    def search_filtered(self, query, k, tag):
        if not self.has_where:
            raise Unsupported("velmoradb.Collection has no search(..., where=) yet")
        return [i for i, _ in self.c.search(query, k, where={"tag": tag})]

    def close(self):
        if self.c is not None:
            close = getattr(self.c, "close", None)
            if close is not None:
                close()
            self.c = None
