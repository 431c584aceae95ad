"""Starts asynchronous requests whose workers the preloaded test shim holds
(PEMU_SHIM_HOLD_THREADS) until the module's exit hook has run, then lets
them deliver while this thread keeps the interpreter lock: a callback that
went for the lock now would never get it. Prints the number of requests,
then how many workers were held and how many were still running when the
wait ended; exit status 3 if any was.

Usage: async_after_hook.py COUNT"""

import atexit
import ctypes
import os
import sys

# PyDLL keeps the interpreter lock across the call.
shim = ctypes.PyDLL(None)


def after_the_hook():
    held = shim.pemu_shim_held_threads()
    left = shim.pemu_shim_release_threads(10_000)
    print("held", held, "left", left, flush=True)
    if left:
        os._exit(3)


# Exit handlers run last registered first: this one, registered before the
# module registers its hook at import, runs after that hook.
atexit.register(after_the_hook)

import pemux  # noqa: E402


def called(result):
    print("called after the exit hook", flush=True)


count = int(sys.argv[1])
for i in range(count):
    pemux.complete_subset_sum_async([i + 1, 3, 64], called)
print("started", count, flush=True)
