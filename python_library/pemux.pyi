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
    TypeError; when no thread can be started, RuntimeError("can't start new
    thread") is raised. No request starts then, and the callback is never
    called. A callback that is no longer callable when the result arrives
    is reported on standard output and the result dropped.

    At interpreter exit, results arrive only until the module's own exit
    handler runs. It is registered when pemux is first imported, and exit
    handlers run in the reverse order of registration: a handler that waits
    for results must be registered after ``import pemux``. Results of
    requests still in flight after that are dropped, without a call.
    """

def complete_subset_sum_bytes(values: list[int], /) -> bytes:
    """Solve and return the result bitset as bytes.

    Bit s is bit (s % 8) of byte s // 8; there are 8 * (total // 64 + 1)
    bytes, the result words in little-endian order. So
    ``int.from_bytes(b, "little")`` is the bitset as one int, and
    ``numpy.frombuffer(b, dtype="<u8")`` views the words without a copy.

    Same checks, errors and path choice as complete_subset_sum, but the
    interpreter lock is released while it solves or waits, so other threads
    run meanwhile. During a remote wait on the main thread, a signal whose
    handler raises (Ctrl-C) ends the call with that exception
    (KeyboardInterrupt); Python runs signal handlers on the main thread only.
    """

def subset_sum_result_check(
    result: list[int] | bytes | bytearray, index: int, /
) -> Optional[bool]:
    """Whether bit ``index`` is set in a result, as words or as bytes.

    None, with a message on standard output, when the index lies beyond the
    result; a negative index is read as its 64-bit two's complement, so it
    always lies beyond, and so does any index of 2**64 or more. A result as
    bytes must hold whole words: a length that is not a multiple of 8
    raises ValueError.
    """
