"""Vectors and ids from files, for `velmoradb import` and `velmoradb search`.

Formats:
- ``.npy``: a 2-D array of float32 or float64 (one vector per row), read
  through a memory map so a file larger than memory imports in batches; a
  1-D array is one query for ``search``.
- ``.fvecs``: each vector as its dimension (int32, little-endian) followed by
  that many float32 components (little-endian); every vector of one file
  has the same dimension.
- ids: a 1-D ``.npy`` array of non-negative integers, one per vector.
"""

from __future__ import annotations

import importlib
import os
from types import ModuleType
from typing import Any

MAX_ID = 2**64 - 1


def require_numpy(purpose: str) -> ModuleType:
    """numpy, or an ImportError that says how to get it."""
    try:
        return importlib.import_module("numpy")
    except ImportError:
        raise ImportError(f"{purpose} needs numpy: pip install numpy") from None


def load_vectors(path: str) -> Any:
    """A 2-D float32 or float64 array (possibly memory-mapped) of the vectors in `path`."""
    extension = os.path.splitext(path)[1].lower()
    if extension == ".npy":
        return _load_npy(path)
    if extension == ".fvecs":
        return _load_fvecs(path)
    raise ValueError(f"{path}: expected a .npy or .fvecs file")


def _load_npy(path: str) -> Any:
    np = require_numpy("reading .npy files")
    array = np.load(path, mmap_mode="r", allow_pickle=False)
    if array.ndim != 2:
        raise ValueError(f"{path}: expected a 2-D array (one vector per row), got {array.ndim}-D")
    if array.dtype.kind != "f" or array.dtype.itemsize not in (4, 8):
        raise ValueError(f"{path}: expected float32 or float64, got {array.dtype}")
    if array.shape[1] == 0:
        raise ValueError(f"{path}: the vectors have no components")
    return array


def _load_fvecs(path: str) -> Any:
    np = require_numpy("reading .fvecs files")
    size = os.path.getsize(path)
    if size < 4:
        raise ValueError(f"{path}: holds no vectors")
    dimension = int(np.fromfile(path, dtype="<i4", count=1)[0])
    if dimension <= 0:
        raise ValueError(f"{path}: not a .fvecs file (first dimension is {dimension})")
    row = 4 * (dimension + 1)
    if size % row:
        raise ValueError(
            f"{path}: not a .fvecs file of dimension {dimension} ({size} bytes is not a multiple of {row})"
        )
    raw = np.memmap(path, dtype="<i4", mode="r", shape=(size // row, dimension + 1))
    wrong = np.flatnonzero(raw[:, 0] != dimension)
    if wrong.size:
        first = int(wrong[0])
        raise ValueError(
            f"{path}: vector {first} has dimension {int(raw[first, 0])}, the first vector {dimension}"
        )
    return raw.view("<f4")[:, 1:]


def contiguous_rows(vectors: Any, start: int, stop: int) -> Any:
    """Rows start..stop as a C-contiguous native-endian array (the module's fast path)."""
    np = require_numpy("reading vectors")
    dtype = np.float32 if vectors.dtype.itemsize == 4 else np.float64
    return np.ascontiguousarray(vectors[start:stop], dtype=dtype)


def first_non_finite_row(vectors: Any, batch_size: int) -> int | None:
    """The first row holding a NaN or an infinity, which a collection refuses."""
    np = require_numpy("reading vectors")
    for start in range(0, vectors.shape[0], batch_size):
        bad = np.flatnonzero(~np.isfinite(vectors[start : start + batch_size]).all(axis=1))
        if bad.size:
            return start + int(bad[0])
    return None


def load_ids(path: str, count: int) -> Any:
    """A 1-D array of `count` ids from a .npy file, each in 0 .. 2**64 - 1."""
    np = require_numpy("reading ids")
    ids = np.load(path, allow_pickle=False)
    if ids.ndim != 1 or ids.dtype.kind not in "iu":
        raise ValueError(f"{path}: expected a 1-D array of integers, got {ids.ndim}-D {ids.dtype}")
    if ids.shape[0] != count:
        raise ValueError(f"{path}: holds {ids.shape[0]} ids for {count} vectors")
    if ids.dtype.kind == "i" and ids.size and int(ids.min()) < 0:
        raise ValueError(f"{path}: id {int(ids.min())} is negative")
    return ids


def parse_query(text: str) -> list[float]:
    """A query written as numbers separated by commas or spaces: "1, 2.5, -3"."""
    parts = text.replace(",", " ").split()
    if not parts:
        raise ValueError("--query: no numbers given")
    try:
        return [float(part) for part in parts]
    except ValueError:
        bad = next(p for p in parts if not _is_float(p))
        raise ValueError(f"--query: {bad!r} is not a number") from None


def _is_float(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def load_queries(path: str) -> Any:
    """Queries from a .npy file: 1-D for one query, 2-D for one per row."""
    np = require_numpy("reading .npy files")
    queries = np.load(path, allow_pickle=False)
    if queries.ndim == 1:
        queries = queries.reshape(1, -1)
    if queries.ndim != 2 or queries.dtype.kind not in "fiu":
        raise ValueError(f"{path}: expected a 1-D or 2-D array of numbers, got {queries.ndim}-D {queries.dtype}")
    dtype = np.float32 if queries.dtype == np.float32 else np.float64
    return np.ascontiguousarray(queries, dtype=dtype)
