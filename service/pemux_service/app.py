"""The HTTPS front end."""

import asyncio
import json
import logging
import os
import time

from aiohttp import web

from . import bodies, protocol, subset_route
from .engine import Refused
from .store import DONE, FAILED
from .turns import FairGate, KeyTurns

access_log = logging.getLogger("pemux_service.access")
log = logging.getLogger("pemux_service")

SMALL_BODY = 1 << 20
CHUNK = 1 << 20

_ROUTES = {protocol.SUBMIT_PATH: "submit", protocol.RESULT_PATH: "result",
           protocol.SUBSET_PATH: "subset_submit", protocol.SUBSET_RESULT_PATH: "subset_result",
           "/healthz": "healthz", "/metrics": "metrics"}


def _json(body, status=200):
    return web.Response(body=body, status=status, content_type="application/json")


def _open_result(path):
    """(open file, None) of a large result, or (None, its bytes) of a small one."""
    f = open(path, "rb")
    if os.fstat(f.fileno()).st_size > SMALL_BODY:
        return f, None
    with f:
        return None, f.read()


class Front:
    def __init__(self, engine, keys, metrics, max_body, poll_wait_s):
        self.engine = engine
        self.keys = keys
        self.metrics = metrics
        self.max_body = max_body
        self.poll_wait_s = poll_wait_s
        # The front door's bounds (door.add_front_options); the service sets them.
        self.body_min_rate = 0
        self.body_grace_s = 10.0
        self.open_status = False
        self._turns = KeyTurns()
        self._parsers = FairGate()
        for slot in range(bodies.PARSERS):
            self._parsers.put(slot)

    def make_app(self):
        # The body limit is checked in submit() so that the refusal is an
        # answer the client can read, not the framework's own page.
        app = web.Application(client_max_size=self.max_body + 1,
                              middlewares=[self._observe])
        app.router.add_route("POST", protocol.SUBMIT_PATH, self.submit,
                             expect_handler=self._expect)
        app.router.add_get(protocol.RESULT_PATH, self.poll, allow_head=False)
        app.router.add_route("POST", protocol.SUBSET_PATH, self.submit_subset,
                             expect_handler=self._expect)
        app.router.add_get(protocol.SUBSET_RESULT_PATH, self.poll_subset, allow_head=False)
        app.router.add_get("/healthz", self.healthz, allow_head=False)
        app.router.add_get("/metrics", self.metrics_page, allow_head=False)
        app.router.add_route("*", "/{tail:.*}", self.other)
        return app

    # -- every request -----------------------------------------------------

    @web.middleware
    async def _observe(self, request, handler):
        t0 = time.perf_counter()
        request["key_id"] = None
        request["bytes_out"] = 0
        try:
            resp = await handler(request)
        except ConnectionError:
            # The client left (a held poll given up, a download cut short):
            # its own affair, not a failure of the service.
            request["outcome"] = "client_gone"
            resp = _json(protocol.message("Client closed the connection"), 499)
        except web.HTTPException as e:
            # The framework's own refusals (wrong method): answered in kind.
            resp = _json(protocol.message(
                protocol.BAD_METHOD if e.status == 405 else e.reason), e.status)
        except Exception:
            log.exception("%s %s failed", request.method, request.path)
            request["outcome"] = "internal_error"
            resp = _json(protocol.message("Internal error"), 500)
        route = _ROUTES.get(request.path, "other")
        if isinstance(resp, web.Response) and resp.body is not None:
            request["bytes_out"] = len(resp.body)
        self.metrics.requests.labels(route, str(resp.status)).inc()
        self.metrics.bytes_out.labels(route).inc(request["bytes_out"])
        self.metrics.observe_request(route, time.perf_counter() - t0)
        entry = {
            "ts": round(time.time(), 3),
            "method": request.method,
            "path": request.path,
            "status": resp.status,
            "ms": round((time.perf_counter() - t0) * 1e3, 2),
            "bytes_out": request["bytes_out"],
            "key_id": request["key_id"],
            "peer": request.remote,
        }
        for name in ("request_id", "outcome", "values"):
            if name in request:
                entry[name] = request[name]
        access_log.info(json.dumps(entry, separators=(",", ":")))
        return resp

    def _key(self, request):
        kid = self.keys.check(request.headers.get("x-api-key"))
        request["key_id"] = kid
        return kid

    # -- submit ------------------------------------------------------------

    def _too_large(self):
        return _json(protocol.message(
            f"Request body too large: this service takes at most {self.max_body} bytes"), 413)

    async def _expect(self, request):
        """Asks for the body only when it would be taken; otherwise the
        refusal from submit() goes out before the client sends it."""
        if request.content_length is not None and request.content_length > self.max_body:
            return None
        if self.keys.check(request.headers.get("x-api-key")) is None:
            return None
        expect = request.headers.get("Expect", "").lower()
        if request.version >= (1, 1) and expect == "100-continue":
            await request.writer.write(b"HTTP/1.1 100 Continue\r\n\r\n")
            request.writer.output_size = 0
        return None

    async def _read_submit(self, request):
        """The body of a submit, or the refusal to answer with."""
        if self._key(request) is None:
            request["outcome"] = "forbidden"
            return None, _json(protocol.message(protocol.FORBIDDEN), 403)
        if request.content_length is not None and request.content_length > self.max_body:
            request["outcome"] = "too_large"
            return None, self._too_large()
        try:
            return await bodies.read_body(request, self.max_body, self.body_min_rate,
                                          self.body_grace_s), None
        except bodies.BodyRefused as e:
            request["outcome"] = e.outcome
            return None, _json(protocol.message(e.text), e.status)

    async def _take(self, request, parse, bad_text, submit):
        """A submit of either kind: parse(body) gives the problem or None,
        submit(problem, key id) accepts it.

        Parsing a small body, admission and an inline solve happen in the
        key's turn (turns.KeyTurns), so that one key's flood holds back its
        own submits rather than another key's. Reading the body and parsing
        a large one (in a process, where the loop is not held) take no
        turn: a slow or large upload holds up no one."""
        body, refusal = await self._read_submit(request)
        if refusal is not None:
            return refusal
        kid = request["key_id"]
        large = len(body) > bodies.SMALL_BODY
        if large:
            # The parsing processes are shared by turns too.
            slot = await self._parsers.get(kid)
            try:
                problem = await parse(body)
            finally:
                self._parsers.put(slot)
        turn = await self._turns.get(kid)
        try:
            if not large:
                problem = await parse(body)
            del body
            if problem is None:
                request["outcome"] = "bad_problem"
                return _json(protocol.message(bad_text), 400)
            request["values"] = len(problem)
            rid = await submit(problem, kid)
        except Refused as e:
            request["outcome"] = "refused"
            return _json(protocol.message(str(e)), e.status)
        finally:
            self._turns.put(turn)
        request["request_id"] = rid
        request["outcome"] = "accepted"
        return _json(protocol.request_id_answer(rid))

    async def submit(self, request):
        def submit(values, kid):
            # A large body's sum and digest were worked out off the loop.
            return self.engine.submit(values, kid, getattr(values, "total", None),
                                      getattr(values, "digest", None))
        return await self._take(request, bodies.parse, protocol.BAD_PROBLEM, submit)

    async def submit_subset(self, request):
        return await self._take(request, bodies.parse_subset, subset_route.BAD_SUBSET,
                                self.engine.submit_subset)

    # -- poll --------------------------------------------------------------

    async def poll_subset(self, request):
        return await self.poll(request, protocol.SUBSET)

    async def poll(self, request, kind=protocol.BITSET):
        rid = request.query.get("requestId", "")
        request["request_id"] = rid
        if self._key(request) is None:
            # A key refused here stays refused: end the client's polling.
            request["outcome"] = "forbidden"
            return _json(protocol.error(protocol.FORBIDDEN), 403)
        deadline = time.monotonic() + self.poll_wait_s
        while True:
            st = await self.engine.status(rid, request["key_id"], kind)
            if st.state is None:
                request["outcome"] = "unknown"
                return _json(protocol.error(protocol.UNKNOWN_ID), 404)
            if st.state == FAILED:
                request["outcome"] = "failed"
                return _json(protocol.error(st.error or "Solve failed"), 500)
            if st.state == DONE:
                resp = await self._send_result(request, st.result_path, kind)
                if resp is not None:
                    return resp
                request["outcome"] = "unknown"
                return _json(protocol.error(protocol.UNKNOWN_ID), 404)
            left = deadline - time.monotonic()
            if left <= 0 or self.engine.stopping:
                request["outcome"] = "not_ready"
                return _json(protocol.message(protocol.NOT_READY), 202)
            # Hold the poll while the solve runs, so that the result goes
            # out when it is ready rather than at the client's next attempt.
            await self.engine.wait(rid, left)
            # A key revoked meanwhile gets nothing more.
            if self.keys.check(request.headers.get("x-api-key")) != request["key_id"]:
                request["outcome"] = "forbidden"
                return _json(protocol.error(protocol.FORBIDDEN), 403)

    async def _send_result(self, request, path, kind):
        # Files are opened and read away from the loop: a shared file
        # system may be slow to answer.
        try:
            f, small = await self.engine.off_loop(_open_result, path)
        except FileNotFoundError:
            return None  # expired just now
        request["outcome"] = "ready"
        ctype = "application/json" if kind == protocol.SUBSET else "application/octet-stream"
        if small is not None:
            return web.Response(body=small, content_type=ctype)
        with f:
            size = os.fstat(f.fileno()).st_size
            resp = web.StreamResponse()
            resp.content_type = ctype
            resp.content_length = size
            await resp.prepare(request)
            loop = asyncio.get_running_loop()
            try:
                while True:
                    chunk = await loop.run_in_executor(None, f.read, CHUNK)
                    if not chunk:
                        break
                    await resp.write(chunk)
                    request["bytes_out"] += len(chunk)
                await resp.write_eof()
            except ConnectionResetError:
                # The client went away mid-download: its own affair, not a
                # failure of the service.
                request["outcome"] = "client_gone"
            return resp

    # -- operations --------------------------------------------------------

    def _may_see_detail(self, request):
        """Solver processes, hosts and memory are for operators: a key, or
        a service started with --open-status."""
        if self.open_status:
            return True
        key = request.headers.get("x-api-key")
        auth = request.headers.get("Authorization", "")
        if key is None and auth[:7].lower() == "bearer ":
            key = auth[7:].strip()
        return self._key_of(request, key) is not None

    def _key_of(self, request, key):
        kid = self.keys.check(key)
        request["key_id"] = kid
        return kid

    async def healthz(self, request):
        detail = self._may_see_detail(request)
        if detail:
            await self.engine.refresh_now()  # counts as they are now
        h = self.engine.health()
        status = 200 if h["status"] == "ok" else 503
        if not detail:
            h = {"status": h["status"]}  # liveness for anyone
        return web.Response(text=json.dumps(h), content_type="application/json",
                            status=status)

    async def metrics_page(self, request):
        if not self._may_see_detail(request):
            request["outcome"] = "forbidden"
            return _json(protocol.message(protocol.FORBIDDEN), 403)
        await self.engine.refresh_now()  # gauges as they are now
        body, ctype = self.metrics.render()
        resp = web.Response(body=body)
        resp.headers["Content-Type"] = ctype
        return resp

    async def other(self, request):
        return _json(protocol.message(protocol.NOT_FOUND), 404)
