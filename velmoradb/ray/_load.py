"""write_dataset's rows through the shard actors' staging, from the driver's side.

Each Ray Data task sends every shard its rows of a batch with `stage_parts`;
the shard's actor keeps them in memory and writes them as few large batches
(_actor.py). The task's receipt says, for each shard, how many rows it sent
and which incarnation of the shard's actor took them; the driver adds the
receipts up in a LoadLedger. At the end `finish_load` has every shard write
what it staged and flush, and compares each shard's report with the ledger.
Rows staged in an actor whose process then died are gone, and Ray restarts
the actor as another incarnation; so a shard is reported in
IncompleteLoadError when:

- the receipts name an incarnation other than the one that finished the load
  (a restart came after it took some rows);
- the finishing incarnation dropped rows of the load (a write of staged rows
  failed) or wrote fewer than were sent;
- it did not answer the final write and flush.

A shard may write more of a load's rows than the receipts count: Ray runs a
task again when its worker process dies, and the rows the first attempt
staged are staged again (the same rows, so nothing is lost).
"""

from __future__ import annotations

import uuid
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from velmoradb.ray._actor import LoadReport
from velmoradb.ray._errors import IncompleteLoadError
from velmoradb.ray._routing import parts_by_shard
from velmoradb.ray._shards import ShardSet, first_line

Receipt = dict[int, tuple[int, str]]
"""Shard -> (rows sent, incarnation of its actor that staged them)."""


def new_load() -> str:
    """A name for one load, unique across drivers: the actors count its rows under it."""
    return uuid.uuid4().hex


def stage_parts(
    shard_set: ShardSet, load: str, ids: npt.NDArray[np.uint64], rows: npt.NDArray[np.float32],
    payloads: Sequence[Mapping[str, Any] | None] | None, stage_bytes: int,
) -> Receipt:
    """Sends each shard its rows of a checked batch, to stage under `load`.
    A shard whose actor fails is sent its rows again, as for an insert
    (IncompleteWriteError when it does not come back in time)."""
    parts = parts_by_shard(ids, shard_set.manifest.shards)
    args = {
        s: (load, ids[p], rows[p], None if payloads is None else [payloads[i] for i in p.tolist()], stage_bytes)
        for s, p in parts.items()
    }
    incarnations = shard_set.write("stage_batch", args, ids, parts, repeatable=True)
    return {s: (len(p), incarnations[s]) for s, p in parts.items()}


class LoadLedger:
    """What the tasks of one load sent: for each shard, the rows and the
    incarnations of its actor that staged them."""

    def __init__(self) -> None:
        self.rows: dict[int, int] = {}
        self.incarnations: dict[int, set[str]] = {}

    def record(self, shard: int, rows: int, incarnation: str) -> None:
        self.rows[shard] = self.rows.get(shard, 0) + rows
        self.incarnations.setdefault(shard, set()).add(incarnation)

    def record_receipt(self, receipt: Receipt) -> None:
        for shard, (rows, incarnation) in receipt.items():
            self.record(shard, rows, incarnation)

    @property
    def total_rows(self) -> int:
        return sum(self.rows.values())


def finish_load(shard_set: ShardSet, load: str, ledger: LoadLedger) -> None:
    """Every shard writes what it staged and flushes (durable when this
    returns); IncompleteLoadError names the shards that may have lost rows of
    the load."""
    reports, errors = shard_set.gather("finish_load", {s: (load,) for s in range(shard_set.manifest.shards)})
    problems = {s: f"the final write and flush failed ({first_line(e)})" for s, e in errors.items()}
    problems.update(load_problems(ledger, reports))
    if problems:
        raise IncompleteLoadError(_cut_message(shard_set, problems), sorted(problems), errors)


def load_problems(ledger: LoadLedger, reports: Mapping[int, LoadReport]) -> dict[int, str]:
    """Shard -> why some of the rows sent to it may not have been written,
    for each shard whose report does not account for them all."""
    problems = {}
    for shard, (incarnation, written, dropped) in reports.items():
        sent = ledger.rows.get(shard, 0)
        if ledger.incarnations.get(shard, set()) - {incarnation}:
            problems[shard] = "its actor was restarted during the load, losing the rows it held in memory"
        elif dropped:
            problems[shard] = f"a write of its staged rows failed, and {dropped} rows of the load were not written"
        elif written < sent:
            problems[shard] = f"it wrote {written} of the {sent} rows sent to it"
    return problems


def _cut_message(shard_set: ShardSet, problems: Mapping[int, str]) -> str:
    shards = sorted(problems)
    which = ", ".join(str(s) for s in shards)
    reasons = "; ".join(f"shard {s}: {problems[s]}" for s in shards)
    plural = len(shards) > 1
    return (
        f"write_dataset into {shard_set.root!r} was cut on shard{'s' if plural else ''} {which} ({reasons}). "
        f"Rows of the dataset whose ids {'these shards hold' if plural else 'this shard holds'} "
        f"(shard_of(id, {shard_set.manifest.shards}) in [{which}]) may not have been written; every other shard "
        "wrote its rows and made them durable. Running write_dataset again is safe: an id replaces its record."
    )
