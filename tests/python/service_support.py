"""Helpers shared by the tests that run services as processes of their own."""

import os
import random
import socket
import subprocess
import time

import pytest


def local(values):
    """The in-process answer for values, whatever PEMU_KILLSWITCH was."""
    import pemux

    old = os.environ.get("PEMU_KILLSWITCH")
    os.environ["PEMU_KILLSWITCH"] = "1"
    try:
        return pemux.complete_subset_sum_bytes(values)
    finally:
        if old is None:
            del os.environ["PEMU_KILLSWITCH"]
        else:
            os.environ["PEMU_KILLSWITCH"] = old


def wait_until(cond, what, timeout, step):
    """cond()'s first true value, polled every step seconds; fails the test
    after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        got = cond()
        if got:
            return got
        if time.monotonic() > deadline:
            pytest.fail(f"timed out waiting for {what}")
        time.sleep(step)


def free_port():
    """A loopback port nothing listens on at the moment."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stop_process(proc):
    """Ends proc: SIGTERM, then SIGKILL after five seconds."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def problem(seed, count, largest):
    rng = random.Random(seed)
    return [rng.randint(0, largest) for _ in range(count)]


def signal_all(pids, sig):
    """Signals each pid, passing over those already gone."""
    for pid in pids:
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            pass


def children(pid):
    """Child processes of pid, whichever of its threads started them."""
    out = []
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except FileNotFoundError:
        return out
    for tid in tasks:
        try:
            with open(f"/proc/{pid}/task/{tid}/children") as f:
                out += [int(p) for p in f.read().split()]
        except FileNotFoundError:
            pass
    return out


def is_solver(pid):
    """Whether pid runs a solver (not multiprocessing's helper)."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return b"spawn_main" in f.read()
    except FileNotFoundError:
        return False


def solver_pids(pid):
    """The solver processes pid started."""
    return [kid for kid in children(pid) if is_solver(kid)]
