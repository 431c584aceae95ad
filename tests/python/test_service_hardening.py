"""pemux-service against a hostile tenant and a failing machine: requests
answered to their own key only, hung solvers, storage that fails, a broker
that stops answering, the per-key queue limit, and job-store data that
must not name a file. Each case runs the real service on loopback."""

import array
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading

import pytest

pytest.importorskip("pemux")
pytest.importorskip("pemux_service")

from pemux_service import protocol
from support.oracle import local, problem
from support.procs import children, signal_all, solver_pids
from support.service import Cluster, Service
from support.waiting import wait_until

UNKNOWN = (404, b'{"error":"Unknown or expired requestId"}')
POLL_FORBIDDEN = (403, b'{"error":"Forbidden"}')
TOO_MANY = rb'\{"message":"Too many queued jobs for this key[^"]*"\}'


def new_key(s):
    """(key, key id) of a fresh key of service s."""
    made = s.key_cmd("new")
    return (re.search(r"PEMU_API_KEY=(\S+)", made.stdout).group(1),
            re.search(r"key id (\w+)", made.stderr).group(1))


@pytest.fixture
def start(tmp_path):
    """Starts services of the test's own; resumes and kills them at the end."""
    made = []

    def go(*args):
        s = Service(tmp_path / f"data{len(made)}", "--worker-memory", "700M", *args).start()
        made.append(s)
        return s
    yield go
    for s in made:
        signal_all(children(s.proc.pid), signal.SIGCONT)
        s.stop(signal.SIGKILL)


def queued_service(start, *args):
    """One pool solver and nothing solved inline: every problem waits in
    the queue, where a test can stop its solver."""
    return start("--workers", "1", "--inline-max-total", "-1", "--retry-delay", "0s", *args)


def stopped_queue(start, *args):
    """queued_service() whose solver is stopped (SIGSTOP), and the solver's
    pid: what is submitted waits in the queue."""
    s = queued_service(start, *args)
    solver = s.solvers()[0]["pid"]
    os.kill(solver, signal.SIGSTOP)
    return s, solver


def busy(s):
    return s.solvers()[0]["busy"]


# -- a request belongs to its key ----------------------------------------------


def test_a_request_answers_only_the_key_that_made_it(start):
    s = start()
    other, _ = new_key(s)
    rid = s.submit([3, 5])
    assert s.poll(rid, key=other) == s.poll("0" * 32, key=other) == UNKNOWN
    assert s.result(rid) == local([3, 5])


def test_a_new_key_never_takes_the_id_of_one_still_there(tmp_path, monkeypatch):
    from pemux_service import keys
    store = keys.KeyStore(str(tmp_path / "keys.json"))
    first, _ = store.new()
    drawn = iter([first, "b" * 16])
    monkeypatch.setattr(keys.secrets, "token_hex", lambda n: next(drawn))
    second, _ = store.new()
    assert (len(first), second) == (16, "b" * 16)


def test_a_held_poll_ends_when_its_key_is_revoked(start):
    s = queued_service(start, "--poll-wait", "60s")
    key, kid = new_key(s)
    solver = s.solvers()[0]["pid"]
    os.kill(solver, signal.SIGSTOP)
    rid = s.submit(problem(1, 20, 1000), key=key)
    got = {}
    poller = threading.Thread(target=lambda: got.setdefault("a", s.poll(rid, key=key)))
    poller.start()
    wait_until(lambda: s.health()["held_polls"] == 1, "the poll to be held")
    s.key_cmd("revoke", kid)
    os.kill(solver, signal.SIGCONT)
    poller.join(60)
    assert got["a"] == POLL_FORBIDDEN


def test_stored_results_are_reused_for_the_same_key_only(start):
    s = start()
    other, _ = new_key(s)
    values = problem(2, 40, 1000)
    assert s.result(s.submit(values)) == local(values)
    solved, reused = s.metric("pemux_solves_total", outcome="ok"), \
        s.metric("pemux_solves_total", outcome="reused")
    # Another key's first answer is a solve of its own, as for any new problem.
    assert s.result(s.submit(values, key=other), key=other) == local(values)
    assert (s.metric("pemux_solves_total", outcome="ok"),
            s.metric("pemux_solves_total", outcome="reused")) == (solved + 1, reused)
    assert s.result(s.submit(values[::-1], key=other), key=other) == local(values)
    assert s.metric("pemux_solves_total", outcome="reused") == reused + 1


# -- hung solvers ----------------------------------------------------------------


def test_a_stopped_pool_solver_is_killed_and_the_job_retried(start):
    s, solver = stopped_queue(start, "--solve-timeout", "2s")
    values = problem(3, 20, 10_000)
    rid = s.submit(values)
    h = wait_until(lambda: (lambda h: h if h["stuck"] else None)(s.health()), "a stuck solver")
    assert h["status"] == "degraded"
    assert s.result(rid) == local(values)
    assert s.solvers()[0]["pid"] != solver
    assert s.metric("pemux_solves_total", outcome="died") == 1
    assert s.health()["status"] == "ok"


def test_a_stopped_inline_solver_holds_a_submit_only_until_its_limit(start):
    s = start("--workers", "1", "--solve-timeout", "1s")
    os.kill(s.solvers(inline=True)[0]["pid"], signal.SIGSTOP)
    values = [3, 5, 7]
    # The inline solve runs into its limit; the pool solves the job instead.
    assert s.result(s.submit(values)) == local(values)
    assert not s.solvers(inline=True)[0]["busy"]


def test_a_stopped_solver_of_a_broker_worker_is_killed_and_retried(tmp_path):
    need_redis()
    c = Cluster(tmp_path, worker_args=("--solve-timeout", "1s"), fronts=1, workers=1)
    try:
        w = c.workers[0]
        c.result(c.fronts[0], c.submit(c.fronts[0], [7, 7, 9]))  # its solver starts
        signal_all(solver_pids(w.pid), signal.SIGSTOP)
        values = problem(4, 20, 10_000)
        rid = c.submit(c.fronts[0], values)
        assert c.result(c.fronts[0], rid) == local(values)
        assert int(c.r.hget(f"pemux:p:{c.pkey(values)}", "deaths")) == 1
    finally:
        c.close()


# -- storage faults -----------------------------------------------------------------


def test_a_result_that_cannot_be_stored_waits_for_storage(start):
    s = queued_service(start, "--poll-wait", "1s")
    results = s.data / "results"
    shutil.rmtree(results)
    results.write_bytes(b"")  # a file where the directory was: every write fails
    values = problem(5, 20, 10_000)
    rid = s.submit(values)
    h = wait_until(lambda: (lambda h: h if h["status"] == "degraded" else None)(s.health()),
                   "health to say degraded")
    assert "storage" in h
    status, body = s.poll(rid)
    assert body == b'{"message":"Result not ready"}'
    results.unlink()
    results.mkdir()
    assert s.result(rid) == local(values)
    wait_until(lambda: s.health()["status"] == "ok", "health to recover")
    log = s.err.read_text()
    assert log.count("storage failed") == 1
    assert str(s.data) not in log + json.dumps(s.health())


def test_a_problem_file_gone_fails_its_job_instead_of_waiting_for_storage(start):
    s, solver = stopped_queue(start, "--poll-wait", "1s")
    values = problem(6, 20, 10_000)
    rid = s.submit(values)
    for name in os.listdir(s.data / "problems"):
        os.unlink(s.data / "problems" / name)
    os.kill(solver, signal.SIGCONT)
    status, body = final_answer(s, rid)
    assert (status, body) == (500, b'{"error":"The problem\'s data was lost; submit it again"}')
    assert s.health()["status"] == "ok"
    # Sent again, it is solved.
    assert s.result(s.submit(values)) == local(values)


def test_a_storage_outage_of_a_broker_worker_is_waited_out(tmp_path):
    need_redis()
    c = Cluster(tmp_path, fronts=1, workers=1)
    try:
        w = c.workers[0]
        results = c.data / "results"
        shutil.rmtree(results)
        results.write_bytes(b"")  # every result write fails
        values = problem(7, 20, 10_000)
        rid = c.submit(c.fronts[0], values)
        # More tries than a delivery may have starts, all of one delivery.
        wait_until(lambda: w.err.read_text().count(": storage:") >= 7, "seven storage faults")
        results.unlink()
        results.mkdir()
        assert c.result(c.fronts[0], rid) == local(values)
    finally:
        c.close()


def final_answer(s, rid):
    def answer():
        status, body = s.poll(rid)
        return None if body.startswith(protocol.NOT_READY_PREFIX) else (status, body)
    return wait_until(answer, "a final answer")


# -- the queue limit ------------------------------------------------------------------


def test_the_queue_limit_counts_problems_not_requests(start):
    s = queued_service(start, "--max-queued-per-key", "3")
    os.kill(s.solvers()[0]["pid"], signal.SIGSTOP)
    a, b, c, d = ([10_000 + i] for i in range(4))
    # The same queued problem again is one problem, not two.
    for values in (a, b, a, c):
        assert s.submit(values)
    status, body = s.request("POST", protocol.SUBMIT_PATH, json.dumps(d))
    assert (status, bool(re.fullmatch(TOO_MANY, body))) == (422, True), body


def test_submits_at_once_do_not_pass_the_queue_limit_together(start):
    s = queued_service(start, "--max-queued-per-key", "3")
    os.kill(s.solvers()[0]["pid"], signal.SIGSTOP)
    answers = []

    def submit(i):
        answers.append(s.request("POST", protocol.SUBMIT_PATH, json.dumps([20_000 + i]))[0])
    threads = [threading.Thread(target=submit, args=(i,)) for i in range(12)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert sorted(answers) == [200] * 3 + [422] * 9


def test_problems_waiting_for_the_inline_solver_count(start):
    s = start("--workers", "1", "--max-queued-per-key", "2")
    os.kill(s.solvers(inline=True)[0]["pid"], signal.SIGSTOP)
    waiting = [threading.Thread(target=s.submit, args=([i, 1],)) for i in range(2)]
    for t in waiting:
        t.start()
    wait_until(lambda: s.health()["running"] == 2, "two small submits waiting")
    status, body = s.request("POST", protocol.SUBMIT_PATH, "[9,9]")
    assert re.fullmatch(TOO_MANY, body), body
    signal_all(children(s.proc.pid), signal.SIGCONT)
    for t in waiting:
        t.join(60)


def test_a_flood_of_small_submits_waits_behind_itself(start):
    s = start("--workers", "1")
    key_b, _ = new_key(s)
    os.kill(s.solvers(inline=True)[0]["pid"], signal.SIGSTOP)
    done = []

    def submit(who, values, key=None):
        s.submit(values, key=key)
        done.append(who)
    flood = [threading.Thread(target=submit, args=("a", [i, 3])) for i in range(4)]
    for t in flood:
        t.start()
    wait_until(lambda: s.health()["running"] == 4, "the flood waiting for the solver")
    b = threading.Thread(target=submit, args=("b", [5, 7], key_b))
    b.start()
    wait_until(lambda: s.health()["running"] == 5, "the other key's submit")
    signal_all(children(s.proc.pid), signal.SIGCONT)
    for t in [*flood, b]:
        t.join(60)
    # The solve under way ends first; then the other key's, not the flood's.
    assert done[:2] == ["a", "b"], done


# -- the broker ---------------------------------------------------------------------


def need_redis():
    if shutil.which("redis-server") is None:
        (pytest.fail if os.environ.get("CI") else pytest.skip)(
            "redis-server is not installed (scripts/run_tests.sh installs it)")
    pytest.importorskip("dramatiq")


@pytest.fixture
def cluster(tmp_path):
    need_redis()
    c = Cluster(tmp_path, fronts=1, workers=1)
    yield c
    c.close()


def test_a_broker_that_stops_answering_holds_nothing_up(cluster):
    c = cluster
    front = c.fronts[0]
    rid = c.submit(front, [1, 2, 3])
    c.result(front, rid)
    os.kill(c.redis.pid, signal.SIGSTOP)
    try:
        def unreachable():
            status, body = c.request(front, "GET", "/healthz", timeout=10)
            return status == 503 and json.loads(body)["status"] == "job store unreachable"
        wait_until(unreachable, "health to say the job store is unreachable")
        assert c.poll(front, rid, timeout=10)[1] == b'{"message":"Result not ready"}'
        status, body = c.request(front, "POST", protocol.SUBMIT_PATH, "[4,5]", timeout=10)
        assert (status, body) == (503, protocol.message(
            "Service temporarily unavailable: the job store cannot be reached; try again"))
    finally:
        os.kill(c.redis.pid, signal.SIGCONT)
    assert c.result(front, c.submit(front, [4, 5])) == local([4, 5])


def test_job_store_fields_never_name_a_file_outside_their_place(cluster):
    c = cluster
    # A record pointing a request at the key store, as a writer to the
    # broker could plant it.
    c.r.hset("pemux:r:" + "e" * 32, mapping={"pkey": "../keys.json", "key": c.kid})
    c.r.hset("pemux:p:../keys.json", mapping={"state": "done", "total": 1, "count": 1})
    assert c.poll(c.fronts[0], "e" * 32) == UNKNOWN
    # A message naming a file beside the data directory's own folders.
    victim = c.data / "victim"
    victim.write_bytes(array.array("Q", [1, 2]).tobytes())
    before = victim.read_bytes()
    subprocess.run([sys.executable, "-c", SEND_BAD_MESSAGE, c.redis.url], check=True,
                   timeout=60)
    wait_until(lambda: any("dropped a message" in w.err.read_text() for w in c.workers),
               "a worker to drop the message")
    assert victim.read_bytes() == before


SEND_BAD_MESSAGE = """
import sys
from pemux_service.distributed import declare_solve, make_broker
broker = make_broker(sys.argv[1], 10.0, judge=False)
declare_solve(broker, lambda *a: None).send("../victim", 1)
broker.close()
"""
