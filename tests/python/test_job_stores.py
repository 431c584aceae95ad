"""One contract, two job stores: every case runs against SQLite and against
Redis (a real redis-server on a free loopback port)."""

import asyncio
import inspect
import random
import shutil

from pemux_service.store import DONE, FAILED, QUEUED, RUNNING, SqliteJobStore
import pytest
from support.procs import RedisServer

STATES = (QUEUED, RUNNING, DONE, FAILED)


@pytest.fixture(scope="module")
def redis_server(tmp_path_factory):
    pytest.importorskip("redis")
    if shutil.which("redis-server") is None:
        pytest.skip("redis-server is not installed (scripts/run_tests.sh installs it)")
    server = RedisServer(tmp_path_factory.mktemp("stores")).start()
    yield server
    server.stop()


@pytest.fixture(params=["sqlite", "redis"])
def jobs(request, tmp_path):
    if request.param == "sqlite":
        store = SqliteJobStore(str(tmp_path / "jobs.sqlite"))
    else:
        from pemux_service.redis_store import RedisJobStore
        server = request.getfixturevalue("redis_server")
        # A prefix of its own: no case sees another's records.
        store = RedisJobStore(server.client(), prefix=f"t{random.getrandbits(40):x}")
    yield store
    store.close()


def key(c):
    return c * 64


TRANSITIONS = [
    ("new", [("accept", 1)], QUEUED),
    ("worker first", [("begin", 1), ("accept", 1)], RUNNING),
    ("done before accept", [("begin", 1), ("finish", 1), ("accept", 1)], DONE),
    ("own failure kept", [("begin", 1), ("fail", 1), ("accept", 1)], FAILED),
    ("older failure retried", [("accept", 1), ("begin", 1), ("fail", 1), ("accept", 2)],
     QUEUED),
    ("failure retried by a plain submit", [("accept", 1), ("fail", 1), ("accept", None)],
     QUEUED),
    ("repeat after done", [("accept", 1), ("begin", 1), ("finish", 1), ("begin", 1)], DONE),
    ("stale try after failure", [("accept", 1), ("begin", 1), ("fail", 2), ("begin", 1)],
     FAILED),
    ("failure after done", [("accept", 1), ("finish", 1), ("fail", 1)], DONE),
    ("too many starts", [("accept", 1)] + [("begin", 1)] * 6, FAILED),
    ("one delivery tried again is one start", [("accept", 1), ("begin", 1)]
     + [("again", 1)] * 6, RUNNING),
]
ERRORS = {"own failure kept": "boom", "stale try after failure": "boom",
          "too many starts": "started too often"}


@pytest.mark.parametrize("steps,final,error", [(s, f, ERRORS.get(n)) for n, s, f in TRANSITIONS],
                         ids=[n for n, _, _ in TRANSITIONS])
def test_transitions(jobs, steps, final, error):
    pkey = key("k")
    for n, (step, try_no) in enumerate(steps):
        if step == "accept":
            jobs.accept(f"r{n}", pkey, "kid", 10, 2, QUEUED, 1000.0 + n, try_no=try_no)
        elif step in ("begin", "again"):
            jobs.begin(pkey, try_no, 5, "started too often", new_start=step == "begin")
        elif step == "finish":
            jobs.finish(pkey, 1000.0 + n)
        else:
            jobs.fail(pkey, "boom", 1000.0 + n, try_no)
    p = jobs.problem(pkey)
    assert (p.state, p.error) == (final, error)
    assert jobs.counts() == {s: int(s == final) for s in STATES}


@pytest.mark.parametrize("before,state", [
    ([], None), (["accept"], QUEUED), (["accept", "finish"], DONE), (["accept", "fail"], None),
    (["new_try"], None)])
def test_a_reusing_accept_joins_only_a_live_problem(jobs, before, state):
    pkey = key("e")
    for step in before:
        if step == "accept":
            jobs.accept("r0", pkey, "kid", 10, 2, QUEUED, 1000.0)
        elif step == "finish":
            jobs.finish(pkey, 1001.0)
        elif step == "fail":
            jobs.fail(pkey, "boom", 1001.0)
        else:
            jobs.new_try(pkey)
    counts = jobs.counts()
    assert jobs.accept("r1", pkey, "kid", 10, 2, QUEUED, 1002.0, reuse=True) == state
    # A refused join records nothing: no request, no problem made or revived.
    assert (jobs.request("r1", "kid") is not None) == (state is not None)
    if state is None:
        assert jobs.counts() == counts


def test_tries_are_numbered_per_problem(jobs):
    assert [jobs.new_try(key("a")), jobs.new_try(key("a")), jobs.new_try(key("b"))] == [1, 2, 1]
    # A try counted before any accept is no problem yet.
    assert jobs.problem(key("a")) is None
    assert jobs.counts() == dict.fromkeys(STATES, 0)


def test_a_request_answers_only_its_own_key(jobs):
    jobs.accept("r1", key("a"), "alice", 10, 2, QUEUED, 1000.0)
    assert jobs.request("r1", "alice").key == key("a")
    assert jobs.request("r1", "bob") is None
    assert jobs.request("r2", "alice") is None


def test_pending_counts_each_unfinished_problem_once(jobs):
    for i, pkey in enumerate([key("a"), key("b"), key("c")]):
        jobs.accept(f"r{i}", pkey, "kid", 10, 2, QUEUED, 1000.0)
    # The same queued problem again adds a request, not a problem.
    jobs.accept("r9", key("a"), "kid", 10, 2, QUEUED, 1000.0)
    jobs.begin(key("b"), 1, 5, "")
    jobs.finish(key("c"), 1000.0)
    assert (jobs.pending_for("kid"), jobs.pending_for("other")) == (2, 0)
    jobs.finish(key("a"), 2000.0)
    assert jobs.pending_for("kid") == 1


def test_expiry_takes_finished_problems_unused_since_the_cutoff(jobs):
    for i, pkey in enumerate([key("a"), key("b"), key("c")]):
        jobs.accept(f"r{i}", pkey, "kid", 10, 2, QUEUED, 1000.0)
    jobs.begin(key("b"), 1, 5, "")
    jobs.finish(key("c"), 1000.0)
    jobs.finish(key("a"), 2000.0)
    assert jobs.expire(1500.0) == [key("c")]
    assert [jobs.request(r, "kid") is None for r in ("r0", "r1", "r2")] == [False, False, True]
    assert jobs.counts() == {QUEUED: 0, RUNNING: 1, DONE: 1, FAILED: 0}
    assert jobs.counts((QUEUED, RUNNING)) == {QUEUED: 0, RUNNING: 1}


def test_claim_shares_solvers_between_keys(jobs):
    # Alice queues five first; Bob's one still comes second.
    for i in range(5):
        jobs.accept(f"a{i}", key(str(i)), "alice", 10, 2, QUEUED, 1000.0 + i)
    jobs.accept("b0", key("b"), "bob", 10, 2, QUEUED, 2000.0)
    order = [jobs.claim().key for _ in range(3)]
    assert order == [key("0"), key("b"), key("1")]
    assert jobs.counts()[RUNNING] == 3


def test_claim_of_an_empty_queue_and_requeue(jobs):
    assert jobs.claim() is None
    jobs.accept("r", key("a"), "kid", 10, 2, QUEUED, 1000.0)
    assert jobs.claim().state == RUNNING
    assert jobs.claim() is None
    assert [jobs.requeue(key("a"), died=True), jobs.requeue(key("a"), died=False)] == [1, 1]
    assert jobs.problem(key("a")).state == QUEUED
    assert jobs.requeue(key("z"), died=True) == 0  # unknown: nothing made


def test_recover_lists_queued_and_done(jobs):
    for i, pkey in enumerate([key("a"), key("b"), key("c")]):
        jobs.accept(f"r{i}", pkey, "kid", 10, 2, QUEUED, 1000.0)
    jobs.finish(key("b"), 1000.0)
    jobs.fail(key("c"), "boom", 1000.0)
    assert sorted(jobs.recover()) == [key("a"), key("b")]


@pytest.fixture
def redis_jobs(redis_server):
    from pemux_service.redis_store import RedisJobStore
    store = RedisJobStore(redis_server.client(), prefix=f"t{random.getrandbits(40):x}")
    yield store
    store.close()


def test_the_broker_queue_is_shared_by_key(redis_jobs):
    jobs = redis_jobs
    for i, (pkey, kid) in enumerate([(key("a"), "alice"), (key("b"), "alice"),
                                     (key("c"), "alice"), (key("d"), "bob")]):
        jobs.new_try(pkey)
        jobs.hold(pkey, kid, 1000.0 + i)
        jobs.accept(f"r{i}", pkey, kid, 10, 2, QUEUED, 1000.0 + i, try_no=1)
    assert sorted(jobs.release(1, 2000.0, 600.0)) == [(key("a"), 1), (key("d"), 1)]
    # Alice's first is not finished: nothing more of hers goes out.
    assert jobs.release(1, 2001.0, 600.0) == []
    jobs.begin(key("a"), 1, 5, "")
    jobs.finish(key("a"), 2002.0)
    assert jobs.release(1, 2003.0, 600.0) == [(key("b"), 1)]
    # A send never started long after is sent again; a started one is not.
    jobs.begin(key("d"), 1, 5, "")
    assert jobs.release(1, 2003.0 + 600.0, 600.0) == [(key("b"), 1)]


def test_a_problem_back_in_the_queue_after_its_start_is_sent_again(redis_jobs):
    jobs = redis_jobs
    jobs.new_try(key("a"))
    jobs.hold(key("a"), "alice", 1000.0)
    jobs.accept("r0", key("a"), "alice", 10, 2, QUEUED, 1000.0, try_no=1)
    assert jobs.release(1, 1000.0, 600.0) == [(key("a"), 1)]
    jobs.begin(key("a"), 1, 5, "")
    assert jobs.release(1, 1700.0, 600.0) == []  # running: its worker has it
    # Back in the queue, and its message lost: sent again, once it has
    # waited as long as any sent problem.
    jobs.requeue(key("a"), died=False, now=1800.0)
    assert jobs.release(1, 2300.0, 600.0) == []
    assert jobs.release(1, 2401.0, 600.0) == [(key("a"), 1)]


class Blocking:
    """A store on the asyncio client, its calls run to their end, so that
    the same cases hold it to the same contract."""

    def __init__(self, store, loop):
        self._store, self._loop = store, loop

    def __getattr__(self, name):
        fn = getattr(self._store, name)

        def call(*args, **kw):
            out = fn(*args, **kw)
            return self._loop.run_until_complete(out) if inspect.isawaitable(out) else out
        return call


@pytest.fixture
def async_jobs(redis_server):
    from pemux_service.redis_store import RedisJobStore, connect_async
    loop = asyncio.new_event_loop()
    store = RedisJobStore(connect_async(redis_server.url), prefix=f"t{random.getrandbits(40):x}")
    yield Blocking(store, loop)
    loop.run_until_complete(store.close())
    loop.close()


def test_the_asyncio_client_keeps_the_same_contract(async_jobs):
    jobs = async_jobs
    assert jobs.new_try(key("a")) == 1
    jobs.hold(key("a"), "alice", 1000.0)
    assert jobs.accept("r1", key("a"), "alice", 10, 2, QUEUED, 1000.0, try_no=1) == QUEUED
    assert (jobs.request("r1", "alice").key, jobs.request("r1", "bob")) == (key("a"), None)
    assert jobs.pending_for("alice") == 1
    assert jobs.release(2, 1001.0, 600.0) == [(key("a"), 1)]
    assert jobs.begin(key("a"), 1, 5, "") == RUNNING
    jobs.fail(key("a"), "boom", 1002.0, 1)
    assert (jobs.problem(key("a")).state, jobs.counts()[FAILED]) == (FAILED, 1)
    assert jobs.expire(2000.0) == [key("a")]


@pytest.mark.parametrize("total", [2**63 - 1, 2**63, 2**64 * 3 + 1])
@pytest.mark.parametrize("worker_first", [False, True])
def test_totals_past_64_bit_integers_are_kept_exactly(jobs, total, worker_first):
    # --max-total may allow sums that no signed 64-bit column holds.
    if worker_first:
        jobs.begin(key("c"), 1, 5, "started too often")
    jobs.accept("r1", key("c"), "kid", total, 3, QUEUED, 1000.0)
    assert jobs.problem(key("c")).total == total
    assert jobs.request("r1", "kid").total == total
