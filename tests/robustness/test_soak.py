"""A short soak (scripts/soak.py has the long one): after a warm-up, load and
save cycles and rounds of calls of every in-memory method leave resident
memory, descriptors and the interpreter's allocated blocks flat."""

import json
import os
import subprocess
import sys

import childrun

SOAK = os.path.join(os.path.dirname(childrun.__file__), "soak.py")
MIB = 1024 * 1024


def test_short_soak_stays_flat():
    proc = subprocess.run(
        [sys.executable, SOAK, "--cycles", "300", "--rounds", "5000", "--every", "100",
         "--warmup", "100", "--json"],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        env=childrun.child_env(), universal_newlines=True, timeout=900)
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-4000:]
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    log = proc.stdout[-3000:]
    assert result["problems"] == [], log
    cycles, rounds = result["cycles"], result["rounds"]
    # Descriptors: none kept after a collection, few waiting for one.
    for phase in (cycles, rounds):
        assert phase["fds_end"] == phase["fds_start"], log
        assert phase["fds_seen_max"] <= phase["fds_start"] + 4, log
    # Allocated blocks: a leak of one object per cycle (300 cycles), or per
    # call of any one method (5000 rounds), would exceed these bounds.
    assert cycles["blocks_growth"] < 200, log
    assert rounds["blocks_growth"] < 1000, log
    if not childrun.under_asan():
        # AddressSanitizer's quarantine holds freed memory, so resident
        # memory is only meaningful without it.
        assert cycles["rss_growth"] < 2 * MIB, log
        assert rounds["rss_growth"] < 2 * MIB, log
