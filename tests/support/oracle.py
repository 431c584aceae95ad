"""Reference answers: the one oracle every test compares with."""

import itertools
import os
import random


def oracle(values):
    """The answer as one int: bit s set when some subset sums to s."""
    reach = 1
    for x in values:
        reach |= reach << x
    return reach


def oracle_bytes(values):
    """The answer as the result bitset's bytes (whole 64-bit words)."""
    return oracle(values).to_bytes((sum(values) // 64 + 1) * 8, "little")


def as_int(words):
    """A result list read back as one int."""
    return int.from_bytes(b"".join(w.to_bytes(8, "little") for w in words), "little")


def local(values):
    """The module's in-process answer for values, whatever PEMU_KILLSWITCH
    was; for problems too large for oracle_bytes in a test's time."""
    import pemux

    old = os.environ.get("PEMU_KILLSWITCH")
    os.environ["PEMU_KILLSWITCH"] = "1"
    try:
        return pemux.complete_subset_sum_bytes(values)
    finally:
        if old is None:
            del os.environ["PEMU_KILLSWITCH"]
        else:
            os.environ["PEMU_KILLSWITCH"] = old


def problem(seed, count, largest):
    rng = random.Random(seed)
    return [rng.randint(0, largest) for _ in range(count)]


def reaches(values, total):
    """Whether some subset of values (of any signs) sums to total, by trying
    every subset: for a few values only."""
    return any(sum(c) == total for r in range(len(values) + 1)
               for c in itertools.combinations(values, r))


def check_subset(values, total, got):
    """Asserts that got answers subset_with_sum(values, total): None only
    where no subset reaches total, else ascending distinct indices of
    values that sum to it. Brute force for None: a few values only."""
    if got is None:
        assert not reaches(values, total)
        return
    check_indices(values, total, got)


def check_indices(values, total, got):
    """Asserts that got is ascending distinct indices of values summing to total."""
    assert got == sorted(set(got))
    assert all(0 <= i < len(values) for i in got)
    assert sum(values[i] for i in got) == total
