"""Reading the three files of a collection directory, without changing them.

The layouts, all integers little-endian:

- ``wal.log``: frames of checksum (u32, CRC-32 of the data), length (u32)
  and data (the entry as compact JSON), one after the other from offset 0.
- ``data.vdb``: records of deleted marker (u8, 1 = retired), id (u64),
  dim (u32), dim float32 components, payload_len (u32) and the payload as
  compact JSON, one after the other from offset 0.
- ``meta.json``: one JSON object with dimension, metric, vector_count and
  next_id.

A file that ends inside its last frame or record is a torn tail: what a
process killed in the middle of a write leaves, cut off by the next open. A
complete frame whose checksum does not match, or a complete frame or record
that cannot be decoded, is damage: the next open fails (log) or moves the
bytes aside into ``data.vdb.damaged`` (data file).

These readers are used by ``velmoradb info`` and ``velmoradb check``; they
never open a collection, which would replay its log and append to its files.
"""

from __future__ import annotations

import json
import mmap
import os
import struct
import zlib
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any

META_FILE = "meta.json"
WAL_FILE = "wal.log"
DATA_FILE = "data.vdb"
# While a bulk insert is unfinished: the data file's length before it, "<L>\n".
BULK_FILE = "data.vdb.bulk"
DAMAGED_PREFIX = "data.vdb.damaged"

FRAME_HEADER = struct.Struct("<II")  # checksum, length
RECORD_HEADER = struct.Struct("<BQI")  # deleted marker, id, dim
PAYLOAD_LENGTH = struct.Struct("<I")

ENTRY_KINDS = ("Insert", "Update", "Delete", "Checkpoint")
METRIC_NAMES = {"Euclidean": "euclidean", "Cosine": "cosine", "DotProduct": "dot"}
EMPTY_PAYLOAD = b'{"data":{}}'
MAX_ID = 2**64 - 1

# How many later candidates a torn tail is searched for before giving up.
_RESYNC_CANDIDATES = 10_000


class FormatError(ValueError):
    """A text or field that the collection's decoder would refuse."""


@dataclass(frozen=True)
class Problem:
    """Damage or a torn tail: where it starts and what was found there."""

    file: str
    offset: int
    message: str


@dataclass(frozen=True)
class Meta:
    dimension: int
    metric: str
    vector_count: int
    next_id: int

    @property
    def python_metric(self) -> str | None:
        """The metric's name for ``Collection.open_or_create``, if it has one."""
        return METRIC_NAMES.get(self.metric)


@dataclass(frozen=True)
class LogEntry:
    offset: int
    kind: str
    id: int
    dim: int


@dataclass
class LogScan:
    file_length: int = 0
    valid_length: int = 0
    entries: list[LogEntry] = field(default_factory=list)
    damage: Problem | None = None
    torn: Problem | None = None


@dataclass
class DataScan:
    file_length: int = 0
    valid_length: int = 0
    live: int = 0
    retired: int = 0
    # Latest live record per id, as the open keeps it: id -> dim.
    live_ids: dict[int, int] = field(default_factory=dict)
    max_id: int | None = None
    damage: Problem | None = None
    torn: Problem | None = None


# --- JSON with the collection decoder's rules ------------------------------


def _reject_constant(name: str) -> Any:
    raise FormatError(f"{name} is not JSON")


def _unique_members(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    result: dict[str, Any] = {}
    for key, value in pairs:
        if key in result:
            raise FormatError(f"duplicate field `{key}`")
        result[key] = value
    return result


def _loads(data: bytes) -> Any:
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise FormatError(f"invalid UTF-8 at byte {e.start}") from None
    try:
        return json.loads(text, parse_constant=_reject_constant, object_pairs_hook=_unique_members)
    except json.JSONDecodeError as e:
        raise FormatError(str(e)) from None


def _fields(value: Any, names: tuple[str, ...], what: str) -> list[Any]:
    """The members of a record in either form: object or positional array."""
    if isinstance(value, list):
        if len(value) != len(names):
            raise FormatError(f"invalid length {len(value)}, expected {what} with {len(names)} elements")
        return value
    if not isinstance(value, dict):
        raise FormatError(f"expected {what}")
    missing = [name for name in names if name not in value]
    if missing:
        raise FormatError(f"missing field `{missing[0]}`")
    return [value[name] for name in names]


def _unsigned(value: Any, name: str, limit: int = MAX_ID) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= limit:
        raise FormatError(f"`{name}` is not an unsigned integer: {value!r}")
    return value


def _check_payload(value: Any) -> None:
    (data,) = _fields(value, ("data",), "struct Payload")
    if not isinstance(data, dict):
        raise FormatError("payload `data` is not an object")


def decode_entry(data: bytes) -> tuple[str, int, int]:
    """Kind, id and vector length of one log entry's JSON text."""
    kind, entry_id, vector, payload = _fields(
        _loads(data), ("kind", "id", "vector", "payload"), "struct WalEntry"
    )
    if kind not in ENTRY_KINDS:
        raise FormatError(f"unknown variant `{kind}`")
    _unsigned(entry_id, "id")
    if not isinstance(vector, list):
        raise FormatError("`vector` is not an array")
    for component in vector:
        if isinstance(component, bool) or not isinstance(component, (int, float)):
            raise FormatError(f"vector component {component!r} is not a number")
    _check_payload(payload)
    return kind, entry_id, len(vector)


def decode_payload(data: bytes) -> None:
    if data != EMPTY_PAYLOAD:
        _check_payload(_loads(data))


def parse_meta(data: bytes) -> Meta:
    dimension, metric, vector_count, next_id = _fields(
        _loads(data), ("dimension", "metric", "vector_count", "next_id"), "struct CollectionMeta"
    )
    if not isinstance(metric, str):
        raise FormatError("`metric` is not a string")
    return Meta(
        _unsigned(dimension, "dimension"),
        metric,
        _unsigned(vector_count, "vector_count"),
        _unsigned(next_id, "next_id"),
    )


def read_meta(directory: str) -> Meta:
    """meta.json of `directory`; OSError if unreadable, FormatError if undecodable."""
    with open(os.path.join(directory, META_FILE), "rb") as f:
        return parse_meta(f.read())


# --- mapped files ---------------------------------------------------------


@dataclass
class _Mapped:
    """A read-only view of a whole file; empty for a missing or empty file."""

    data: bytes | mmap.mmap
    length: int


@contextmanager
def _map(path: str) -> Iterator[_Mapped]:
    try:
        f = open(path, "rb")
    except FileNotFoundError:
        yield _Mapped(b"", 0)
        return
    with f:
        length = os.fstat(f.fileno()).st_size
        if length == 0:
            yield _Mapped(b"", 0)
            return
        with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as view:
            yield _Mapped(view, length)


# --- wal.log --------------------------------------------------------------


def _frame_follows(buf: bytes | mmap.mmap, length: int, start: int) -> int | None:
    """Offset of an intact frame at or after `start` whose data lies wholly in
    the file, if one exists. A torn tail is the end of what was written, so
    such a frame means the bytes at `start` are damaged rather than torn."""
    pos = start + FRAME_HEADER.size
    for _ in range(_RESYNC_CANDIDATES):
        pos = buf.find(b'{"kind":', pos)
        if pos < 0:
            return None
        frame = pos - FRAME_HEADER.size
        checksum, size = FRAME_HEADER.unpack_from(buf, frame)
        if pos + size <= length and zlib.crc32(buf[pos : pos + size]) == checksum:
            return frame
        if frame == start and _own_text_intact(buf, pos, checksum):
            return frame
        pos += 1
    return None


def _own_text_intact(buf: bytes | mmap.mmap, pos: int, checksum: int) -> bool:
    """Whether the JSON object at `pos` is complete and matches `checksum`
    (the frame is whole and only its length field is wrong)."""
    text = bytes(buf[pos : pos + (1 << 20)]).decode("utf-8", errors="replace")
    try:
        _, end = json.JSONDecoder().raw_decode(text)
    except json.JSONDecodeError:
        return False
    return zlib.crc32(text[:end].encode("utf-8")) == checksum


def _damaged_field(cut: str, unit: str, offset: int, follower: int, fields: str) -> str:
    """A unit that seems cut short by the end of the file, though intact
    data follows: not a torn tail but a damaged size field."""
    if follower == offset:
        return f"{cut}, yet the {unit}'s own data are intact: its {fields} field is damaged"
    return f"{cut}, yet an intact {unit} follows at offset {follower}: the {fields} field is damaged"


# The longest run of zero bytes a log of whole frames holds: only the headers
# have zeros (a checksum of zero, then the zero bytes of a length), never the
# JSON text.
_LONGEST_WRITTEN_ZEROS = 7


def _zero_tail(buf: bytes | mmap.mmap, length: int, offset: int, unit_end: int, runs: bool) -> str | None:
    """Why the unit at `offset` that cannot be read (which claims to end at
    `unit_end`) is the tail of an append that never reached the disk, as the
    next open cuts it; None if it is not. Zeros from inside the unit to the
    end of the file are one; with `runs`, so is a run of zeros longer than any
    written frame holds starting inside the unit (a page lost with the power)."""
    tail = bytes(buf[offset:length])
    nonzero_end = offset + len(tail.rstrip(b"\0"))
    if nonzero_end < length and nonzero_end < unit_end:
        return f"the file ends in {length - max(nonzero_end, offset)} zero bytes (an append whose data never reached the disk)"
    if runs:
        at = tail.find(b"\0" * (_LONGEST_WRITTEN_ZEROS + 1))
        if 0 <= at and offset + at < unit_end:
            return (f"{_LONGEST_WRITTEN_ZEROS + 1} or more zero bytes at offset {offset + at}, more than a written frame holds "
                    "(a page of an append that never reached the disk); the next open keeps a copy of the rest "
                    "in wal.log.damaged")
    return None


def scan_log(path: str) -> LogScan:
    """Reads every frame of a log file; stops at the first damage or torn tail."""
    scan = LogScan()
    name = os.path.basename(path)
    with _map(path) as mapped:
        buf, length = mapped.data, mapped.length
        scan.file_length = length
        offset = 0
        while offset < length:
            frame_end = length + 1
            if length - offset >= FRAME_HEADER.size:
                frame_end = offset + FRAME_HEADER.size + FRAME_HEADER.unpack_from(buf, offset)[1]
            torn = _torn_frame(buf, length, offset)
            if torn is not None:
                follower = _frame_follows(buf, length, offset)
                zeros = _zero_tail(buf, length, offset, frame_end, runs=True)
                if follower is None:
                    scan.torn = Problem(name, offset, torn)
                elif zeros is not None:
                    scan.torn = Problem(name, offset, zeros)
                else:
                    scan.damage = Problem(name, offset, _damaged_field(torn, "frame", offset, follower, "length"))
                break
            checksum, size = FRAME_HEADER.unpack_from(buf, offset)
            data = buf[offset + FRAME_HEADER.size : offset + FRAME_HEADER.size + size]
            computed = zlib.crc32(data)
            problem = None
            if computed != checksum:
                problem = f"checksum mismatch: expected {checksum}, got {computed}"
            else:
                try:
                    kind, entry_id, dim = decode_entry(data)
                except FormatError as e:
                    problem = f"entry cannot be decoded: {e}"
            if problem is not None:
                zeros = _zero_tail(buf, length, offset, frame_end, runs=True)
                if zeros is not None:
                    scan.torn = Problem(name, offset, zeros)
                else:
                    scan.damage = Problem(name, offset, problem)
                break
            scan.entries.append(LogEntry(offset, kind, entry_id, dim))
            offset += FRAME_HEADER.size + size
            scan.valid_length = offset
    return scan


def _torn_frame(buf: bytes | mmap.mmap, length: int, offset: int) -> str | None:
    left = length - offset
    if left < FRAME_HEADER.size:
        return f"the file ends {left} bytes into a frame header"
    _, size = FRAME_HEADER.unpack_from(buf, offset)
    if size > left - FRAME_HEADER.size:
        return f"the frame claims {size} bytes of data but the file holds {left - FRAME_HEADER.size}"
    return None


# --- data.vdb -------------------------------------------------------------


def _record_follows(buf: bytes | mmap.mmap, length: int, start: int, dimension: int) -> int | None:
    """Offset of an intact record at or after `start` (of the collection's
    dimension, whose payload lies wholly in the file), if one exists."""
    head = RECORD_HEADER.size + 4 * dimension + PAYLOAD_LENGTH.size
    pos = start + head
    for _ in range(_RESYNC_CANDIDATES):
        pos = buf.find(b'{"data":', pos)
        if pos < 0:
            return None
        record = pos - head
        (size,) = PAYLOAD_LENGTH.unpack_from(buf, pos - PAYLOAD_LENGTH.size)
        if record >= start and buf[record] in (0, 1) and pos + size <= length:
            try:
                decode_payload(bytes(buf[pos : pos + size]))
                return record
            except FormatError:
                pass
        pos += 1
    return None


def _record_end(buf: bytes | mmap.mmap, length: int, offset: int) -> tuple[int, int] | str:
    """(end of the record, start of its payload), or why it is cut short."""
    left = length - offset
    if left < RECORD_HEADER.size:
        return f"the file ends {left} bytes into a record header"
    _, _, dim = RECORD_HEADER.unpack_from(buf, offset)
    payload_at = offset + RECORD_HEADER.size + 4 * dim + PAYLOAD_LENGTH.size
    if payload_at > length:
        return f"the record claims {dim} components but the file ends inside them"
    (size,) = PAYLOAD_LENGTH.unpack_from(buf, payload_at - PAYLOAD_LENGTH.size)
    if payload_at + size > length:
        return f"the record claims a payload of {size} bytes but the file ends inside it"
    return payload_at + size, payload_at


def _zeros_to_end(buf: bytes | mmap.mmap, length: int, offset: int) -> bool:
    step = 1 << 20
    return all(not bytes(buf[at : min(at + step, length)]).strip(b"\0") for at in range(offset, length, step))


def read_bulk_marker(directory: str) -> int | None:
    """The data file's length that data.vdb.bulk records while a bulk insert
    is unfinished (its records lie past it); None when it records none
    (missing, empty, or torn: written before any record of its batch)."""
    try:
        with open(os.path.join(directory, BULK_FILE), "rb") as f:
            text = f.read(32)
    except FileNotFoundError:
        return None
    if len(text) < 2 or not text.endswith(b"\n") or not text[:-1].isdigit():
        return None
    return int(text[:-1])


def scan_data(path: str, dimension: int | None, limit: int | None = None) -> DataScan:
    """Reads every record of a data file (of its first `limit` bytes); stops
    at the first damage or torn tail. With no `dimension` (meta.json
    unreadable), records of any length pass."""
    scan = DataScan()
    name = os.path.basename(path)
    with _map(path) as mapped:
        buf, length = mapped.data, mapped.length
        scan.file_length = length
        if limit is not None:
            length = min(length, limit)
        offset = 0
        while offset < length:
            bounds = _record_end(buf, length, offset)
            if isinstance(bounds, str):
                follower = None if dimension is None else _record_follows(buf, length, offset, dimension)
                if follower is None or _zeros_to_end(buf, length, offset):
                    scan.torn = Problem(name, offset, bounds)
                else:
                    scan.damage = Problem(
                        name, offset, _damaged_field(bounds, "record", offset, follower, "dim or payload_len")
                    )
                break
            end, payload_at = bounds
            if _zeros_to_end(buf, length, offset):
                # A zero record is no record this system writes: the file was
                # grown before its data reached the disk.
                scan.torn = Problem(name, offset, f"the file ends in {length - offset} zero bytes "
                                    "(an append whose data never reached the disk)")
                break
            marker, record_id, dim = RECORD_HEADER.unpack_from(buf, offset)
            try:
                decode_payload(bytes(buf[payload_at:end]))
            except FormatError as e:
                scan.damage = Problem(name, offset, f"record payload cannot be decoded: {e}")
                break
            if dimension is not None and dim != dimension:
                scan.damage = Problem(
                    name, offset, f"record of id {record_id} has {dim} components, the collection {dimension}"
                )
                break
            if marker == 1:
                scan.retired += 1
            else:
                scan.live += 1
                scan.live_ids[record_id] = dim
                scan.max_id = record_id if scan.max_id is None else max(scan.max_id, record_id)
            offset = end
            scan.valid_length = offset
    return scan


def damaged_copies(directory: str) -> list[str]:
    """Copies of unreadable data-file tails that earlier opens moved aside."""
    return sorted(n for n in os.listdir(directory) if n.startswith(DAMAGED_PREFIX))
