"""pemux-service's subset route, embedded: the real module's remote path
against the real service, and the route's rules (ownership, kinds, limits)
over plain HTTPS."""

import json
import re
import signal

import pytest

pemux = pytest.importorskip("pemux")
pytest.importorskip("pemux_service")

from pemux_service import protocol  # noqa: E402
from pemux_service.subset_route import BAD_SUBSET  # noqa: E402
from support.oracle import check_subset, problem  # noqa: E402
from support.procs import children, signal_all  # noqa: E402
from support.service import Service, key_from, request_id  # noqa: E402

INLINE_MAX = 1 << 16
MAX_TOTAL = 1 << 30
UNKNOWN = {"error": protocol.UNKNOWN_ID}


@pytest.fixture(scope="module")
def svc(tmp_path_factory):
    s = Service(tmp_path_factory.mktemp("subset") / "data",
                "--workers", "1", "--inline-max-total", str(INLINE_MAX),
                "--max-total", str(MAX_TOTAL), "--worker-memory", "700M",
                "--poll-wait", "2s").start()
    yield s
    s.stop()


@pytest.fixture
def remote(monkeypatch, svc):
    monkeypatch.delenv("PEMU_KILLSWITCH", raising=False)
    for k, v in svc.env().items():
        monkeypatch.setenv(k, v)


def signed(seed, n, top):
    return [v if i % 3 else -v for i, v in enumerate(problem(seed, n, top))]


# Inline (small magnitudes) and queued (past --inline-max-total) alike.
PROBLEMS = [
    ([], 0), ([3, 5, 10], 13), ([3, 5, 10], 9), ([0, 0, 7], 0), ([3, -5, 7, 0, 5], 2),
    ([-1, -2, -4], -3), ([-1, -2], 1), ([4, 4, 4], 12), ([1, 2], 2**100),
    (signed(1, 12, 1000), 777), (signed(2, 12, 1000), -1234),
    (problem(3, 14, 40_000), 150_001), (signed(4, 14, 40_000), -20_001),
]


@pytest.mark.parametrize("values,total", PROBLEMS)
def test_the_module_gets_checked_subsets(remote, values, total):
    check_subset(values, total, pemux.subset_with_sum(values, total))


def test_a_large_reachable_total_is_found(remote):
    values = problem(5, 60, 1 << 20)
    total = sum(values[::2])
    got = pemux.subset_with_sum(values, total)
    assert sum(values[i] for i in got) == total


def test_ids_answer_their_own_route_and_key_only(svc):
    status, body = svc.submit_subset([3, 5, 10], 13)
    subset_id = request_id(body)
    bitset_id = svc.submit([3, 5, 10])
    other = key_from(svc.key_cmd("new").stdout)
    assert svc.subset(subset_id) == (200, {"indices": [0, 2]})
    assert svc.subset(bitset_id)[1] == UNKNOWN
    assert json.loads(svc.poll(subset_id)[1]) == UNKNOWN
    assert svc.subset(subset_id, key=other)[1] == UNKNOWN
    # The same problem from another key is its own job, answered alike.
    status, body = svc.submit_subset([3, 5, 10], 13, key=other)
    assert svc.subset(request_id(body), key=other) == (200, {"indices": [0, 2]})


@pytest.mark.parametrize("body", [
    b"[3, 5]", b'{"values": [3, 5]}', b'{"values": [3, 5], "total": "8"}',
    b'{"values": [false], "total": 0}', b'{"values": [18446744073709551615, 1], "total": 1}',
])
def test_bad_bodies_are_refused(svc, body):
    status, answer = svc.request("POST", protocol.SUBSET_PATH, body)
    assert (status, json.loads(answer)) == (400, {"message": BAD_SUBSET})


def test_a_refused_key_gets_forbidden(svc):
    assert svc.submit_subset([1], 1, key="not-a-key") == (403, b'{"message":"Forbidden"}')


def test_many_values_past_the_limit_are_refused_by_their_magnitudes(svc):
    values = [-(MAX_TOTAL // 2)] + [1] * 40
    status, body = svc.submit_subset(values, 1)
    assert status == 422
    assert json.loads(body)["message"] == (
        f"Problem too large: the magnitudes of the values sum to {MAX_TOTAL // 2 + 40} and "
        f"this service takes at most {MAX_TOTAL // 2} for more than 40 values")
    # Fewer values meet in the middle, whatever their magnitudes.
    values = [2**62, 2**62 - 1, -(2**61)]
    status, body = svc.submit_subset(values, 2**62 - 1 - 2**61)
    assert svc.subset(request_id(body)) == (200, {"indices": [1, 2]})


def test_subset_jobs_count_toward_the_key_queue_limit(tmp_path):
    s = Service(tmp_path / "data", "--workers", "1", "--inline-max-total", "-1",
                "--max-queued-per-key", "2", "--poll-wait", "0.2s").start()
    try:
        for pid in children(s.proc.pid):
            signal_all([pid], signal.SIGSTOP)
        ids = [request_id(s.submit_subset([3, 5, i], 8)[1]) for i in (1, 2)]
        status, body = s.submit_subset([3, 5, 3], 8)
        assert re.fullmatch(rb'\{"message":"Too many queued jobs for this key[^",}]*"\}', body)
        # The same problem again is the one job, not another.
        assert s.submit_subset([3, 5, 1], 8)[0] == 200
        for pid in children(s.proc.pid):
            signal_all([pid], signal.SIGCONT)
        assert [s.subset(rid) for rid in ids] == [(200, {"indices": [0, 1]})] * 2
    finally:
        for pid in children(s.proc.pid):
            signal_all([pid], signal.SIGCONT)
        s.stop(signal.SIGKILL)
