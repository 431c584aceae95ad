#!/usr/bin/env python3
"""Local stand-in for the remote subset-sum solving service.

Speaks the same HTTPS exchange as the real service so that the pemux
module can be tried out and tested without it:

    POST /v0/app/sspu              body: JSON array of values
        -> {"requestId":"<id>"}
    GET  /v0/result?requestId=<id>
        -> {"message":"Result not ready"}  or  gzip(result bitset)

A path prefix /b/<token>+<token>... makes the service misbehave on purpose
(see BEHAVIOUR_HELP), so a client test picks a fault just by choosing its
base URL.  Next to the HTTPS listener it runs a plain-HTTP "trap" listener
(a correct client never reaches it) and a listener that drops every
connection before the TLS handshake.

Run `python3 tests/service/pemu_service.py --help` for the options.
"""

import argparse
import asyncio
import collections
import concurrent.futures
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
import time
import uuid
import zlib

from aiohttp import web
import trustme

try:
    from pemux_service import protocol
except ImportError:  # run from a checkout without the service installed
    sys.path.append(str(pathlib.Path(__file__).resolve().parents[2] / "service"))
    from pemux_service import protocol

# The exchange itself is the real service's; this stand-in adds the faults.
from pemux_service.cli import bind_listener
from pemux_service.protocol import RESULT_PATH, SUBMIT_PATH, parse_problem
from pemux_service.store import write_atomic

API_PREFIX = "/v0"

FORBIDDEN = protocol.message(protocol.FORBIDDEN)
BAD_REQUEST = b'{"message":"Bad request"}'
NOT_READY = protocol.message(protocol.NOT_READY)
UNKNOWN_ID = b'{"message":"Unknown requestId"}'
INTERNAL_ERROR = b'{"message":"Internal error"}'
TOO_LARGE = b'{"message":"Problem too large"}'
NOT_FOUND = protocol.message(protocol.NOT_FOUND)
BAD_METHOD = protocol.message(protocol.BAD_METHOD)
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


def solve(values):
    """Result bitset bytes: bit s set iff some subset sums to s."""
    return protocol.solve_reference(values)


def corrupt_gzip(gz):
    """The stream with damaged deflate data that no inflater accepts."""
    data = bytearray(gz)
    header, trailer = 10, 8
    start, end = header, len(data) - trailer
    mid = (start + end) // 2
    for i in range(mid, min(mid + 4, end)):
        data[i] ^= 0xFF
    if _inflates(bytes(data)):
        # The flip happened to land somewhere harmless: make the first
        # block's type the reserved value 3, which inflate always rejects.
        data[start] |= 0x06
    return bytes(data)


def _inflates(data):
    d = zlib.decompressobj(wbits=31)
    try:
        d.decompress(data)
        d.flush()
    except zlib.error:
        return False
    return d.eof


class Job:
    """One submitted problem: solved once, its answers cached."""

    def __init__(self, future):
        self.future = future  # -> (bitset, gzip of bitset)
        self.polls = 0
        self.variants = {}


def _solve_and_pack(values):
    bitset = solve(values)
    return bitset, protocol.pack_result(bitset)


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


class Service:
    def __init__(self, api_keys, log, max_total, max_jobs):
        self.api_keys = frozenset(api_keys)
        self.log = log
        self.max_total = max_total
        self.max_jobs = max_jobs
        self.jobs = collections.OrderedDict()
        # Big-int work holds the GIL in short steps only, so a small pool
        # keeps the event loop answering other connections meanwhile.
        self.pool = concurrent.futures.ThreadPoolExecutor(max_workers=2)
        self.http_port = None
        self.other_port = None
        self.drop_port = None

    # -- HTTPS listener ---------------------------------------------------

    async def handle(self, request, listener="https"):
        body = await request.read()
        self.log.write(listener, request.method, request.raw_path,
                       request.headers.get("x-api-key"),
                       request.headers.get("Content-Type"), body, _peer(request))
        path = request.path
        beh_text = ""
        if path.startswith("/b/"):
            beh_text, sep, rest = path[3:].partition("/")
            path = "/" + rest if sep else "/"
        try:
            beh = parse_behaviours(beh_text)
        except ValueError as e:
            return _json(b'{"message":"Unknown behaviour %s"}' % str(e).encode(), 400)

        if path == SUBMIT_PATH:
            if request.method != "POST":
                return _json(BAD_METHOD, 405)
            if beh.stall_submit:
                await asyncio.sleep(beh.stall_submit)
            return await self.submit(request, beh, body)
        if path == RESULT_PATH:
            if request.method != "GET":
                return _json(BAD_METHOD, 405)
            if beh.stall_poll:
                await asyncio.sleep(beh.stall_poll)
            return await self.poll(request, beh, keyless=listener == "other")
        return _json(NOT_FOUND, 404)

    async def handle_other(self, request):
        """A second origin (another port) that hands out results without a
        key, as a store behind signed links would."""
        return await self.handle(request, listener="other")

    def _key_ok(self, request):
        return request.headers.get("x-api-key") in self.api_keys

    async def submit(self, request, beh, body):
        if "forbidden" in beh or not self._key_ok(request):
            return _json(FORBIDDEN, 403)
        if "error" in beh:
            return _json(INTERNAL_ERROR, 500)
        if "html" in beh:
            return web.Response(body=HTML_PAGE, status=502, content_type="text/html")
        values = parse_problem(body)
        if values is None:
            return _json(BAD_REQUEST, 400)
        if sum(values) > self.max_total:
            return _json(TOO_LARGE, 413)
        if "noid" in beh:
            return _json(QUEUED_NO_ID, 202)

        rid = uuid.uuid4().hex
        self._add_job(rid, values)
        answer = protocol.request_id_answer(rid)
        if "newline" in beh:
            answer += b"\n"
        if "split" in beh:
            half = len(answer) // 2
            return await _send_in_pieces(request, [answer[:half], answer[half:]],
                                         SPLIT_PAUSE_S, "application/json")
        return _json(answer)

    def _add_job(self, rid, values):
        loop = asyncio.get_running_loop()
        future = loop.run_in_executor(self.pool, _solve_and_pack, values)
        # A job nobody polls must not log "exception never retrieved".
        future.add_done_callback(lambda f: f.cancelled() or f.exception())
        self.jobs[rid] = Job(future)
        while len(self.jobs) > self.max_jobs:
            self.jobs.popitem(last=False)

    async def poll(self, request, beh, keyless=False):
        if not keyless and not self._key_ok(request):
            return _json(FORBIDDEN, 403)
        rid = request.query.get("requestId", "")
        if "redirect-loop" in beh:
            return web.Response(status=302, headers={"Location": request.path_qs})
        job = self.jobs.get(rid)
        if job is None:
            return _json(UNKNOWN_ID, 404)

        # Deferrals come in a fixed order, counted per request id.
        n = job.polls
        job.polls += 1
        if n < beh.notready:
            return _json(NOT_READY, 202)
        n -= beh.notready
        if n < beh.xml:
            return web.Response(body=XML_NOT_READY, status=202,
                                content_type="application/xml")
        n -= beh.xml

        try:
            bitset, gz = await job.future
        except Exception:
            return _json(INTERNAL_ERROR, 500)

        if n < beh.partial:
            return await _send_in_pieces(
                request, [gz[: max(1, len(gz) // 2)], NOT_READY],
                PARTIAL_PAUSE_S, "application/octet-stream")
        n -= beh.partial
        if n < beh.droppoll:
            return self._redirect(f"https://127.0.0.1:{self.drop_port}", rid)
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
            return self._redirect(f"http://127.0.0.1:{self.http_port}", rid)
        if "redirect-https" in beh:
            return self._redirect(f"https://{request.host}", rid)
        if "redirect-other" in beh:
            return self._redirect(f"https://127.0.0.1:{self.other_port}", rid)

        kind = next((k for k in RESULT_VARIANTS if k in beh), "gzip")
        body = job.variants.get(kind)
        if body is None:
            body = await asyncio.get_running_loop().run_in_executor(
                self.pool, _variant, kind, bitset, gz)
            job.variants[kind] = body
        if "pollsplit" in beh and len(body) >= POLLSPLIT_PIECES:
            step = -(-len(body) // POLLSPLIT_PIECES)
            pieces = [body[i:i + step] for i in range(0, len(body), step)]
            return await _send_in_pieces(request, pieces, POLLSPLIT_PAUSE_S,
                                         "application/octet-stream")
        # A bytes body is sent as is: aiohttp adds no Content-Encoding unless
        # compression is enabled on the response, which it never is here.
        return web.Response(body=body, content_type="application/octet-stream")

    @staticmethod
    def _redirect(origin, rid):
        return web.Response(status=302, headers={
            "Location": f"{origin}{RESULT_PATH}?requestId={rid}"})

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
                   help="request ids remembered before the oldest are dropped")
    args = p.parse_args(argv)
    args.api_key = args.api_key or ["local-dev-key"]
    return args


async def run(args):
    ca, ca_path = load_or_create_ca(args.cert_dir)
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ca.issue_cert("localhost", "127.0.0.1", "::1").configure_cert(ctx)

    log = RequestLog(args.log)
    svc = Service(args.api_key, log, args.max_total, args.max_jobs)

    main_sock, port = bind_listener(args.host, args.port, backlog=128)
    http_sock, http_port = bind_listener(args.host, args.http_port, backlog=128)
    drop_sock, drop_port = bind_listener(args.host, args.drop_port, backlog=128)
    other_sock, other_port = bind_listener(args.host, args.other_port, backlog=128)
    svc.http_port = http_port
    svc.other_port = other_port
    svc.drop_port = drop_port

    app = web.Application(client_max_size=256 << 20)
    app.router.add_route("*", "/{tail:.*}", svc.handle)
    trap = web.Application(client_max_size=256 << 20)
    trap.router.add_route("*", "/{tail:.*}", svc.handle_trap)
    other = web.Application(client_max_size=256 << 20)
    other.router.add_route("*", "/{tail:.*}", svc.handle_other)

    runners = []
    for application, sock, tls in ((app, main_sock, ctx), (trap, http_sock, None),
                                   (other, other_sock, ctx)):
        runner = web.AppRunner(application, access_log=None, handle_signals=False)
        await runner.setup()
        await web.SockSite(runner, sock, ssl_context=tls, shutdown_timeout=1.0).start()
        runners.append(runner)
    drop_server = await asyncio.start_server(svc.handle_drop, sock=drop_sock)

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
    for runner in runners:
        await runner.cleanup()
    svc.pool.shutdown(wait=False, cancel_futures=True)
    log.close()


def main(argv=None):
    args = parse_args(argv)
    try:
        asyncio.run(run(args))
    except OSError as e:
        print(f"pemu service: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
