"""Complete subset sums of non-negative integers.

A result is a list of 64-bit words: bit s of the answer is bit (s % 64) of
item s // 64, and it is set exactly when some subset of the values sums to s.
"""

from typing import Callable, Optional

__version__: str

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

def complete_subset_sum_bytes(values: list[int], /) -> bytes:
    """Solve and return the result bitset as bytes: bit s is bit (s % 8) of
    byte s // 8, 8 * (total // 64 + 1) bytes in all.

    Same checks, errors and path choice as complete_subset_sum, but the
    interpreter lock is released while it solves or waits, and Ctrl-C ends
    a remote wait with KeyboardInterrupt.
    """

def subset_sum_result_check(
    result: list[int] | bytes, index: int, /
) -> Optional[bool]:
    """Whether bit ``index`` is set in a result (words or bytes); None when
    it lies beyond them."""
