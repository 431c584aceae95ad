"""The pemux-service solving service, run as users run it, against the real
module and a plain HTTPS client."""

import array
import asyncio
import json
import os
import random
import re
import select
import signal
import subprocess
import sys
import threading
import time
import zlib

import pytest

pemux = pytest.importorskip("pemux")
pytest.importorskip("pemux_service")

from pemux_service import protocol  # noqa: E402
from pemux_service.engine import Engine, Limits, PoolDispatcher  # noqa: E402
from pemux_service.store import DONE, FAILED, FileBlobStore, SqliteJobStore  # noqa: E402
from support.oracle import local, problem  # noqa: E402
from support.procs import children, is_solver, signal_all  # noqa: E402
from support.service import START_TIMEOUT_S, WAIT_S, Service, key_from  # noqa: E402
from support.waiting import wait_until  # noqa: E402

MAX_TOTAL = 1 << 33
MAX_BODY = 4096


@pytest.fixture(scope="module")
def svc(tmp_path_factory):
    s = Service(tmp_path_factory.mktemp("svc") / "data",
                "--workers", "2", "--inline-max-total", str(1 << 20),
                "--max-total", str(MAX_TOTAL), "--max-body", str(MAX_BODY),
                "--worker-memory", "700M", "--poll-wait", "2s").start()
    yield s
    s.stop()


@pytest.fixture
def solo(tmp_path):
    """One solver, nothing solved inline: every problem goes through the
    queue, where a test can stop or kill its solver."""
    s = Service(tmp_path / "data", "--workers", "1", "--inline-max-total", "-1",
                "--max-queued-per-key", "3", "--poll-wait", "0.2s",
                "--retry-delay", "0.5s",
                "--drain", "0.5s").start()
    yield s
    for p in children(s.proc.pid):
        signal_all([p], signal.SIGCONT)
    s.stop(signal.SIGKILL)


@pytest.fixture
def remote(monkeypatch):
    def use(service, key=None):
        monkeypatch.delenv("PEMU_KILLSWITCH", raising=False)
        for k, v in service.env(key).items():
            monkeypatch.setenv(k, v)
    return use


def _new_solver(pid, known):
    """A child of pid not in known that runs a solver already."""
    for child in set(children(pid)) - known:
        if is_solver(child):
            return child
    return None


# -- first start -----------------------------------------------------------------


def test_first_start_on_a_terminal_prints_three_working_lines(tmp_path, monkeypatch):
    data = tmp_path / "data"
    master, slave = os.openpty()
    proc = subprocess.Popen(
        [sys.executable, "-m", "pemux_service", "--data", str(data), "--port", "0"],
        stdout=slave, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    os.close(slave)
    try:
        text = b""
        deadline = time.monotonic() + START_TIMEOUT_S
        while text.count(b"export ") < 3:
            ready, _, _ = select.select([master], [], [], max(0, deadline - time.monotonic()))
            if not ready:
                pytest.fail("no three export lines on the terminal")
            text += os.read(master, 4096)
        lines = dict(re.findall(r"^export (PEMU_\w+)=(\S+?)\r?$", text.decode(), re.M))
        assert sorted(lines) == ["PEMU_API_KEY", "PEMU_BASE_URL", "PEMU_CA_BUNDLE"]
        monkeypatch.delenv("PEMU_KILLSWITCH", raising=False)
        for name, value in lines.items():
            monkeypatch.setenv(name, value)
        assert pemux.complete_subset_sum_bytes([3, 5, 7]) == local([3, 5, 7])
        stored = (data / "keys.json").read_text()
        found = lines["PEMU_API_KEY"] in stored
        assert not found, "the key is stored in clear"
    finally:
        proc.terminate()
        proc.wait(15)
        os.close(master)


# -- results ---------------------------------------------------------------


@pytest.mark.parametrize("values", [
    [],
    [0],
    [3, 5],
    problem(1, 1000, 1000),            # solved before the submit is answered
    problem(2, 30, 10_000_000),        # queued
    problem(3, 5, 1 << 24) + [0, 0],
], ids=["empty", "zero", "3,5", "small", "queued", "zeros"])
def test_results_equal_local_path(svc, remote, values):
    expect = local(values)
    remote(svc)
    assert pemux.complete_subset_sum_bytes(values) == expect
    assert svc.result(svc.submit(values)) == expect


def test_words_form_and_first_poll_ready(svc, remote):
    values = problem(4, 200, 500)
    remote(svc)
    words = pemux.complete_subset_sum(values)
    assert array.array("Q", words).tobytes() == local(values)
    # Small problems are solved before the submit is answered.
    status, body = svc.poll(svc.submit(problem(5, 100, 100)))
    assert status == 200 and body[:2] == b"\x1f\x8b"


def test_same_multiset_is_answered_from_the_stored_result(svc):
    values = problem(6, 40, 1_000_000)
    first = svc.result(svc.submit(values))
    solves = svc.metric("pemux_solves_total", outcome="ok")
    reused = svc.metric("pemux_solves_total", outcome="reused")
    shuffled = values[::-1]
    random.Random(7).shuffle(shuffled)
    assert svc.result(svc.submit(shuffled)) == first
    assert svc.metric("pemux_solves_total", outcome="ok") == solves
    assert svc.metric("pemux_solves_total", outcome="reused") == reused + 1
    # A different multiset of the same values is a different problem.
    assert svc.result(svc.submit(values + [values[0]])) != first


def test_concurrent_clients(svc, remote):
    remote(svc)
    problems = [problem(100 + i, 50 + i, 10 ** (3 + i % 5)) for i in range(24)]
    expect = [local(p) for p in problems]
    got = [None] * len(problems)

    def blocking(i):
        got[i] = pemux.complete_subset_sum_bytes(problems[i])

    threads = [threading.Thread(target=blocking, args=(i,)) for i in range(12)]
    for t in threads:
        t.start()
    done = threading.Semaphore(0)
    words = {}

    def callback_for(i):
        def cb(result):
            words[i] = result
            done.release()
        return cb

    for i in range(12, len(problems)):
        pemux.complete_subset_sum_async(problems[i], callback_for(i))
    for t in threads:
        t.join(WAIT_S)
    for _ in range(12, len(problems)):
        assert done.acquire(timeout=WAIT_S)
    for i in range(12, len(problems)):
        got[i] = array.array("Q", words[i]).tobytes()
    assert got == expect


# -- refusals at submit ------------------------------------------------------

FORBIDDEN = b'{"message":"Forbidden"}'


@pytest.mark.parametrize("body,key,answer", [
    ("[1,2]", "pmx_not-a-key", FORBIDDEN),
    ("[1,2]", "", FORBIDDEN),
    ("[" + ",".join(["1"] * 3000) + "]", None, rb'{"message":"Request body too large.*'),
    ("not json", None, rb'{"message":"Expected a JSON array of integers.*'),
    ('{"values":[1]}', None, rb'{"message":"Expected a JSON array.*'),
    ("[1,2.0]", None, rb'{"message":"Expected a JSON array.*'),
    ("[1,-1]", None, rb'{"message":"Expected a JSON array.*'),
    ("[18446744073709551616]", None, rb'{"message":"Expected a JSON array.*'),
    ("[true]", None, rb'{"message":"Expected a JSON array.*'),
    ("[[1]]", None, rb'{"message":"Expected a JSON array.*'),
    ('["1"]', None, rb'{"message":"Expected a JSON array.*'),
    (f"[{MAX_TOTAL},1]", None,
     rb'{"message":"Problem too large: the values sum to 8589934593 and this service '
     rb'takes at most 8589934592"}'),
    ("[18446744073709551615]", None, rb'{"message":"Problem too large.*'),
], ids=["bad-key", "no-key", "too-large-body", "not-json", "object", "float",
        "negative", "above-u64", "bool", "nested", "string", "above-ceiling", "u64-max"])
def test_submit_refusals(svc, body, key, answer):
    before = svc.health()
    problems = sorted(os.listdir(svc.data / "problems"))
    status, got = svc.request("POST", protocol.SUBMIT_PATH, body, key)
    assert re.fullmatch(answer, got), got
    # What the client's scanner needs: one flat object, no blanks between
    # members, no comma or quote inside the text.
    assert re.fullmatch(rb'\{"message":"[^",}]*"\}', got)
    assert status >= 400
    after = svc.health()
    assert (after["queued"], after["running"]) == (before["queued"], before["running"])
    assert sorted(os.listdir(svc.data / "problems")) == problems


def test_refusals_reach_the_module(svc, remote):
    remote(svc, key="pmx_wrong")
    with pytest.raises(ConnectionError, match="^Forbidden$"):
        pemux.complete_subset_sum_bytes([1, 2, 3])
    remote(svc)
    with pytest.raises(ConnectionError, match="^Problem too large"):
        pemux.complete_subset_sum_bytes([MAX_TOTAL, 5])


def test_too_many_queued_jobs_for_one_key(solo):
    for s in children(solo.proc.pid):
        signal_all([s], signal.SIGSTOP)
    rids = [solo.submit(problem(200 + i, 5, 1000)) for i in range(3)]
    status, body = solo.request("POST", protocol.SUBMIT_PATH, "[7,8,9]")
    assert re.fullmatch(rb'\{"message":"Too many queued jobs for this key[^",}]*"\}', body)
    assert solo.health()["queued"] + solo.health()["running"] == 3
    # Another key is not held up by the first one's queue.
    other = key_from(solo.key_cmd("new").stdout)
    solo.submit([7, 8, 9], key=other)
    for s in children(solo.proc.pid):
        signal_all([s], signal.SIGCONT)
    for i, rid in enumerate(rids):
        assert solo.result(rid) == local(problem(200 + i, 5, 1000))


# -- answers after acceptance ---------------------------------------------------


def final_answer(service, rid):
    def answer():
        status, body = service.poll(rid)
        return None if body.startswith(protocol.NOT_READY_PREFIX) else (status, body)
    return wait_until(answer, "a final answer")


@pytest.mark.parametrize("rid", ["0" * 32, "nonsense", ""])
def test_unknown_request_id_is_an_error(svc, rid):
    status, body = svc.poll(rid)
    assert body == b'{"error":"Unknown or expired requestId"}'


# 2**33 sums need a 1 GiB bitset, more than a 700M solver can map.
OUT_OF_MEMORY = [1 << 32, 1 << 32]


def test_out_of_memory_is_an_error(svc):
    rid = svc.submit(OUT_OF_MEMORY)
    status, body = final_answer(svc, rid)
    assert body == b'{"error":"Out of memory while solving"}'
    # The solver that hit the limit still serves.
    assert svc.result(svc.submit(problem(8, 10, 1 << 22))) == local(problem(8, 10, 1 << 22))


def test_solver_killed_mid_solve_is_retried(solo):
    pool = solo.solvers()[0]["pid"]
    os.kill(pool, signal.SIGSTOP)
    values = problem(9, 20, 1 << 20)
    rid = solo.submit(values)
    wait_until(lambda: solo.solvers()[0]["busy"], "the solve to start")
    os.kill(pool, signal.SIGKILL)
    assert solo.result(rid) == local(values)
    assert solo.metric("pemux_solves_total", outcome="died") == 1
    assert solo.solvers()[0]["pid"] != pool


def test_inline_solver_killed_mid_solve_leaves_the_job_queued(svc):
    inline = svc.solvers(inline=True)[0]["pid"]
    os.kill(inline, signal.SIGSTOP)
    values = problem(12, 100, 1000)
    rid = []
    submit = threading.Thread(target=lambda: rid.append(svc.submit(values)))
    submit.start()
    wait_until(lambda: svc.solvers(inline=True)[0]["busy"], "the inline solve")
    os.kill(inline, signal.SIGKILL)
    submit.join(WAIT_S)
    assert svc.result(rid[0]) == local(values)
    assert svc.solvers(inline=True)[0]["pid"] != inline


def test_solver_dying_twice_fails_the_job(solo):
    known = set(children(solo.proc.pid))
    first = solo.solvers()[0]["pid"]
    os.kill(first, signal.SIGSTOP)
    rid = solo.submit(problem(10, 20, 1 << 20))
    wait_until(lambda: solo.solvers()[0]["busy"], "the solve to start")
    os.kill(first, signal.SIGKILL)
    # Stop the replacement before it has started the solve again (it
    # waits a little before the retry), but after it has become a solver.
    second = wait_until(lambda: _new_solver(solo.proc.pid, known), "a new solver")
    os.kill(second, signal.SIGSTOP)
    wait_until(lambda: solo.solvers()[0]["pid"] == second and solo.solvers()[0]["busy"],
               "the second attempt")
    os.kill(second, signal.SIGKILL)
    status, body = final_answer(solo, rid)
    assert body == (b'{"error":"The solve failed twice: solver process killed by '
                    b'SIGKILL"}')
    # Submitted again, the problem gets a fresh try.
    assert solo.result(solo.submit(problem(10, 20, 1 << 20))) == local(problem(10, 20, 1 << 20))


def test_error_answer_ends_the_client_call(svc, remote):
    """Needs the client that takes an {"error":...} poll body as the end of
    the call (ConnectionError with the text, at once)."""
    remote(svc)
    t0 = time.monotonic()
    with pytest.raises(ConnectionError, match="^Out of memory while solving$"):
        pemux.complete_subset_sum(OUT_OF_MEMORY)
    assert time.monotonic() - t0 < 10


# -- restarts ----------------------------------------------------------------


@pytest.mark.parametrize("how", [signal.SIGKILL, signal.SIGTERM], ids=["kill-9", "term"])
def test_accepted_jobs_survive_a_restart(solo, how):
    finished = problem(299, 10, 1 << 16)
    finished_rid = solo.submit(finished)
    solo.result(finished_rid)
    worker = solo.solvers()[0]["pid"]
    os.kill(worker, signal.SIGSTOP)
    problems = [problem(300 + i, 10, 1 << 16) for i in range(3)]
    rids = [solo.submit(p) for p in problems]
    wait_until(lambda: solo.solvers()[0]["busy"], "the first solve to start")
    solo.stop(how)
    signal_all([worker], signal.SIGCONT)
    wait_until(lambda: not os.path.exists(f"/proc/{worker}"), "the old solver to end")
    # A result file lost while the service was down is solved again; files
    # that belong to no job go.
    results = solo.data / "results"
    (results / next(p for p in os.listdir(results) if not p.startswith("."))).unlink()
    junk = [results / ".tmp-abc", solo.data / "problems" / ("f" * 64)]
    for path in junk:
        path.write_bytes(b"x")
    solo.start()
    assert [solo.result(r) for r in rids] == [local(p) for p in problems]
    assert solo.result(finished_rid) == local(finished)
    assert [p.exists() for p in junk] == [False, False]


# -- keys ----------------------------------------------------------------------


def test_keys_new_list_revoke_in_a_running_service(svc):
    made = svc.key_cmd("new", "--label", "ci")
    key = key_from(made.stdout)
    kid = re.search(r"key id (\w+)", made.stderr).group(1)
    assert re.search(rf"^{kid} .* ci$", svc.key_cmd("list").stdout, re.M)
    rid = svc.submit([1, 2], key=key)
    svc.key_cmd("revoke", kid)
    assert svc.request("POST", protocol.SUBMIT_PATH, "[1,2]", key)[1] == FORBIDDEN
    # A refused key at poll time will not become good: end the polling.
    assert svc.poll(rid, key=key)[1] == b'{"error":"Forbidden"}'
    assert svc.key_cmd("list").stdout.count(kid) == 0
    stored = (svc.data / "keys.json").read_text()
    found = key in stored or svc.key in stored
    assert not found, "a key is stored in clear"


def test_own_certificate(svc, remote, tmp_path):
    tls = svc.data / "tls"
    own = Service(tmp_path / "data", "--cert", str(tls / "server.pem"),
                  "--key", str(tls / "server-key.pem"))
    own.start()
    try:
        assert own.ca is None and not (own.data / "tls").exists()
        own.ca = str(tls / "ca.pem")
        remote(own)
        assert pemux.complete_subset_sum_bytes([3, 5]) == local([3, 5])
    finally:
        own.stop()


# -- operations ------------------------------------------------------------------


def test_health_metrics_and_request_log(svc):
    svc.result(svc.submit([1, 2, 3]))
    assert svc.health()["status"] == "ok"
    for name in ("pemux_requests_total", "pemux_solves_total", "pemux_solve_seconds_count",
                 "pemux_queue_depth", "pemux_response_bytes_total"):
        assert re.search(rf"^{name}(\{{.*\}})? \S+$",
                         svc.request("GET", "/metrics")[1].decode(), re.M), name
    assert svc.metric("pemux_requests_total", route="submit", status="200") >= 1
    lines = [json.loads(l) for l in svc.err.read_text().splitlines() if l.startswith("{")]
    assert {"method", "path", "status", "ms", "key_id"} <= set(lines[-1])
    assert any(l["path"] == protocol.SUBMIT_PATH and l["outcome"] == "accepted" for l in lines)


def test_no_key_in_any_output(svc):
    svc.request("POST", protocol.SUBMIT_PATH, "[1]", key="pmx_wrong-key-value")
    # Standard output is no terminal here: no key is made or shown.
    assert "# PEMU_API_KEY: a key made by `pemux-service key new" in svc.out.read_text()
    logs = svc.err.read_text() + svc.out.read_text()
    found = svc.key in logs or "pmx_wrong-key-value" in logs
    assert not found, "a key value appears in the service's log"


# -- without a service ------------------------------------------------------------


@pytest.mark.parametrize("size", [0, 8, 1000, 4096, 4097, 3 * 4096, 3 * 4096 + 8])
@pytest.mark.parametrize("threads", [1, 3])
def test_result_stream_is_one_gzip_member(size, threads):
    rng = random.Random(size)
    # Runs of zeros and ones with noise, as subset-sum bitsets look.
    bitset = bytes(rng.choice((0, 0, 255, rng.randrange(256))) for _ in range(size))
    body = b"".join(protocol.iter_pack_result(bitset, threads=threads, piece=4096))
    d = zlib.decompressobj(wbits=31)
    assert d.decompress(body) + d.flush() == bitset
    assert d.eof and d.unused_data == b""




def test_results_expire_after_the_keep_time(tmp_path):
    jobs = SqliteJobStore(str(tmp_path / "jobs.sqlite"))
    blobs = FileBlobStore(str(tmp_path))
    engine = Engine(jobs, blobs, Limits(1 << 30, 10, 0, keep_s=3600),
                    PoolDispatcher(1, None, lambda total, count: None))
    for i, (pkey, state) in enumerate([("a" * 64, DONE), ("b" * 64, FAILED)]):
        blobs.put_problem(pkey, [1, 2])
        jobs.accept(f"r{i}", pkey, "k", 3, 2, state, now=1000.0)
    jobs.accept("r2", "c" * 64, "k", 3, 2, DONE, now=1000.0 + 3600)
    asyncio.run(engine.expire(now=1000.0 + 3600))
    assert [jobs.request(r, "k") is None for r in ("r0", "r1", "r2")] == [False, False, False]
    asyncio.run(engine.expire(now=1000.0 + 3601))
    assert [jobs.request(r, "k") is None for r in ("r0", "r1", "r2")] == [True, True, False]
    assert not blobs.has_problem("a" * 64)
    jobs.close()
