"""pemux.complete_subset_sum_async: delivery to the callable, argument
checks at the call, reference handling, failures, and interpreter exit with
requests in flight."""

import gc
import pathlib
import random
import subprocess
import sys
import threading
import time
import tracemalloc

import pytest

import pemux
from bitsets import as_int, oracle

HELPERS = pathlib.Path(__file__).resolve().parent / "helpers"
WAIT_S = 30.0
SCRIPT_TIMEOUT_S = 60


class Deliveries:
    """What the callables received, keyed by request, from any thread."""

    def __init__(self):
        self._cond = threading.Condition()
        self.calls = []  # (key, result, thread id)

    def callable_for(self, key, then=None):
        def deliver(result):
            # C-level calls first: they fail if an exception is pending.
            with self._cond:
                self.calls.append((key, result, threading.get_ident()))
                self._cond.notify_all()
            if then is not None:
                then()
        return deliver

    def wait(self, n, timeout=WAIT_S):
        with self._cond:
            self._cond.wait_for(lambda: len(self.calls) >= n, timeout)
            return list(self.calls)

    def by_key(self, n):
        calls = self.wait(n)
        found = {}
        for key, result, thread in calls:
            found.setdefault(key, []).append((result, thread))
        return found


def wait_for_refcount(obj, expected):
    """sys.getrefcount(obj) as the caller sees it, once it settles at
    expected or after WAIT_S. The callback releases its reference just
    after the callable returns."""
    def count():
        return sys.getrefcount(obj) - 1  # less this function's parameter
    deadline = time.monotonic() + WAIT_S
    while count() != expected and time.monotonic() < deadline:
        time.sleep(0.005)
    return count()


@pytest.fixture
def refused_remote(monkeypatch, absent_url):
    """The remote path, failing at once: nothing listens at the URL."""
    monkeypatch.delenv("PEMU_KILLSWITCH", raising=False)
    monkeypatch.setenv("PEMU_BASE_URL", absent_url)
    monkeypatch.setenv("PEMU_CA_BUNDLE", __file__)


def run_script(name, *args, timeout=SCRIPT_TIMEOUT_S):
    return subprocess.run([sys.executable, str(HELPERS / name), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)


# ---- delivery ----------------------------------------------------------

@pytest.mark.parametrize("values, words", [
    ([1, 2], [15]),
    ([], [1]),
    ([0, 0], [1]),
    ([64], [1, 1]),
    ([63, 1], [1 | 2 | 1 << 63, 1]),
    ([5, 5, 5], [1 | 1 << 5 | 1 << 10 | 1 << 15]),
])
def test_result_delivered_once_on_another_thread(local, values, words):
    got = Deliveries()
    assert pemux.complete_subset_sum_async(values, got.callable_for(0)) is None
    calls = got.wait(1)
    assert [(k, r) for k, r, _ in calls] == [(0, words)]
    assert calls[0][2] != threading.get_ident()


@pytest.mark.parametrize("values, words", [((1, 2), [15]), ({1: 2}, [3]), (range(3), [15])])
def test_other_iterables_are_solved_as_their_items(local, capfd, values, words):
    got = Deliveries()
    assert pemux.complete_subset_sum_async(values, got.callable_for(0)) is None
    assert [r for _, r, _ in got.wait(1)] == [words]
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("values, exc", [("abc", TypeError), (None, TypeError), ([-1], OverflowError)])
def test_values_that_do_not_convert_raise_and_start_nothing(local, values, exc):
    got = Deliveries()
    with pytest.raises(exc):
        pemux.complete_subset_sum_async(values, got.callable_for(0))
    assert got.calls == []


def test_hundreds_in_flight_each_delivered_once_and_right(local):
    rng = random.Random(5)
    problems = [[rng.choice([0, rng.randrange(1, 2000)]) for _ in range(rng.randrange(21))]
                for _ in range(300)]
    got = Deliveries()
    for key, values in enumerate(problems):
        pemux.complete_subset_sum_async(values, got.callable_for(key))
    found = got.by_key(len(problems))
    assert sorted(found) == list(range(len(problems)))
    for key, values in enumerate(problems):
        assert len(found[key]) == 1, f"request {key} delivered {len(found[key])} times"
        words, thread = found[key][0]
        assert len(words) == sum(values) // 64 + 1, values
        assert as_int(words) == oracle(values), values
        assert thread != threading.get_ident()


def test_remote_requests_in_flight_each_delivered_once_and_right(service, monkeypatch):
    for name, value in service.env().items():
        monkeypatch.setenv(name, value)
    monkeypatch.delenv("PEMU_KILLSWITCH", raising=False)
    rng = random.Random(11)
    problems = [[rng.randrange(1, 500) for _ in range(rng.randrange(1, 8))] for _ in range(24)]
    got = Deliveries()
    for key, values in enumerate(problems):
        pemux.complete_subset_sum_async(values, got.callable_for(key))
    found = got.by_key(len(problems))
    for key, values in enumerate(problems):
        assert len(found.get(key, [])) == 1, f"request {key}"
        assert as_int(found[key][0][0]) == oracle(values), values


def test_remote_failure_delivers_none_and_callback_prints_nothing(refused_remote, capfd):
    got = Deliveries()
    for key in range(5):
        pemux.complete_subset_sum_async([1, key], got.callable_for(key))
    found = got.by_key(5)
    assert {k: [r for r, _ in v] for k, v in found.items()} == {k: [None] for k in range(5)}
    out = capfd.readouterr().out
    # The library reports the failure; the binding's callback adds nothing.
    assert "Failed with error: " in out
    assert "Error occured" not in out and "_async_callback" not in out


# ---- references and raising callables --------------------------------

@pytest.mark.parametrize("outcome", ["result", "raises", "failure"])
def test_callable_reference_released_after_delivery(request, outcome):
    request.getfixturevalue("refused_remote" if outcome == "failure" else "local")
    got = Deliveries()

    def fail():
        raise RuntimeError("from the callable")

    f = got.callable_for("f", then=fail if outcome == "raises" else None)
    before = sys.getrefcount(f)
    for _ in range(20):
        pemux.complete_subset_sum_async([3, 4], f)
    assert len(got.wait(20)) == 20
    assert wait_for_refcount(f, before) == before


def test_raising_callable_does_not_stop_later_deliveries(local, capfd):
    got = Deliveries()

    def fail():
        raise ValueError("from the callable")

    for key in range(20):
        then = fail if key % 2 == 0 else None
        pemux.complete_subset_sum_async([key, 1], got.callable_for(key, then))
    found = got.by_key(20)
    assert sorted(found) == list(range(20))
    assert all(len(v) == 1 for v in found.values())
    # Discarded without a report, and nothing left for this thread.
    assert "ValueError" not in capfd.readouterr().err
    assert pemux.complete_subset_sum([1, 2]) == [15]


def test_no_python_memory_kept_per_request(local):
    got = Deliveries()
    values = [7, 13, 64 * 500]  # results of about 500 words

    def batch(n):
        start = len(got.wait(0))
        for _ in range(n):
            pemux.complete_subset_sum_async(values, got.callable_for(0))
        assert len(got.wait(start + n)) == start + n
        got.calls.clear()
        gc.collect()

    tracemalloc.start()
    try:
        batch(50)
        base = tracemalloc.get_traced_memory()[0]
        batch(200)
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    # A kept result list alone would be 4 kB a request.
    assert grown < 100_000


# ---- refused at the call -----------------------------------------------

@pytest.mark.parametrize("uncallable", [5, None, "f", [print], object()])
def test_uncallable_raises_type_error_and_prints_nothing(local, capfd, uncallable):
    with pytest.raises(TypeError):
        pemux.complete_subset_sum_async([1], uncallable)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("uncallable", [[print], object()])
def test_uncallable_takes_no_reference(local, uncallable):
    before = sys.getrefcount(uncallable)
    with pytest.raises(TypeError):
        pemux.complete_subset_sum_async([1], uncallable)
    assert sys.getrefcount(uncallable) == before


def test_uncallable_starts_no_request():
    # A request started for it would end the process when it completes.
    code = """if 1:
        import os, threading, pemux
        os.environ["PEMU_KILLSWITCH"] = "1"
        try:
            pemux.complete_subset_sum_async([1], 5)
        except TypeError:
            pass
        done = threading.Event()
        pemux.complete_subset_sum_async([1], lambda r: done.set())
        assert done.wait(30)
        for _ in range(20):
            pemux.complete_subset_sum([1, 2])
        print("survived")
    """
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True,
                          text=True, timeout=SCRIPT_TIMEOUT_S)
    assert (proc.returncode, proc.stdout) == (0, "survived\n"), proc.stderr


def test_callable_that_lost_its_callability_is_reported_not_fatal():
    code = """if 1:
        import os, sys, time, pemux
        os.environ["PEMU_KILLSWITCH"] = "1"
        class Target:
            def __call__(self, result):
                print("called")
        target = Target()
        before = sys.getrefcount(target)
        # No switch to the worker before the class loses its __call__.
        sys.setswitchinterval(5.0)
        pemux.complete_subset_sum_async([1, 2], target)
        del Target.__call__
        deadline = time.monotonic() + 30
        while sys.getrefcount(target) != before and time.monotonic() < deadline:
            time.sleep(0.01)
        assert sys.getrefcount(target) == before
        print("survived", flush=True)
    """
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True,
                          text=True, timeout=SCRIPT_TIMEOUT_S)
    assert (proc.returncode, proc.stdout) == (
        0, "_async_callback called with uncallable callbacksurvived\n"), proc.stderr


@pytest.mark.parametrize("args", [([1],), ([1], print, [3]), ()])
def test_unparsable_arguments_print_and_return_none(local, capfd, args):
    refs = [sys.getrefcount(a) for a in args]
    assert pemux.complete_subset_sum_async(*args) is None
    assert capfd.readouterr().out == "Error occured with parsing tuple 0\n"
    assert [sys.getrefcount(a) for a in args] == refs


@pytest.mark.parametrize("values, error, printed", [
    (["a"], TypeError, "Error occured with PyLong_Check\n"),
    ([1, 2.0], TypeError, "Error occured with PyLong_Check\n"),
    ([-1], OverflowError, ""),
    ([1, 2**64], OverflowError, ""),
    ([2**63, 2**63], OverflowError, "Error occured, overflow on input\n"),
    ([2**64 - 1, 0, 1], OverflowError, "Error occured, overflow on input\n"),
])
def test_bad_values_refused_at_the_call_like_the_blocking_call(
        local, capfd, values, error, printed):
    got = Deliveries()
    f = got.callable_for(0)
    before = sys.getrefcount(f)
    for call in (pemux.complete_subset_sum,
                 lambda v: pemux.complete_subset_sum_async(v, f)):
        with pytest.raises(error):
            call(values)
        assert capfd.readouterr().out == printed
    # No request: no reference on the callable, so nothing can follow.
    assert sys.getrefcount(f) == before


# ---- threads and process exit ------------------------------------------

def test_exit_with_requests_in_flight_is_clean():
    for run in range(15):
        largest = [20_000, 200_000, 2_000_000][run % 3]
        proc = run_script("async_exit.py", 50, largest)
        assert (proc.returncode, proc.stdout) == (0, "started 50\n"), \
            f"run {run}: {proc.stderr[-2000:]}"


def test_exit_handler_registered_after_import_gets_its_result():
    code = """if 1:
        import atexit, os, threading, pemux
        os.environ["PEMU_KILLSWITCH"] = "1"
        got = threading.Event()
        sizes = []

        def wait_for_result():
            print("delivered" if got.wait(30) else "dropped", sizes, flush=True)

        atexit.register(wait_for_result)
        pemux.complete_subset_sum_async(
            [64 * 200_000, 1], lambda r: (sizes.append(len(r)), got.set()))
    """
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True,
                          text=True, timeout=SCRIPT_TIMEOUT_S)
    assert (proc.returncode, proc.stdout) == (0, "delivered [200001]\n"), proc.stderr


def test_callable_gets_the_stack_of_an_ordinary_thread():
    proc = run_script("async_stack.py", 3000)
    if proc.returncode == 3 or "thread ok" not in proc.stdout:
        pytest.skip("deep recursion does not fit an ordinary thread here")
    assert (proc.returncode, proc.stdout) == (0, "thread ok\ncallback ok\n"), proc.stderr


def test_no_thread_raises_at_the_call_and_never_runs_the_callable():
    proc = run_script("async_nothread.py")
    if proc.returncode == 2:
        pytest.skip("thread creation could not be made to fail here")
    assert (proc.returncode, proc.stdout) == (0, "ok\n"), proc.stdout + proc.stderr
