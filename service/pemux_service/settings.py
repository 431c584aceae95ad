"""What the service's commands share: option parsers, memory defaults,
logging and the ready file. Imports nothing else of the service but the
protocol and the store's atomic write, so every command may use it."""

import argparse
import json
import logging
import os
import re
import sys
import zlib

from . import protocol
from .store import write_atomic

log = logging.getLogger("pemux_service")

_SIZE_RE = re.compile(r"^(\d+(?:\.\d+)?)\s*([kmgt]?)i?b?$", re.I)
_TIME_RE = re.compile(r"^(\d+(?:\.\d+)?)\s*([smhd]?)$", re.I)
GZIP_STRATEGIES = {"default": zlib.Z_DEFAULT_STRATEGY, "rle": zlib.Z_RLE,
                   "filtered": zlib.Z_FILTERED}
GZIP_STRATEGY = next(k for k, v in GZIP_STRATEGIES.items() if v == protocol.GZIP_STRATEGY)
_RESERVED = 256 << 20  # interpreter and solver beyond the result itself
_MIN_WORKER_MEMORY = 512 << 20

# A solve's time limit: a fixed allowance for starting and storing, time in
# proportion to the result's size, and more for each value swept over it.
# Both rates are far below what the solver and compressor reach on a
# loaded small machine (under 1 ns a unit of total to compress, well under
# 1 ns a word per value swept), so only a solver that stopped meets it.
SOLVE_TIMEOUT_BASE_S = 60.0
SOLVE_TIMEOUT_NS_PER_UNIT = 50.0
SOLVE_TIMEOUT_NS_PER_VALUE_WORD = 1.0


def parse_size(text):
    m = _SIZE_RE.match(text.strip())
    if not m:
        raise argparse.ArgumentTypeError(f"not a size: {text} (e.g. 4G, 512M)")
    return int(float(m.group(1)) * 1024 ** " kmgt".index((m.group(2) or " ").lower()))


def parse_duration(text):
    m = _TIME_RE.match(text.strip())
    if not m:
        raise argparse.ArgumentTypeError(f"not a duration: {text} (e.g. 24h, 90m, 30s)")
    return float(m.group(1)) * {"": 1, "s": 1, "m": 60, "h": 3600, "d": 86400}[
        m.group(2).lower()]


def machine_memory():
    return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


def default_worker_memory(solvers):
    """The machine's memory shared evenly by the solver processes that may
    be at work at once on it: the pool and the inline solver of an embedded
    service (workers + 1), the processes of a broker worker."""
    return max(_MIN_WORKER_MEMORY, machine_memory() // max(1, solvers))


def default_max_total(worker_memory):
    # A worker holds the bitset (total / 8 bytes) and its compressed form,
    # which is never larger than the bitset.
    return max(1 << 20, (worker_memory - _RESERVED) // 2 * 8)


def solve_timeout(total, count, base_s=SOLVE_TIMEOUT_BASE_S):
    """Seconds a solve of count values summing to total may take before its
    solver counts as stuck."""
    return base_s + 1e-9 * (total * SOLVE_TIMEOUT_NS_PER_UNIT
                            + count * (total // 64 + 1) * SOLVE_TIMEOUT_NS_PER_VALUE_WORD)


def add_gzip_options(p):
    """How results are compressed, as gzip_setting(args) reads it back."""
    level = protocol.GZIP_LEVEL
    p.add_argument("--gzip-level", type=int, choices=range(10), default=level,
                   metavar="0-9", help=f"compression level of results (default {level})")
    p.add_argument("--gzip-strategy", choices=sorted(GZIP_STRATEGIES), default=GZIP_STRATEGY,
                   help=f"zlib strategy of results (default {GZIP_STRATEGY})")


def gzip_setting(args):
    return (args.gzip_level, GZIP_STRATEGIES[args.gzip_strategy])


def add_solve_timeout_option(p):
    p.add_argument("--solve-timeout", type=parse_duration, default=SOLVE_TIMEOUT_BASE_S,
                   metavar="DURATION",
                   help="a solve may take this long plus "
                        f"{SOLVE_TIMEOUT_NS_PER_UNIT:g} ns per unit of its total and "
                        f"{SOLVE_TIMEOUT_NS_PER_VALUE_WORD:g} ns per value and 64 units "
                        "before its solver counts as stuck, is killed and the job "
                        f"retried as after a crash (default {SOLVE_TIMEOUT_BASE_S:g}s)")


def timeout_rule(args):
    """solve_timeout with the command line's allowance."""
    base = args.solve_timeout
    return lambda total, count: solve_timeout(total, count, base)


def setup_logging(path=None, prefix="pemux-service"):
    """Events to standard error; the request log (front ends) to path or
    standard error."""
    from .door import log_handler  # reopened on SIGHUP

    handler = log_handler(path)
    handler.setFormatter(logging.Formatter("%(message)s"))
    access = logging.getLogger("pemux_service.access")
    access.addHandler(handler)
    access.setLevel(logging.INFO)
    access.propagate = False
    events = logging.StreamHandler(sys.stderr)
    events.setFormatter(logging.Formatter(f"{prefix}: %(message)s"))
    log.addHandler(events)
    log.setLevel(logging.INFO)


def write_ready_file(path, **info):
    """The small JSON file a supervisor waits for."""
    if path:
        write_atomic(os.path.abspath(path), json.dumps({"pid": os.getpid(), **info}).encode(),
                     mode=0o600)
