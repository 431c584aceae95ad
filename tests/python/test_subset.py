"""Which values make a total: subset_with_sum and subsets_with_sum against
brute force over every subset, and large problems checked by summing."""
import array
import itertools
import os
import random
import signal

import pytest
from support.lock import ticks_during
from support.oracle import check_indices

import pemux


def all_subsets(values):
    """Every subset as ascending indices, by its sum."""
    by_sum = {}
    for r in range(len(values) + 1):
        for idx in itertools.combinations(range(len(values)), r):
            by_sum.setdefault(sum(values[i] for i in idx), []).append(list(idx))
    return by_sum


def small_problems():
    rng = random.Random(20)
    fixed = [[], [0], [0, 0], [7], [-7], [3, 5, 7, 11], [2, 2, 2, 2], [0, 4, 0, 4, 9],
             [-3, 3, -3, 3], [-1, -2, -4, -8], [7, -7, 0, 1, -1, 100]]
    spans = [2, 30, 10**6, 2**40]
    drawn = [[rng.randint(-s if k % 2 else 0, s) for _ in range(rng.randint(1, 9))]
             for k, s in enumerate(spans * 4)]
    return fixed + drawn


def totals_around(values):
    lo = sum(v for v in values if v < 0)
    hi = sum(v for v in values if v > 0)
    edge = set(range(lo - 2, min(hi, lo + 40) + 3)) | set(range(max(lo, hi - 40), hi + 3))
    return sorted(edge | set(all_subsets(values)))


@pytest.mark.parametrize("values", small_problems(), ids=str)
def test_one_subset_for_every_reachable_total(local, values):
    oracle = all_subsets(values)
    for total in totals_around(values):
        idx = pemux.subset_with_sum(values, total)
        if total in oracle:
            check_indices(values, total, idx)
        else:
            assert idx is None, total


@pytest.mark.parametrize("values", small_problems(), ids=str)
def test_every_subset_exactly_once(values):
    oracle = all_subsets(values)
    for total in totals_around(values):
        got = list(pemux.subsets_with_sum(values, total))
        assert sorted(got) == sorted(oracle.get(total, [])), total


@pytest.mark.parametrize("count, largest, negatives", [
    (2000, 10**5, False), (300, 10**6, True), (36, 2**32, True), (90, 2**20, True),
    (5000, 30, False)])
def test_large_problems_checked_by_summing(local, count, largest, negatives):
    rng = random.Random(count)
    values = [rng.randint(-largest if negatives else 0, largest) for _ in range(count)]
    for _ in range(8):
        pick = [v for v in values if rng.random() < 0.5]
        idx = pemux.subset_with_sum(values, sum(pick))
        check_indices(values, sum(pick), idx)
    assert pemux.subset_with_sum(values, sum(v for v in values if v > 0) + 1) is None


def test_unreachable_inside_the_range(local):
    values = [6 * v for v in range(1, 400)]
    assert pemux.subset_with_sum(values, 6 * 1000 + 3) is None
    assert list(pemux.subsets_with_sum(values, 6 * 1000 + 3)) == []
    check_indices(values, 6 * 1000, pemux.subset_with_sum(values, 6 * 1000))


@pytest.mark.parametrize("form", [
    list, tuple, iter, lambda v: array.array("q", v),
    lambda v: pytest.importorskip("numpy").array(v, dtype="int64")])
def test_values_in_every_form(local, form):
    values = [5, -3, 0, 8, 8, -1]
    assert pemux.subset_with_sum(form(values), 12) == pemux.subset_with_sum(values, 12)
    assert list(pemux.subsets_with_sum(form(values), 4)) == \
        list(pemux.subsets_with_sum(values, 4))


@pytest.mark.parametrize("total, expected", [
    (2**100, None), (-2**100, None), (2**64, None), (2**64 - 1, None), (True, [0]),
    (0, []), (2**63 - 1, [0, 1]), (-(2**63), [2]), (-1, [0, 1, 2])])
def test_totals_of_any_size(local, total, expected):
    values = [1, 2**63 - 2, -(2**63)]  # magnitudes sum to 2**64 - 1
    assert pemux.subset_with_sum(values, total) == expected


def test_numpy_total_and_bad_arguments(local):
    np = pytest.importorskip("numpy")
    assert pemux.subset_with_sum([4, 9], np.int64(13)) == [0, 1]
    with pytest.raises(TypeError):
        pemux.subset_with_sum([4, 9], 13.0)
    with pytest.raises(TypeError):
        pemux.subset_with_sum(5, 5)
    with pytest.raises(TypeError):
        pemux.subset_with_sum([1, "2"], 1)
    with pytest.raises(OverflowError):
        pemux.subset_with_sum([2**63, -(2**63)], 0)
    with pytest.raises(TypeError):
        pemux.subset_with_sum([1], 1, progress=3)


@pytest.mark.parametrize("limit, count", [(0, 0), (1, 1), (7, 7), (10**30, 70), (None, 70)])
def test_limit(limit, count):
    everything = list(pemux.subsets_with_sum([1] * 8, 4))
    assert len(everything) == 70
    assert list(pemux.subsets_with_sum([1] * 8, 4, limit)) == everything[:count]


@pytest.mark.parametrize("limit, error", [(-1, ValueError), ("3", TypeError), (1.5, TypeError)])
def test_bad_limit(limit, error):
    with pytest.raises(error):
        pemux.subsets_with_sum([1, 2], 3, limit=limit)


def test_iterator_protocol():
    it = pemux.subsets_with_sum([1, 2, 3], 3)
    assert iter(it) is it
    assert list(it) == [[0, 1], [2]]
    assert next(it, "ended") == "ended"
    with pytest.raises(TypeError):
        type(it)()


def test_enumeration_refused_over_the_memory_budget(monkeypatch):
    values = list(range(1, 2001))
    monkeypatch.setenv("PEMU_MAX_MEMORY", "100000")
    with pytest.raises(MemoryError, match=r"needs \d+ bytes .*PEMU_MAX_MEMORY"):
        pemux.subsets_with_sum(values, sum(values) // 2)
    monkeypatch.setenv("PEMU_MAX_MEMORY", str(2**30))
    first = next(pemux.subsets_with_sum(values, sum(values) // 2))
    assert sum(values[i] for i in first) == sum(values) // 2


def test_only_subset_with_sum_leaves_the_process(monkeypatch):
    monkeypatch.delenv("PEMU_KILLSWITCH", raising=False)
    monkeypatch.setenv("PEMU_BASE_URL", "http://127.0.0.1:9")
    with pytest.raises(ConnectionError, match="https://"):
        pemux.subset_with_sum([1, 2], 3)
    assert list(pemux.subsets_with_sum([1, 2], 3)) == [[0, 1]]


def test_int_subclasses_are_read_by_their_own_value(local):
    class Odd(int):
        def __neg__(self):
            return 0

        def __lt__(self, other):
            return False
    assert pemux.subset_with_sum([Odd(-5), 5, Odd(7)], -5) == [0]
    assert pemux.subset_with_sum([Odd(-5), 5], 2) is None


def long_problem():
    rng = random.Random(5)
    values = [rng.randint(1, 10**7) for _ in range(200)]
    return values, sum(values) // 3


def test_progress_grows_to_one(local):
    values, total = long_problem()
    seen = []
    idx = pemux.subset_with_sum(values, total, progress=seen.append)
    check_indices(values, total, idx)
    assert len(seen) >= 2 and seen[-1] == 1.0
    assert seen == sorted(seen) and 0.0 <= seen[0] < 1.0


@pytest.mark.parametrize("values,total", [
    ([2, 4], 3), ([2, 4], 7), ([2, 4], -1), ([2, 4, 6], 12), ([], 0)])
def test_progress_ends_at_one_whatever_the_answer(local, values, total):
    seen = []
    pemux.subset_with_sum(values, total, progress=seen.append)
    assert seen[-1:] == [1.0] and seen.count(1.0) == 1


@pytest.mark.parametrize("stop", ["raise", "sigint"])
def test_progress_or_ctrl_c_stops_the_search(local, stop):
    values, total = long_problem()
    calls = []

    def progress(fraction):
        calls.append(fraction)
        if stop == "raise":
            raise ValueError("enough")
        os.kill(os.getpid(), signal.SIGINT)

    expected = ValueError if stop == "raise" else KeyboardInterrupt
    with pytest.raises(expected):
        pemux.subset_with_sum(values, total, progress=progress)
    assert calls and calls[-1] < 1.0


def test_lock_released_while_searching(local):
    values, total = long_problem()
    idx, during = ticks_during(lambda: pemux.subset_with_sum(values, total))
    check_indices(values, total, idx)
    assert during >= 10, during
