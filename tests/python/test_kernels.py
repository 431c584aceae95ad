"""The in-process solver on every word kernel this CPU runs.

PEMU_KERNEL picks the kernel family at each solve; a family the CPU lacks
is skipped here (the solver itself would fall back to the best one).
"""

import ctypes
import os
import pathlib
import random
import subprocess
import sys

import pytest

import pemux
from bitsets import oracle

KERNELS = ("avx512", "avx2", "neon", "portable")
TESTS_DIR = pathlib.Path(__file__).resolve().parent


def kernel_in_use(name):
    """The family a solve would use with PEMU_KERNEL=name."""
    lib = ctypes.CDLL(pemux.__file__)
    lib._fmss_kernel_name.restype = ctypes.c_char_p
    before = os.environ.get("PEMU_KERNEL")
    os.environ["PEMU_KERNEL"] = name
    try:
        return lib._fmss_kernel_name().decode()
    finally:
        if before is None:
            del os.environ["PEMU_KERNEL"]
        else:
            os.environ["PEMU_KERNEL"] = before


@pytest.fixture(params=KERNELS)
def kernel(request, monkeypatch):
    if kernel_in_use(request.param) != request.param:
        pytest.skip(f"this CPU does not run the {request.param} kernel")
    monkeypatch.setenv("PEMU_KILLSWITCH", "1")
    monkeypatch.setenv("PEMU_KERNEL", request.param)
    return request.param


def test_unknown_kernel_name_means_the_best():
    best = kernel_in_use("")
    assert best in KERNELS
    assert kernel_in_use("no-such-kernel") == best
    assert kernel_in_use("portable") == "portable"


def test_local_exactness_tests_pass(kernel):
    """The exactness tests of the blocking call, run with this kernel."""
    env = dict(os.environ, PEMU_KERNEL=kernel)
    proc = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
         str(TESTS_DIR / "test_local.py"),
         "-k", "known_results or random_lists or largest_sum or subclass"],
        cwd=TESTS_DIR, env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert " passed" in proc.stdout and "deselected" in proc.stdout


def shapes():
    """(name, values): each reaches a different part of the solver."""
    rng = random.Random(2024)
    return [
        # Many small values: a long middle run, mostly the bits below it.
        ("dense", [rng.randint(1, 300) for _ in range(400)]),
        # Similar large values: sweeps over the whole set, shared by threads.
        ("similar", [rng.randint(2_000_000, 4_000_000) for _ in range(24)]),
        # Few large values: a sparse list, written out in slices.
        ("sparse", [rng.randint(1, 4_000_000) for _ in range(11)]),
        # Odd total: the mirrored half starts mid-word.
        ("odd_total", [rng.randint(1, 90_000) for _ in range(40)] + [1]),
        # A common divisor, spread out afterwards.
        ("divisor", [7 * rng.randint(1000, 60_000) for _ in range(30)]),
    ]


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("name, values", shapes(), ids=[n for n, _ in shapes()])
def test_both_forms_agree_with_big_int_oracle(kernel, monkeypatch, threads, name, values):
    monkeypatch.setenv("PEMU_THREADS", threads)
    want = oracle(values)
    nbytes = (sum(values) // 64 + 1) * 8
    got = pemux.complete_subset_sum_bytes(values)
    assert len(got) == nbytes
    assert int.from_bytes(got, "little") == want
    words = pemux.complete_subset_sum(values)
    assert b"".join(w.to_bytes(8, "little") for w in words) == got
