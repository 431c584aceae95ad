#!/usr/bin/env python3
"""Local stand-in for the remote subset-sum solving service: a fault layer
in front of the real pemux-service front end and engine.

Every answer that no fault changes is the real service's own (it runs in
this process, over a temporary data directory):

    POST /v0/app/sspu              body: JSON array of values
        -> {"requestId":"<id>"}
    GET  /v0/result?requestId=<id>
        -> {"message":"Result not ready"}  or  gzip(result bitset)
    POST /v0/app/subset            body: {"values":[...],"total":T}
        -> {"requestId":"<id>"}
    GET  /v0/subset?requestId=<id>
        -> {"message":"Result not ready"}  or  {"indices":[...]} / {"found":false}

A path prefix /b/<token>+<token>... makes the service misbehave on purpose
(see BEHAVIOUR_HELP), so a client test picks a fault just by choosing its
base URL.  Next to the HTTPS listener it runs a plain-HTTP "trap" listener
(a correct client never reaches it) and a listener that drops every
connection before the TLS handshake.

Run `python3 tests/service/pemu_service.py --help` for the options.
"""

import argparse
import asyncio
import gzip
import ipaddress
import json
import os
import pathlib
import re
import shlex
import signal
import ssl
import sys
import tempfile
import time
import uuid

from aiohttp import streams, web
import trustme

try:
    from pemux_service import protocol
except ImportError:  # run from a checkout without the service installed
    sys.path.append(str(pathlib.Path(__file__).resolve().parents[2] / "service"))
    from pemux_service import protocol

sys.path.append(str(pathlib.Path(__file__).resolve().parents[1]))
# The exchange itself is the real service's; this stand-in adds the faults.
from pemux_service import settings
from pemux_service.app import Front
from pemux_service.cli import bind_listener
from pemux_service.engine import Engine, Limits, PoolDispatcher
from pemux_service.keys import KeyStore
from pemux_service.metrics import Metrics
from pemux_service.protocol import (
    BITSET,
    RESULT_PATH,
    SUBMIT_PATH,
    SUBSET,
    SUBSET_PATH,
    SUBSET_RESULT_PATH,
)
from pemux_service.store import (
    DONE,
    FAILED,
    FileBlobStore,
    SqliteJobStore,
    write_atomic,
)
from support.gzipped import inflates

FORBIDDEN = protocol.message(protocol.FORBIDDEN)
NOT_READY = protocol.message(protocol.NOT_READY)
INTERNAL_ERROR = protocol.message("Internal error")
NOT_FOUND = protocol.message(protocol.NOT_FOUND)
QUEUED_NO_ID = b'{"status":"queued"}'
XML_NOT_READY = (
    b'<?xml version="1.0" encoding="UTF-8"?>\n'
    b"<Error><Code>NotReady</Code><Message>Result not ready</Message></Error>"
)
HTML_PAGE = (
    b"<!DOCTYPE html><html><head><title>502 Bad Gateway</title></head>"
    b"<body><h1>502 Bad Gateway</h1></body></html>"
)
# What the trap listener hands out: the well-formed answer for an empty
# problem, so a client that wrongly follows it "succeeds" with a wrong result.
TRAP_RESULT = gzip.compress(b"\x01", mtime=0)

SPLIT_PAUSE_S = 0.3
POLLSPLIT_PIECES = 3
POLLSPLIT_PAUSE_S = 0.2
PARTIAL_PAUSE_S = 0.2
OVERSIZE_TAIL = b"\xff" * 16
ZEROPAD_TAIL = bytes(100000)
MAX_STALL_S = 600.0
LOG_BODY_LIMIT = 1 << 20
BOMB_BYTES = 2 << 20
HUGE_BYTES = 64 << 20
JOB_ERROR = b'{"error":"worker died twice"}'

BEHAVIOUR_HELP = """\
behaviour tokens (base URL https://HOST:PORT/b/TOKEN+TOKEN...):
  notready-N      poll answers "Result not ready" N times per request id
  xml-N           poll answers an XML document N times (after any notready)
  partial-N       poll sends half the gzip, pauses, then a not-ready message
                  in the same body, N times (after notready and xml)
  forbidden       submit answers {"message":"Forbidden"} whatever the key
  error           submit answers {"message":"Internal error"}
  html            submit answers an HTML page
  noid            submit answers {"status":"queued"}
  newline         submit answer is followed by a newline
  split           submit answer arrives in two pieces, 0.3 s apart
  stall-submit-S  submit waits S seconds before answering
  stall-poll-S    poll waits S seconds before answering
  corrupt         ready answer is gzip with damaged deflate data
  truncated       ready answer is the first half of the gzip stream
  notgzip         ready answer is the raw bitset, not compressed
  oversize        ready answer inflates to the bitset + 16 bytes 0xff
  zeropad         ready answer inflates to the bitset + 100000 zero bytes
  empty           ready answer has an empty body
  pollsplit       ready answer arrives in 3 pieces, 0.2 s apart
  redirect-http   ready poll redirects (302) to the plain-HTTP trap listener
  redirect-https  ready poll redirects (302) to the unprefixed HTTPS URL
  redirect-other  ready poll redirects (302) to the second HTTPS origin, which
                  serves results without asking for a key
  redirect-loop   every poll redirects (302) to itself
  droppoll-N      poll redirects (302) to the connection-dropping listener,
                  so that the attempt fails its handshake, N times
  drip-N          poll sends 2 bytes a second without end, N times
  flood-N         poll sends 4 KiB a second without end, N times
  huge            ready answer is 64 MiB of junk, sent without a length
  allzero         ready answer inflates to zero bytes only
  bomb            ready answer inflates to 2 MiB of 0xff bytes
  nototal         ready answer lacks the bit of the total
  abovetotal      ready answer has the bit above the total set
  joberror        poll answers {"error":"worker died twice"}

On /v0/subset the answer tokens change the JSON answer instead: corrupt drops
its first byte, truncated sends its first half, empty nothing, oversize adds
a member, nototal drops the last index (or answers index 0 where there is
none), abovetotal adds an index past any test's values, huge is as above;
the other answer tokens leave it alone.
"""

_FLAGS = frozenset({
    "forbidden", "error", "html", "noid", "newline", "split",
    "corrupt", "truncated", "notgzip", "oversize", "zeropad", "empty",
    "pollsplit", "redirect-http", "redirect-https", "redirect-other",
    "redirect-loop", "huge", "allzero", "bomb", "nototal", "abovetotal",
    "joberror",
})
_STALLS = {"stall-submit": "stall_submit", "stall-poll": "stall_poll"}
_COUNT_RE = re.compile(r"^(notready|xml|partial|droppoll|drip|flood)-(\d{1,6})$")
_STALL_RE = re.compile(r"^(stall-submit|stall-poll)-(\d+(?:\.\d+)?)$")


class Behaviour:
    """Parsed form of the /b/<tokens> prefix; the default is a correct service."""

    def __init__(self):
        self.flags = set()
        self.notready = 0
        self.xml = 0
        self.partial = 0
        self.droppoll = 0
        self.drip = 0
        self.flood = 0
        self.stall_submit = 0.0
        self.stall_poll = 0.0

    def __contains__(self, flag):
        return flag in self.flags


def parse_behaviours(text):
    """Returns a Behaviour, or raises ValueError naming the bad token."""
    beh = Behaviour()
    if not text:
        return beh
    for token in text.split("+"):
        if token in _FLAGS:
            beh.flags.add(token)
            continue
        m = _COUNT_RE.match(token)
        if m:
            setattr(beh, m.group(1), int(m.group(2)))
            continue
        m = _STALL_RE.match(token)
        if m:
            setattr(beh, _STALLS[m.group(1)], min(float(m.group(2)), MAX_STALL_S))
            continue
        raise ValueError(token)
    return beh


def corrupt_gzip(gz):
    """The stream with damaged deflate data that no inflater accepts."""
    data = bytearray(gz)
    header, trailer = 10, 8
    start, end = header, len(data) - trailer
    mid = (start + end) // 2
    for i in range(mid, min(mid + 4, end)):
        data[i] ^= 0xFF
    if inflates(bytes(data)):
        # The flip happened to land somewhere harmless: make the first
        # block's type the reserved value 3, which inflate always rejects.
        data[start] |= 0x06
    return bytes(data)


def _variant(kind, bitset, gz):
    if kind == "corrupt":
        return corrupt_gzip(gz)
    if kind == "truncated":
        return gz[: len(gz) // 2]
    if kind == "notgzip":
        return bitset
    if kind == "oversize":
        return gzip.compress(bitset + OVERSIZE_TAIL, mtime=0)
    if kind == "zeropad":
        return gzip.compress(bitset + ZEROPAD_TAIL, mtime=0)
    if kind == "empty":
        return b""
    if kind == "allzero":
        return gzip.compress(bytes(len(bitset)), mtime=0)
    if kind == "bomb":
        return gzip.compress(b"\xff" * BOMB_BYTES, mtime=0)
    if kind in ("nototal", "abovetotal"):
        n = int.from_bytes(bitset, "little")
        top = n.bit_length() - 1
        n = n & ~(1 << top) if kind == "nototal" else n | (1 << (top + 1))
        return gzip.compress(n.to_bytes(len(bitset) + 8, "little"), mtime=0)
    return gz


RESULT_VARIANTS = ("corrupt", "truncated", "notgzip", "oversize", "zeropad", "empty",
                   "allzero", "bomb", "nototal", "abovetotal")
SUBSET_VARIANTS = ("corrupt", "truncated", "empty", "oversize", "nototal", "abovetotal")
_KINDS = {RESULT_PATH: BITSET, SUBSET_RESULT_PATH: SUBSET}
# Past the values of any problem the tests send.
FAR_INDEX = 1 << 40


def _subset_variant(kind, answer):
    """A subset answer damaged as kind says; see BEHAVIOUR_HELP."""
    if kind == "corrupt":
        return answer[1:]
    if kind == "truncated":
        return answer[: len(answer) // 2]
    if kind == "empty":
        return b""
    if kind == "oversize":
        return answer[:-1] + b',"more":1}'
    indices = json.loads(answer).get("indices", [])
    if kind == "nototal":
        indices = indices[:-1] if indices else [0]
    else:
        indices = indices + [FAR_INDEX]
    return json.dumps({"indices": indices}, separators=(",", ":")).encode()


class RequestLog:
    """One JSON line per request, flushed at once so tests can read it."""

    def __init__(self, path):
        self._f = open(path, "a", encoding="utf-8") if path else None

    def write(self, listener, method=None, path=None, api_key=None,
              content_type=None, body=b"", peer=None):
        if self._f is None:
            return
        entry = {
            "time": time.time(),
            "listener": listener,
            "method": method,
            "path": path,
            "api_key": api_key,
            "content_type": content_type,
            "body": body[:LOG_BODY_LIMIT].decode("utf-8", "replace"),
            "body_len": len(body),
            "peer": peer,
        }
        self._f.write(json.dumps(entry) + "\n")
        self._f.flush()

    def close(self):
        if self._f is not None:
            self._f.close()


def _json(body, status=200):
    return web.Response(body=body, status=status, content_type="application/json")


def _peer(request):
    peer = request.transport.get_extra_info("peername") if request.transport else None
    return f"{peer[0]}:{peer[1]}" if peer else None


async def _send_without_end(request, piece, pause):
    """Writes piece every pause seconds until the client leaves (or
    MAX_STALL_S has passed)."""
    resp = web.StreamResponse()
    resp.content_type = "application/octet-stream"
    await resp.prepare(request)
    deadline = time.monotonic() + MAX_STALL_S
    try:
        while time.monotonic() < deadline:
            await resp.write(piece)
            await asyncio.sleep(pause)
    except (ConnectionError, asyncio.CancelledError):
        pass
    return resp


async def _send_huge(request):
    """HUGE_BYTES of junk in 1 MiB writes, with no length announced."""
    resp = web.StreamResponse()
    resp.content_type = "application/octet-stream"
    resp.enable_chunked_encoding()
    await resp.prepare(request)
    piece = b"J" * (1 << 20)
    try:
        for _ in range(HUGE_BYTES // len(piece)):
            await resp.write(piece)
        await resp.write_eof()
    except ConnectionError:
        pass
    return resp


async def _send_in_pieces(request, pieces, pause, content_type, status=200):
    """Writes pieces as separate flushed writes, pause seconds apart."""
    resp = web.StreamResponse(status=status)
    resp.content_type = content_type
    resp.content_length = sum(len(p) for p in pieces)
    await resp.prepare(request)
    for i, piece in enumerate(pieces):
        if i:
            await asyncio.sleep(pause)
        await resp.write(piece)
    await resp.write_eof()
    return resp


class FaultLayer:
    """Routes every request to the real front end, except where the /b/
    prefix asks for a fault: then it answers in the fault's way, from the
    real service's state and results."""

    def __init__(self, front, log):
        self.front = front
        self.engine = front.engine
        self.keys = front.keys
        self.log = log
        self.polls = {}  # request id -> polls so far, for counted deferrals
        self.owner = {}  # request id -> key id, for the keyless origin
        self.http_port = None
        self.other_port = None
        self.drop_port = None

    # -- HTTPS listener ---------------------------------------------------

    @web.middleware
    async def middleware(self, request, handler):
        """Inside the real front end's own middleware, so that its request
        log and metrics see every request."""
        # The real route of the path without any prefix decides methods;
        # found before the body is read, which ends cloning.
        path = request.path
        beh_text = None
        if path.startswith("/b/"):
            beh_text, sep, rest = path[3:].partition("/")
            path = "/" + rest if sep else "/"
        match = None
        if beh_text is not None:
            bare = request.clone(rel_url=request.rel_url.with_path(path))
            match = await request.app.router.resolve(bare)
        body = await request.read() if request.can_read_body else b""
        if body:
            # The real front end reads the body from the stream itself.
            again = streams.StreamReader(request.protocol, 2**16, loop=asyncio.get_running_loop())
            again.feed_data(body)
            again.feed_eof()
            request._payload = again
        self.log.write("https", request.method, request.raw_path,
                       request.headers.get("x-api-key"),
                       request.headers.get("Content-Type"), body, _peer(request))
        if beh_text is None:
            return await self._plain(request, handler)
        try:
            beh = parse_behaviours(beh_text)
        except ValueError as e:
            return _json(b'{"message":"Unknown behaviour %s"}' % str(e).encode(), 400)
        if match.http_exception is not None:
            raise match.http_exception
        if path in (SUBMIT_PATH, SUBSET_PATH):
            if beh.stall_submit:
                await asyncio.sleep(beh.stall_submit)
            return await self.submit(request, beh, path)
        if path in (RESULT_PATH, SUBSET_RESULT_PATH):
            if beh.stall_poll:
                await asyncio.sleep(beh.stall_poll)
            return await self.poll(request, beh, kind=_KINDS[path])
        return await match.handler(request)

    async def _plain(self, request, handler):
        resp = await handler(request)
        if request.path in (SUBMIT_PATH, SUBSET_PATH):
            self._remember(request, resp)
        return resp

    def _remember(self, request, resp):
        m = re.fullmatch(rb'\{"requestId":"([0-9a-f]+)"\}', resp.body or b"")
        if m and request.get("key_id"):
            self.owner[m.group(1).decode()] = request["key_id"]

    async def submit(self, request, beh, path=SUBMIT_PATH):
        if "forbidden" in beh:
            return _json(FORBIDDEN, 403)
        if "error" in beh:
            return _json(INTERNAL_ERROR, 500)
        if "html" in beh:
            return web.Response(body=HTML_PAGE, status=502, content_type="text/html")
        real = self.front.submit_subset if path == SUBSET_PATH else self.front.submit
        resp = await real(request)
        self._remember(request, resp)
        if resp.status != 200:
            return resp
        if "noid" in beh:
            return _json(QUEUED_NO_ID, 202)
        answer = resp.body
        if "newline" in beh:
            answer += b"\n"
        if "split" in beh:
            half = len(answer) // 2
            return await _send_in_pieces(request, [answer[:half], answer[half:]],
                                         SPLIT_PAUSE_S, "application/json")
        return _json(answer)

    async def _finished(self, rid, key_id, kind):
        """The request's status once its solve has ended, waiting as a held
        poll would; None when it is unknown or still not done."""
        deadline = time.monotonic() + self.front.poll_wait_s
        while True:
            st = await self.engine.status(rid, key_id, kind)
            if st.state in (None, DONE, FAILED) or time.monotonic() > deadline:
                return st
            await self.engine.wait(rid, max(0.0, deadline - time.monotonic()))

    async def poll(self, request, beh, keyless=False, kind=BITSET):
        rid = request.query.get("requestId", "")
        if keyless:
            key_id = self.owner.get(rid)
        else:
            key_id = self.keys.check(request.headers.get("x-api-key"))
            if key_id is None:
                return await self.front.poll(request, kind)
        if "redirect-loop" in beh:
            return web.Response(status=302, headers={"Location": request.path_qs})
        st = await self.engine.status(rid, key_id, kind) if key_id else None
        if st is None or st.state is None:
            return await self.front.poll(request, kind)

        # Deferrals come in a fixed order, counted per request id.
        n = self.polls.get(rid, 0)
        self.polls[rid] = n + 1
        if n < beh.notready:
            return _json(NOT_READY, 202)
        n -= beh.notready
        if n < beh.xml:
            return web.Response(body=XML_NOT_READY, status=202,
                                content_type="application/xml")
        n -= beh.xml

        st = await self._finished(rid, key_id, kind)
        if st.state != DONE:
            return await self.front.poll(request, kind)
        with open(st.result_path, "rb") as f:
            gz = f.read()

        if n < beh.partial:
            return await _send_in_pieces(
                request, [gz[: max(1, len(gz) // 2)], NOT_READY],
                PARTIAL_PAUSE_S, "application/octet-stream")
        n -= beh.partial
        if n < beh.droppoll:
            return self._redirect(f"https://127.0.0.1:{self.drop_port}", rid, kind)
        n -= beh.droppoll
        if n < beh.drip:
            return await _send_without_end(request, b"\0", 0.5)
        n -= beh.drip
        if n < beh.flood:
            return await _send_without_end(request, bytes(512), 0.125)
        if "joberror" in beh:
            return _json(JOB_ERROR, 500)
        if "huge" in beh:
            return await _send_huge(request)
        if "redirect-http" in beh:
            return self._redirect(f"http://127.0.0.1:{self.http_port}", rid, kind)
        if "redirect-https" in beh:
            return self._redirect(f"https://{request.host}", rid, kind)
        if "redirect-other" in beh:
            return self._redirect(f"https://127.0.0.1:{self.other_port}", rid, kind)

        variants = SUBSET_VARIANTS if kind == SUBSET else RESULT_VARIANTS
        variant = next((k for k in variants if k in beh), None)
        if variant is None and "pollsplit" not in beh:
            if keyless:
                return web.Response(body=gz, content_type="application/octet-stream")
            return await self.front.poll(request, kind)
        if variant is None:
            body = gz
        elif kind == SUBSET:
            body = _subset_variant(variant, gz)
        else:
            body = _variant(variant, gzip.decompress(gz), gz)
        if "pollsplit" in beh and len(body) >= POLLSPLIT_PIECES:
            step = -(-len(body) // POLLSPLIT_PIECES)
            pieces = [body[i:i + step] for i in range(0, len(body), step)]
            return await _send_in_pieces(request, pieces, POLLSPLIT_PAUSE_S,
                                         "application/octet-stream")
        # A bytes body is sent as is: aiohttp adds no Content-Encoding unless
        # compression is enabled on the response, which it never is here.
        return web.Response(body=body, content_type="application/octet-stream")

    @staticmethod
    def _redirect(origin, rid, kind):
        path = SUBSET_RESULT_PATH if kind == SUBSET else RESULT_PATH
        return web.Response(status=302, headers={
            "Location": f"{origin}{path}?requestId={rid}"})

    # -- the second origin ------------------------------------------------

    async def handle_other(self, request):
        """A second origin (another port) that hands out results without a
        key, as a store behind signed links would."""
        body = await request.read()
        self.log.write("other", request.method, request.raw_path,
                       request.headers.get("x-api-key"),
                       request.headers.get("Content-Type"), body, _peer(request))
        beh_text = ""
        path = request.path
        if path.startswith("/b/"):
            beh_text, sep, rest = path[3:].partition("/")
            path = "/" + rest if sep else "/"
        try:
            beh = parse_behaviours(beh_text)
        except ValueError as e:
            return _json(b'{"message":"Unknown behaviour %s"}' % str(e).encode(), 400)
        if path in _KINDS and request.method == "GET":
            return await self.poll(request, beh, keyless=True, kind=_KINDS[path])
        return _json(NOT_FOUND, 404)

    # -- plain-HTTP trap listener -----------------------------------------

    async def handle_trap(self, request):
        body = await request.read()
        self.log.write("http", request.method, request.raw_path,
                       request.headers.get("x-api-key"),
                       request.headers.get("Content-Type"), body, _peer(request))
        if request.path.endswith(SUBMIT_PATH):
            return _json(b'{"requestId":"trap-%s"}' % uuid.uuid4().hex.encode())
        return web.Response(body=TRAP_RESULT, content_type="application/octet-stream")

    # -- listener that drops connections ----------------------------------

    async def handle_drop(self, reader, writer):
        peer = writer.get_extra_info("peername")
        self.log.write("drop", peer=f"{peer[0]}:{peer[1]}" if peer else None)
        writer.close()
        try:
            await writer.wait_closed()
        except OSError:
            pass


def load_or_create_ca(cert_dir):
    """Reuses the CA kept in cert_dir so an exported CA path stays valid
    across restarts; creates it on first use."""
    os.makedirs(cert_dir, exist_ok=True)
    ca_path = os.path.join(cert_dir, "ca.pem")
    key_path = os.path.join(cert_dir, "ca-key.pem")
    try:
        with open(ca_path, "rb") as f:
            cert = f.read()
        with open(key_path, "rb") as f:
            key = f.read()
        return trustme.CA.from_pem(cert, key), ca_path
    except (OSError, ValueError):
        pass
    ca = trustme.CA(organization_name="pemux local test CA")
    write_atomic(key_path, ca.private_key_pem.bytes(), mode=0o600)
    write_atomic(ca_path, ca.cert_pem.bytes())
    return ca, ca_path


def _url_host(host):
    return f"[{host}]" if ":" in host else host


def _loopback(text):
    try:
        addr = ipaddress.ip_address(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an IP address: {text}") from None
    if not addr.is_loopback:
        raise argparse.ArgumentTypeError("the service only listens on loopback")
    return text


def parse_args(argv):
    p = argparse.ArgumentParser(
        description="Local HTTPS stand-in for the pemux solving service.",
        epilog=BEHAVIOUR_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--host", type=_loopback, default="127.0.0.1",
                   help="loopback address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=8443,
                   help="HTTPS port; 0 picks a free one (default 8443)")
    p.add_argument("--http-port", type=int, default=0,
                   help="port of the plain-HTTP trap listener (default: free port)")
    p.add_argument("--drop-port", type=int, default=0,
                   help="port of the connection-dropping listener (default: free port)")
    p.add_argument("--other-port", type=int, default=0,
                   help="port of the second HTTPS origin (default: free port)")
    p.add_argument("--cert-dir",
                   default=os.path.join(os.environ.get("XDG_CACHE_HOME")
                                        or os.path.expanduser("~/.cache"),
                                        "pemux-service"),
                   help="where the CA is kept (default ~/.cache/pemux-service)")
    p.add_argument("--api-key", action="append",
                   help="an accepted x-api-key; repeat to accept several "
                        "(default local-dev-key)")
    p.add_argument("--ready-file",
                   help="JSON file written once every listener is up")
    p.add_argument("--log", help="append one JSON line per request here")
    p.add_argument("--max-total", type=int, default=1 << 30,
                   help="largest sum of values accepted (default 2^30)")
    p.add_argument("--max-jobs", type=int, default=1000,
                   help="unfinished problems one key may have (default 1000)")
    p.add_argument("--poll-wait", type=settings.parse_duration, default=10.0,
                   help="how long a poll is held open for its result (default 10s)")
    args = p.parse_args(argv)
    args.api_key = args.api_key or ["local-dev-key"]
    return args


async def run(args, data):
    ca, ca_path = load_or_create_ca(args.cert_dir)
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ca.issue_cert("localhost", "127.0.0.1", "::1").configure_cert(ctx)

    # The real service: its key store holds the accepted keys; every
    # problem up to --max-total is solved before its submit is answered,
    # so that a fault applies to a finished result.
    keys = KeyStore(os.path.join(data, "keys.json"))
    for key in args.api_key:
        keys.add(key, "stand-in")
    limits = Limits(max_total=args.max_total, max_pending_per_key=args.max_jobs,
                    inline_max_total=args.max_total, keep_s=24 * 3600.0)
    jobs = SqliteJobStore(os.path.join(data, "jobs.sqlite"))
    dispatcher = PoolDispatcher(1, settings.default_worker_memory(2), settings.solve_timeout)
    engine = Engine(jobs, FileBlobStore(data), limits, dispatcher)
    await engine.start()
    front = Front(engine, keys, Metrics(), 256 << 20, args.poll_wait)

    log = RequestLog(args.log)
    layer = FaultLayer(front, log)

    main_sock, port = bind_listener(args.host, args.port, backlog=128)
    http_sock, http_port = bind_listener(args.host, args.http_port, backlog=128)
    drop_sock, drop_port = bind_listener(args.host, args.drop_port, backlog=128)
    other_sock, other_port = bind_listener(args.host, args.other_port, backlog=128)
    layer.http_port = http_port
    layer.other_port = other_port
    layer.drop_port = drop_port

    app = front.make_app()
    app.middlewares.append(layer.middleware)
    trap = web.Application(client_max_size=256 << 20)
    trap.router.add_route("*", "/{tail:.*}", layer.handle_trap)
    other = web.Application(client_max_size=256 << 20)
    other.router.add_route("*", "/{tail:.*}", layer.handle_other)

    runners = []
    for application, sock, tls in ((app, main_sock, ctx), (trap, http_sock, None),
                                   (other, other_sock, ctx)):
        runner = web.AppRunner(application, access_log=None, handle_signals=False)
        await runner.setup()
        await web.SockSite(runner, sock, ssl_context=tls, shutdown_timeout=1.0).start()
        runners.append(runner)
    drop_server = await asyncio.start_server(layer.handle_drop, sock=drop_sock)

    host = _url_host(args.host)
    base_url = f"https://{host}:{port}"
    print(f"pemu service: {base_url} (trap http port {http_port}, "
          f"drop port {drop_port})")
    print(f"export PEMU_BASE_URL={shlex.quote(base_url)}")
    print(f"export PEMU_CA_BUNDLE={shlex.quote(ca_path)}")
    print(f"export PEMU_API_KEY={shlex.quote(args.api_key[0])}", flush=True)

    if args.ready_file:
        write_atomic(args.ready_file, json.dumps({
            "pid": os.getpid(),
            "host": args.host,
            "port": port,
            "http_port": http_port,
            "drop_port": drop_port,
            "other_port": other_port,
            "base_url": base_url,
            "ca": ca_path,
            "api_key": args.api_key[0],
            "api_keys": args.api_key,
        }).encode())

    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()

    drop_server.close()
    await engine.begin_stop()
    for runner in runners:
        await runner.cleanup()
    await engine.stop(1.0)
    jobs.close()
    log.close()


def main(argv=None):
    args = parse_args(argv)
    try:
        with tempfile.TemporaryDirectory(prefix="pemu-stand-in-") as data:
            asyncio.run(run(args, data))
    except OSError as e:
        print(f"pemu service: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
