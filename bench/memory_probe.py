"""Memory held by one peer's structure, measured in a fresh process.

    python bench/memory_probe.py --workload fruits --size 2000000 --peer sqlite3

Every library the peer needs is imported and the records (and, for Quarrydex, the
objects) are made before the first reading, so the difference between the two
resident-set readings is what the peer's own structure holds beyond the data. Prints
one JSON object. The pseudo-peers "records" and "Quarrydex objects" measure the data
itself: the list of dicts, and the Indexable objects made from it. The peak is the
high-water mark of the resident set during the build (reset just before it), less the
same baseline. A second reading after `malloc_trim` tells the structure's own footprint
from the heap memory that the build's temporaries left behind; the held figure is the
one taken before it.
"""

from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import gc
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import peers  # noqa: E402
from workloads import BUILDERS  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss() -> int:
    gc.collect()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def reset_peak() -> bool:
    """Resets the resident-set high-water mark (Linux 4.0+); False where not allowed."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_rss() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def probe(workload: str, size: int, peer_name: str) -> dict:
    import numpy  # noqa: F401  (pandas and Quarrydex's numpy support load it anyway)
    import pandas  # noqa: F401
    import Quarrydex  # noqa: F401

    start = rss()
    wl = BUILDERS[workload](size)
    out: dict = {"workload": workload, "size": size, "peer": peer_name}
    out["records_bytes"] = rss() - start
    if peer_name == "records":
        out["held_bytes"] = out["records_bytes"]
        return out
    by_name = {cls.name: cls for cls in peers.ALL_PEERS}
    quarrydex = peer_name.startswith("Quarrydex")
    if quarrydex:
        before = rss()
        peers.QuarrydexQuery.make_objects(wl)
        out["objects_bytes"] = rss() - before
        if peer_name == "Quarrydex objects":
            out["held_bytes"] = out["objects_bytes"]
            return out
    peer = by_name[peer_name]()
    before = rss()
    peak_known = reset_peak()
    t0, cpu0 = time.perf_counter(), time.process_time()
    peer.build(wl)
    out["build_s"] = time.perf_counter() - t0
    # The processor time as well: on a busy machine it is the steadier figure.
    out["build_cpu_s"] = time.process_time() - cpu0
    if peak_known:
        out["peak_bytes"] = peak_rss() - before
    out["held_bytes"] = rss() - before
    # What the allocator kept of the build's temporaries, as opposed to what the
    # structure itself holds: the heap's free memory handed back to the system.
    ctypes.CDLL(ctypes.util.find_library("c")).malloc_trim(0)
    out["held_trimmed_bytes"] = rss() - before
    if isinstance(peer, peers.Sqlite):
        out["database_bytes"] = peer.database_bytes()
    return out


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--workload", default="fruits", choices=sorted(BUILDERS))
    parser.add_argument("--size", type=int, required=True)
    parser.add_argument("--peer", required=True)
    args = parser.parse_args()
    print(json.dumps(probe(args.workload, args.size, args.peer)))


if __name__ == "__main__":
    main()
