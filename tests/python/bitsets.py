"""Reference answers for the module's tests."""


def oracle(values):
    """The answer as one int: bit s set when some subset sums to s."""
    reach = 1
    for x in values:
        reach |= reach << x
    return reach


def as_int(words):
    """A result list read back as one int."""
    return int.from_bytes(b"".join(w.to_bytes(8, "little") for w in words), "little")
