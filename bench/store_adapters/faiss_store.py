"""faiss-cpu: IndexFlatL2 (exact) saved with write_index, read with read_index.

faiss keeps no columns beside the vectors, so the tag goes where a faiss
user would put it: a numpy file of tag codes next to the index. Durable is
done by hand, as a careful user must: write_index and np.save, then fsync of
both files and of the directory. The ids are the row positions (IndexFlat
numbers rows 0 .. n-1, which are the benchmark's ids). A filtered query
builds the bitmap of matching rows from the codes (inside the timing) and
searches with an IDSelectorBitmap.
"""

from __future__ import annotations

import os

import numpy as np

from . import TAGS, Store


def _fsync(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


class FaissStore(Store):
    name = "faiss"
    native_batch = True
    durability = "by the benchmark, as a user must: write_index + np.save, fsync of both files and the directory"

    def __init__(self, path, dim, threads):
        super().__init__(path, dim, threads)
        import faiss

        if threads == 1:
            faiss.omp_set_num_threads(1)
        self.faiss = faiss
        self.index_file = os.path.join(path, "vectors.faiss")
        self.tags_file = os.path.join(path, "tags.npy")
        self.index = None
        self.codes = None

    def version(self):
        return self.faiss.__version__

    def load(self, data, batch):
        os.makedirs(self.path, exist_ok=True)
        self.index = self.faiss.IndexFlatL2(self.dim)
        for start in range(0, len(data), batch):
            self.index.add(np.ascontiguousarray(data[start:start + batch]))
        self.codes = (np.arange(len(data)) % len(TAGS)).astype(np.uint8)

    def make_durable(self):
        self.faiss.write_index(self.index, self.index_file)
        np.save(self.tags_file, self.codes)
        _fsync(self.index_file)
        _fsync(self.tags_file)
        _fsync(self.path)

    def open(self):
        self.index = self.faiss.read_index(self.index_file)
        self.codes = np.load(self.tags_file)

    def search(self, query, k):
        return self.index.search(query[None, :], k)[1][0].tolist()

    def search_batch(self, queries, k):
        return self.index.search(np.ascontiguousarray(queries), k)[1].tolist()

    def search_filtered(self, query, k, tag):
        bits = np.packbits(self.codes == TAGS.index(tag), bitorder="little")
        selector = self.faiss.IDSelectorBitmap(len(self.codes), self.faiss.swig_ptr(bits))
        params = self.faiss.SearchParameters(sel=selector)
        ids = self.index.search(query[None, :], k, params=params)[1][0]
        return [int(i) for i in ids if i >= 0]

    def close(self):
        self.index = None
        self.codes = None
