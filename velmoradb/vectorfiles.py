"""Vectors and ids from files: the one reader behind `velmoradb import` and
`velmoradb search --query-file`.

Formats, chosen by the file's extension:
- ``.npy``: a 2-D array of float32 or float64 (one vector per row), read
  through a memory map so a file larger than memory imports in batches.
  Where one vector is enough (a query), a 1-D array is that vector.
- ``.fvecs``: each vector as its dimension (int32, little-endian) followed by
  that many float32 components (little-endian); every vector of one file
  has the same dimension.
- ids: a 1-D ``.npy`` array of non-negative integers, one per vector.

A ``.npy`` file's header is read and checked before its data: a file that is
not a ``.npy`` file, or that holds anything but plain numbers, is refused
with its own reason. Nothing here ever unpickles.
"""

from __future__ import annotations

import importlib
import os
from types import ModuleType
from typing import Any

NPY_MAGIC = b"\x93NUMPY"


def require_numpy(purpose: str) -> ModuleType:
    """numpy, or an ImportError that says how to get it."""
    try:
        return importlib.import_module("numpy")
    except ImportError:
        raise ImportError(f"{purpose} needs numpy: pip install numpy") from None


def load_vectors(path: str, *, one_vector_as_1d: bool = False) -> Any:
    """A 2-D float32 or float64 array (possibly memory-mapped) of the vectors
    in `path`, one per row. With `one_vector_as_1d`, a 1-D .npy array is read
    as a single row."""
    extension = os.path.splitext(path)[1].lower()
    if extension == ".npy":
        return _load_npy_vectors(path, one_vector_as_1d)
    if extension == ".fvecs":
        return _load_fvecs(path)
    raise ValueError(f"{path}: expected a .npy or .fvecs file")


def _npy_header(np: Any, path: str) -> tuple[tuple[int, ...], Any]:
    """Shape and dtype from a .npy file's header, without reading its data."""
    with open(path, "rb") as f:
        if f.read(len(NPY_MAGIC)) != NPY_MAGIC:
            raise ValueError(f"{path}: not a .npy file (it does not start with the .npy magic string)")
        f.seek(0)
        try:
            version = np.lib.format.read_magic(f)
            if version == (1, 0):
                shape, _, dtype = np.lib.format.read_array_header_1_0(f)
            elif version == (2, 0):
                shape, _, dtype = np.lib.format.read_array_header_2_0(f)
            else:
                raise ValueError(f"format version {version[0]}.{version[1]} is not supported")
        except ValueError as e:
            raise ValueError(f"{path}: damaged .npy header: {e}") from None
    if dtype.hasobject:
        raise ValueError(f"{path}: holds Python objects, not numbers")
    return tuple(shape), dtype


def _load_npy(np: Any, path: str) -> Any:
    """The data of a .npy file whose header was checked, memory-mapped."""
    try:
        return np.load(path, mmap_mode="r", allow_pickle=False)
    except ValueError as e:  # e.g. data shorter than the header says
        raise ValueError(f"{path}: damaged .npy file: {e}") from None


def _load_npy_vectors(path: str, one_vector_as_1d: bool) -> Any:
    np = require_numpy("reading .npy files")
    shape, dtype = _npy_header(np, path)
    accepted = (1, 2) if one_vector_as_1d else (2,)
    if len(shape) not in accepted:
        wanted = "a 1-D or 2-D array" if one_vector_as_1d else "a 2-D array (one vector per row)"
        raise ValueError(f"{path}: expected {wanted}, got {len(shape)}-D")
    if dtype.kind != "f" or dtype.itemsize not in (4, 8):
        raise ValueError(f"{path}: expected float32 or float64, got {dtype}")
    if shape[-1] == 0:
        raise ValueError(f"{path}: the vectors have no components")
    array = _load_npy(np, path)
    return array.reshape(1, -1) if array.ndim == 1 else array


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
    """The first row holding a component that is not finite as a float32 (a
    NaN, an infinity, or a float64 beyond float32's range), which a
    collection refuses."""
    np = require_numpy("reading vectors")
    for start in range(0, vectors.shape[0], batch_size):
        with np.errstate(over="ignore"):
            rows = np.asarray(vectors[start : start + batch_size], dtype=np.float32)
        bad = np.flatnonzero(~np.isfinite(rows).all(axis=1))
        if bad.size:
            return start + int(bad[0])
    return None


def load_ids(path: str, count: int) -> Any:
    """A 1-D array of `count` ids from a .npy file, each in 0 .. 2**64 - 1."""
    np = require_numpy("reading ids")
    shape, dtype = _npy_header(np, path)
    if len(shape) != 1 or dtype.kind not in "iu":
        raise ValueError(f"{path}: expected a 1-D array of integers, got {len(shape)}-D {dtype}")
    if shape[0] != count:
        raise ValueError(f"{path}: holds {shape[0]} ids for {count} vectors")
    ids = _load_npy(np, path)
    if dtype.kind == "i" and ids.size and int(ids.min()) < 0:
        raise ValueError(f"{path}: id {int(ids.min())} is negative")
    return ids


def parse_query(text: str) -> list[float]:
    """A query written as numbers separated by commas or spaces: "1, 2.5, -3"."""
    fields = [field for part in text.split(",") for field in (part.split() or [""])]
    if not any(fields):
        raise ValueError(f'--query {text!r}: no numbers given (write them as "1,2,3" or "1 2 3")')
    if "" in fields:
        raise ValueError(f"--query {text!r}: an empty field between commas")
    numbers = []
    for field in fields:
        try:
            numbers.append(float(field))
        except ValueError:
            raise ValueError(f"--query: {field!r} is not a number") from None
    return numbers
