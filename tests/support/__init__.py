"""What the tests share: one process harness, one wait, one oracle."""
