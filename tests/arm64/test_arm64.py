"""The aarch64 wheel on an arm64 Python: the kernel it picks by itself, and
solves through the stand-in service, which runs natively on the host.

scripts/test_arm64.sh runs this under qemu-aarch64-static, together with a
selection of the module's own tests, and names the service in
PEMU_ARM64_BASE_URL, PEMU_ARM64_CA, PEMU_ARM64_API_KEY and PEMU_ARM64_LOG.
Programs cannot start programs there (no binfmt handler), so nothing here
runs a subprocess.
"""

import ctypes
import json
import os
import pathlib
import platform
import random
import sys
import threading

import pytest

import pemux

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
from bitsets import oracle

pytestmark = pytest.mark.skipif(platform.machine() != "aarch64",
                                reason="the aarch64 wheel's own checks")

SUBMIT_PATH = "/v0/app/sspu"
WAIT_S = 60.0


def kernel_for(monkeypatch, value):
    """The family a solve would use with PEMU_KERNEL set to value (None:
    unset)."""
    lib = ctypes.CDLL(pemux.__file__)
    lib._fmss_kernel_name.restype = ctypes.c_char_p
    if value is None:
        monkeypatch.delenv("PEMU_KERNEL", raising=False)
    else:
        monkeypatch.setenv("PEMU_KERNEL", value)
    return lib._fmss_kernel_name().decode()


@pytest.mark.parametrize("value, family", [
    (None, "neon"),          # the best on every AArch64 CPU
    ("neon", "neon"),
    ("portable", "portable"),
    ("avx2", "neon"),        # an x86 family: not run here, so the best
    ("avx512", "neon"),
])
def test_kernel_choice(monkeypatch, value, family):
    assert kernel_for(monkeypatch, value) == family


@pytest.fixture
def stand_in(monkeypatch):
    """Points the module at the host's stand-in service; returns a function
    giving the submits it logged since the fixture started."""
    try:
        env = {
            "PEMU_BASE_URL": os.environ["PEMU_ARM64_BASE_URL"],
            "PEMU_CA_BUNDLE": os.environ["PEMU_ARM64_CA"],
            "PEMU_API_KEY": os.environ["PEMU_ARM64_API_KEY"],
        }
        log = pathlib.Path(os.environ["PEMU_ARM64_LOG"])
    except KeyError as e:
        pytest.fail(f"{e} unset: run these tests through scripts/test_arm64.sh")
    for var in ("PEMU_KILLSWITCH", "PEMU_MAXRETRIES"):
        monkeypatch.delenv(var, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)

    def entries():
        return [json.loads(line) for line in log.read_text().splitlines() if line]

    mark = len(entries())

    def submits():
        return [e for e in entries()[mark:]
                if e["listener"] == "https" and e["path"] == SUBMIT_PATH]
    return submits


PROBLEMS = [
    [3, 5, 7, 11],
    [random.Random(7).randrange(1, 10**5) for _ in range(40)],
]


@pytest.mark.parametrize("values", PROBLEMS, ids=["four", "random40"])
def test_remote_solve_over_loopback(stand_in, values):
    words = pemux.complete_subset_sum(values)
    assert len(words) == sum(values) // 64 + 1
    got = b"".join(w.to_bytes(8, "little") for w in words)
    assert int.from_bytes(got, "little") == oracle(values)
    assert [json.loads(e["body"]) for e in stand_in()] == [values]


def test_async_remote_solve_delivered_once(stand_in):
    values = PROBLEMS[1]
    got, done = [], threading.Event()

    def deliver(result):
        got.append(result)
        done.set()
    assert pemux.complete_subset_sum_async(values, deliver) is None
    assert done.wait(WAIT_S)
    assert len(got) == 1
    assert got[0] == pemux.complete_subset_sum(values)
    assert len(stand_in()) == 2
