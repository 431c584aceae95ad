"""Asynchronous requests when no thread can be started: address space is
limited so that no thread stack fits. Exit status 0: every call raised
RuntimeError at once, no callable ran, no reference was kept, and requests
work again once threads can start; 2: a thread could still be started here,
so nothing was shown."""

import _thread
import os
import resource
import sys
import threading

import pemux

os.environ["PEMU_KILLSWITCH"] = "1"
seen = []
# Held by the caller and taken by the callable: a callable run on the
# caller's own thread would find it taken.
lock = threading.Lock()


def record(result):
    if not lock.acquire(blocking=False):
        seen.append("ran on the caller's thread")
        return
    seen.append(result)
    lock.release()


with open("/proc/self/status") as f:
    vm_kb = next(int(line.split()[1]) for line in f if line.startswith("VmSize:"))
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
# Room for a few small allocations, not for a thread stack.
limit = (vm_kb + 4096) * 1024
resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
try:
    _thread.start_new_thread(lambda: None, ())
    sys.exit(2)
except RuntimeError:
    pass

before = sys.getrefcount(record)
errors = []
with lock:
    for values in ([1, 2], [], [5] * 100):
        try:
            pemux.complete_subset_sum_async(values, record)
            errors.append("no error")
        except RuntimeError as e:
            errors.append(str(e))
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
assert errors == ["can't start new thread"] * 3, errors
assert seen == [], seen
assert sys.getrefcount(record) == before

done = threading.Event()
pemux.complete_subset_sum_async([1, 2], lambda result: (seen.append(result), done.set()))
assert done.wait(30)
assert seen == [[15]], seen
print("ok", flush=True)
