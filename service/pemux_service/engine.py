"""Accepting, queueing and solving jobs.

Engine is what the HTTP front end talks to. It holds what every mode of
the service shares: admission, reuse of a key's stored results, the per-key
queue limit, polls, expiry, health, and what an attempt's outcome does to
its job (settle()). A dispatcher hands the solves out: PoolDispatcher to
this process's solver processes, distributed.BrokerDispatcher to workers
on other machines through a broker.
"""

import abc
import asyncio
import concurrent.futures
import dataclasses
import inspect
import logging
import secrets
import sqlite3
import time

from . import protocol, subset_route
from .store import DONE, FAILED, PROBLEM_LOST, QUEUED, RUNNING
from .turns import FairGate, KeyLocks
from .workers import SolveFailed, StorageFault, Worker, WorkerDied

log = logging.getLogger("pemux_service")

# A job whose solver process died (or hung) this many times fails for good.
MAX_DEATHS = 2
STORAGE_DOWN = "Service temporarily unavailable: results cannot be stored now; try again"
# Pauses between tries while storage fails: short at first, then patient.
STORAGE_RETRY_S = (0.05, 5.0)
# How long a submit waits for a job store that does not answer.
SUBMIT_WAIT_S = 3.0


class Refused(Exception):
    """The submit is refused; str() is the text for the client, status the
    HTTP status of the answer."""
    status = 422


class ShuttingDown(Refused):
    status = 503

    def __init__(self):
        super().__init__(protocol.SHUTTING_DOWN)


class Unavailable(Refused):
    """Refused for now: the job store or storage is away."""
    status = 503


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


@dataclasses.dataclass
class Outcome:
    """One attempt at a solve: kind is ok, failed (the job's own fault),
    storage (not the job's fault: wait and retry) or died (the solver
    crashed or hung)."""
    kind: str
    detail: str | None = None
    solve_s: float = 0.0
    pack_s: float = 0.0
    size: int = 0


def attempt(worker, blobs, pkey, timeout):
    """Runs one solve in worker; blocks. Never raises for the job's sake."""
    try:
        solve_s, pack_s, size = worker.run(blobs.problem_path(pkey), blobs.result_path(pkey),
                                           timeout, protocol.kind_of(pkey))
    except SolveFailed as e:
        return Outcome("failed", str(e))
    except StorageFault as e:
        return Outcome("storage", str(e))
    except WorkerDied as e:
        return Outcome("died", str(e))
    return Outcome("ok", None, solve_s, pack_s, size)


def settle(jobs, pkey, outcome, try_no=None, stopping=False):
    """Records an attempt's outcome in the job store, the same way in every
    mode. Returns True when the job should be tried again."""
    now = time.time()
    if outcome.kind == "ok":
        jobs.finish(pkey, now)
        return False
    if outcome.kind == "failed":
        jobs.fail(pkey, outcome.detail, now, try_no)
        return False
    if outcome.kind == "storage" or stopping:
        jobs.requeue(pkey, died=False)
        return not stopping
    deaths = jobs.requeue(pkey, died=True)
    log.warning("solve of %s: %s (%d of %d)", pkey[:12], outcome.detail, deaths, MAX_DEATHS)
    if deaths >= MAX_DEATHS:
        jobs.fail(pkey, f"The solve failed twice: {outcome.detail}", now, try_no)
        return False
    return True


class Dispatcher(abc.ABC):
    """Where solves go. The engine records requests through dispatch()."""

    # Exceptions of the job store besides the engine's own (sqlite3, OS).
    store_errors = ()
    # The refusal while the dispatcher's own store is away.
    unavailable = STORAGE_DOWN

    @abc.abstractmethod
    async def start(self, engine): ...

    async def check(self, total):
        """Refuses a problem no solver takes."""
        return None

    def reachable(self):
        """Whether the job store answers now."""
        return True

    async def wait_reachable(self, timeout):
        return True

    @abc.abstractmethod
    async def dispatch(self, rid, pkey, key_id, total, count, now, recorded):
        """Hands a new problem to the solvers and records the request;
        calls recorded() once it is recorded, before any wait for a solve."""

    @abc.abstractmethod
    def detail(self, counts) -> dict:
        """Health beyond the queue: solvers or workers, and what is stuck."""

    async def begin_stop(self):
        return None

    @abc.abstractmethod
    async def stop(self, drain_s): ...


class Engine:
    def __init__(self, jobs, blobs, limits, dispatcher, metrics=None):
        self.jobs = jobs
        self.blobs = blobs
        self.limits = limits
        self.dispatcher = dispatcher
        self.metrics = metrics
        self.store_errors = (sqlite3.Error, OSError, *dispatcher.store_errors)
        self._changed = None
        self._stopping = False
        self._janitor = None
        self._write_fault = None  # text of the storage failure now, if any
        self._held = 0  # polls held open now
        self._counts = {QUEUED: 0, RUNNING: 0}
        self._io = concurrent.futures.ThreadPoolExecutor(8, thread_name_prefix="pemux-io")
        self._admitting = KeyLocks()

    # -- lifetime ----------------------------------------------------------

    async def start(self):
        self._changed = asyncio.Condition()
        await self.dispatcher.start(self)
        self._janitor = asyncio.create_task(self._upkeep())
        await self.refresh()

    @property
    def stopping(self):
        return self._stopping

    async def begin_stop(self):
        """Refuses new submits and ends held polls."""
        self._stopping = True
        await self.dispatcher.begin_stop()
        await self.changed()

    async def stop(self, drain_s):
        await self.begin_stop()
        if self._janitor:
            self._janitor.cancel()
            await asyncio.gather(self._janitor, return_exceptions=True)
        await self.dispatcher.stop(drain_s)
        self._io.shutdown(wait=False, cancel_futures=True)

    async def call(self, fn, *args):
        """A store call, on the loop: SQLite's answer at once, the asyncio
        Redis client's awaited."""
        out = fn(*args)
        while inspect.isawaitable(out):
            out = await out
        return out

    async def off_loop(self, fn, *args):
        return await asyncio.get_running_loop().run_in_executor(self._io, fn, *args)

    # -- submit ------------------------------------------------------------

    async def submit(self, values, key_id, total=None, digest=None):
        """Accepts a problem and returns its request id, or raises Refused.
        total and digest (protocol.values_digest): where the caller worked
        them out away from the loop, for a large body."""
        total = sum(values) if total is None else total
        if total > self.limits.max_total:
            raise Refused(f"Problem too large: the values sum to {total} and this "
                          f"service takes at most {self.limits.max_total}")
        pkey = protocol.problem_key(values, key_id, digest)
        return await self._admit(pkey, key_id, total, len(values), values)

    async def submit_subset(self, problem, key_id):
        """Accepts a subset_route.SubsetProblem as submit() does a bitset
        problem; its limits are those of a bitset problem of its weight."""
        if problem.weight > self.limits.max_total:
            raise Refused(f"Problem too large: the magnitudes of the values sum to "
                          f"{problem.magnitude} and this service takes at most "
                          f"{self.limits.max_total // subset_route.WEIGHT} for more than "
                          f"{subset_route.FEW_VALUES} values")
        pkey = protocol.subset_problem_key(key_id, problem.digest)
        return await self._admit(pkey, key_id, problem.weight, problem.count, problem.blob)

    async def _admit(self, pkey, key_id, total, count, data):
        if self._stopping:
            raise ShuttingDown()
        # A submit waits a little for a broker that is away, then gives up.
        if not await self.dispatcher.wait_reachable(SUBMIT_WAIT_S):
            raise Unavailable(self.dispatcher.unavailable)
        try:
            return await self._submit(pkey, key_id, total, count, data)
        except Refused:
            raise
        except self.store_errors as e:
            self.storage_failed("submit", e)
            raise Unavailable(self.unavailable_text(e)) from None

    def unavailable_text(self, e):
        if isinstance(e, (OSError, sqlite3.Error)):
            return STORAGE_DOWN
        return self.dispatcher.unavailable

    async def _submit(self, pkey, key_id, total, count, data):
        """data: what the blob store keeps of the problem (put_problem)."""
        rid = secrets.token_hex(16)
        now = time.time()
        # One key's submits are counted and recorded one at a time, so that
        # several at once cannot all pass the queue limit; the wait for a
        # solve that follows is outside it.
        recorded = await self._admitting.acquire(key_id)
        try:
            known = await self.call(self.jobs.problem, pkey)
            if known is not None and known.state != FAILED:
                # The same key sent this problem before: one solve serves
                # both, unless it expired or failed just now.
                if await self.call(self.jobs.accept, rid, pkey, key_id, total, count, QUEUED,
                                   now, None, None, True) is not None:
                    self.count("reused")
                    return rid
            await self.dispatcher.check(total)
            if await self.call(self.jobs.pending_for, key_id) >= self.limits.max_pending_per_key:
                raise Refused(f"Too many queued jobs for this key (at most "
                              f"{self.limits.max_pending_per_key}); poll or wait for them first")
            await self.off_loop(self.blobs.put_problem, pkey, data)
            await self.dispatcher.dispatch(rid, pkey, key_id, total, count, now, recorded)
        finally:
            recorded()
        self.storage_ok()
        return rid

    # -- poll --------------------------------------------------------------

    async def status(self, rid, key_id, kind=protocol.BITSET):
        """The state of a request made with key_id for a problem of kind; a
        request of another key or kind is as unknown as one never made."""
        if not self.dispatcher.reachable():
            return Status(QUEUED)
        try:
            p = await self.call(self.jobs.request, rid, key_id)
        except self.store_errors as e:
            # Not ready, as far as the client can tell: it polls again.
            log.warning("poll: job store: %s", e)
            return Status(QUEUED)
        if p is None or protocol.kind_of(p.key) != kind:
            return Status(None)
        if p.state == DONE:
            return self._done(rid, p)
        return Status(p.state, error=p.error)

    def _done(self, rid, p):
        hook = getattr(self.dispatcher, "done_status", None)
        if hook is not None:
            return hook(rid, p)
        return Status(DONE, result_path=self.blobs.result_path(p.key))

    async def wait(self, rid, timeout):
        """Returns when the request may have changed state, or after timeout."""
        # The bound covers a change announced while a broker was away.
        self._held += 1
        try:
            async with self._changed:
                await asyncio.wait_for(self._changed.wait(), min(timeout, 1.0))
        except TimeoutError:
            pass
        finally:
            self._held -= 1

    async def changed(self):
        if self._changed is not None:
            async with self._changed:
                self._changed.notify_all()

    # -- upkeep ------------------------------------------------------------

    def expire(self, now=None):
        """Removes what was last used --keep ago; an awaitable: the records
        go at once from a local store, the files off the loop."""
        now = time.time() if now is None else now

        def remove(keys):
            for pkey in keys:
                self.blobs.remove(pkey)
        out = self.jobs.expire(now - self.limits.keep_s)

        async def later():
            # Unlinking, on a shared file system above all, may block.
            keys = await out if inspect.isawaitable(out) else out
            await self.off_loop(remove, keys)
        return later()

    async def _upkeep(self):
        period = max(1.0, min(60.0, self.limits.keep_s / 10))
        last_expiry = 0.0
        while True:
            try:
                if time.monotonic() - last_expiry >= period:
                    await self.call(self.expire)
                    last_expiry = time.monotonic()
                await self.refresh()
            except self.store_errors as e:
                log.warning("upkeep: job store: %s", e)
            await asyncio.sleep(1.0)

    async def refresh(self):
        """Reads the unfinished problems' counts for health and the gauges:
        every second, and when an operator asks, never on a request's own
        path."""
        try:
            self._counts = await self.call(self.jobs.counts, (QUEUED, RUNNING))
        except self.store_errors:
            self._counts = None
        if self.metrics and self._counts:
            self.metrics.queue_depth.set(self._counts[QUEUED])
            self.metrics.running.set(self._counts[RUNNING])

    async def refresh_now(self, timeout=1.0):
        """refresh() for an operator's look, bounded: with the job store
        away or slow, the counts last read stand."""
        if not self.dispatcher.reachable():
            return
        try:
            await asyncio.wait_for(self.refresh(), timeout)
        except TimeoutError:
            pass

    def storage_failed(self, what, e):
        text = getattr(e, "strerror", None) or type(e).__name__
        if self._write_fault is None:
            log.error("%s: storage failed: %s; retrying until it returns", what, text)
        self._write_fault = text

    def storage_ok(self):
        if self._write_fault is not None:
            log.info("storage works again")
            self._write_fault = None

    def health(self, detail=True):
        """The /healthz answer: status is ok, stopping, degraded (writes
        failing, a solver stuck) or job store unreachable. Without detail,
        nothing about processes, hosts or memory."""
        counts = self._counts
        if counts is None:
            return {"status": "job store unreachable", "queued": None, "running": None}
        more = self.dispatcher.detail(counts)
        status = "ok"
        if self._write_fault is not None or more.get("stuck"):
            status = "degraded"
        if self._stopping:
            status = "stopping"
        out = {"status": status, "queued": counts[QUEUED], "running": counts[RUNNING],
               "stuck": more.pop("stuck", 0), "held_polls": self._held}
        if self._write_fault is not None:
            out["storage"] = self._write_fault
        if more.pop("unreachable", False):
            out["status"] = "job store unreachable"
        if detail:
            out.update(more)
        return out

    def count(self, outcome):
        if self.metrics:
            self.metrics.solved(outcome)

    def observe(self, outcome):
        if self.metrics:
            self.metrics.attempted(outcome)


class PoolDispatcher(Dispatcher):
    """Solver processes of this machine: an inline solver for small
    problems, solved before the submit is answered, and a pool that works
    through the queue."""

    def __init__(self, workers, memory_limit, timeout_rule,
                 gzip=(protocol.GZIP_LEVEL, protocol.GZIP_STRATEGY), retry_delay_s=1.0):
        self.n_workers = workers
        self.memory_limit = memory_limit
        self.timeout_rule = timeout_rule
        self.gzip = gzip
        self.retry_delay_s = retry_delay_s
        # Every blocking wait on a solver process gets its own thread.
        self._threads = concurrent.futures.ThreadPoolExecutor(
            max_workers=workers + 4, thread_name_prefix="pemux-solver")
        self._work = asyncio.Event()
        self._consumers = []
        self._inline = FairGate()
        self._inline_workers = []
        self._busy = {}  # pid -> problem key
        self._pool_workers = {}  # consumer slot -> its current worker
        self._background = set()  # tasks of their own, such as a requeue
        self._storage_pause = STORAGE_RETRY_S[0]
        self.engine = None

    async def start(self, engine):
        self.engine = engine
        self._recover()
        loop = asyncio.get_running_loop()
        made = await asyncio.gather(*(
            loop.run_in_executor(self._threads, self._new_worker)
            for _ in range(self.n_workers + 1)))
        self._inline_workers = [made[0]]
        self._inline.put(made[0])
        for n, w in enumerate(made[1:]):
            self._consumers.append(asyncio.create_task(self._consume(n, w)))
        self._work.set()

    def _new_worker(self):
        return Worker(self.memory_limit, self.gzip)

    def _recover(self):
        """Every accepted job is ready or queued again after a restart."""
        jobs, blobs = self.engine.jobs, self.engine.blobs
        now = time.time()
        for pkey in jobs.recover():
            p = jobs.problem(pkey)
            if p.state == DONE and blobs.has_result(pkey):
                continue
            if blobs.has_problem(pkey):
                if p.state == DONE:
                    jobs.requeue(pkey, died=False)
            else:
                jobs.fail(pkey, PROBLEM_LOST, now)
        # Files of a process killed mid-write, or of a submit that was never
        # answered, belong to no job.
        for name in blobs.keys():
            if name.startswith(".tmp-") or jobs.problem(name) is None:
                blobs.remove(name)

    async def begin_stop(self):
        self._work.set()

    async def stop(self, drain_s):
        """Waits up to drain_s for running solves, and leaves the rest
        queued for the next start."""
        done, pending = await asyncio.wait(self._consumers, timeout=drain_s) \
            if self._consumers else (set(), set())
        for task in pending:
            task.cancel()
        for pkey in list(self._busy.values()):
            try:
                self.engine.jobs.requeue(pkey, died=False)
            except self.engine.store_errors as e:
                log.warning("stop: job store: %s", e)
        loop = asyncio.get_running_loop()
        stops = [loop.run_in_executor(self._threads, w.stop, True)
                 for w in self._all_workers()]
        await asyncio.gather(*stops, return_exceptions=True)
        await asyncio.gather(*pending, return_exceptions=True)
        self._threads.shutdown(wait=False, cancel_futures=True)

    def _all_workers(self):
        return list(self._inline_workers) + list(self._pool_workers.values())

    # -- dispatch ----------------------------------------------------------

    async def dispatch(self, rid, pkey, key_id, total, count, now, recorded):
        jobs = self.engine.jobs
        if total > self.engine.limits.inline_max_total:
            jobs.accept(rid, pkey, key_id, total, count, QUEUED, now)
            self._work.set()
            return
        # Recorded running first, so that the key's unfinished problems
        # count it while it waits for the inline solver.
        jobs.accept(rid, pkey, key_id, total, count, RUNNING, now)
        recorded()
        # A submit given up meanwhile leaves its solve to run to its end:
        # the solver and its outcome stay in step.
        await asyncio.shield(asyncio.ensure_future(
            self._solve_inline(pkey, key_id, total, count)))

    async def _solve_inline(self, pkey, key_id, total, count):
        """Solves before the submit is answered, so the first poll finds
        the result. A solver that dies or hangs leaves the job to the queue."""
        worker = await self._inline.get(key_id)
        try:
            outcome = await self._run(worker, pkey, total, count)
            if outcome.kind == "died" and not self.engine.stopping:
                # A dead process never serves again: its slot waits for
                # the replacement.
                worker = await self._respawn()
                self._inline_workers = [worker]
        finally:
            self._inline.put(worker)
        try:
            again = self._settle(pkey, outcome)
        except self.engine.store_errors:
            # Still running in the store: back to the queue once it can
            # be written, for the pool to solve.
            task = asyncio.ensure_future(self._requeue_when_possible(pkey, wake=True))
            self._background.add(task)  # kept until done: the loop holds tasks weakly
            task.add_done_callback(self._background.discard)
            raise
        if again:
            self._work.set()  # queued: the pool takes it from here

    async def _respawn(self):
        """A new solver process, tried until one starts: a machine short of
        memory or processes gets time to recover."""
        pause = STORAGE_RETRY_S[0]
        while True:
            try:
                return await asyncio.get_running_loop().run_in_executor(
                    self._threads, self._new_worker)
            except OSError as e:
                log.error("starting a solver process: %s; again in %.2gs",
                          e.strerror or type(e).__name__, pause)
                await asyncio.sleep(pause)
                pause = min(pause * 2, STORAGE_RETRY_S[1])

    def _settle(self, pkey, outcome):
        """settle() that, while storage fails, keeps the outcome in the
        caller's hands; raises the store's error."""
        try:
            again = settle(self.engine.jobs, pkey, outcome, stopping=self.engine.stopping)
        except self.engine.store_errors as e:
            self.engine.storage_failed("recording a solve", e)
            raise
        if outcome.kind == "storage":
            self.engine.storage_failed("solve", StorageFault(outcome.detail))
        else:
            self.engine.storage_ok()
        return again

    async def _run(self, worker, pkey, total, count):
        loop = asyncio.get_running_loop()
        self._busy[worker.pid] = pkey
        try:
            outcome = await loop.run_in_executor(
                self._threads, attempt, worker, self.engine.blobs, pkey,
                self.timeout_rule(total, count))
        finally:
            self._busy.pop(worker.pid, None)
        self.engine.observe(outcome)
        if outcome.kind == "died":
            log.warning("solve of %s: %s", pkey[:12], outcome.detail)
        return outcome

    # -- the queue ---------------------------------------------------------

    async def _consume(self, slot, worker):
        """One pool solver's loop. A store error is logged and waited out:
        the loop never ends but for a stop."""
        self._pool_workers[slot] = worker
        pause = STORAGE_RETRY_S[0]
        while not self.engine.stopping:
            try:
                await self._consume_one(slot)
                pause = STORAGE_RETRY_S[0]
            except asyncio.CancelledError:
                raise
            except self.engine.store_errors as e:
                self.engine.storage_failed("queue", e)
                await asyncio.sleep(pause)
                pause = min(pause * 2, STORAGE_RETRY_S[1])
                self._work.set()
            except Exception:
                log.exception("solver loop")
                await asyncio.sleep(pause)
                pause = min(pause * 2, STORAGE_RETRY_S[1])

    async def _consume_one(self, slot):
        job = self.engine.jobs.claim()
        if job is None:
            # The store took a write, and no solve is waiting to store one.
            self.engine.storage_ok()
            self._work.clear()
            await self._work.wait()
            return
        outcome = await self._run(self._pool_workers[slot], job.key, job.total, job.count)
        died = outcome.kind == "died" and not self.engine.stopping
        if died:
            # Replaced before anything else can fail: a dead process never
            # takes another job.
            self._pool_workers[slot] = await self._respawn()
        try:
            again = self._settle(job.key, outcome)
        except self.engine.store_errors:
            # The outcome is lost with the write; the job is still running
            # in the store and goes back to the queue once it can.
            await self._requeue_when_possible(job.key)
            raise
        if died:
            # Whatever took the process down (memory pressure, a
            # neighbour) gets a moment to pass before the retry.
            await asyncio.sleep(self.retry_delay_s)
        elif outcome.kind == "storage":
            await asyncio.sleep(self._storage_pause)
            self._storage_pause = min(self._storage_pause * 2, STORAGE_RETRY_S[1])
        else:
            self._storage_pause = STORAGE_RETRY_S[0]
        if again:
            self._work.set()
        await self.engine.changed()

    async def _requeue_when_possible(self, pkey, wake=False):
        pause = STORAGE_RETRY_S[0]
        while not self.engine.stopping:
            try:
                self.engine.jobs.requeue(pkey, died=False)
                if wake:
                    self._work.set()
                return
            except self.engine.store_errors:
                await asyncio.sleep(pause)
                pause = min(pause * 2, STORAGE_RETRY_S[1])

    # -- health ------------------------------------------------------------

    def detail(self, counts):
        solvers = [{"pid": w.pid, "inline": w in self._inline_workers,
                    "busy": w.pid in self._busy, "stuck": w.stuck()}
                   for w in self._all_workers()]
        return {"stuck": sum(s["stuck"] for s in solvers), "solvers": solvers}
