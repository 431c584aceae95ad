"""Complete subset sums of non-negative integers.

A result is a list of 64-bit words: bit s of the answer is bit (s % 64) of
item s // 64, and it is set exactly when some subset of the values sums to s.
"""

from collections.abc import Iterable, Iterator

from typing_extensions import Buffer
from typing import Callable, Optional, SupportsIndex, Union

# The values: a list, any iterable of ints (or of objects with __index__,
# such as NumPy scalars), or a buffer of integers (a NumPy integer array,
# array.array, memoryview), read in place.
Values = Union[Iterable[SupportsIndex], Buffer]
# A result: the words as a list, or bytes or any buffer of 64-bit words.
Result = Union[list[int], Buffer]

__version__: str

def complete_subset_sum(values: Values, /) -> list[int]:
    """Solve and return the result words.

    Raises ConnectionError with the library's message when the solve fails,
    TypeError for values that are not iterable or an item that is not an int
    (nor has __index__), OverflowError for an item outside 0 ... 2**64 - 1
    or a sum beyond it, MemoryError when the result cannot be held.
    """

def complete_subset_sum_async(
    values: Values, callback: Callable[[Optional[list[int]]], object], /
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

def complete_subset_sum_bytes(
    values: Values, /, *, progress: Optional[Callable[[float], object]] = None
) -> bytes:
    """Solve and return the result bitset as bytes.

    Bit s is bit (s % 8) of byte s // 8; there are 8 * (total // 64 + 1)
    bytes, the result words in little-endian order. So
    ``int.from_bytes(b, "little")`` is the bitset as one int, and
    ``numpy.frombuffer(b, dtype="<u8")`` views the words without a copy.

    Same checks, errors and path choice as complete_subset_sum, but the
    interpreter lock is released while it solves or waits, so other threads
    run meanwhile. During a solve or a remote wait on the main thread, a
    signal whose handler raises (Ctrl-C) ends the call with that exception
    (KeyboardInterrupt); Python runs signal handlers on the main thread only.

    progress, when given, receives the fraction done (0.0 ... 1.0) on the
    calling thread, at most 10 times a second during a local solve, and 1.0
    once at the end of any successful solve. An exception it raises ends the
    call with that exception.
    """

def subset_sum_result_check(result: Result, index: int, /) -> Optional[bool]:
    """Whether bit ``index`` is set in a result, as words or as bytes.

    None, with a message on standard output, when the index lies beyond the
    result; a negative index is read as its 64-bit two's complement, so it
    always lies beyond, and so does any index of 2**64 or more. Only the
    word the index selects is read (and its item checked). A result as
    bytes must hold whole words: a length that is not a multiple of 8
    raises ValueError; a buffer of other items, TypeError.
    """

def reachable_sums(result: Result, start: int = 0, stop: Optional[int] = None) -> list[int]:
    """The totals s with start <= s < stop that the result marks, ascending.

    stop None means the end of the result; bounds beyond either end are
    clamped to it.
    """

def subset_with_sum(
    values: Iterable[SupportsIndex],
    total: SupportsIndex,
    /,
    *,
    progress: Optional[Callable[[float], object]] = None,
) -> Optional[list[int]]:
    """Indices (ascending) of one subset of values that sums to total, or
    None when no subset does.

    values take the forms of complete_subset_sum and may be negative; total
    is any int. The answer is summed before it is returned. Memory is about
    one result of complete_subset_sum for the values' magnitudes, time about
    one such solve. Solves in-process with PEMU_KILLSWITCH=1; otherwise on
    the solving service, over the client of complete_subset_sum (same
    configuration, retries, poll schedule and ConnectionError messages). A
    service's subset is checked before it is returned (indices ascending,
    distinct, in range, summing to total), else ConnectionError "Result
    ..."; its answer that no subset exists cannot be checked without
    solving again, and is taken as it comes. The interpreter lock is
    released meanwhile; progress, when given, is called with the fraction
    done (0.0 ... 1.0) at most 10 times a second (in-process only) and once
    with 1.0 at the end, on the calling thread. Ctrl-C on the main thread,
    or an exception from progress, ends the call with that exception.
    MemoryError when memory runs out.
    """

def subsets_with_sum(
    values: Iterable[SupportsIndex],
    total: SupportsIndex,
    /,
    limit: Optional[SupportsIndex] = None,
) -> Iterator[list[int]]:
    """Iterator over every subset of values that sums to total, each once,
    as lists of ascending indices; at most limit of them when given.

    Values and total as in subset_with_sum; always in-process. Tables are
    made at the call: for n values with magnitudes summing to S, and t the
    total plus the negatives' magnitudes, at most about
    n * (min(t, S - t) + 1) / 8 bytes. A problem whose tables would pass
    PEMU_MAX_MEMORY (bytes; default half the machine's memory) raises
    MemoryError before any of them is made. The interpreter lock is released
    while they are made, and Ctrl-C on the main thread ends that with
    KeyboardInterrupt. Between two answers the walk takes O(n) steps: no
    branch that cannot reach the total is explored.
    """
