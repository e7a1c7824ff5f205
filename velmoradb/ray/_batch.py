"""Checking a batch in the driver before any shard sees it.

A batch is split over shards that write independently, so a row one shard
would refuse must be found before any shard writes: otherwise the shards that
accepted their part would have written it and the call would be half done.
These checks follow velmoradb.Collection's rules (docs/api.md) and its wording:
ids are integers 0 .. 2**64-1; vector components finite and inside the float32
range; payloads dicts of str keys over None, bool, int (-2**63 .. 2**64-1),
finite float, str, list, tuple and dict, at most 126 lists and dicts deep.
Vectors leave here as C-contiguous float32 rows, rounded as the collection
rounds them, so each shard stores exactly what one collection would.
"""

from __future__ import annotations

import math
import operator
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

_U64_MAX = (1 << 64) - 1
_FLOAT32_MAX = float(np.finfo(np.float32).max)
_MAX_PAYLOAD_DEPTH = 126


def to_id(value: object, name: str = "id") -> int:
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name}: expected an int, got {type(value).__name__}") from None
    if not 0 <= number <= _U64_MAX:
        raise OverflowError(f"{name}: {number} is outside 0 .. 2**64-1")
    return number


def to_ids(values: object) -> npt.NDArray[np.uint64]:
    """A uint64 array of the ids; TypeError / OverflowError naming the item."""
    if isinstance(values, np.ndarray) and values.ndim == 1 and values.dtype.kind in "ui":
        if values.dtype.kind == "i" and values.size and int(values.min()) < 0:
            bad = int(np.argmax(values < 0))
            raise OverflowError(f"ids[{bad}]: {int(values[bad])} is outside 0 .. 2**64-1")
        return values.astype(np.uint64)
    if isinstance(values, (str, bytes)) or not isinstance(values, (Sequence, np.ndarray)):
        raise TypeError(f"ids: expected a sequence of ints, got {type(values).__name__}")
    return np.array([to_id(v, f"ids[{i}]") for i, v in enumerate(values)], dtype=np.uint64)


def to_rows(
    values: object, dimension: int, name: str, ids: npt.NDArray[np.uint64] | None = None
) -> npt.NDArray[np.float32]:
    """A C-contiguous (n, dimension) float32 array; ValueError / TypeError naming
    the row (and its id) for a wrong length, a component that is not a number,
    or one that is not finite or lies outside the float32 range."""
    if isinstance(values, np.ndarray) and values.dtype == np.float32 and values.ndim == 2 and values.shape[1] == dimension:
        # Already what the shards take: a float32 component is inside the
        # float32 range unless it is infinite, so finiteness is the whole check.
        if not np.isfinite(values).all():
            _check_finite(values.astype(np.float64), name, ids)
        return np.ascontiguousarray(values)
    if isinstance(values, np.ndarray) and values.dtype.kind in "fiu":
        if values.ndim != 2:
            raise ValueError(f"{name}: expected a 2-D array of vectors, got {values.ndim}-D")
        if values.shape[1] != dimension and len(values):
            raise ValueError(f"{name}[0]{_id_note(ids, 0)} has {values.shape[1]} components, the collection's dimension is {dimension}")
        wide = values.astype(np.float64, copy=False).reshape(len(values), dimension)
    else:
        if isinstance(values, (str, bytes)) or not isinstance(values, (Sequence, np.ndarray)):
            raise TypeError(f"{name}: expected a sequence of vectors, got {type(values).__name__}")
        rows = [_to_row(row, dimension, f"{name}[{i}]", _id_note(ids, i)) for i, row in enumerate(values)]
        wide = np.array(rows, dtype=np.float64).reshape(len(rows), dimension)
    _check_finite(wide, name, ids)
    return np.ascontiguousarray(wide, dtype=np.float32)


def _to_row(row: object, dimension: int, place: str, id_note: str) -> list[float]:
    if isinstance(row, np.ndarray) and row.dtype.kind in "fiu" and row.ndim == 1:
        components: list[object] = row.tolist()
    elif isinstance(row, (str, bytes)) or not isinstance(row, (Sequence, np.ndarray)):
        raise TypeError(f"{place}: expected a sequence of numbers, got {type(row).__name__}{id_note}")
    else:
        components = list(row)
    if len(components) != dimension:
        raise ValueError(f"{place}{id_note} has {len(components)} components, the collection's dimension is {dimension}")
    converted = []
    for j, x in enumerate(components):
        # As the collection converts: through __float__ (or __index__), never from text.
        if isinstance(x, (str, bytes)) or not hasattr(x, "__float__") and not hasattr(x, "__index__"):
            raise TypeError(f"{place}[{j}]: must be real number, not {type(x).__name__}{id_note}")
        converted.append(float(x))  # type: ignore[arg-type]
    return converted


def to_query(value: object, dimension: int) -> npt.NDArray[np.float32]:
    """One query as a (1, dimension) float32 array."""
    if isinstance(value, (str, bytes)) or not isinstance(value, (Sequence, np.ndarray)):
        raise TypeError(f"query: expected a sequence of numbers, got {type(value).__name__}")
    return to_rows([_to_row(value, dimension, "query", "")], dimension, "query")


def _check_finite(rows: npt.NDArray[np.float64], name: str, ids: npt.NDArray[np.uint64] | None) -> None:
    bad = ~np.isfinite(rows) | (np.abs(rows) > _FLOAT32_MAX)
    if not bad.any():
        return
    i, j = (int(x) for x in np.argwhere(bad)[0])
    x = float(rows[i, j])
    place = f"query[{j}]" if name == "query" else f"{name}[{i}][{j}]"
    if math.isnan(x):
        what = "is NaN"
    elif math.isinf(x):
        what = "is infinite"
    else:
        what = f"= {x:g} is outside the float32 range"
    raise ValueError(f"{place} {what}{_id_note(ids, i, ' ')}")


def _id_note(ids: npt.NDArray[np.uint64] | None, row: int, lead: str = " ") -> str:
    if ids is None or row >= len(ids):
        return ""
    return f"{lead}(id {int(ids[row])})"


def check_payloads(payloads: object, ids: npt.NDArray[np.uint64]) -> list[Mapping[str, Any] | None]:
    """The payloads as a list as long as ids; TypeError / ValueError naming the
    place inside the payload and the row's id."""
    if isinstance(payloads, (str, bytes, Mapping)) or not isinstance(payloads, Sequence):
        raise TypeError(f"payloads: expected a sequence of dicts or None, got {type(payloads).__name__}")
    items = list(payloads)
    if len(items) != len(ids):
        raise ValueError(f"ids has {len(ids)} items but payloads has {len(items)}")
    for row, payload in enumerate(items):
        if payload is None:
            continue
        place = f"payloads[{row}]"
        try:
            if not isinstance(payload, dict):
                raise TypeError(f"{place}: expected a dict, got {type(payload).__name__}")
            _check_dict(payload, place, 1)
        except (TypeError, ValueError) as e:
            raise type(e)(f"{e} (id {int(ids[row])})") from None
    return items


def _check_dict(value: dict[Any, Any], place: str, depth: int) -> None:
    for key, item in value.items():
        if not isinstance(key, str):
            raise TypeError(f"{place}: keys must be str, got {type(key).__name__} key {key!r}")
        _check_value(item, f"{place}[{key!r}]", depth)


def _check_value(value: object, place: str, depth: int) -> None:
    if value is None or isinstance(value, (bool, str)):
        return
    if isinstance(value, int):
        if not -(1 << 63) <= value <= _U64_MAX:
            raise ValueError(f"{place}: int out of range (-2**63 to 2**64-1)")
    elif isinstance(value, float):
        if math.isnan(value):
            raise ValueError(f"{place}: float is NaN")
        if math.isinf(value):
            raise ValueError(f"{place}: float is infinite")
    elif isinstance(value, (dict, list, tuple)):
        if depth + 1 > _MAX_PAYLOAD_DEPTH:
            raise ValueError(f"{place}: nested too deeply (at most 126 levels of lists and dicts)")
        if isinstance(value, dict):
            _check_dict(value, place, depth + 1)
        else:
            for i, item in enumerate(value):
                _check_value(item, f"{place}[{i}]", depth + 1)
    else:
        raise TypeError(f"{place}: expected None, bool, int, float, str, list, tuple or dict, got {type(value).__name__}")
