"""pemux.complete_subset_sum_bytes: the same bits as the list form on both
paths, the same refusals, the interpreter lock released while it solves,
Ctrl-C during a remote wait; and the result check on the bytes form."""

import os
import random
import signal
import subprocess
import sys
import time

import pytest
from support.lock import ticks_during

import pemux
from bitsets import oracle

SCRIPT_TIMEOUT_S = 60


def words_as_bytes(words):
    return b"".join(w.to_bytes(8, "little") for w in words)


@pytest.fixture
def refused_remote(monkeypatch, absent_url):
    """The remote path, failing at once: nothing listens at the URL."""
    monkeypatch.delenv("PEMU_KILLSWITCH", raising=False)
    monkeypatch.setenv("PEMU_BASE_URL", absent_url)
    monkeypatch.setenv("PEMU_CA_BUNDLE", __file__)


def random_problem(seed):
    rng = random.Random(seed)
    hi = rng.choice([3, 64, 1000, 70_000, 2_000_000])
    return [rng.randrange(0, hi) for _ in range(rng.randrange(0, 30))]


def assert_same_bits(values):
    got = pemux.complete_subset_sum_bytes(values)
    assert type(got) is bytes
    assert len(got) == 8 * (sum(values) // 64 + 1)
    assert got == words_as_bytes(pemux.complete_subset_sum(values))
    assert int.from_bytes(got, "little") == oracle(values)


# ---- same bits as the list form ------------------------------------------

@pytest.mark.parametrize("values", [[], [0], [1, 2], [63], [64], [1] * 64, [True, 2]])
def test_small_results_agree_with_the_list_form(local, values):
    assert_same_bits(values)


@pytest.mark.parametrize("seed", range(16))
def test_random_problems_agree_with_the_list_form_locally(local, seed):
    assert_same_bits(random_problem(seed))


@pytest.mark.parametrize("seed", range(4))
def test_random_problems_agree_with_the_list_form_remotely(remote, seed):
    assert_same_bits(random_problem(100 + seed))


def test_sparse_large_result_agrees_with_the_list_form(local):
    # Thousands of words with few bits each: the list shares most of its
    # ints, the bytes form has none to share.
    rng = random.Random(3)
    assert_same_bits([rng.randrange(10**4, 10**5) for _ in range(14)])


# ---- same refusals as the list form --------------------------------------

@pytest.mark.parametrize("args, exc, printed", [
    (([1, "2"],), TypeError, "Error occured with PyLong_Check\n"),
    (([1.5],), TypeError, "Error occured with PyLong_Check\n"),
    (([5, -1],), OverflowError, ""),
    (([2**64],), OverflowError, ""),
    (([2**63, 2**63],), OverflowError, "Error occured, overflow on input\n"),
    (([2**63, 2**63 - 1],), MemoryError, ""),
    ((), None, "Error occured with parsing tuple 0\n"),
    (([1], [2]), None, "Error occured with parsing tuple 0\n"),
    (("abc",), TypeError, "Error occured with PyLong_Check\n"),
])
def test_bad_arguments_as_for_the_list_form(local, capfd, args, exc, printed):
    outcomes = []
    for call in (pemux.complete_subset_sum, pemux.complete_subset_sum_bytes):
        if exc is None:
            outcomes.append(call(*args))
        else:
            with pytest.raises(exc) as info:
                call(*args)
            outcomes.append(str(info.value))
        assert capfd.readouterr().out == printed
    listed, as_bytes = outcomes
    assert as_bytes == listed


def test_remote_failure_raises_connection_error_as_the_list_form(refused_remote, capfd):
    errors = []
    for call in (pemux.complete_subset_sum, pemux.complete_subset_sum_bytes):
        with pytest.raises(ConnectionError) as info:
            call([3, 5])
        errors.append(str(info.value))
        assert f"Error occured {info.value}\n" in capfd.readouterr().out
    assert errors[0] == errors[1] != ""


# ---- the interpreter lock -------------------------------------------------

def test_other_thread_runs_during_a_long_local_solve(local):
    rng = random.Random(6)
    values = [rng.randrange(10**7, 2 * 10**7) for _ in range(40)]
    result, during = ticks_during(lambda: pemux.complete_subset_sum_bytes(values))
    assert during >= 10, during
    assert len(result) == 8 * (sum(values) // 64 + 1)


INTERRUPTED_WAIT = """
import sys, time, pemux
print("calling", flush=True)
start = time.monotonic()
try:
    pemux.complete_subset_sum_bytes([3, 5, 7])
    print("returned")
except KeyboardInterrupt:
    print("interrupted after %.2f s" % (time.monotonic() - start), file=sys.stderr)
    print("interrupted")
except ConnectionError as e:
    print("ConnectionError", e)
"""


def test_sigint_ends_a_remote_wait_with_keyboard_interrupt(service):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PEMU_")}
    env.update(service.env("notready-1000"))
    mark = service.log_mark()
    proc = subprocess.Popen([sys.executable, "-c", INTERRUPTED_WAIT], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "calling\n"
        # Interrupt in a pause between polls, once the waiting has begun.
        deadline = time.monotonic() + 20
        while len(service.entries_since(mark)) < 3:
            assert time.monotonic() < deadline, "no polls reached the service"
            time.sleep(0.02)
        proc.send_signal(signal.SIGINT)
        sent = time.monotonic()
        try:
            out, err = proc.communicate(timeout=15)
        except subprocess.TimeoutExpired:
            pytest.fail("the call still waited 15 s after SIGINT")
        ended_after = time.monotonic() - sent
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert (proc.returncode, out.splitlines()[-1:]) == (0, ["interrupted"]), err[-2000:]
    assert ended_after < 2.5, f"took {ended_after:.2f} s after SIGINT"


# ---- the result check on bytes --------------------------------------------

@pytest.mark.parametrize("result, index, expected", [
    ((5).to_bytes(8, "little"), 0, True),
    ((5).to_bytes(8, "little"), 1, False),
    ((5).to_bytes(8, "little"), 2, True),
    ((1 << 63).to_bytes(8, "little"), 63, True),
    ((1 << 63).to_bytes(8, "little"), 62, False),
    (bytes(8) + (1 << 9).to_bytes(8, "little"), 73, True),
    (bytes(8) + (1 << 9).to_bytes(8, "little"), 72, False),
    (bytearray((1 << 40).to_bytes(8, "little")), 40, True),
])
def test_result_check_reads_bytes(result, index, expected):
    assert pemux.subset_sum_result_check(result, index) is expected


@pytest.mark.parametrize("seed", range(3))
def test_result_check_agrees_on_both_forms(local, seed):
    values = random_problem(seed)
    words = pemux.complete_subset_sum(values)
    as_bytes = pemux.complete_subset_sum_bytes(values)
    top = sum(values)
    for s in random.Random(seed).sample(range(top + 1), min(top + 1, 200)):
        assert (pemux.subset_sum_result_check(as_bytes, s)
                is pemux.subset_sum_result_check(words, s))


@pytest.mark.parametrize("result, index, printed", [
    (bytes(8), 64, "entry 1 is out of bounds of input of length 1"),
    (b"", 0, "entry 0 is out of bounds of input of length 0"),
    (bytes(16), -1, f"entry {2**58 - 1} is out of bounds of input of length 2"),
    (bytes(8), 2**64 + 3, f"entry {2**58} is out of bounds of input of length 1"),
])
def test_result_check_on_bytes_out_of_bounds(capfd, result, index, printed):
    assert pemux.subset_sum_result_check(result, index) is None
    assert capfd.readouterr().out == f"Error occured in result check, {printed}"


@pytest.mark.parametrize("length", [1, 7, 9, 15])
def test_result_check_refuses_bytes_of_partial_words(capfd, length):
    with pytest.raises(ValueError, match=f"multiple of 8, not {length}"):
        pemux.subset_sum_result_check(b"\xff" * length, 0)
    assert capfd.readouterr().out == ""
