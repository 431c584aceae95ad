"""The HTTPS exchange that the pemux client speaks, in one place.

The client reads answers with a small hand-written scanner, not a JSON
parser, so every answer here is one flat object with no blanks, and texts
never contain a double quote, a comma or a closing brace (the scanner ends a
value at any of them).
"""

import array
import concurrent.futures
import hashlib
import json
import struct
import zlib

SUBMIT_PATH = "/v0/app/sspu"
RESULT_PATH = "/v0/result"
# Which values make a total: a route of its own, polled like the bitset.
SUBSET_PATH = "/v0/app/subset"
SUBSET_RESULT_PATH = "/v0/subset"
MAX_U64 = (1 << 64) - 1

# A poll body that begins with these bytes counts as "not ready" in the
# client; any other body is taken for the result stream.
NOT_READY_PREFIX = b'{"message"'

FORBIDDEN = "Forbidden"
NOT_READY = "Result not ready"
UNKNOWN_ID = "Unknown or expired requestId"
BAD_PROBLEM = "Expected a JSON array of integers in 0 to 18446744073709551615"
SHUTTING_DOWN = "Service is shutting down"
NOT_FOUND = "Not found"
BAD_METHOD = "Method not allowed"

# Chosen by timing whole remote calls (README): level 1 compresses fastest
# but for a few percent of size, and its long-distance matches inflate
# faster in the client than run-length matching, whose stream is smaller.
GZIP_LEVEL = 1
GZIP_STRATEGY = zlib.Z_DEFAULT_STRATEGY


def _clean(text):
    return "".join(" " if c in '",}\\' or ord(c) < 0x20 else c for c in text)


def message(text):
    """A refusal or deferral: {"message":"text"}."""
    return b'{"message":"%s"}' % _clean(text).encode()


def error(text):
    """A final failure of an accepted request: {"error":"text"}."""
    return b'{"error":"%s"}' % _clean(text).encode()


def request_id_answer(rid):
    return b'{"requestId":"%s"}' % rid.encode()


def parse_problem(body):
    """The values of a submit body, or None when it is not a JSON array of
    integers in 0 .. 2**64 - 1."""
    try:
        values = json.loads(body)
    except (UnicodeDecodeError, ValueError, RecursionError):
        return None
    if type(values) is not list:
        return None
    for v in values:
        # bool is an int subclass, and JSON true/false are not values.
        if type(v) is not int or v < 0 or v > MAX_U64:
            return None
    return values


def values_digest(values):
    """Names a multiset of values: equal for any order of the same values.
    The costly part of a problem key, and the same for every key."""
    return hashlib.sha256(array.array("Q", sorted(values)).tobytes()).hexdigest()


def problem_key(values, owner, digest=None):
    """Names one key's multiset of values (owner: its key id), unrelated
    between keys, so that no answer tells a key what another one sent.
    digest: values_digest(values), where it was worked out already."""
    digest = digest or values_digest(values)
    return hashlib.sha256(f"{owner}\0{digest}".encode()).hexdigest()


# The two kinds of job. A subset problem's key is marked, so that a worker
# told only the key knows what to solve and which answer to store.
BITSET, SUBSET = "bitset", "subset"
SUBSET_MARK = "s"


def subset_problem_key(owner, digest):
    """Names one key's subset problem; digest: of its values in order and
    its total (the answer's indices depend on the order)."""
    return SUBSET_MARK + hashlib.sha256(f"{owner}\0subset\0{digest}".encode()).hexdigest()


def kind_of(pkey):
    return SUBSET if pkey.startswith(SUBSET_MARK) else BITSET


def pack_result(bitset, level=GZIP_LEVEL, strategy=GZIP_STRATEGY, threads=1):
    """The ready poll body: one gzip stream of the bitset."""
    return b"".join(iter_pack_result(bitset, level, strategy, threads))


PIECE = 1 << 22


def iter_pack_result(bitset, level=GZIP_LEVEL, strategy=GZIP_STRATEGY, threads=1,
                     piece=PIECE):
    """The same stream in pieces, so that a large result is never held
    twice. With threads > 1, pieces of the bitset are deflated at once and
    joined into one stream, each but the last ending on a byte boundary;
    the client reads one gzip member only, so they cannot be members of
    their own."""
    view = memoryview(bitset).cast("B")
    n = len(view)
    if threads <= 1 or n <= piece:
        comp = zlib.compressobj(level, zlib.DEFLATED, 31, 9, strategy)
        for start in range(0, n, piece):
            out = comp.compress(view[start:start + piece])
            if out:
                yield out
        yield comp.flush()
        return

    def deflate(start):
        comp = zlib.compressobj(level, zlib.DEFLATED, -15, 9, strategy)
        last = start + piece >= n
        return comp.compress(view[start:start + piece]) + comp.flush(
            zlib.Z_FINISH if last else zlib.Z_SYNC_FLUSH)

    # Magic, deflate, no flags, no time, fastest or best, Unix.
    yield b"\x1f\x8b\x08\x00\x00\x00\x00\x00" + bytes((4 if level <= 1 else 0, 3))
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        parts = [pool.submit(deflate, start) for start in range(0, n, piece)]
        crc = zlib.crc32(view)  # here, while the pool deflates
        for part in parts:
            yield part.result()
    yield struct.pack("<II", crc & 0xFFFFFFFF, n & 0xFFFFFFFF)
