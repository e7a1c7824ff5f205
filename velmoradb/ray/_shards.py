"""Calls that fan out to the shard actors, and what happens when actors fail.

`ShardSet` holds the actor handles of one open sharded collection. It is
picklable, so Ray Data tasks carry it to other processes and call the same
actors.

Reads (search, get, ids, len) are sent to every shard concerned. A shard whose
actor died during the call, or is being restarted, is asked again (after a
short pause that grows to a second) until it answers or the call's `timeout`
runs out; then `ShardUnavailableError` names the shards that did not answer.
An answer is only ever made from every shard's reply.

Writes are sent once to each shard concerned, never retried behind the
caller's back: a write whose actor died may or may not have been applied, and
only the caller can decide to repeat it. Shards that confirmed have applied
and forced their part; the rest are reported in `IncompleteWriteError`.
"""

from __future__ import annotations

import time
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
import ray
from ray.exceptions import RayActorError, RayTaskError

from velmoradb.ray._errors import IncompleteWriteError, ShardUnavailableError
from velmoradb.ray._manifest import Manifest

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

    def read(self, method: str, args: Mapping[int, tuple[Any, ...]], *, retry: bool = True) -> dict[int, Any]:
        """Each shard's reply to `method(*args[shard])`."""
        deadline = time.monotonic() + self.timeout
        pending = {self.submit(s, method, a): s for s, a in args.items()}
        results: dict[int, Any] = {}
        last_error: dict[int, BaseException] = {}
        pause: dict[int, float] = {}
        resubmit_at: dict[int, float] = {}
        while pending or resubmit_at:
            now = time.monotonic()
            for s, when in list(resubmit_at.items()):
                if when <= now:
                    del resubmit_at[s]
                    pending[self.submit(s, method, args[s])] = s
            if now >= deadline:
                missing = sorted(set(pending.values()) | set(resubmit_at))
                raise self._unavailable(method, missing, last_error)
            wake = min([deadline, *resubmit_at.values()])
            if not pending:
                time.sleep(max(0.0, wake - now))
                continue
            ready, _ = ray.wait(list(pending), num_returns=1, timeout=max(0.0, wake - now))
            for ref in ready:
                s = pending.pop(ref)
                try:
                    results[s] = ray.get(ref)
                except RayActorError as e:
                    if not retry:
                        raise self._unavailable(method, [s], {s: e}) from e
                    last_error[s] = e
                    pause[s] = min(_LONGEST_PAUSE, pause.get(s, _FIRST_PAUSE / 2) * 2)
                    resubmit_at[s] = time.monotonic() + pause[s]
                except RayTaskError as e:
                    # The shard refused the request (a bad filter...): the caller's error.
                    raise _cause(e) from None
        return results

    def write(
        self, method: str, args: Mapping[int, tuple[Any, ...]], ids: npt.NDArray[np.uint64],
        positions: Mapping[int, npt.NDArray[np.intp]],
    ) -> dict[int, Any]:
        """Each shard's reply to `method(*args[shard])`, sent once. `positions[s]`
        are the rows of `ids` that shard `s` was sent, for the error."""
        refs = {self.submit(s, method, a): s for s, a in args.items()}
        ready, _ = ray.wait(list(refs), num_returns=len(refs), timeout=self.timeout)
        results: dict[int, Any] = {}
        errors: dict[int, BaseException] = {}
        for ref, s in refs.items():
            if ref not in ready:
                errors[s] = TimeoutError(f"shard {s} did not answer within {self.timeout:g} s")
                continue
            try:
                results[s] = ray.get(ref)
            except RayTaskError as e:
                errors[s] = _cause(e)
            except RayActorError as e:
                errors[s] = e
        if errors:
            rows = np.sort(np.concatenate([positions[s] for s in errors]))
            unconfirmed = ids[rows].tolist()
            failed = ", ".join(f"shard {s}: {_first_line(errors[s])}" for s in sorted(errors))
            raise IncompleteWriteError(
                f"{method} was not confirmed by {len(errors)} of {len(refs)} shards; "
                f"{len(unconfirmed)} ids may or may not have been applied ({failed})",
                unconfirmed,
                errors,
            )
        return results

    def _unavailable(self, method: str, shards: Sequence[int], causes: Mapping[int, BaseException]) -> ShardUnavailableError:
        names = ", ".join(str(s) for s in shards)
        detail = "; ".join(f"shard {s}: {_first_line(causes[s])}" for s in shards if s in causes)
        return ShardUnavailableError(
            f"{method}: shard{'s' if len(shards) > 1 else ''} {names} of {self.root!r} did not answer "
            f"within {self.timeout:g} s" + (f" ({detail})" if detail else ""),
            shards,
            causes,
        )


def _cause(error: RayTaskError) -> BaseException:
    cause = getattr(error, "cause", None)
    return cause if isinstance(cause, BaseException) else error


def _first_line(error: BaseException) -> str:
    text = str(error).strip().splitlines()
    return f"{type(error).__name__}: {text[0] if text else ''}"
