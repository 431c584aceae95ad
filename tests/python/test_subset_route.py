"""The subset route's problem and answer, as plain functions: what a body
becomes, and that no answer that misses the total is stored as a subset."""
import json

from pemux_service import protocol
from pemux_service.subset_route import WRONG_ANSWER, read_problem, solve_blob
import pytest

import pemux


@pytest.mark.parametrize("problem, answer", [
    ({"values": [3, -5, 7], "total": 2}, {"indices": [1, 2]}),
    ({"values": [2, 4], "total": 3}, {"found": False}),
    ({"values": [], "total": 0}, {"indices": []}),
    ({"values": [1], "total": 2**80}, {"found": False}),
    ({"values": [2**63, -(2**63 - 1)], "total": 1}, {"indices": [0, 1]}),
])
def test_a_stored_problem_is_answered(monkeypatch, problem, answer):
    monkeypatch.setenv("PEMU_KILLSWITCH", "1")
    got = read_problem(json.dumps(problem, indent=1).encode())
    assert got.count == len(problem["values"])
    assert got.magnitude == sum(abs(v) for v in problem["values"])
    assert json.loads(solve_blob(got.blob, pemux.subset_with_sum)) == answer


def test_the_key_names_values_in_order_and_total_for_one_key():
    def key(problem, owner="k1"):
        return protocol.subset_problem_key(owner, read_problem(json.dumps(problem)).digest)
    base = key({"values": [3, 5], "total": 8})
    # Blanks do not matter; order, total and owner do, and no bitset key
    # looks like a subset key.
    assert key({"total": 8, "values": [3, 5]}) == base
    others = {key({"values": [5, 3], "total": 8}), key({"values": [3, 5], "total": 5}),
              key({"values": [3, 5], "total": 8}, "k2")}
    assert base not in others and len(others) == 3
    assert protocol.kind_of(base) == protocol.SUBSET
    assert protocol.kind_of(protocol.problem_key([3, 5], "k1")) == protocol.BITSET


@pytest.mark.parametrize("body", [
    b"[1, 2]", b'{"values": [1]}', b'{"values": [1], "total": 1, "x": 0}',
    b'{"values": [true], "total": 1}', b'{"values": [1], "total": 1.0}',
    b'{"values": [18446744073709551615, -1], "total": 0}', b"\xff", b"{",
    b'{"values": [1.5], "total": 1}', b'{"values": {"0": 1}, "total": 1}',
])
def test_bad_bodies_are_not_problems(body):
    assert read_problem(body) is None


@pytest.mark.parametrize("wrong", [[0], [1, 0], [0, 0, 1], [0, 2]])
def test_a_subset_that_misses_is_never_stored(wrong):
    blob = read_problem(b'{"values":[3,5],"total":8}').blob
    with pytest.raises(ValueError, match=WRONG_ANSWER):
        solve_blob(blob, lambda v, t: wrong)
