"""The errors a sharded collection raises besides the collection's own."""

from __future__ import annotations

from collections.abc import Mapping, Sequence


class ShardUnavailableError(RuntimeError):
    """Some shards did not answer within the collection's timeout (their actors
    were restarting, or are dead for good). Nothing was returned: a read never
    gives an answer made from some of the shards only.

    `shards` are the shard numbers that did not answer; `causes` the last
    error seen from each of them (a Ray actor error), where there was one.
    """

    def __init__(self, message: str, shards: Sequence[int], causes: Mapping[int, BaseException]) -> None:
        super().__init__(message)
        self.shards: tuple[int, ...] = tuple(shards)
        self.causes: dict[int, BaseException] = dict(causes)


class IncompleteWriteError(RuntimeError):
    """A write reached some shards but not others (an actor died during the
    call, did not answer in time, or its disk failed).

    `unconfirmed_ids` are the ids (in the order of the call) whose shard did not
    confirm the write: each may or may not have been applied, and a write that
    timed out may still be applied later. Writing them again settles them (an
    insert replaces, a delete of a missing id is no error). Every other id of
    the call was applied and made durable. `shard_errors` maps each failed
    shard to its error.
    """

    def __init__(self, message: str, unconfirmed_ids: Sequence[int], shard_errors: Mapping[int, BaseException]) -> None:
        super().__init__(message)
        self.unconfirmed_ids: list[int] = list(unconfirmed_ids)
        self.shard_errors: dict[int, BaseException] = dict(shard_errors)


class IncompleteLoadError(RuntimeError):
    """write_dataset could not confirm that every row it sent to some shards
    was written: a shard's actor was restarted during the load (the rows it
    held in memory, to write as one batch, died with its process), a write of
    those rows failed, or the shard did not answer the load's final flush.

    `shards` are those shards: any row of the dataset whose id they hold
    (`velmoradb.ray.shard_of(id, shards) == s`) may or may not have been
    written. Every other shard wrote all its rows and made them durable.
    Running the load again is safe (an insert replaces), or running it again
    with the rows of these shards only. `shard_errors` maps each shard that
    failed with an error to that error.
    """

    def __init__(self, message: str, shards: Sequence[int], shard_errors: Mapping[int, BaseException]) -> None:
        super().__init__(message)
        self.shards: tuple[int, ...] = tuple(shards)
        self.shard_errors: dict[int, BaseException] = dict(shard_errors)
