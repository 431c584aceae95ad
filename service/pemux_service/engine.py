"""Accepting, queueing and solving jobs.

Engine is what the HTTP front end talks to; LocalEngine runs everything in
this process and its solver processes. Another engine (a broker and remote
workers) can take its place behind the same methods.
"""

import abc
import asyncio
import concurrent.futures
import dataclasses
import logging
import secrets
import time

from . import protocol
from .store import DONE, FAILED, QUEUED, RUNNING
from .workers import SolveFailed, Worker, WorkerDied

log = logging.getLogger("pemux_service")

# A job whose solver process died this many times fails for good.
MAX_DEATHS = 2


class Refused(Exception):
    """The submit is refused; str() is the text for the client."""


@dataclasses.dataclass
class Limits:
    max_total: int
    max_pending_per_key: int
    inline_max_total: int
    keep_s: float


@dataclasses.dataclass
class Status:
    state: str  # QUEUED, RUNNING, DONE, FAILED, or None for unknown
    result_path: str | None = None
    error: str | None = None


class Engine(abc.ABC):
    @abc.abstractmethod
    async def start(self): ...

    @abc.abstractmethod
    async def submit(self, values, key_id) -> str:
        """Accepts a problem and returns its request id, or raises Refused."""

    @abc.abstractmethod
    def status(self, rid) -> Status: ...

    @abc.abstractmethod
    async def wait(self, rid, timeout):
        """Returns when the request may have changed state, or after timeout."""

    @abc.abstractmethod
    def health(self) -> dict: ...

    @property
    @abc.abstractmethod
    def stopping(self) -> bool: ...

    @abc.abstractmethod
    async def begin_stop(self):
        """Refuses new submits and ends held polls."""

    @abc.abstractmethod
    async def stop(self, drain_s): ...

    # What follows serves every engine over self.jobs, self.blobs,
    # self.limits, self.metrics and self._stopping.

    def _admit(self, values):
        """The sum of values, or Refused where no engine would take them."""
        if self._stopping:
            raise Refused(protocol.SHUTTING_DOWN)
        total = protocol.total_of(values)
        if total > self.limits.max_total:
            raise Refused(f"Problem too large: the values sum to {total} and this "
                          f"service takes at most {self.limits.max_total}")
        return total

    def _reuse(self, rid, pkey, key_id, total, count, now):
        """Whether a problem already known (and not failed) answers rid."""
        known = self.jobs.problem(pkey)
        if known is None or known.state == FAILED:
            return False
        self.jobs.accept(rid, pkey, key_id, total, count, QUEUED, now)
        self._count("reused")
        return True

    def _check_queue(self, key_id, total):
        """Problems small enough to be solved at once do not count against
        a key's queue."""
        if (total > self.limits.inline_max_total
                and self.jobs.pending_for(key_id) >= self.limits.max_pending_per_key):
            raise Refused(f"Too many queued jobs for this key (at most "
                          f"{self.limits.max_pending_per_key}); poll or wait for them first")

    def _expire_period(self):
        return max(1.0, min(60.0, self.limits.keep_s / 10))

    def expire(self, now=None):
        now = time.time() if now is None else now
        for pkey in self.jobs.expire(now - self.limits.keep_s):
            self.blobs.remove(pkey)

    def _health(self, counts, **more):
        return {"status": "stopping" if self._stopping else "ok",
                "queued": counts[QUEUED], "running": counts[RUNNING], **more}

    def _update_gauges(self):
        if self.metrics:
            counts = self.jobs.counts()
            self.metrics.queue_depth.set(counts[QUEUED])
            self.metrics.running.set(counts[RUNNING])

    def _count(self, outcome):
        if self.metrics:
            self.metrics.solves_total.labels(outcome).inc()


class LocalEngine(Engine):
    def __init__(self, jobs, blobs, limits, workers, memory_limit,
                 gzip=(protocol.GZIP_LEVEL, protocol.GZIP_STRATEGY), metrics=None,
                 retry_delay_s=1.0):
        self.jobs = jobs
        self.blobs = blobs
        self.limits = limits
        self.n_workers = workers
        self.memory_limit = memory_limit
        self.gzip = gzip
        self.metrics = metrics
        self.retry_delay_s = retry_delay_s
        # Every blocking wait on a solver process gets its own thread.
        self._threads = concurrent.futures.ThreadPoolExecutor(
            max_workers=workers + 4, thread_name_prefix="pemux-solver")
        self._work = asyncio.Event()
        self._changed = asyncio.Condition()
        self._consumers = []
        self._inline = None  # asyncio.Queue of idle inline workers
        self._inline_workers = []
        self._busy = {}  # pid -> problem key
        self._pool_workers = {}  # consumer slot -> its current worker
        self._stopping = False
        self._janitor = None

    # -- lifetime ----------------------------------------------------------

    async def start(self):
        loop = asyncio.get_running_loop()
        self._recover()
        self._inline = asyncio.Queue()
        made = await asyncio.gather(*(
            loop.run_in_executor(self._threads, self._new_worker)
            for _ in range(self.n_workers + 1)))
        self._inline_workers = [made[0]]
        self._inline.put_nowait(made[0])
        for w in made[1:]:
            self._consumers.append(asyncio.create_task(self._consume(w)))
        self._janitor = asyncio.create_task(self._expire_loop())
        self._work.set()
        self._update_gauges()

    def _new_worker(self):
        return Worker(self.memory_limit, self.gzip)

    def _recover(self):
        """Every accepted job is ready or queued again after a restart."""
        now = time.time()
        for pkey in self.jobs.recover():
            p = self.jobs.problem(pkey)
            if p.state == DONE and self.blobs.has_result(pkey):
                continue
            if self.blobs.has_problem(pkey):
                if p.state == DONE:
                    self.jobs.requeue(pkey, died=False)
            else:
                self.jobs.fail(pkey, "The problem's data was lost; submit it again", now)
        # Files of a process killed mid-write, or of a submit that was never
        # answered, belong to no job.
        for pkey in self.blobs.keys():
            if pkey.startswith(".tmp-") or self.jobs.problem(pkey) is None:
                self.blobs.remove(pkey)

    async def begin_stop(self):
        """Refuses new submits and ends held polls."""
        self._stopping = True
        self._work.set()
        async with self._changed:
            self._changed.notify_all()

    @property
    def stopping(self):
        return self._stopping

    async def stop(self, drain_s):
        """Waits up to drain_s for running solves, and leaves the rest
        queued for the next start."""
        await self.begin_stop()
        if self._janitor:
            self._janitor.cancel()
        done, pending = await asyncio.wait(self._consumers, timeout=drain_s) \
            if self._consumers else (set(), set())
        for task in pending:
            task.cancel()
        for pkey in list(self._busy.values()):
            self.jobs.requeue(pkey, died=False)
        loop = asyncio.get_running_loop()
        stops = [loop.run_in_executor(self._threads, w.stop, True)
                 for w in self._all_workers()]
        await asyncio.gather(*stops, return_exceptions=True)
        await asyncio.gather(*pending, return_exceptions=True)
        self._threads.shutdown(wait=False, cancel_futures=True)

    def _all_workers(self):
        return list(self._inline_workers) + list(self._pool_workers.values())

    # -- submit ------------------------------------------------------------

    async def submit(self, values, key_id):
        total = self._admit(values)
        pkey = protocol.problem_key(values)
        rid = secrets.token_hex(16)
        now = time.time()
        if self._reuse(rid, pkey, key_id, total, len(values), now):
            return rid

        small = total <= self.limits.inline_max_total
        self._check_queue(key_id, total)
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(self._threads, self.blobs.put_problem, pkey, values)
        if small:
            state, err = await self._solve_inline(pkey)
            self.jobs.accept(rid, pkey, key_id, total, len(values), state, now, err)
            if state == QUEUED:
                self._work.set()
        else:
            self.jobs.accept(rid, pkey, key_id, total, len(values), QUEUED, now)
            self._work.set()
        self._update_gauges()
        return rid

    async def _solve_inline(self, pkey):
        """Solves before the submit is answered, so the first poll finds
        the result. A solver that dies leaves the job to the queue."""
        worker = await self._inline.get()
        try:
            outcome = await self._run(worker, pkey)
        except WorkerDied as e:
            log.warning("inline solve of %s: %s; queued", pkey[:12], e)
            if not self._stopping:
                self._inline_workers.remove(worker)
                worker = await asyncio.get_running_loop().run_in_executor(
                    self._threads, self._new_worker)
                self._inline_workers.append(worker)
            return QUEUED, None
        finally:
            self._inline.put_nowait(worker)
        return outcome

    async def _run(self, worker, pkey):
        """(state, error) of one attempt; raises WorkerDied."""
        loop = asyncio.get_running_loop()
        self._busy[worker.pid] = pkey
        try:
            solve_s, pack_s, size = await loop.run_in_executor(
                self._threads, worker.run, self.blobs.problem_path(pkey),
                self.blobs.result_path(pkey))
        except SolveFailed as e:
            self._count("failed")
            return FAILED, str(e)
        except WorkerDied:
            self._count("died")
            raise
        finally:
            self._busy.pop(worker.pid, None)
        self._count("ok")
        if self.metrics:
            self.metrics.solve_seconds.observe(solve_s)
            self.metrics.pack_seconds.observe(pack_s)
        return DONE, None

    # -- the queue ---------------------------------------------------------

    async def _consume(self, worker):
        loop = asyncio.get_running_loop()
        slot = id(worker)
        self._pool_workers[slot] = worker
        while not self._stopping:
            job = self.jobs.claim()
            if job is None:
                self._work.clear()
                await self._work.wait()
                continue
            self._update_gauges()
            try:
                state, err = await self._run(worker, job.key)
            except WorkerDied as e:
                deaths = self.jobs.requeue(job.key, died=not self._stopping)
                log.warning("solve of %s: %s (%d of %d)", job.key[:12], e, deaths, MAX_DEATHS)
                if deaths >= MAX_DEATHS:
                    self.jobs.fail(job.key, f"The solve failed twice: {e}", time.time())
                if self._stopping:
                    break
                worker = await loop.run_in_executor(self._threads, self._new_worker)
                self._pool_workers[slot] = worker
                # Whatever took the process down (memory pressure, a
                # neighbour) gets a moment to pass before the retry.
                await asyncio.sleep(self.retry_delay_s)
                self._work.set()
            else:
                if state == DONE:
                    self.jobs.finish(job.key, time.time())
                else:
                    self.jobs.fail(job.key, err, time.time())
            self._update_gauges()
            async with self._changed:
                self._changed.notify_all()

    # -- poll --------------------------------------------------------------

    def status(self, rid):
        p = self.jobs.request(rid)
        if p is None:
            return Status(None)
        if p.state == DONE:
            return Status(DONE, result_path=self.blobs.result_path(p.key))
        return Status(p.state, error=p.error)

    async def wait(self, rid, timeout):
        try:
            async with self._changed:
                await asyncio.wait_for(self._changed.wait(), timeout)
        except TimeoutError:
            pass

    # -- upkeep ------------------------------------------------------------

    async def _expire_loop(self):
        period = self._expire_period()
        while True:
            self.expire()
            await asyncio.sleep(period)

    def health(self):
        return self._health(self.jobs.counts(),
                            solvers=[{"pid": w.pid, "inline": w in self._inline_workers,
                                      "busy": w.pid in self._busy}
                                     for w in self._all_workers()])
