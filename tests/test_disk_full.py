"""A disk that fills up, for real: a child process runs under a file-size
limit (RLIMIT_FSIZE, with SIGXFSZ ignored, so a write past the limit fails
with EFBIG instead of killing the process). Inserts then raise ValueError
"io error: ...", flush raises OSError, and once the limit is lifted a new
process finds every acknowledged insert with its exact vector and nothing
else."""

import json
import subprocess
import sys
import textwrap

import pytest

from _velmoradb import Collection

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="RLIMIT_FSIZE is POSIX")

DIM = 64

# The child prints one JSON line: the acknowledged inserts, the insert and
# flush errors, and whether the collection took inserts again afterwards.
CHILD = textwrap.dedent(
    """
    import json, os, resource, signal, sys
    from _velmoradb import Collection

    path, dim, before, limit_extra, attempts, close_mode = sys.argv[1:7]
    dim, before, limit_extra, attempts = int(dim), int(before), int(limit_extra), int(attempts)

    def vector(i):
        return [i + k / 64.0 for k in range(dim)]

    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    c = Collection.open_or_create(path, dim, "euclidean")
    acked = []
    for i in range(before):
        c.insert(i, vector(i))
        acked.append(i)
    c.flush()  # the log is empty again; the data file holds the records

    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    data_size = os.path.getsize(os.path.join(path, "data.vdb"))
    resource.setrlimit(resource.RLIMIT_FSIZE, (data_size + limit_extra, hard))

    insert_errors, batch_errors, flush_errors = [], [], []
    for i in range(before, before + attempts):
        try:
            if i % 10 == 9:
                c.insert_batch([i, i + 100000], [vector(i), vector(i + 100000)])
                acked += [i, i + 100000]
            else:
                c.insert(i, vector(i))
                acked.append(i)
        except ValueError as e:
            (batch_errors if i % 10 == 9 else insert_errors).append(str(e))
            if i % 10 == 9:
                # A batch stops at its first failure, and the pairs before it
                # stay; when the failure is the log's sync at the end of the
                # batch, every pair stays.
                for j in (i, i + 100000):
                    if c.search(vector(j), 1) == [(j, 0.0)]:
                        acked.append(j)
    for _ in range(3):
        try:
            c.flush()
        except OSError as e:
            flush_errors.append(str(e))

    resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))  # the disk has room again
    c.insert(10**6, vector(10**6))
    acked.append(10**6)
    if close_mode == "flush":
        c.flush()
    del c  # closes without a checkpoint: buffered frames reach the files
    print(json.dumps({"acked": acked, "insert_errors": insert_errors,
                      "batch_errors": batch_errors, "flush_errors": flush_errors}))
    """
)


def vector(i):
    return [i + k / 64.0 for k in range(DIM)]


def run_child(path, before, limit_extra, attempts, close_mode):
    done = subprocess.run(
        [sys.executable, "-c", CHILD, str(path), str(DIM), str(before), str(limit_extra),
         str(attempts), close_mode],
        capture_output=True, text=True, timeout=300,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


# The log fills first (no records flushed before the limit, frames of about
# 900 bytes against records of 300), or the data file does (a large data
# file flushed before, a limit just above it).
@pytest.mark.parametrize("before, limit_extra, attempts", [(0, 40_000, 150), (200, 9_000, 150)],
                         ids=["log fills up", "data file fills up"])
@pytest.mark.parametrize("close_mode", ["close", "flush"])
def test_inserts_fail_cleanly_and_everything_acknowledged_survives(
        tmp_path, before, limit_extra, attempts, close_mode):
    path = tmp_path / "full"
    out = run_child(path, before, limit_extra, attempts, close_mode)

    errors = out["insert_errors"] + out["batch_errors"]
    assert errors, "the limit was never reached"
    assert all(e.startswith("io error: ") and e.endswith("File too large") for e in errors), errors
    assert out["flush_errors"], "flush succeeded on a full disk"
    assert all(e.startswith("io error: ") and e.endswith("File too large")
               for e in out["flush_errors"]), out["flush_errors"]

    # A new process, no limit: exactly the acknowledged inserts.
    c = Collection.open_or_create(str(path), DIM, "euclidean")
    acked = set(out["acked"])
    found = {i for i, _ in c.search([0.0] * DIM, len(acked) + 1000)}
    assert found == acked
    for i in acked:
        assert c.search(vector(i), 1) == [(i, 0.0)]
