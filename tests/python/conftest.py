"""Shared fixtures: a local solving service for the whole test session, and
the preload shim that stands in for parts of the system."""

import json
import pathlib
import shutil
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
# The shared test support package lives beside this directory.
sys.path.insert(0, str(HERE.parent))

from support.procs import Harness, free_port  # noqa: E402

SERVICE_SCRIPT = HERE.parent / "service" / "pemu_service.py"
SHIM_SOURCES = [HERE / "helpers" / "test_shim.c", HERE / "helpers" / "thread_hold.c"]
TEST_API_KEY = "test-key-0123"
# A second accepted key, so a test can switch keys between two requests.
TEST_API_KEY_2 = "test-key-4567"


class RunningService:
    """Handle on the service subprocess, as seen by tests."""

    def __init__(self, ready, log_path, harness):
        self.host = ready["host"]
        self.port = ready["port"]
        self.http_port = ready["http_port"]
        self.drop_port = ready["drop_port"]
        self.other_port = ready["other_port"]
        self.ca = ready["ca"]
        self.api_key = ready["api_key"]
        self.api_keys = ready["api_keys"]
        self.base_url = ready["base_url"]
        self.drop_url = f"https://{self.host}:{self.drop_port}"
        self.http_url = f"http://{self.host}:{self.http_port}"
        self.log_path = log_path
        self.harness = harness

    def url(self, behaviours=None):
        """Base URL; behaviours is a '+'-joined string or a list of tokens."""
        if not behaviours:
            return self.base_url
        if not isinstance(behaviours, str):
            behaviours = "+".join(behaviours)
        return f"{self.base_url}/b/{behaviours}"

    def env(self, behaviours=None, api_key=None):
        """The PEMU_* variables that point the module at this service."""
        return {
            "PEMU_BASE_URL": self.url(behaviours),
            "PEMU_CA_BUNDLE": self.ca,
            "PEMU_API_KEY": self.api_key if api_key is None else api_key,
        }

    def log_entries(self):
        """Every request logged so far, oldest first."""
        try:
            text = self.log_path.read_text(encoding="utf-8")
        except FileNotFoundError:
            return []
        # A line still being written has no newline yet; leave it for later.
        lines = text.split("\n")[:-1]
        return [json.loads(line) for line in lines if line]

    def log_mark(self):
        """A position in the log; pass it to entries_since()."""
        return len(self.log_entries())

    def entries_since(self, mark, listener=None):
        """Requests logged after mark, optionally only those of one listener
        ("https", "http", "drop" or "other")."""
        entries = self.log_entries()[mark:]
        if listener is not None:
            entries = [e for e in entries if e["listener"] == listener]
        return entries

    def output(self):
        """What the service printed (stdout and stderr)."""
        return self.harness.output()


@pytest.fixture(scope="session")
def service_script():
    """Path of the solving service's script, for tests that start their own."""
    return SERVICE_SCRIPT


@pytest.fixture(scope="session")
def shim(tmp_path_factory):
    """The preload library that records sleep(), hides CA locations and can
    hold new threads at their start."""
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler for the test shim")
    out = tmp_path_factory.mktemp("shim") / "libtest_shim.so"
    subprocess.run([cc, "-shared", "-fPIC", "-O1", "-pthread", "-o", str(out),
                    *map(str, SHIM_SOURCES), "-ldl"], check=True)
    return out


@pytest.fixture(scope="session")
def service(tmp_path_factory):
    work = tmp_path_factory.mktemp("pemu-service")
    log_path = work / "requests.jsonl"
    h = Harness(work, "stand-in", [
        sys.executable, str(SERVICE_SCRIPT), "--port", "0",
        "--cert-dir", str(work / "certs"), "--log", str(log_path),
        "--api-key", TEST_API_KEY, "--api-key", TEST_API_KEY_2]).start()
    try:
        yield RunningService(h.info, log_path, h)
    finally:
        h.stop()


@pytest.fixture
def remote(monkeypatch, service):
    """Points the module at the service; returns a function that picks the
    behaviours (and optionally the key) for the next calls."""
    for var in ("PEMU_KILLSWITCH", "PEMU_MAXRETRIES"):
        monkeypatch.delenv(var, raising=False)

    def use(behaviours=None, api_key=None):
        for name, value in service.env(behaviours, api_key).items():
            monkeypatch.setenv(name, value)

    use()
    return use


@pytest.fixture
def local(monkeypatch):
    """The in-process solver for this test."""
    monkeypatch.setenv("PEMU_KILLSWITCH", "1")


@pytest.fixture
def absent_url():
    """An https URL on a loopback port where nothing listens."""
    return f"https://127.0.0.1:{free_port()}"
