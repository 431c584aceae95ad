"""The values in every form a Python caller holds them, for the three solving
calls; the result check on any word source, reading one word; and
reachable_sums against the big-int answer."""

import array
import collections
import sys
import threading

import pytest

import pemux
from bitsets import as_int, oracle

np = pytest.importorskip("numpy")

VALUES = [3, 5, 0, 70, 3, 200]


def solve_async(values):
    got, done = [], threading.Event()

    def deliver(result):
        got.append(result)
        done.set()

    pemux.complete_subset_sum_async(values, deliver)
    assert done.wait(30)
    return got[0]


SOLVERS = {
    "list": pemux.complete_subset_sum,
    "bytes": lambda v: pemux.complete_subset_sum_bytes(v),
    "async": solve_async,
}


def answer(kind, values):
    got = SOLVERS[kind](values)
    return int.from_bytes(got, "little") if isinstance(got, bytes) else as_int(got)


class Indexable:
    """An int-like object that only has __index__."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


INPUT_KINDS = {
    "list": lambda v: list(v),
    "tuple": tuple,
    "generator": lambda v: (x for x in v),
    "range": lambda v: range(3, 9),
    "set": set,
    "dict keys": lambda v: dict.fromkeys(v).keys(),
    "deque": collections.deque,
    "numpy int64": lambda v: np.array(v, dtype=np.int64),
    "numpy >u2": lambda v: np.array(v, dtype=">u2"),
    "numpy <i4": lambda v: np.array(v, dtype="<i4"),
    "numpy uint8": lambda v: np.array(v, dtype=np.uint8),
    "numpy bool": lambda v: np.array([bool(x) for x in v]),
    "numpy strided": lambda v: np.repeat(np.array(v, dtype=np.uint64), 2)[::2],
    "numpy object": lambda v: np.array(v, dtype=object),
    "array.array q": lambda v: array.array("q", v),
    "array.array H": lambda v: array.array("H", v),
    "memoryview": lambda v: memoryview(array.array("L", v)),
    "bytes": bytes,
    "list of numpy scalars": lambda v: [np.int64(x) for x in v],
    "list of __index__": lambda v: [Indexable(x) for x in v],
    "list of bools": lambda v: [bool(x) for x in v],
}


def expected_values(kind, values):
    if kind == "range":
        return list(range(3, 9))
    if kind == "set" or kind == "dict keys":
        return list(dict.fromkeys(values))
    if "bool" in kind:
        return [int(bool(x)) for x in values]
    return values


@pytest.mark.parametrize("kind", sorted(INPUT_KINDS))
@pytest.mark.parametrize("solver", sorted(SOLVERS))
def test_every_input_kind_is_solved_as_its_items(local, capfd, solver, kind):
    values = INPUT_KINDS[kind](VALUES)
    assert answer(solver, values) == oracle(expected_values(kind, VALUES))
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("values, exc, match", [
    (5, TypeError, r"takes a list or another iterable of ints, not int"),
    (None, TypeError, r"not NoneType"),
    (3.5, TypeError, r"not float"),
    ((1, 2.0), TypeError, r"item 1 of the values is not an int but float"),
    (lambda: iter(["7"]), TypeError, r"item 0 of the values is not an int but str"),
    ("12", TypeError, r"item 0 of the values is not an int but str"),
    (lambda: (x - 1 for x in range(3)), OverflowError, r"item 0 of the values is outside"),
    ((2**64,), OverflowError, r"item 0"),
    ((2**63, 2**63), OverflowError, r"sum of the values exceeds"),
    (np.array([1, -2], dtype=np.int8), OverflowError, r"item 1 of the values is outside"),
    (np.array([2**63, 2**63], dtype=np.uint64), OverflowError, r"sum of the values"),
    (np.array([1.0, 2.0]), TypeError, r"must hold integers, not items of format 'd'"),
    (np.array([[1, 2]]), TypeError, r"one dimension, not 2"),
    (np.int64(5), TypeError, r"not numpy.int64|one dimension, not 0"),
    (array.array("f", [1.0]), TypeError, r"format 'f'"),
    ([np.float64(1.0)], TypeError, r"item 0 of the values is not an int but numpy.float64"),
    ([Indexable(-1)], OverflowError, r"item 0 of the values is outside"),
])
@pytest.mark.parametrize("solver", sorted(SOLVERS))
def test_values_that_are_no_ints_raise_and_solve_nothing(local, solver, values, exc, match):
    if callable(values):  # an iterator, made afresh for each call
        values = values()
    if solver == "async":
        with pytest.raises(exc, match=match):
            pemux.complete_subset_sum_async(values, lambda r: pytest.fail("called"))
    else:
        with pytest.raises(exc, match=match):
            SOLVERS[solver](values)


def test_a_non_iterable_is_named_with_the_call(local):
    for name in ("complete_subset_sum", "complete_subset_sum_bytes"):
        with pytest.raises(TypeError, match=rf"^{name}\(\) takes"):
            getattr(pemux, name)(object())
    with pytest.raises(TypeError, match=r"^complete_subset_sum_async\(\) takes"):
        pemux.complete_subset_sum_async(object(), print)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="a buffer of Python's own needs 3.12")
def test_a_buffer_that_refuses_the_view_is_read_by_iterating(local):
    class Refusing:
        def __buffer__(self, flags):
            raise BufferError("no such view")

        def __iter__(self):
            return iter([3, 5])

    assert pemux.complete_subset_sum_bytes(Refusing()) == oracle([3, 5]).to_bytes(8, "little")
    with pytest.raises(TypeError, match=r"^complete_subset_sum\(\) takes"):
        pemux.complete_subset_sum(type("NoIter", (), {"__buffer__": Refusing.__buffer__})())


def test_a_generator_that_raises_passes_its_error_on(local):
    def broken():
        yield 1
        raise KeyError("from the generator")

    with pytest.raises(KeyError, match="from the generator"):
        pemux.complete_subset_sum(broken())


def test_an_index_that_empties_the_list_is_survived(local):
    values = [1, 2, 3]

    class Shrinking:
        def __index__(self):
            values.clear()
            return 4

    values.insert(0, Shrinking())
    assert as_int(pemux.complete_subset_sum(values)) == oracle([4])


# ---- the result check and reachable_sums on every word source ----------


def sources(words):
    packed = b"".join(w.to_bytes(8, "little") for w in words)
    return {
        "list": list(words),
        "bytes": packed,
        "bytearray": bytearray(packed),
        "memoryview of bytes": memoryview(packed),
        "memoryview as words": memoryview(packed).cast("Q"),
        "numpy uint64": np.frombuffer(packed, dtype="<u8"),
        "numpy >u8": np.frombuffer(packed, dtype="<u8").astype(">u8"),
        "numpy int64": np.frombuffer(packed, dtype="<i8"),
        "numpy strided": np.repeat(np.frombuffer(packed, dtype="<u8"), 2)[::2],
        "list of numpy scalars": [np.uint64(w) for w in words],
    }


WORDS = [(1 << 64) - 1, 0, 1 << 63 | 5, 0x8000_0000_0000_0001 ^ 1 << 40]
SOURCE_KINDS = sorted(sources(WORDS))


@pytest.mark.parametrize("kind", SOURCE_KINDS)
def test_result_check_reads_every_source_alike(kind):
    result = sources(WORDS)[kind]
    whole = as_int(WORDS)
    for index in [0, 1, 63, 64, 127, 128, 130, 131, 168, 191, 192, 255]:
        assert pemux.subset_sum_result_check(result, index) is bool(whole >> index & 1), index


@pytest.mark.parametrize("kind", SOURCE_KINDS)
def test_result_check_beyond_the_words_is_none(capfd, kind):
    assert pemux.subset_sum_result_check(sources(WORDS)[kind], 256) is None
    assert capfd.readouterr().out == (
        "Error occured in result check, entry 4 is out of bounds of input of length 4")


def test_result_check_looks_only_at_the_word_it_reads():
    words = [5, "not a word", -1, 2**70]
    assert pemux.subset_sum_result_check(words, 2) is True
    for index, exc in [(64, TypeError), (128, OverflowError), (192, OverflowError)]:
        with pytest.raises(exc, match=f"item {index // 64} "):
            pemux.subset_sum_result_check(words, index)


@pytest.mark.parametrize("result, exc", [
    (b"1234567", ValueError),
    (memoryview(b"1234567"), ValueError),
    (np.zeros(3, dtype=np.uint32), TypeError),
    (np.zeros(3, dtype=np.float64), TypeError),
    (np.zeros((2, 2), dtype=np.uint64), TypeError),
    ((1, 2), TypeError),
    (None, TypeError),
])
@pytest.mark.parametrize("call", ["check", "sums"])
def test_what_is_no_result_is_refused(result, exc, call):
    with pytest.raises(exc):
        if call == "check":
            pemux.subset_sum_result_check(result, 0)
        else:
            pemux.reachable_sums(result)


@pytest.mark.parametrize("kind", SOURCE_KINDS)
@pytest.mark.parametrize("start, stop", [
    (0, None), (1, 200), (64, 128), (63, 65), (130, 131), (131, 130),
    (-5, 10**30), (-(10**30), 3), (256, None), (10**30, None), (0, 0),
])
def test_reachable_sums_are_the_marked_totals_in_range(kind, start, stop):
    whole = as_int(WORDS)
    end = 256 if stop is None else stop
    expected = [s for s in range(max(start, 0), min(end, 256)) if whole >> s & 1]
    assert pemux.reachable_sums(sources(WORDS)[kind], start, stop) == expected
    assert pemux.reachable_sums(sources(WORDS)[kind], start=start, stop=stop) == expected


def test_reachable_sums_of_a_solve_match_the_oracle(local):
    values = [3, 5, 1000, 70_001, 12]
    reach = oracle(values)
    expected = [s for s in range(reach.bit_length()) if reach >> s & 1]
    assert pemux.reachable_sums(pemux.complete_subset_sum(values)) == expected
    assert pemux.reachable_sums(pemux.complete_subset_sum_bytes(values)) == expected
    assert pemux.reachable_sums([]) == []


@pytest.mark.parametrize("bad", [1.5, "3"])
def test_reachable_sums_bounds_must_be_ints(bad):
    with pytest.raises(TypeError):
        pemux.reachable_sums([1], bad)
    with pytest.raises(TypeError):
        pemux.reachable_sums([1], 0, bad)
