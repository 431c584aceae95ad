"""Starts asynchronous remote requests and ends the interpreter while they
are in flight: in handshakes, transfers and pauses.

Usage: remote_exit.py COUNT end|exit|raise   (PEMU_* point at the service)"""

import os
import sys

import pemux

count, how = int(sys.argv[1]), sys.argv[2]
base = os.environ["PEMU_BASE_URL"]
# Each request is somewhere else at the exit: a slow submit, a poll that
# waits, a pause between polls.
MIXES = ["", "/b/stall-submit-0.3", "/b/stall-poll-0.3", "/b/notready-2"]
for i in range(count):
    os.environ["PEMU_BASE_URL"] = base + MIXES[i % len(MIXES)]
    pemux.complete_subset_sum_async([3, 5, i], lambda result: None)
os.environ["PEMU_BASE_URL"] = base
# One write, so that the workers' own lines cannot split it.
sys.stdout.write(f"started {count}\n")
sys.stdout.flush()
if how == "exit":
    sys.exit(3)
if how == "raise":
    raise RuntimeError("uncaught on purpose")
