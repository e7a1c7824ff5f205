"""String ids over a collection whose ids are 64-bit integers.

The frameworks name their records with strings; a `Collection` with
unsigned 64-bit integers. Each record keeps its string in the payload field
`key_field`, and lives under an integer id taken from a hash of the string:
`probe_id(s, 0)`, or, when that id already holds a record with another
string, `probe_id(s, 1)`, and so on to the first id that is free. Two
strings therefore never share a record, whatever their hashes.

A string is looked up by its payload field (`ids(where={key_field: {"$in":
...}})`, answered from the payload index), never by walking its probe
sequence: deleting a record leaves a hole in the sequence of the strings
placed after it, and a walk that stopped at the hole would miss them.
"""

from __future__ import annotations

import hashlib
from collections.abc import Iterable, Sequence

from velmoradb._core import Collection

# How many strings one `$in` filter carries; the filter is checked whole
# before it runs, so a bounded size keeps each check small.
LOOKUP_CHUNK = 1024


def probe_id(string_id: str, attempt: int) -> int:
    """The integer id `string_id` takes at the given attempt: 8 bytes of
    BLAKE2b over the attempt number and the string's UTF-8 bytes."""
    digest = hashlib.blake2b(digest_size=8)
    digest.update(attempt.to_bytes(4, "little"))
    digest.update(string_id.encode("utf-8", "surrogatepass"))
    return int.from_bytes(digest.digest(), "little")


def locate(collection: Collection, key_field: str, string_ids: Iterable[str]) -> dict[str, int]:
    """The integer id of every string in `string_ids` that has a record."""
    wanted = list(dict.fromkeys(string_ids))
    found: dict[str, int] = {}
    for start in range(0, len(wanted), LOOKUP_CHUNK):
        chunk = wanted[start : start + LOOKUP_CHUNK]
        ids = collection.ids(where={key_field: {"$in": chunk}})
        for record in collection.get_batch(ids):
            if record is None:  # deleted by another thread in between
                continue
            key = record.payload.get(key_field)
            if isinstance(key, str):
                found[key] = record.id
    return found


def place(collection: Collection, key_field: str, string_ids: Sequence[str]) -> list[int]:
    """The integer id under which each string's record is to be written:
    its present id when it has a record, else the first free id of its probe
    sequence that no other string of this call takes. The caller holds the
    store's write lock until the records are written."""
    present = locate(collection, key_field, string_ids)
    taken: set[int] = set(present.values())
    chosen: dict[str, int] = dict(present)
    for string_id in string_ids:
        if string_id in chosen:
            continue
        attempt = 0
        while True:
            candidate = probe_id(string_id, attempt)
            if candidate not in taken and candidate not in collection:
                break
            attempt += 1
        taken.add(candidate)
        chosen[string_id] = candidate
    return [chosen[s] for s in string_ids]
