"""Reference answers for the module's tests (kept in support.oracle)."""

from support.oracle import as_int, oracle

__all__ = ["as_int", "oracle"]
