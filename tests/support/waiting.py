"""The one way tests wait for something to happen."""

import time

import pytest

# Generous: a loaded machine is slow, and a test that passes waits no longer
# than it takes. No test relies on anything happening within a short time.
DEFAULT_TIMEOUT_S = 60.0


def wait_until(cond, what, timeout=DEFAULT_TIMEOUT_S, step=0.01):
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
