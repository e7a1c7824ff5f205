"""Calls that fan out to the shard actors, and what happens when actors fail.

`ShardSet` holds the actor handles of one open sharded collection. It is
picklable, so Ray Data tasks carry it to other processes and call the same
actors.

Reads (search, get, ids, len) are sent to every shard concerned. A shard whose
actor died during the call, or is being restarted, is asked again (after a
short pause that grows to a second) until it answers or the call's `timeout`
runs out; then `ShardUnavailableError` names the shards that did not answer.
An answer is only ever made from every shard's reply.

A write whose actor failed may or may not have been applied. An insert is
sent again as a read is: applying it twice leaves what applying it once does
(and the caller has not been answered yet, so no later write of its own can
come between). A delete is sent once: its reply counts the ids that were
present, which a second attempt cannot know when the first one ran. Shards
that confirmed have applied and forced their part; the rest are reported in
`IncompleteWriteError`.
"""

from __future__ import annotations

import time
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
import ray
from ray.exceptions import GetTimeoutError, RayActorError, RayTaskError

from velmoradb.ray._errors import IncompleteWriteError, ShardUnavailableError
from velmoradb.ray._manifest import Manifest

OPENING_TIMEOUT = 120.0
"""Seconds open() waits at least for the actors to start and open their shards."""

_FIRST_PAUSE = 0.05
_LONGEST_PAUSE = 1.0


class ShardSet:
    """The actors of one open sharded collection; `timeout` bounds each call."""

    def __init__(self, root: str, manifest: Manifest, actors: Sequence[Any], timeout: float) -> None:
        self.root = root
        self.manifest = manifest
        self.actors = list(actors)
        self.timeout = timeout

    def submit(self, shard: int, method: str, args: tuple[Any, ...]) -> Any:
        return getattr(self.actors[shard], method).remote(*args)

    def read(self, method: str, args: Mapping[int, tuple[Any, ...]], *, opening: bool = False) -> dict[int, Any]:
        """Each shard's reply to `method(*args[shard])`. When `opening`, a shard
        whose actor failed is not asked again (its constructor failed), and the
        wait is at least OPENING_TIMEOUT: a new actor's process must start and
        load its shard."""
        results, errors = self._gather(
            method, args, retry=not opening, timeout=max(self.timeout, OPENING_TIMEOUT) if opening else self.timeout
        )
        refused = [s for s in sorted(errors) if not isinstance(errors[s], (RayActorError, TimeoutError))]
        if refused:
            # The shard refused the request (a bad filter...): the caller's error.
            raise errors[refused[0]]
        if opening and errors:
            s = min(errors)
            raise ShardUnavailableError(
                f"shard {s} of {self.root!r} could not be opened ({_summary(errors[s])})", [s], errors
            ) from errors[s]
        if errors:
            raise self._unavailable(method, sorted(errors), errors)
        return results

    def write(
        self, method: str, args: Mapping[int, tuple[Any, ...]], ids: npt.NDArray[np.uint64],
        positions: Mapping[int, npt.NDArray[np.intp]], *, repeatable: bool,
    ) -> dict[int, Any]:
        """Each shard's reply to `method(*args[shard])`. A `repeatable` write
        (one whose second application changes nothing, and whose reply does not
        depend on the first) is sent again to a shard whose actor failed, as a
        read is; any other is sent once. `positions[s]` are the rows of `ids`
        that shard `s` was sent, for the error."""
        results, errors = self._gather(method, args, retry=repeatable, timeout=self.timeout)
        if errors:
            rows = np.sort(np.concatenate([positions[s] for s in errors]))
            unconfirmed = ids[rows].tolist()
            failed = ", ".join(f"shard {s}: {first_line(errors[s])}" for s in sorted(errors))
            raise IncompleteWriteError(
                f"{method} was not confirmed by {len(errors)} of {len(args)} shards; "
                f"{len(unconfirmed)} ids may or may not have been applied ({failed})",
                unconfirmed,
                errors,
            )
        return results

    def gather(self, method: str, args: Mapping[int, tuple[Any, ...]]) -> tuple[dict[int, Any], dict[int, BaseException]]:
        """The replies to `method(*args[shard])` of the shards that answered,
        and the error of each that did not; a shard whose actor failed is asked
        again, as for a read. For a caller that reports every shard's failure
        itself."""
        return self._gather(method, args, retry=True, timeout=self.timeout)

    def _gather(
        self, method: str, args: Mapping[int, tuple[Any, ...]], *, retry: bool, timeout: float
    ) -> tuple[dict[int, Any], dict[int, BaseException]]:
        """The replies of the shards that answered, and the error of each that
        did not: its own exception, the actor's error, or a TimeoutError when
        the deadline passed (after the last actor error, when retrying)."""
        deadline = time.monotonic() + timeout
        pending = {self.submit(s, method, a): s for s, a in args.items()}
        try:
            # Every shard answers: one round trip.
            refs = list(pending)
            return {pending[r]: value for r, value in zip(refs, ray.get(refs, timeout=timeout))}, {}
        except (RayActorError, RayTaskError, GetTimeoutError):
            pass  # the loop below sorts out which shards failed, and asks again
        results: dict[int, Any] = {}
        errors: dict[int, BaseException] = {}
        pause: dict[int, float] = {}
        resubmit_at: dict[int, float] = {}
        while pending or resubmit_at:
            now = time.monotonic()
            for s, when in list(resubmit_at.items()):
                if when <= now:
                    del resubmit_at[s]
                    pending[self.submit(s, method, args[s])] = s
            if now >= deadline:
                for s in [*pending.values(), *resubmit_at]:
                    if s not in errors:
                        errors[s] = TimeoutError(f"shard {s} did not answer within {timeout:g} s")
                break
            wake = min([deadline, *resubmit_at.values()])
            if not pending:
                time.sleep(max(0.0, wake - now))
                continue
            ready, _ = ray.wait(list(pending), num_returns=1, timeout=max(0.0, wake - now))
            for ref in ready:
                s = pending.pop(ref)
                try:
                    results[s] = ray.get(ref)
                    errors.pop(s, None)
                except RayActorError as e:
                    # Died during the call, or restarting: the same request again
                    # after a pause, while the deadline allows.
                    errors[s] = e
                    if retry:
                        pause[s] = min(_LONGEST_PAUSE, pause.get(s, _FIRST_PAUSE / 2) * 2)
                        resubmit_at[s] = time.monotonic() + pause[s]
                except RayTaskError as e:
                    errors[s] = _cause(e)
        return results, errors

    def _unavailable(self, method: str, shards: Sequence[int], causes: Mapping[int, BaseException]) -> ShardUnavailableError:
        names = ", ".join(str(s) for s in shards)
        detail = "; ".join(f"shard {s}: {first_line(causes[s])}" for s in shards if not isinstance(causes[s], TimeoutError))
        return ShardUnavailableError(
            f"{method}: shard{'s' if len(shards) > 1 else ''} {names} of {self.root!r} did not answer "
            f"within {self.timeout:g} s" + (f" ({detail})" if detail else ""),
            shards,
            causes,
        )


def _cause(error: RayTaskError) -> BaseException:
    cause = getattr(error, "cause", None)
    return cause if isinstance(cause, BaseException) else error


def _summary(error: BaseException) -> str:
    """The first line of an actor's error and its last: for an actor whose
    constructor failed, the last line is the constructor's exception."""
    lines = [line.strip() for line in str(error).strip().splitlines() if line.strip()]
    if len(lines) <= 1:
        return first_line(error)
    return f"{type(error).__name__}: {lines[0]} ... {lines[-1]}"


def first_line(error: BaseException) -> str:
    text = str(error).strip().splitlines()
    return f"{type(error).__name__}: {text[0] if text else ''}"
