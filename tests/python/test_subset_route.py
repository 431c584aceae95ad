"""The subset route's exchange, as plain functions: what a body becomes,
and that no answer that misses the total is sent or read as a subset."""
import json

from pemux_service.subset_route import BAD_SUBSET, WRONG_ANSWER, handle_subset, read_subset_answer
import pytest

import pemux


def in_process(values, total):
    return pemux.subset_with_sum(values, total)  # PEMU_KILLSWITCH=1 by the test


@pytest.mark.parametrize("problem, answer", [
    ({"values": [3, -5, 7], "total": 2}, {"indices": [1, 2]}),
    ({"values": [2, 4], "total": 3}, {"found": False}),
    ({"values": [], "total": 0}, {"indices": []}),
    ({"values": [1], "total": 2**80}, {"found": False}),
])
def test_answers_round_trip(monkeypatch, problem, answer):
    monkeypatch.setenv("PEMU_KILLSWITCH", "1")
    status, body = handle_subset(json.dumps(problem).encode(), in_process)
    assert (status, json.loads(body)) == (200, answer)
    got = read_subset_answer(problem["values"], problem["total"], body)
    assert got == answer.get("indices")


@pytest.mark.parametrize("body", [
    b"[1, 2]", b'{"values": [1]}', b'{"values": [1], "total": 1, "x": 0}',
    b'{"values": [true], "total": 1}', b'{"values": [1], "total": 1.0}',
    b'{"values": [18446744073709551615, -1], "total": 0}', b"\xff", b"{",
])
def test_bad_bodies_are_refused(body):
    status, answer = handle_subset(body, lambda v, t: pytest.fail("solved"))
    assert (status, json.loads(answer)) == (400, {"message": BAD_SUBSET})


def test_a_subset_that_misses_is_never_passed_on():
    body = json.dumps({"values": [3, 5], "total": 8}).encode()
    assert handle_subset(body, lambda v, t: [0])[0] == 500
    assert handle_subset(body, lambda v, t: [1, 0])[0] == 500
    with pytest.raises(ValueError, match=WRONG_ANSWER):
        read_subset_answer([3, 5], 8, b'{"indices":[0]}')
    with pytest.raises(ValueError):
        read_subset_answer([3, 5], 8, b'{"indices":[0,7]}')
