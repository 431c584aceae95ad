"""The blocking call and the result check, on the in-process solver."""

import random
import shutil
import subprocess
import sys

import pytest

import pemux
from bitsets import as_int, oracle

pytestmark = pytest.mark.usefixtures("local")


@pytest.mark.parametrize("values, words", [
    ([], [1]),
    ([1, 2], [15]),
    ([0, 0, 0], [1]),
    ([2, 2], [21]),
    ([True, 2], [15]),
    ([3, 5, 7, 11], [sum(1 << s for s in (0, 3, 5, 7, 8, 10, 11, 12, 14, 15, 16,
                                         18, 19, 21, 23, 26))]),
    ([63], [1 | 1 << 63]),
    ([64], [1, 1]),
    ([1] * 64, [2**64 - 1, 1]),
])
def test_known_results(values, words):
    assert pemux.complete_subset_sum(values) == words


def test_list_subclass_is_accepted():
    class Values(list):
        pass
    assert pemux.complete_subset_sum(Values([1, 2])) == [15]


@pytest.mark.parametrize("seed", range(12))
def test_random_lists_agree_with_big_int_oracle(seed):
    rng = random.Random(seed)
    hi = rng.choice([3, 50, 1000, 70_000])
    values = [rng.randrange(0, hi) for _ in range(rng.randrange(0, 40))]
    words = pemux.complete_subset_sum(values)
    assert len(words) == sum(values) // 64 + 1
    assert as_int(words) == oracle(values)


def test_a_string_is_refused_not_solved_as_empty(capfd):
    with pytest.raises(TypeError, match="item 0 of the values is not an int but str"):
        pemux.complete_subset_sum("abc")
    assert capfd.readouterr().out == "Error occured with PyLong_Check\n"


@pytest.mark.parametrize("call", [
    lambda: pemux.complete_subset_sum(),
    lambda: pemux.complete_subset_sum([1], [2]),
    lambda: pemux.subset_sum_result_check([1], "a"),
    lambda: pemux.subset_sum_result_check([1]),
])
def test_bad_argument_tuple_prints_and_returns_none(capfd, call):
    assert call() is None
    assert capfd.readouterr().out == "Error occured with parsing tuple 0\n"


@pytest.mark.parametrize("values, exc, printed, index", [
    ([1, "2", 3], TypeError, "Error occured with PyLong_Check\n", "item 1"),
    ([1.0], TypeError, "Error occured with PyLong_Check\n", "item 0"),
    ([5, -1], OverflowError, "", "item 1"),
    ([2**64], OverflowError, "", "item 0"),
    ([2**63, 2**63], OverflowError, "Error occured, overflow on input\n", "sum"),
])
def test_bad_values_raise_before_any_solve(capfd, values, exc, printed, index):
    with pytest.raises(exc, match=index):
        pemux.complete_subset_sum(values)
    assert capfd.readouterr().out == printed


def test_largest_sum_is_not_an_overflow(capfd):
    # 2**64 - 1 is the largest total: no overflow, but its result cannot be
    # held in memory.
    with pytest.raises(MemoryError):
        pemux.complete_subset_sum([2**63, 2**63 - 1])
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("result, index, expected", [
    ([5], 0, True), ([5], 1, False), ([5], 2, True),
    ([1 << 40], 40, True), ([1 << 40], 8, False),
    ([1 << 63], 63, True), ([1 << 63], 31, False),
    ([0, 1], 64, True), ([True], 0, True),
])
def test_result_check(result, index, expected):
    assert pemux.subset_sum_result_check(result, index) is expected


@pytest.mark.parametrize("result, index, printed", [
    ([5], 64, "entry 1 is out of bounds of input of length 1"),
    ([5], -1, f"entry {2**58 - 1} is out of bounds of input of length 1"),
    ([], 0, "entry 0 is out of bounds of input of length 0"),
])
def test_result_check_out_of_bounds(capfd, result, index, printed):
    assert pemux.subset_sum_result_check(result, index) is None
    out = capfd.readouterr().out
    assert out.endswith(f"Error occured in result check, {printed}")


@pytest.mark.parametrize("index, entry", [
    (2**64, 2**58),
    (2**64 + 2, 2**58),  # taken modulo 2**64 it would read bit 2
    (2**70 + 64, 2**64 + 1),
    (-2**64 + 2, -2**58),
    (-2**63, 2**57),  # a 64-bit two's complement, as -1 is
])
def test_result_check_index_beyond_64_bits_is_out_of_bounds(capfd, index, entry):
    assert pemux.subset_sum_result_check([5, 5], index) is None
    assert capfd.readouterr().out == (
        f"Error occured in result check, entry {entry} is out of bounds of input of length 2")


@pytest.mark.parametrize("result, index, exc", [
    (["x", 1], 0, TypeError), ([-1], 0, OverflowError), ([2**64], 0, OverflowError),
    ([0, 1.5], 64, TypeError), ("abc", 0, TypeError), ((5,), 0, TypeError),
])
def test_result_check_refuses_bad_words(result, index, exc):
    with pytest.raises(exc):
        pemux.subset_sum_result_check(result, index)


@pytest.mark.parametrize("switch", [None, "0", "yes", "", " 1", "1 "])
def test_only_exactly_one_selects_the_local_solver(monkeypatch, tmp_path, switch):
    if switch is None:
        monkeypatch.delenv("PEMU_KILLSWITCH")
    else:
        monkeypatch.setenv("PEMU_KILLSWITCH", switch)
    # The remote path then fails at once, before any traffic.
    monkeypatch.setenv("PEMU_CA_BUNDLE", str(tmp_path / "absent.pem"))
    with pytest.raises(ConnectionError):
        pemux.complete_subset_sum([1])
    monkeypatch.setenv("PEMU_KILLSWITCH", "1")
    assert pemux.complete_subset_sum([1]) == [3]


def test_large_result_words_share_objects():
    words = pemux.complete_subset_sum([1] * 200)
    assert words[:3] == [2**64 - 1] * 3
    assert words[0] is words[1] is words[2]


@pytest.mark.parametrize("values, word, count", [
    ([9] + [64] * 400, 1 | 1 << 9, 401),
    ([9, 10] + [64] * 400, 1 | 1 << 9 | 1 << 10 | 1 << 19, 401),
    ([1] * (64 * 300 - 1), 2**64 - 1, 300),
    ([9, 9, 64 * 70_000], 1 | 1 << 9 | 1 << 18, None),  # first and last word
])
def test_large_results_share_recurring_words(values, word, count):
    # None of these words is a small int that the interpreter shares anyway.
    words = pemux.complete_subset_sum(values)
    words = words[:count] if count else [words[0], words[-1]]
    assert words == [word] * len(words)
    assert len({id(w) for w in words}) == 1
    # One reference per item, plus getrefcount's own argument.
    refs = sys.getrefcount(words[0])
    assert refs == len(words) + 1


@pytest.mark.parametrize("seed", range(3))
def test_large_sparse_results_agree_with_big_int_oracle(seed):
    # Hundreds of thousands of words with a few bits each.
    rng = random.Random(seed)
    values = [rng.randrange(2 * 10**5, 10**6) for _ in range(18)]
    words = pemux.complete_subset_sum(values)
    assert len(words) == sum(values) // 64 + 1
    assert as_int(words) == oracle(values)


def test_shared_zero_keeps_its_reference_count():
    def solve_and_drop():
        words = pemux.complete_subset_sum([64 * 1000])
        assert words.count(0) == 999

    solve_and_drop()  # first-call allocations of the interpreter settle
    zero_refs = sys.getrefcount(0)
    for _ in range(3):
        solve_and_drop()
    refs = sys.getrefcount(0)
    assert refs == zero_refs


def test_exported_symbols_are_the_entry_and_the_methods():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("no nm to read the dynamic symbol table")
    table = subprocess.run([nm, "-D", "--defined-only", pemux.__file__],
                           capture_output=True, text=True, check=True).stdout
    names = {line.split()[-1] for line in table.splitlines() if line.strip()}
    assert {n for n in names if n.startswith(("webinterface_", "PyInit_"))} == {
        "PyInit_pemux",
        "webinterface_complete_subset_sum",
        "webinterface_complete_subset_sum_async",
        "webinterface_complete_subset_sum_bytes",
        "webinterface_reachable_sums",
        "webinterface_subset_sum_result_check",
        "webinterface_subset_with_sum",
        "webinterface_subsets_with_sum",
    }
    internal = ("_pull_input_list_from_py_obj", "_generate_result_list_from_c_buf",
                "_async_callback", "_async_exit_hook", "PEMUXMethods")
    assert [n for n in names if any(i in n for i in internal)] == []


def test_module_and_service_share_one_version():
    pemux_service = pytest.importorskip("pemux_service")
    assert pemux_service.__version__ == pemux.__version__ != "0+unknown"
