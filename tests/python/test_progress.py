"""The bytes form watched: progress calls on a local solve of a second or
two, Ctrl-C ending a local solve in a child process, and the keyword's
refusals."""

import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import pemux

SCRIPT_TIMEOUT_S = 120

# Half a second on an idle machine (370 MB of result): sixty copies of one
# large value, whose common divisor is spread out over the whole result.
LONG = [random.Random(1).randrange(1, 10**8) for _ in range(60)]


def test_progress_is_counted_rate_limited_and_ends_at_one_on_the_calling_thread(local):
    calls = []

    def progress(fraction):
        calls.append((time.monotonic(), fraction, threading.get_ident()))

    started = time.monotonic()
    got = pemux.complete_subset_sum_bytes(LONG, progress=progress)
    elapsed = time.monotonic() - started
    assert got == pemux.complete_subset_sum_bytes(LONG)  # unchanged by the watch
    fractions = [f for _, f, _ in calls]
    assert fractions[-1] == 1.0 and fractions.count(1.0) == 1
    assert fractions == sorted(fractions) and fractions[0] >= 0.0
    assert {t for _, _, t in calls} == {threading.get_ident()}
    # At most 10 a second, besides the first (at once) and the last (1.0).
    gaps = [b - a for (a, _, _), (b, _, _) in zip(calls[1:-1], calls[2:-1], strict=False)]
    assert all(g >= 0.099 for g in gaps), gaps
    assert len(calls) <= 10 * elapsed + 2
    if elapsed > 0.5:
        assert len(calls) >= 3, (elapsed, fractions)  # it does tell on the way


def test_progress_on_another_thread_is_called_there(local):
    seen, done = [], threading.Event()

    def solve():
        pemux.complete_subset_sum_bytes([3, 5, 10**6], progress=lambda f: seen.append(
            (f, threading.get_ident())))
        seen.append(("thread", threading.get_ident()))
        done.set()

    threading.Thread(target=solve).start()
    assert done.wait(30)
    worker = seen[-1][1]
    assert [f for f, _ in seen[:-1]][-1] == 1.0
    assert {t for _, t in seen} == {worker} != {threading.get_ident()}


def test_a_progress_callable_that_raises_ends_the_solve_with_its_error(local):
    calls = []

    def progress(fraction):
        calls.append(fraction)
        raise ValueError("stop here")

    with pytest.raises(ValueError, match="stop here"):
        pemux.complete_subset_sum_bytes(LONG, progress=progress)
    assert calls == [0.0]


@pytest.mark.parametrize("kwargs, match", [
    ({"progress": 5}, "progress must be callable or None, not int"),
    ({"progres": print}, "unexpected keyword argument 'progres'"),
])
def test_keyword_refusals(local, kwargs, match):
    with pytest.raises(TypeError, match=match):
        pemux.complete_subset_sum_bytes([1], **kwargs)


def test_progress_none_and_the_trivial_solve(local):
    calls = []
    assert pemux.complete_subset_sum_bytes([1, 2], progress=None) == (15).to_bytes(8, "little")
    assert pemux.complete_subset_sum_bytes([0, 0], progress=calls.append) == b"\x01" + bytes(7)
    assert calls == [1.0]


def test_the_remote_path_tells_only_the_end(monkeypatch, service):
    monkeypatch.delenv("PEMU_KILLSWITCH", raising=False)
    for name, value in service.env().items():
        monkeypatch.setenv(name, value)
    calls = []
    assert pemux.complete_subset_sum_bytes([3, 5], progress=calls.append) == (297).to_bytes(
        8, "little")
    assert calls == [1.0]


CHILD = textwrap.dedent("""
    import os, sys, time
    import pemux
    values = [int(v) for v in sys.argv[1:]]
    told = []
    def progress(fraction):
        if not told:
            told.append(1)
            print("solving", flush=True)
    try:
        pemux.complete_subset_sum_bytes(values, progress=progress)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
""")


def test_ctrl_c_ends_a_local_solve_with_keyboard_interrupt(tmp_path):
    script = tmp_path / "child.py"
    script.write_text(CHILD)
    env = dict(os.environ, PEMU_KILLSWITCH="1")
    # Several times the long solve: Ctrl-C must end it well before its end.
    values = LONG * 4
    child = subprocess.Popen([sys.executable, str(script), *map(str, values)], env=env,
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "solving\n"
        time.sleep(0.05)  # mid-solve
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=SCRIPT_TIMEOUT_S)
    finally:
        child.kill()
        child.wait()
    *before, last = out.splitlines()
    word, at = last.split()
    # Ended by the signal, not run on to its end (the latency is measured
    # apart from the tests): the solve itself was stopped, and said so. A
    # solve run to its end would raise only once it returned.
    assert word == "interrupted", out
    assert before == ["Failed with error: [Local failure] cancelled"], out
    assert float(at) > sent
