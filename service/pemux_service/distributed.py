"""The service on several machines: front ends and solve workers that share
a Redis broker and a data directory.

Delivery is Dramatiq's over Redis: a worker takes a message into its own
acknowledgement set, solves, and acknowledges only after the result is
stored. A worker that dies stops heartbeating; once its heartbeat is older
than the heartbeat timeout, the next fetch of any live worker (or the next
submit of a front end) puts its unacknowledged messages back on the queue.
A solve can therefore run twice; results are keyed by the multiset of
values and written whole, so the second run only rewrites the same file.
"""

import argparse
import asyncio
import logging
import os
import secrets
import signal
import socket
import threading
import time
import urllib.parse

import dramatiq
from dramatiq.brokers.redis import MAINTENANCE_SCALE, RedisBroker
from dramatiq.middleware import TimeLimit, default_middleware
import redis

from . import door, protocol
from .engine import MAX_DEATHS, Engine, Refused, Status
from .redis_store import RedisJobStore, WorkerRoll, connect
from .store import DONE, QUEUED, RUNNING, FileBlobStore
from .workers import SolveFailed, Worker, WorkerDied

log = logging.getLogger("pemux_service")

QUEUE = "pemux"
ACTOR = "pemux_solve"
DEFAULT_HEARTBEAT_S = 10.0
DEFAULT_IDLE_POLL_S = 0.02
# Deliveries of one try before it fails for good: a problem whose solve
# takes the whole worker down with it must not circle the cluster forever.
MAX_STARTS = 5
UNAVAILABLE = "Service temporarily unavailable: the job store cannot be reached; try again"
# A file that another machine just renamed into the shared directory may
# show up here a moment late (a network file system's lookup cache).
SHARED_FILE_GRACE_S = 30.0
STARTED_TOO_OFTEN = (f"The solve was started {MAX_STARTS} times and its worker "
                     "was lost each time")


class Unavailable(Refused):
    status = 503


class Interrupted(Exception):
    """The worker is stopping: the message goes back to the queue."""


def redact(url):
    """The broker URL without its password, for printing."""
    u = urllib.parse.urlsplit(url)
    host = u.hostname or ""
    if u.port:
        host = f"{host}:{u.port}"
    return urllib.parse.urlunsplit((u.scheme, host, u.path, "", ""))


def make_broker(url, heartbeat_s, judge=True):
    """Dramatiq's Redis broker with no time limit on a solve. With judge,
    every command also checks for dead workers, whose messages go back on
    the queue one heartbeat timeout after their last heartbeat; front ends
    leave that to the workers, which all share one timeout."""
    middleware = [m() for m in default_middleware if m is not TimeLimit]
    return RedisBroker(url=url, middleware=middleware,
                       heartbeat_timeout=int(heartbeat_s * 1000),
                       maintenance_chance=MAINTENANCE_SCALE if judge else 0)


def declare_solve(broker, fn):
    """The one actor: solve(problem key, try number)."""
    return dramatiq.Actor(fn, broker=broker, actor_name=ACTOR, queue_name=QUEUE,
                          priority=0, options={"max_retries": 20, "min_backoff": 200,
                                               "max_backoff": 5000})


# -- front end ---------------------------------------------------------------


class BrokerEngine(Engine):
    """Accepts problems and answers polls from the shared job store; solves
    nothing itself, so any number of these can run side by side."""

    def __init__(self, url, blobs, limits, metrics=None, prefix="pemux"):
        self.url = url
        self.blobs = blobs
        self.limits = limits
        self.metrics = metrics
        # Short retries: a poll must not hold the event loop for long
        # while the broker restarts; the client polls again anyway.
        client = connect(url, retries=2, socket_connect_timeout=1, socket_timeout=5)
        self.jobs = RedisJobStore(client, prefix)
        self.roll = WorkerRoll(client, prefix)
        self.broker = make_broker(url, DEFAULT_HEARTBEAT_S, judge=False)
        self.actor = declare_solve(self.broker, _never_here)
        self._changed = None
        self._tasks = []
        self._stopping = False
        self._unseen = {}  # request id -> when its result file was first missed

    async def start(self):
        self._changed = asyncio.Condition()
        self._tasks = [asyncio.create_task(self._listen()),
                       asyncio.create_task(self._expire_loop())]

    @property
    def stopping(self):
        return self._stopping

    async def begin_stop(self):
        self._stopping = True
        await self._notify()

    async def stop(self, drain_s):
        await self.begin_stop()
        for t in self._tasks:
            t.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        self.broker.close()

    async def submit(self, values, key_id):
        total = self._admit(values)
        try:
            return await self._submit(values, key_id, total)
        except redis.RedisError as e:
            log.warning("submit: job store: %s", e)
            raise Unavailable(UNAVAILABLE) from None

    async def _submit(self, values, key_id, total):
        pkey = protocol.problem_key(values)
        rid = secrets.token_hex(16)
        now = time.time()
        if self._reuse(rid, pkey, key_id, total, len(values), now):
            return rid
        live = self.roll.live()
        if live:
            largest = max(ad["max_total"] for ad in live.values())
            if total > largest:
                raise Refused(f"Problem too large for every running worker: the values sum "
                              f"to {total} and the largest worker takes at most {largest}")
        self._check_queue(key_id, total)
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(None, self.blobs.put_problem, pkey, values)
        # Sent before the request is recorded: a front end lost in between
        # leaves at most a solve nobody asked for, never a request that no
        # message will ever serve.
        try_no = self.jobs.new_try(pkey)
        self.actor.send(pkey, try_no)
        self.jobs.accept(rid, pkey, key_id, total, len(values), QUEUED, now, try_no=try_no)
        self._update_gauges()
        return rid

    def status(self, rid):
        try:
            p = self.jobs.request(rid)
        except redis.RedisError as e:
            # Not ready, as far as the client can tell: it polls again.
            log.warning("poll: job store: %s", e)
            return Status(QUEUED)
        if p is None:
            return Status(None)
        if p.state == DONE:
            path = self.blobs.result_path(p.key)
            if not os.path.exists(path):
                if len(self._unseen) > 10_000:
                    self._unseen.clear()
                first = self._unseen.setdefault(rid, time.monotonic())
                if time.monotonic() - first < SHARED_FILE_GRACE_S:
                    return Status(RUNNING)
                del self._unseen[rid]
                return Status(None)
            self._unseen.pop(rid, None)
            return Status(DONE, result_path=path)
        return Status(p.state, error=p.error)

    async def wait(self, rid, timeout):
        # Woken by any finished problem; the bound covers a change
        # announced while the broker connection was down.
        try:
            async with self._changed:
                await asyncio.wait_for(self._changed.wait(), min(timeout, 1.0))
        except TimeoutError:
            pass

    async def _notify(self):
        if self._changed is not None:
            async with self._changed:
                self._changed.notify_all()

    async def _listen(self):
        import redis.asyncio as aioredis
        channel = f"{self.jobs.prefix}:changed"
        while True:
            client = aioredis.Redis.from_url(self.url, socket_connect_timeout=1)
            try:
                async with client.pubsub() as ps:
                    await ps.subscribe(channel)
                    while True:
                        msg = await ps.get_message(ignore_subscribe_messages=True, timeout=5.0)
                        if msg is not None:
                            await self._notify()
            except (redis.RedisError, OSError):
                await asyncio.sleep(0.5)
            finally:
                await client.aclose()

    async def _expire_loop(self):
        period = self._expire_period()
        while True:
            try:
                self.expire()
                self._update_gauges()
            except redis.RedisError as e:
                log.warning("expiry: job store: %s", e)
            await asyncio.sleep(period)

    def health(self):
        try:
            counts = self.jobs.counts()
            workers = self.roll.live()
        except redis.RedisError:
            return {"status": "job store unreachable", "queued": None, "running": None,
                    "workers": []}
        return self._health(counts,
                            workers=[dict(ad, id=w) for w, ad in sorted(workers.items())])


def _never_here(pkey, try_no):
    raise RuntimeError("front ends only send solves")


# -- worker --------------------------------------------------------------------


class SolveWorker:
    """One machine's share of the solving: Dramatiq worker threads, each
    with a solver process of its own, and the ad that tells front ends how
    large a problem this machine takes."""

    def __init__(self, url, blobs, processes, memory_limit, max_total, heartbeat_s,
                 idle_poll_s, gzip=(protocol.GZIP_LEVEL, protocol.GZIP_STRATEGY),
                 prefix="pemux"):
        self.blobs = blobs
        self.gzip = gzip
        self.processes = processes
        self.memory_limit = memory_limit
        self.max_total = max_total
        self.heartbeat_s = heartbeat_s
        self.idle_poll_s = idle_poll_s
        client = connect(url)
        self.jobs = RedisJobStore(client, prefix)
        self.roll = WorkerRoll(client, prefix)
        self.broker = make_broker(url, heartbeat_s)
        self.actor = declare_solve(self.broker, self.solve)
        self.id = f"{socket.gethostname()}-{os.getpid()}-{secrets.token_hex(3)}"
        self._local = threading.local()
        self._solvers = {}  # thread id -> Worker
        self._busy = 0
        self._lock = threading.Lock()
        self._stopping = threading.Event()  # solvers are being stopped
        self._withdrawn = threading.Event()  # no more ads: taking no new work
        self._worker = None
        self.metrics = None  # Metrics(front=False) when --metrics-port serves them

    def _solved(self, outcome, *times):
        if self.metrics is not None:
            self.metrics.solved(outcome, *times)

    # -- the actor ---------------------------------------------------------

    def _solver(self):
        w = getattr(self._local, "solver", None)
        if w is None or not w.process.is_alive():
            w = Worker(self.memory_limit, self.gzip)
            self._local.solver = w
            with self._lock:
                self._solvers[threading.get_ident()] = w
        return w

    def solve(self, pkey, try_no):
        state = self.jobs.begin(pkey, try_no, MAX_STARTS, STARTED_TOO_OFTEN)
        if state != RUNNING:
            return  # already solved, or given up: this delivery is a repeat
        deadline = time.monotonic() + SHARED_FILE_GRACE_S
        while not self.blobs.has_problem(pkey):
            if time.monotonic() > deadline or self._stopping.is_set():
                self._record(self.jobs.fail, pkey,
                             "The problem's data was lost; submit it again", time.time(), try_no)
                return
            time.sleep(0.2)
        with self._lock:
            self._busy += 1
        try:
            self._solve(pkey, try_no)
        finally:
            with self._lock:
                self._busy -= 1

    def _record(self, what, *args):
        """Records the outcome of a solve, waiting out a broker restart: the
        solve is done and should not be redone for want of one write."""
        delay = 0.1
        while True:
            try:
                return what(*args)
            except redis.RedisError as e:
                if self._stopping.is_set():
                    raise
                log.warning("recording a solve: %s; again in %.1fs", e, delay)
                time.sleep(delay)
                delay = min(delay * 2, 5.0)

    def _solve(self, pkey, try_no):
        while True:
            worker = self._solver()
            try:
                solve_s, pack_s, size = worker.run(self.blobs.problem_path(pkey),
                                                   self.blobs.result_path(pkey))
            except SolveFailed as e:
                self._solved("failed")
                self._record(self.jobs.fail, pkey, str(e), time.time(), try_no)
                return
            except WorkerDied as e:
                self._solved("died")
                if self._stopping.is_set():
                    self.jobs.requeue(pkey, died=False)
                    raise Interrupted("worker stopping") from None
                deaths = self.jobs.requeue(pkey, died=True)
                log.warning("solve of %s: %s (%d of %d)", pkey[:12], e, deaths, MAX_DEATHS)
                if deaths >= MAX_DEATHS:
                    self._record(self.jobs.fail, pkey, f"The solve failed twice: {e}",
                                 time.time(), try_no)
                    return
                if self.jobs.begin(pkey, try_no, MAX_STARTS, STARTED_TOO_OFTEN) != RUNNING:
                    return
                continue
            self._solved("ok", solve_s, pack_s)
            self._record(self.jobs.finish, pkey, time.time())
            log.info("solved %s in %.3fs (+%.3fs to store %d bytes)",
                     pkey[:12], solve_s, pack_s, size)
            return

    # -- lifetime ------------------------------------------------------------

    def ad(self):
        with self._lock:
            busy = self._busy
        return {"host": socket.gethostname(), "pid": os.getpid(),
                "processes": self.processes, "busy": busy,
                "memory": self.memory_limit, "max_total": self.max_total}

    def _advertise_loop(self):
        period = self.heartbeat_s / 3
        while not self._withdrawn.wait(period):
            try:
                self.roll.advertise(self.id, self.ad(), self.heartbeat_s)
            except redis.RedisError as e:
                log.warning("advertising: %s", e)

    def start(self):
        self.roll.advertise(self.id, self.ad(), self.heartbeat_s)
        threading.Thread(target=self._advertise_loop, name="pemux-advertise",
                         daemon=True).start()
        w = dramatiq.Worker(self.broker, worker_threads=self.processes,
                            worker_timeout=max(1, int(self.idle_poll_s * 1000)))
        # One message per solver: a message held back behind a long solve
        # while another machine idles would waste that machine.
        w.queue_prefetch = self.processes
        w.start()
        self._worker = w

    def stop(self, drain_s):
        """Lets running solves finish for drain_s; what is still running
        then is put back on the queue, or redelivered once this worker's
        heartbeat has timed out."""
        self._withdrawn.set()
        try:
            self.roll.withdraw(self.id)
        except redis.RedisError:
            pass  # the ad expires on its own
        done = threading.Event()

        def kill_late():
            if not done.wait(drain_s):
                self._stopping.set()
                for w in list(self._solvers.values()):
                    w.stop(kill=True)

        threading.Thread(target=kill_late, daemon=True).start()
        self._worker.stop(timeout=int((drain_s + 10) * 1000))
        done.set()
        self._stopping.set()
        for w in list(self._solvers.values()):
            w.stop(kill=True)
        self.broker.close()


def worker_parser():
    from .cli import add_gzip_options, parse_duration, parse_size
    p = argparse.ArgumentParser(
        prog="pemux-service worker",
        description="Solve problems for pemux-service front ends that share --broker and --data.")
    p.add_argument("--data", required=True,
                   help="the data directory the front ends use (shared, e.g. over NFS)")
    door.add_broker_options(p, "where the front ends queue problems")
    door.add_version_option(p)
    p.add_argument("--processes", type=int, default=os.cpu_count() or 1,
                   help="solver processes on this machine (default: one per core)")
    p.add_argument("--worker-memory", type=parse_size,
                   help="address-space limit of each solver process "
                        "(default: machine memory / processes)")
    p.add_argument("--max-total", type=int,
                   help="largest sum of values this worker advertises to front ends "
                        "(default: what one solver's memory limit holds)")
    p.add_argument("--heartbeat", type=parse_duration, default=DEFAULT_HEARTBEAT_S,
                   help="a worker silent this long counts as lost and its solves are "
                        "handed to others; the same on every worker (default 10s)")
    p.add_argument("--idle-poll", type=parse_duration, default=DEFAULT_IDLE_POLL_S,
                   help="longest pause between looks at an empty queue (default 0.02s)")
    p.add_argument("--drain", type=parse_duration, default=30.0,
                   help="on SIGTERM, how long running solves may finish before they "
                        "go back to the queue (default 30s)")
    add_gzip_options(p)
    p.add_argument("--metrics-port", type=int,
                   help="serve this worker's solve metrics (Prometheus) over plain HTTP "
                        "on this port of --metrics-host")
    p.add_argument("--metrics-host", default="127.0.0.1",
                   help="address of --metrics-port (default 127.0.0.1)")
    p.add_argument("--ready-file", help="JSON file written once the worker takes jobs")
    return p


def worker_main(argv):
    import json

    from .cli import default_max_total, gzip_setting, machine_memory
    from .store import write_atomic

    args = worker_parser().parse_args(argv)
    args.broker = door.broker_url(args)
    if args.broker is None:
        worker_parser().error(f"the broker: --broker, --broker-file or {door.BROKER_ENV}")
    handler = logging.StreamHandler()
    handler.setFormatter(logging.Formatter("pemux-service worker: %(message)s"))
    log.addHandler(handler)
    log.setLevel(logging.INFO)
    logging.getLogger("dramatiq").setLevel(logging.WARNING)

    data = os.path.abspath(args.data)
    from .private import prepare_data
    prepare_data(data)
    memory = args.worker_memory or max(512 << 20, machine_memory() // max(1, args.processes))
    max_total = args.max_total if args.max_total is not None else default_max_total(memory)
    sw = SolveWorker(args.broker, FileBlobStore(data), args.processes, memory, max_total,
                     args.heartbeat, args.idle_poll,
                     gzip=gzip_setting(args))
    if args.metrics_port is not None:
        from .metrics import Metrics
        sw.metrics = Metrics(front=False)
        sw.metrics.serve(args.metrics_port, args.metrics_host)
    stop = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: stop.set())
    signal.signal(signal.SIGHUP, signal.SIG_IGN)  # no log file of its own to reopen
    try:
        sw.start()
    except redis.RedisError as e:
        print(f"pemux-service worker: broker {redact(args.broker)}: {e}", flush=True)
        return 1
    print(f"pemux-service worker: {sw.id} solving for {redact(args.broker)} with "
          f"{args.processes} solver processes, largest total {max_total}", flush=True)
    if args.ready_file:
        write_atomic(os.path.abspath(args.ready_file),
                     json.dumps({"pid": os.getpid(), "id": sw.id}).encode())
    while not stop.wait(1.0):
        pass
    log.info("stopping: running solves have %gs to finish", args.drain)
    sw.stop(args.drain)
    log.info("stopped")
    return 0
