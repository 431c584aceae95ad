"""Solver processes: one solve at a time each, so that a solve that
crashes, runs out of memory or hangs takes only its own process down."""

import array
import ctypes
import multiprocessing
import os
import resource
import signal
import time

from . import protocol, subset_route
from .store import PROBLEM_LOST, write_atomic_pieces


class WorkerDied(Exception):
    """The process ended, or was killed for running past its time limit,
    while it held a job."""


class SolveFailed(Exception):
    """The solver refused the job (out of memory, bad input)."""


class StorageFault(Exception):
    """The problem could not be read or the result not stored: the job is
    not at fault and waits for storage to return."""


def _die_with_parent():
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        PR_SET_PDEATHSIG = 1
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    except (OSError, AttributeError):
        pass  # not Linux: the worker still ends at its next read


def _worker_main(conn, memory_limit, gzip):
    # Ctrl-C in a terminal reaches the whole process group; the service
    # decides what happens to running solves, not the terminal.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _die_with_parent()
    os.environ["PEMU_KILLSWITCH"] = "1"
    # The library's diagnostics would mix into the service's own output.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
    import pemux

    threads = len(os.sched_getaffinity(0))
    if memory_limit:
        resource.setrlimit(resource.RLIMIT_AS, (memory_limit, memory_limit))
    while True:
        try:
            kind, problem_path, result_path = conn.recv()
        except (EOFError, OSError):
            return
        t0 = time.perf_counter()
        try:
            data = _problem_bytes(problem_path)
            if kind == protocol.SUBSET:
                answer = subset_route.solve_blob(data, pemux.subset_with_sum)
                del data
                t1 = time.perf_counter()
                size = write_atomic_pieces(result_path, (answer,))
            else:
                values = array.array("Q", data).tolist()
                del data
                bitset = pemux.complete_subset_sum_bytes(values)
                del values
                t1 = time.perf_counter()
                size = write_atomic_pieces(
                    result_path, protocol.iter_pack_result(bitset, *gzip, threads=threads))
                del bitset
            reply = ("ok", t1 - t0, time.perf_counter() - t1, size)
        except MemoryError:
            reply = ("error", "Out of memory while solving")
        except ProblemLost:
            reply = ("error", PROBLEM_LOST)
        except OSError as e:
            # The text goes to logs and health only; never the path.
            reply = ("storage", e.strerror or type(e).__name__)
        except Exception as e:  # the job fails; the worker lives on
            reply = ("error", f"Solve failed: {type(e).__name__}: {e}")
        try:
            conn.send(reply)
        except (BrokenPipeError, OSError):
            return


class ProblemLost(Exception):
    """The problem's file is gone from a folder that is there: no wait for
    storage brings it back."""


def _problem_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        if os.path.isdir(os.path.dirname(path)):
            raise ProblemLost() from None
        raise  # the folder itself is away: storage


def _stopped(pid):
    """Whether pid is stopped by a signal (SIGSTOP, a debugger)."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()[0] in (b"T", b"t")
    except (OSError, IndexError):
        return False


class Worker:
    """One solver process and the parent's end of its pipe. run() blocks:
    call it from a thread."""

    _ctx = multiprocessing.get_context("spawn")

    def __init__(self, memory_limit, gzip):
        parent, child = self._ctx.Pipe()
        self.process = self._ctx.Process(
            target=_worker_main, args=(child, memory_limit, gzip),
            name="pemux-solver", daemon=True)
        self.process.start()
        child.close()
        self._conn = parent
        self.deadline = None  # monotonic time the running solve must end by
        self.timed_out = False

    @property
    def pid(self):
        return self.process.pid

    def stuck(self):
        """Whether the running solve is past its limit or its process stopped."""
        if self.deadline is None:
            return False
        return time.monotonic() > self.deadline or _stopped(self.pid)

    def run(self, problem_path, result_path, timeout=None, kind=protocol.BITSET):
        """(solve_s, pack_s, size); raises SolveFailed, StorageFault or
        WorkerDied. A solve still running after timeout seconds is killed
        with its process."""
        self.deadline = None if timeout is None else time.monotonic() + timeout
        try:
            self._conn.send((kind, problem_path, result_path))
            if timeout is not None and not self._conn.poll(timeout):
                self.timed_out = True
                self.process.kill()
                self.process.join(5)
                raise WorkerDied(f"solve still running after {timeout:.3g}s: "
                                 "solver process killed")
            reply = self._conn.recv()
        except (EOFError, OSError):
            self.process.join(1)
            raise WorkerDied(self._describe_exit()) from None
        finally:
            self.deadline = None
        if reply[0] == "ok":
            return reply[1:]
        if reply[0] == "storage":
            raise StorageFault(reply[1])
        raise SolveFailed(reply[1])

    def _describe_exit(self):
        code = self.process.exitcode
        if code is None:
            return "solver process stopped answering"
        if code < 0:
            try:
                return f"solver process killed by {signal.Signals(-code).name}"
            except ValueError:
                return f"solver process killed by signal {-code}"
        return f"solver process exited with status {code}"

    def stop(self, kill=False):
        try:
            self._conn.close()
        except OSError:
            pass
        if kill and self.process.is_alive():
            self.process.kill()
        self.process.join(5)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()
