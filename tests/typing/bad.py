"""Deliberate mistakes, one a line. The comment on each names the error codes
that mypy --strict and pyright must report there; no other line may have any."""


import pemux


def takes_words(result: list[int]) -> None: ...


def wrong_callback(result: list[int]) -> None: ...


def needs_two(result: list[int] | None, extra: int) -> None: ...


version: int = pemux.__version__  # mypy: assignment; pyright: reportAssignmentType
words: str = pemux.complete_subset_sum([3, 5])  # mypy: assignment; pyright: reportAssignmentType
pemux.complete_subset_sum(["3", "5"])  # mypy: list-item; pyright: reportArgumentType
pemux.complete_subset_sum(3.5)  # mypy: arg-type; pyright: reportArgumentType
pemux.complete_subset_sum(values=[3, 5])  # mypy: call-arg; pyright: reportCallIssue
packed: list[int] = pemux.complete_subset_sum_bytes([3, 5])  # mypy: assignment; pyright: reportAssignmentType
pemux.complete_subset_sum_bytes([3, 5], progress=5)  # mypy: arg-type; pyright: reportArgumentType
pemux.complete_subset_sum_async([3, 5], wrong_callback)  # mypy: arg-type; pyright: reportArgumentType
pemux.complete_subset_sum_async([3, 5], needs_two)  # mypy: arg-type; pyright: reportArgumentType
pemux.complete_subset_sum_async([3, 5])  # mypy: call-arg; pyright: reportCallIssue
started: bool = pemux.complete_subset_sum_async([3, 5], print)  # mypy: func-returns-value assignment; pyright: reportAssignmentType
takes_words(pemux.subset_sum_result_check([297], 8))  # mypy: arg-type; pyright: reportArgumentType
pemux.subset_sum_result_check("297", 8)  # mypy: arg-type; pyright: reportArgumentType
pemux.subset_sum_result_check([297], "8")  # mypy: arg-type; pyright: reportArgumentType
found: bool = pemux.subset_sum_result_check(b"\x01", 0)  # mypy: assignment; pyright: reportAssignmentType
pemux.complete_subset_sum_maybe([3, 5])  # mypy: attr-defined; pyright: reportAttributeAccessIssue
picked: list[int] = pemux.subset_with_sum([3], 3)  # mypy: assignment; pyright: reportAssignmentType
pemux.subsets_with_sum([3], 3, limit="2")  # mypy: arg-type; pyright: reportArgumentType
