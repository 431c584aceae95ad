# pyright: strict
"""A typed program that uses every name of the module; it must type-check
cleanly under mypy --strict and pyright, and it runs (PEMU_KILLSWITCH=1)."""

import threading

import pemux

version: str = pemux.__version__

words: list[int] = pemux.complete_subset_sum([3, 5])
packed: bytes = pemux.complete_subset_sum_bytes([3, 5])

in_words: bool | None = pemux.subset_sum_result_check(words, 8)
in_bytes: bool | None = pemux.subset_sum_result_check(packed, 8)
beyond: bool | None = pemux.subset_sum_result_check(words, 64)

finished = threading.Event()
received: list[list[int] | None] = []


def on_result(result: list[int] | None) -> None:
    received.append(result)
    finished.set()


pemux.complete_subset_sum_async([3, 5], on_result)
finished.wait(30)

sums: list[int] = pemux.reachable_sums(packed, 1, stop=None)
from_tuple: bytes = pemux.complete_subset_sum_bytes((3, 5), progress=lambda f: None)
from_range: list[int] = pemux.complete_subset_sum(range(3))
fractions: list[float] = []
picked: list[int] | None = pemux.subset_with_sum([3, 5, -2], 6, progress=fractions.append)
every: list[list[int]] = list(pemux.subsets_with_sum([3, 5, -2], 3, limit=5))

# The annotations above hold at run time too.
assert isinstance(version, str) and version
assert words == [297]
assert packed == (297).to_bytes(8, "little")
assert in_words is True and beyond is None
assert in_bytes is None or isinstance(in_bytes, bool)
assert received == [[297]]
assert sums == [3, 5, 8] and from_tuple == packed and from_range == [15]
assert picked == [0, 1, 2] and fractions[-1:] == [1.0]
assert every == [[0], [1, 2]]
print("ok")
