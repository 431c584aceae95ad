"""Runs COUNT asynchronous requests (local, or remote to a closed port with
"remote"), waits for every delivery and exits; for leak checkers.
Usage: async_leak.py COUNT [local|remote]"""

import os
import socket
import sys
import threading

import pemux

count = int(sys.argv[1])
if sys.argv[2:] == ["remote"]:
    os.environ.pop("PEMU_KILLSWITCH", None)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    os.environ["PEMU_BASE_URL"] = f"https://127.0.0.1:{port}"
    os.environ["PEMU_CA_BUNDLE"] = __file__
else:
    os.environ["PEMU_KILLSWITCH"] = "1"

lock = threading.Condition()
results = []


def keep(result):
    with lock:
        results.append(result)
        lock.notify_all()


def drop(result):
    keep(result)
    raise ValueError("raised by the callable")


for i in range(count):
    pemux.complete_subset_sum_async([i, 3, 64 * (i % 5) + 1], keep if i % 4 else drop)
with lock:
    ok = lock.wait_for(lambda: len(results) >= count, 100)
print("delivered", len(results), flush=True)
sys.exit(0 if ok else 1)
