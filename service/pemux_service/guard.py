"""The front door: how many connections are open at once, how long each
may take to say what it wants, and what a malformed request is told.

The service accepts connections itself rather than through asyncio's
server, so that it can count every socket from accept to close (also one
still in its TLS handshake), refuse the excess at once while descriptors
are left for files and solvers, and never flood the log when accept fails.
"""

import asyncio
import logging
import resource
import socket
import struct
import time

from aiohttp import web, web_protocol

from . import protocol

log = logging.getLogger("pemux_service")

BAD_REQUEST = "Bad request"
NOTE_INTERVAL_S = 60.0
ACCEPT_RETRY_S = 0.05


def raise_descriptor_limit():
    """Soft RLIMIT_NOFILE up to the hard one; returns the soft limit now."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = hard if hard != resource.RLIM_INFINITY else max(soft, 1 << 20)
    if soft != resource.RLIM_INFINITY and soft < want:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))
            soft = want
        except (ValueError, OSError):
            pass
    return soft


def default_max_connections(nofile):
    """Leaves descriptors for the store, the solvers' pipes and files."""
    return max(16, nofile - max(64, nofile // 8))


class Notes:
    """Logs a condition once per interval, with how often it happened."""

    def __init__(self, interval_s=NOTE_INTERVAL_S):
        self.interval_s = interval_s
        self._last = {}
        self._count = {}

    def note(self, what, text, *args):
        now = time.monotonic()
        self._count[what] = self._count.get(what, 0) + 1
        last = self._last.get(what)
        if last is None or now - last >= self.interval_s:
            n = self._count.pop(what)
            self._last[what] = now
            log.warning(text + (f" ({n} times since the last note)" if last else ""), *args)


class _Handler(web_protocol.RequestHandler):
    """aiohttp's connection handler, with a bound on the first request
    head and answers to malformed requests that repeat nothing of them
    (a bad header line would otherwise come back, key and all)."""

    def __init__(self, door, manager, **kw):
        super().__init__(manager, **kw)
        self._door = door
        self._born = door.loop.time()
        self._head_timer = None
        self._tail = b""
        self.closed = door.loop.create_future()

    def connection_made(self, transport):
        super().connection_made(transport)
        self._head_timer = self._door.loop.call_at(
            self._born + self._door.head_timeout_s, self._head_late)

    def data_received(self, data):
        if self._head_timer is not None:
            seen = self._tail + data[:65536]
            if b"\r\n\r\n" in seen or b"\n\n" in seen:
                self._head_timer.cancel()
                self._head_timer = None
            else:
                self._tail = seen[-3:]
        super().data_received(data)

    def _head_late(self):
        self._head_timer = None
        self._door.notes.note("head", "closed connections that sent no complete request "
                              "within %gs", self._door.head_timeout_s)
        self.force_close()

    def connection_lost(self, exc):
        if self._head_timer is not None:
            self._head_timer.cancel()
            self._head_timer = None
        super().connection_lost(exc)
        if not self.closed.done():
            self.closed.set_result(None)

    def log_exception(self, *args, **kw):
        exc = kw.get("exc_info")
        name = type(exc).__name__ if isinstance(exc, BaseException) else "error"
        self._door.notes.note("errors", "request handling failed: %s", name)

    def handle_error(self, request, status=500, exc=None, message=None):
        if request.writer.output_size > 0:
            raise ConnectionError("answer already under way")
        self._door.notes.note("malformed", "refused malformed requests (%s from %s)",
                              type(exc).__name__ if exc else status, request.remote)
        text = BAD_REQUEST if 400 <= status < 500 else "Internal error"
        resp = web.Response(status=status, body=protocol.message(text),
                            content_type="application/json")
        resp.force_close()
        return resp


class GuardedSite(web.BaseSite):
    """A listening socket served with the limits above."""

    def __init__(self, runner, sock, ssl_context, max_connections, head_timeout_s):
        super().__init__(runner, ssl_context=ssl_context)
        self._sock = sock
        host, port = sock.getsockname()[:2]
        self._name = f"https://{host}:{port}"
        self.max_connections = max_connections
        self.head_timeout_s = head_timeout_s
        self.notes = Notes()
        self.open = 0
        self.loop = None
        self._tasks = set()

    @property
    def name(self):
        return self._name

    async def start(self):
        await super().start()
        self.loop = asyncio.get_running_loop()
        self._server = self
        self._tasks.add(self.loop.create_task(self._accept_loop()))

    def close(self):
        """Stops accepting; open connections are the runner's to end."""
        for t in list(self._tasks):
            t.cancel()
        self._sock.close()

    def _make_handler(self):
        server = self._runner.server
        return _Handler(self, server, loop=self.loop, **server._kwargs)

    async def _accept_loop(self):
        while True:
            try:
                conn, _ = await self.loop.sock_accept(self._sock)
            except OSError as e:
                # Out of descriptors or memory: the backlog waits a moment.
                self.notes.note("accept", "cannot accept connections: %s", e.strerror or e)
                await asyncio.sleep(ACCEPT_RETRY_S)
                continue
            if self.open >= self.max_connections:
                self.notes.note("cap", "refusing connections: %d open, the most allowed "
                                "(--max-connections)", self.open)
                # A reset, so that the client learns at once.
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                conn.close()
                continue
            self.open += 1
            task = self.loop.create_task(self._serve(conn))
            self._tasks.add(task)
            task.add_done_callback(self._tasks.discard)

    async def _serve(self, conn):
        try:
            conn.setblocking(False)
            try:
                _, handler = await self.loop.connect_accepted_socket(
                    self._make_handler, conn, ssl=self._ssl_context,
                    ssl_handshake_timeout=self.head_timeout_s if self._ssl_context else None)
            except asyncio.CancelledError:
                conn.close()
                raise
            except Exception:  # a failed or late handshake ends only this one
                conn.close()
                return
            await handler.closed
        finally:
            self.open -= 1
