"""The one process harness: start a program with its output in files,
wait until it is ready (its ready file, or a check), stop it."""

import json
import os
import signal
import socket
import subprocess
import sys

import pytest

from .waiting import wait_until

START_TIMEOUT_S = 60.0


def free_port():
    """A loopback port nothing listens on at the moment."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stop_process(proc, timeout=15):
    """Ends proc: SIGTERM, then SIGKILL after timeout seconds."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Harness:
    """One program run in a work directory. With ready_file, start() passes
    --ready-file PATH and waits for it; with ready, it waits for ready()."""

    def __init__(self, workdir, name, argv, ready_file=True, ready=None, env=None):
        self.workdir = workdir
        self.name = name
        self.argv = list(argv)
        self.out = workdir / f"{name}.out"
        self.err = workdir / f"{name}.err"
        self.ready_path = workdir / f"{name}.ready" if ready_file else None
        self.ready = ready
        self.env = env
        self.proc = None
        self.info = None

    def start(self):
        argv = list(self.argv)
        if self.ready_path is not None:
            if self.ready_path.exists():
                self.ready_path.unlink()
            argv += ["--ready-file", str(self.ready_path)]
        # Output goes to files: an unread pipe would block the program once full.
        with open(self.out, "ab") as out, open(self.err, "ab") as err:
            self.proc = subprocess.Popen(argv, stdout=out, stderr=err,
                                         stdin=subprocess.DEVNULL, env=self.env)

        def up():
            if self.proc.poll() is not None:
                return True
            if self.ready_path is not None and not self.ready_path.exists():
                return False
            return self.ready is None or self.ready()
        try:
            wait_until(up, f"{self.name} to start", START_TIMEOUT_S, 0.02)
        except BaseException:
            self.stop(signal.SIGKILL)
            raise
        if self.proc.poll() is not None:
            pytest.fail(f"{self.name} did not start:\n{self.output()[-4000:]}")
        if self.ready_path is not None:
            self.info = json.loads(self.ready_path.read_text())
        return self

    def output(self):
        text = ""
        for path in (self.out, self.err):
            if path.exists():
                text += path.read_text(errors="replace")
        return text

    @property
    def pid(self):
        return self.proc.pid

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self, sig=signal.SIGTERM, timeout=20):
        if self.alive():
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def service_harness(workdir, name, *args, env=None):
    """pemux-service (or `pemux-service worker`) as users start it."""
    return Harness(workdir, name, [sys.executable, "-m", "pemux_service", *args], env=env)


class RedisServer(Harness):
    """redis-server on a free loopback port, appending every write to its
    file before answering, so a kill -9 loses nothing it acknowledged."""

    def __init__(self, workdir, name="redis"):
        self.port = free_port()
        self.url = f"redis://127.0.0.1:{self.port}/0"
        workdir.mkdir(parents=True, exist_ok=True)
        super().__init__(workdir, name, [
            "redis-server", "--bind", "127.0.0.1", "--port", str(self.port),
            "--dir", str(workdir), "--appendonly", "yes", "--appendfsync", "always",
            "--save", "", "--logfile", str(workdir / f"{name}.log")],
            ready_file=False, ready=self._answers)

    def client(self, **kw):
        import redis
        return redis.Redis(port=self.port, **kw)

    def _answers(self):
        import redis
        client = self.client(socket_connect_timeout=0.5)
        try:
            return client.ping()
        except redis.RedisError:
            return False
        finally:
            client.close()

    def output(self):
        log = self.workdir / f"{self.name}.log"
        return super().output() + (log.read_text(errors="replace") if log.exists() else "")


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


def established(port):
    """Connections to a loopback server on port that are open now (from
    the kernel's table, so a test waits for a client to be connected
    rather than for a guessed time)."""
    n = 0
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                rows = f.read().splitlines()[1:]
        except FileNotFoundError:
            continue
        for row in rows:
            fields = row.split()
            local_port = int(fields[1].rsplit(":", 1)[1], 16)
            if local_port == port and fields[3] == "01":  # ESTABLISHED
                n += 1
    return n
