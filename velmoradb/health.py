"""What `velmoradb info` and `velmoradb check` find in a collection directory.

Both read the files only. Opening a collection would replay its log into the
data file and take the directory's lock, so neither does.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field

from velmoradb import formats
from velmoradb.formats import DataScan, LogScan, Meta, Problem


class NotACollection(ValueError):
    """The directory holds none of a collection's files."""


@dataclass
class Inspection:
    """Everything read from one directory."""

    directory: str
    meta: Meta | None
    log: LogScan
    data: DataScan
    sizes: dict[str, int | None]
    damaged_copies: list[str]
    damage: Problem | None = None
    warnings: list[str] = field(default_factory=list)

    @property
    def healthy(self) -> bool:
        return self.damage is None


def _size(path: str) -> int | None:
    try:
        return os.stat(path).st_size
    except FileNotFoundError:
        return None


def inspect(directory: str) -> Inspection:
    """Reads meta.json, every frame of wal.log and every record of data.vdb."""
    if not os.path.exists(directory):
        raise FileNotFoundError(f"no such directory: {directory}")
    if not os.path.isdir(directory):
        raise NotADirectoryError(f"not a directory: {directory}")
    names = (formats.META_FILE, formats.WAL_FILE, formats.DATA_FILE)
    sizes = {name: _size(os.path.join(directory, name)) for name in names}
    if all(size is None for size in sizes.values()):
        raise NotACollection(f"not a collection (no meta.json, wal.log or data.vdb): {directory}")

    meta, damage = _read_meta(directory, sizes[formats.META_FILE] is not None)
    dimension = meta.dimension if meta else None
    log = formats.scan_log(os.path.join(directory, formats.WAL_FILE))
    # Records past an unfinished bulk insert's start were never acknowledged
    # (and may be torn): the next writable open cuts them off.
    bulk_start = formats.read_bulk_marker(directory)
    data_size = sizes[formats.DATA_FILE]
    unfinished = bulk_start is not None and data_size is not None and data_size > bulk_start
    data = formats.scan_data(os.path.join(directory, formats.DATA_FILE), dimension,
                             bulk_start if unfinished else None)
    result = Inspection(directory, meta, log, data, sizes, formats.damaged_copies(directory))
    if unfinished:
        assert bulk_start is not None and data_size is not None
        result.warnings.append(
            f"{formats.DATA_FILE} holds an unfinished bulk insert past byte offset {bulk_start} "
            f"({data_size - bulk_start} bytes, never acknowledged): the next writable open cuts it off"
        )
    replay = _replay_problem(log, dimension) if dimension is not None else None
    result.damage = damage or log.damage or replay or data.damage
    _collect_warnings(result)
    return result


def _read_meta(directory: str, present: bool) -> tuple[Meta | None, Problem | None]:
    if not present:
        return None, Problem(formats.META_FILE, 0, "meta.json is missing beside wal.log or data.vdb")
    try:
        return formats.read_meta(directory), None
    except formats.FormatError as e:
        return None, Problem(formats.META_FILE, 0, f"meta.json cannot be decoded: {e}")


def _replay_problem(log: LogScan, dimension: int) -> Problem | None:
    """An entry that decodes but that the open could not replay."""
    for entry in log.entries:
        if entry.kind in ("Insert", "Update") and entry.dim != dimension:
            return Problem(
                formats.WAL_FILE, entry.offset,
                f"{entry.kind} entry of id {entry.id} has {entry.dim} components, "
                f"the collection {dimension}: replaying it would fail the open",
            )
    return None


def _collect_warnings(result: Inspection) -> None:
    for torn, scan in ((result.log.torn, result.log), (result.data.torn, result.data)):
        if torn is not None:
            result.warnings.append(
                f"{torn.file} has a torn tail at byte offset {torn.offset} "
                f"({scan.file_length - torn.offset} bytes): {torn.message}. "
                "A process stopped or a power cut in the middle of a write leaves this; "
                "the next open cuts it off."
            )
    for name in result.damaged_copies:
        result.warnings.append(
            f"{name} holds an unreadable data-file tail that an earlier open moved aside"
        )


def live_ids_after_replay(result: Inspection) -> set[int]:
    """The ids the collection holds once its log is replayed."""
    ids = set(result.data.live_ids)
    for entry in result.log.entries:
        if entry.kind in ("Insert", "Update"):
            ids.add(entry.id)
        elif entry.kind == "Delete":
            ids.discard(entry.id)
    return ids


def next_id_after_replay(result: Inspection) -> int:
    """next_id as the next open leaves it, modulo 2**64 as the collection
    keeps it: one more than the largest id of the data file's live records
    (1 when there are none; 0 when that id is 2**64 - 1), then raised by
    each replayed Insert whose id plus one (modulo 2**64) is larger."""
    next_id = ((result.data.max_id or 0) + 1) % 2**64
    for entry in result.log.entries:
        if entry.kind == "Insert":
            next_id = max(next_id, (entry.id + 1) % 2**64)
    return next_id
