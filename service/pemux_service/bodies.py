"""Submit bodies: read at no less than a floor rate, never decompressed, and
parsed, summed and hashed away from the event loop when large.

A large body parsed in a thread would still hold the interpreter lock for
the whole parse, so it goes to a process of its own; what comes back is the
values packed as 64-bit words with their sum and problem key, which the
engines take as they are.
"""

import array
import asyncio
import concurrent.futures
import multiprocessing

from . import protocol, subset_route

SMALL_BODY = 1 << 20
PARSERS = 2  # processes that parse large bodies
COMPRESSED = ("Compressed request bodies are not taken: send the JSON array "
              "without Content-Encoding")
TOO_SLOW = "Request body too slow"

_pool = None


class BodyRefused(Exception):
    def __init__(self, status, text, outcome):
        super().__init__(text)
        self.status = status
        self.text = text
        self.outcome = outcome


class Values(array.array):
    """Problem values as 64-bit words, with their sum and values_digest."""

    total: int
    digest: str


def too_large(max_body):
    return BodyRefused(413, f"Request body too large: this service takes at most "
                            f"{max_body} bytes", "too_large")


async def read_body(request, max_body, min_rate, grace_s):
    """The whole body, or BodyRefused. After grace_s, the body must have
    come at min_rate bytes per second on average (0: no floor)."""
    encoding = request.headers.get("Content-Encoding", "").strip().lower()
    if encoding not in ("", "identity"):
        # The limit is on what the client sends; a small compressed body
        # can stand for any number of values.
        raise BodyRefused(415, COMPRESSED, "compressed")
    loop = asyncio.get_running_loop()
    t0 = loop.time()
    chunks, size = [], 0
    while True:
        timeout = None
        if min_rate:
            timeout = t0 + grace_s + size / min_rate - loop.time()
            if timeout <= 0:
                raise BodyRefused(408, TOO_SLOW, "too_slow")
        try:
            chunk = await asyncio.wait_for(request.content.readany(), timeout)
        except TimeoutError:
            raise BodyRefused(408, TOO_SLOW, "too_slow") from None
        if not chunk:
            return b"".join(chunks)
        size += len(chunk)
        if size > max_body:
            raise too_large(max_body)
        chunks.append(chunk)


def _parse_packed(body):
    values = protocol.parse_problem(body)
    del body
    if values is None:
        return None
    packed = array.array("Q", values)
    return packed.tobytes(), sum(values), protocol.values_digest(values)


def _parser_pool():
    global _pool
    if _pool is None:
        _pool = concurrent.futures.ProcessPoolExecutor(
            max_workers=PARSERS, mp_context=multiprocessing.get_context("spawn"))
    return _pool


async def _in_pool(fn, body):
    try:
        return await asyncio.get_running_loop().run_in_executor(_parser_pool(), fn, body)
    except concurrent.futures.process.BrokenProcessPool:
        global _pool
        _pool = None  # a fresh pool for the next body
        raise


async def parse(body):
    """The values of a submit body (a list, or Values when large), or None
    when it is not a JSON array of integers in 0 .. 2**64 - 1."""
    if len(body) <= SMALL_BODY:
        return protocol.parse_problem(body)
    got = await _in_pool(_parse_packed, body)
    if got is None:
        return None
    words, total, key = got
    values = Values("Q")
    values.frombytes(words)
    values.total, values.digest = total, key
    return values


async def parse_subset(body):
    """The subset_route.SubsetProblem of a body, read away from the loop
    when large, or None when it is not one."""
    if len(body) <= SMALL_BODY:
        return subset_route.read_problem(body)
    return await _in_pool(subset_route.read_problem, body)


def shutdown():
    global _pool
    if _pool is not None:
        _pool.shutdown(wait=False, cancel_futures=True)
        _pool = None
