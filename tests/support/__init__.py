"""What the tests share: one process harness, one wait, one oracle,
one check that a call gives up the interpreter lock."""
