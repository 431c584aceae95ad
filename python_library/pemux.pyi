"""Complete subset sums of non-negative integers.

A result is a list of 64-bit words: bit s of the answer is bit (s % 64) of
item s // 64, and it is set exactly when some subset of the values sums to s.
"""

from typing import Callable, Optional

def complete_subset_sum(values: list[int], /) -> list[int]:
    """Solve and return the result words.

    Raises ConnectionError with the library's message when the solve fails,
    TypeError for an item that is not an int, OverflowError for an item
    outside 0 ... 2**64 - 1 or a sum beyond it, MemoryError when the result
    cannot be held.
    """

def complete_subset_sum_async(
    values: list[int], callback: Callable[[Optional[list[int]]], object], /
) -> None:
    """Start a solve and return at once.

    The callback later receives the result words, or None on failure,
    exactly once, on a worker thread. Bad arguments raise as in
    complete_subset_sum, and a callback that cannot be called raises
    TypeError; no request starts then.
    """

def subset_sum_result_check(result: list[int], index: int, /) -> Optional[bool]:
    """Whether bit ``index`` is set in result words; None when it lies beyond them."""
