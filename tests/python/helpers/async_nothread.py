"""Asynchronous requests when no thread can be started: address space is
limited so that no thread stack fits. Exit status 0: every callable was
called once, with None, before the call returned; 2: a thread could still
be started here, so nothing was shown."""

import _thread
import os
import resource
import sys
import threading

import pemux

os.environ["PEMU_KILLSWITCH"] = "1"
main = threading.get_ident()
seen = []


def record(result):
    seen.append((result, threading.get_ident()))


def raises(result):
    seen.append((result, threading.get_ident()))
    raise ValueError("from the callable")


with open("/proc/self/status") as f:
    vm_kb = next(int(line.split()[1]) for line in f if line.startswith("VmSize:"))
# Room for a few small allocations, not for a thread stack.
limit = (vm_kb + 4096) * 1024
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    _thread.start_new_thread(lambda: None, ())
    sys.exit(2)
except RuntimeError:
    pass

before = sys.getrefcount(record)
# The raising one in the middle: its exception must not surface here.
assert pemux.complete_subset_sum_async([1, 2], record) is None
assert pemux.complete_subset_sum_async([1, 2], raises) is None
assert pemux.complete_subset_sum_async([1, 2], record) is None
assert seen == [(None, main)] * 3, seen
assert sys.getrefcount(record) == before
print("ok", flush=True)
