"""Starts asynchronous requests and lets the interpreter exit while they are
still in flight: some finish before the exit, some during it, some never.

Usage: async_exit.py COUNT LARGEST_VALUE"""

import os
import sys

import pemux

os.environ["PEMU_KILLSWITCH"] = "1"
count, largest = int(sys.argv[1]), int(sys.argv[2])
received = []


def keep(result):
    # Real Python work on the worker thread, racing the shutdown.
    received.append(sum(bin(w).count("1") for w in result))


for i in range(count):
    # Growing sizes spread the completions across the exit.
    top = 1 + largest * (i + 1) // count
    pemux.complete_subset_sum_async([top, top // 3 + 1, 7, 64, top // 2], keep)
print("started", count, flush=True)
