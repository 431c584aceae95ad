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

from . import door, protocol, settings
from .engine import Dispatcher, Refused, Status, attempt, settle
from .redis_store import RedisJobStore, WorkerRoll, connect, connect_async
from .store import DONE, PROBLEM_LOST, QUEUED, RUNNING, FileBlobStore, is_problem_key
from .workers import Worker

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
# A sent problem still queued and never started this long after its send
# is sent again: its message may have been lost with the front end that
# was about to send it. A second message is harmless.
RESEND_AFTER_S = 600.0
STARTED_TOO_OFTEN = (f"The solve was started {MAX_STARTS} times and its worker "
                     "was lost each time")


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


class BrokerDispatcher(Dispatcher):
    """Sends every solve to the workers through the broker and solves
    nothing itself, so any number of front ends can run side by side."""

    store_errors = (redis.RedisError,)
    unavailable = UNAVAILABLE

    def __init__(self, url, prefix="pemux"):
        self.url = url
        # The asyncio client: every store call awaits on the loop, and a
        # broker that is slow to answer holds only the request that asked.
        client = connect_async(url)
        self.jobs = RedisJobStore(client, prefix)
        self.roll = WorkerRoll(client, prefix)
        self.broker = make_broker(url, DEFAULT_HEARTBEAT_S, judge=False)
        self.actor = declare_solve(self.broker, _never_here)
        self.engine = None
        self._tasks = []
        self._live = {}  # the workers' ads, as last read
        self._reachable = None  # asyncio.Event: set while the broker answers
        self._unseen = {}  # request id -> when its result file was first missed

    async def start(self, engine):
        self.engine = engine
        self._reachable = asyncio.Event()
        self._reachable.set()
        self._tasks = [asyncio.create_task(self._listen()),
                       asyncio.create_task(self._watch())]

    async def stop(self, drain_s):
        for t in self._tasks:
            t.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        self.broker.close()

    def reachable(self):
        return self._reachable.is_set()

    async def wait_reachable(self, timeout):
        try:
            await asyncio.wait_for(self._reachable.wait(), timeout)
        except TimeoutError:
            return False
        return True

    async def check(self, total):
        self._live = await self.engine.call(self.roll.live)
        if self._live:
            largest = max(ad["max_total"] for ad in self._live.values())
            if total > largest:
                raise Refused(f"Problem too large for every running worker: the values sum "
                              f"to {total} and the largest worker takes at most {largest}")

    async def dispatch(self, rid, pkey, key_id, total, count, now, recorded):
        call = self.engine.call
        # Held before the request is recorded: a front end lost in between
        # leaves at most a solve nobody asked for, never a request that no
        # message will ever serve (any front end releases held problems).
        try_no = await call(self.jobs.new_try, pkey)
        await call(self.jobs.hold, pkey, key_id, now)
        await call(self.jobs.accept, rid, pkey, key_id, total, count, QUEUED, now, None, try_no)
        recorded()
        await self._release_now()

    async def _release_now(self):
        """_release(), leaving a failure to the next look (every 0.25 s)."""
        try:
            await self._release()
        except redis.RedisError as e:
            log.warning("sending held problems: %s", e)

    async def _release(self):
        """Sends held problems, each key up to its share of the queue: as
        many as there are solvers, so that one key's flood waits behind
        itself and another key's problem finds room at once."""
        share = max(1, sum(int(ad.get("processes", 1)) for ad in self._live.values()))
        sends = await self.engine.call(self.jobs.release, share, time.time(), RESEND_AFTER_S)
        for pkey, try_no in sends:
            # Dramatiq's client blocks: its send goes to a thread.
            await self.engine.off_loop(self.actor.send, pkey, try_no)

    def done_status(self, rid, p):
        path = self.engine.blobs.result_path(p.key)
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

    async def _watch(self):
        """Keeps the workers' ads and whether the broker answers, so that
        no request waits on a broker that is away."""
        import redis.asyncio as aioredis
        client = aioredis.Redis.from_url(self.url, socket_connect_timeout=1,
                                         socket_timeout=1)
        try:
            while True:
                try:
                    await asyncio.wait_for(client.ping(), 1.5)
                    self._live = await self.engine.call(self.roll.live)
                    if not self._reachable.is_set():
                        log.info("job store reachable again")
                    self._reachable.set()
                    await self._release_now()
                except (redis.RedisError, OSError, TimeoutError) as e:
                    if self._reachable.is_set():
                        log.warning("job store unreachable: %s", e or type(e).__name__)
                    self._reachable.clear()
                except Exception:
                    # A malformed worker ad, say: this loop must live on.
                    log.exception("watching the job store")
                await asyncio.sleep(0.25)
        finally:
            await client.aclose()

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
                            await self.engine.changed()
                            await self._release_now()
            except (redis.RedisError, OSError):
                await asyncio.sleep(0.5)
            except Exception:
                log.exception("listening for finished problems")
                await asyncio.sleep(0.5)
            finally:
                await client.aclose()

    def detail(self, counts):
        if not self.reachable():
            return {"unreachable": True, "workers": []}
        return {"stuck": sum(ad.get("stuck", 0) for ad in self._live.values()),
                "workers": [dict(ad, id=w) for w, ad in sorted(self._live.items())]}


def _never_here(pkey, try_no):
    raise RuntimeError("front ends only send solves")


# -- worker --------------------------------------------------------------------


class SolveWorker:
    """One machine's share of the solving: Dramatiq worker threads, each
    with a solver process of its own, and the ad that tells front ends how
    large a problem this machine takes."""

    def __init__(self, url, blobs, processes, memory_limit, max_total, heartbeat_s,
                 idle_poll_s, gzip=(protocol.GZIP_LEVEL, protocol.GZIP_STRATEGY),
                 prefix="pemux", timeout_rule=settings.solve_timeout):
        self.blobs = blobs
        self.timeout_rule = timeout_rule
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
        if not is_problem_key(pkey):
            # Only a front end's message names a problem in this form;
            # anything else written into the queue is dropped, never a path.
            log.warning("dropped a message that names no problem")
            return
        state = self.jobs.begin(pkey, try_no, MAX_STARTS, STARTED_TOO_OFTEN)
        if state != RUNNING:
            return  # already solved, or given up: this delivery is a repeat
        deadline = time.monotonic() + SHARED_FILE_GRACE_S
        while not self.blobs.has_problem(pkey):
            if self._stopping.is_set():
                # Not lost: another worker looks again after this one.
                self.jobs.requeue(pkey, died=False)
                raise Interrupted("worker stopping")
            if time.monotonic() > deadline:
                self._record(self.jobs.fail, pkey, PROBLEM_LOST, time.time(), try_no)
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
        p = self.jobs.problem(pkey)
        total, count = (p.total, p.count) if p is not None else (0, 0)
        pause = 0.05
        while True:
            worker = self._solver()
            outcome = attempt(worker, self.blobs, pkey, self.timeout_rule(total, count))
            if outcome.kind == "died" and self._stopping.is_set():
                self.jobs.requeue(pkey, died=False)
                raise Interrupted("worker stopping")
            if self.metrics is not None:
                self.metrics.attempted(outcome)
            if outcome.kind == "ok":
                log.info("solved %s in %.3fs (+%.3fs to store %d bytes)",
                         pkey[:12], outcome.solve_s, outcome.pack_s, outcome.size)
            elif outcome.kind == "storage":
                log.warning("solve of %s: storage: %s; again in %.2gs",
                            pkey[:12], outcome.detail, pause)
            if not self._record(settle, self.jobs, pkey, outcome, try_no):
                return
            if outcome.kind == "storage":
                if self._stopping.wait(pause):
                    raise Interrupted("worker stopping")
                pause = min(pause * 2, 5.0)
            # The same delivery tried again: not another start, so that a
            # storage outage does not pass for lost workers.
            if self.jobs.begin(pkey, try_no, MAX_STARTS, STARTED_TOO_OFTEN,
                               new_start=False) != RUNNING:
                return

    # -- lifetime ------------------------------------------------------------

    def ad(self):
        with self._lock:
            busy = self._busy
            stuck = sum(w.stuck() for w in self._solvers.values())
        return {"host": socket.gethostname(), "pid": os.getpid(),
                "processes": self.processes, "busy": busy, "stuck": stuck,
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
    p = argparse.ArgumentParser(
        prog="pemux-service worker",
        description="Solve problems for pemux-service front ends that share --broker and --data.")
    p.add_argument("--data", required=True,
                   help="the data directory the front ends use (shared, e.g. over NFS)")
    door.add_broker_options(p, "where the front ends queue problems")
    door.add_version_option(p)
    p.add_argument("--processes", type=int, default=os.cpu_count() or 1,
                   help="solver processes on this machine (default: one per core)")
    p.add_argument("--worker-memory", type=settings.parse_size,
                   help="address-space limit of each solver process "
                        "(default: machine memory / processes)")
    p.add_argument("--max-total", type=int,
                   help="largest sum of values this worker advertises to front ends "
                        "(default: what one solver's memory limit holds)")
    p.add_argument("--heartbeat", type=settings.parse_duration, default=DEFAULT_HEARTBEAT_S,
                   help="a worker silent this long counts as lost and its solves are "
                        "handed to others; the same on every worker (default 10s)")
    p.add_argument("--idle-poll", type=settings.parse_duration, default=DEFAULT_IDLE_POLL_S,
                   help="longest pause between looks at an empty queue (default 0.02s)")
    p.add_argument("--drain", type=settings.parse_duration, default=30.0,
                   help="on SIGTERM, how long running solves may finish before they "
                        "go back to the queue (default 30s)")
    settings.add_gzip_options(p)
    settings.add_solve_timeout_option(p)
    p.add_argument("--metrics-port", type=int,
                   help="serve this worker's solve metrics (Prometheus) over plain HTTP "
                        "on this port of --metrics-host")
    p.add_argument("--metrics-host", default="127.0.0.1",
                   help="address of --metrics-port (default 127.0.0.1)")
    p.add_argument("--ready-file", help="JSON file written once the worker takes jobs")
    return p


def worker_main(argv):
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
    memory = args.worker_memory or settings.default_worker_memory(args.processes)
    max_total = (args.max_total if args.max_total is not None
                 else settings.default_max_total(memory))
    sw = SolveWorker(args.broker, FileBlobStore(data), args.processes, memory, max_total,
                     args.heartbeat, args.idle_poll, gzip=settings.gzip_setting(args),
                     timeout_rule=settings.timeout_rule(args))
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
    settings.write_ready_file(args.ready_file, id=sw.id)
    while not stop.wait(1.0):
        pass
    log.info("stopping: running solves have %gs to finish", args.drain)
    sw.stop(args.drain)
    log.info("stopped")
    return 0
