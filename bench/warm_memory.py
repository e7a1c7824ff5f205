"""Touching memory before a timed write, so that the hypervisor's backing of
fresh memory lands on neither side of a comparison.

On this machine (a KVM guest with a free-page-reporting balloon) memory the
guest frees goes back to the host within seconds, and the next first touch of
it costs about six times a touch of memory the host still backs: 2 GiB of
page faults took 3 to 6 s cold and 0.45 s warm. A write of a new file takes
its page-cache pages from that free memory, so a single timed write is fast
or several times slower depending on what the machine did seconds before.
Touching and freeing `nbytes` right before each timed operation (ours and the
reference alike) leaves that much free memory backed for it.
"""

from __future__ import annotations

import numpy as np


def warm_memory(nbytes: int) -> None:
    """Allocates, touches and frees `nbytes` (rounded up to whole pages)."""
    block = np.ones(-(-nbytes // 8), dtype=np.float64)
    del block
