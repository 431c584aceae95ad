"""Runs the same deep recursion in an ordinary Python thread and then in an
asynchronous callable. Prints "thread ok" and "callback ok" as each one
finishes. Usage: async_stack.py DEPTH"""

import os
import sys
import threading

import pemux

os.environ["PEMU_KILLSWITCH"] = "1"
depth = int(sys.argv[1])
sys.setrecursionlimit(depth + 1000)


def deep(n):
    # Each level passes through C code, so it consumes the C stack.
    return 0 if n == 0 else sum(map(deep, [n - 1])) + 1


def run(out):
    out.append(deep(depth))


got = []
t = threading.Thread(target=run, args=(got,))
t.start()
t.join()
if got != [depth]:
    sys.exit(3)
print("thread ok", flush=True)

done = threading.Event()
pemux.complete_subset_sum_async([1, 2], lambda result: (run(got), done.set()))
if not done.wait(30) or got != [depth, depth]:
    sys.exit(1)
print("callback ok", flush=True)
