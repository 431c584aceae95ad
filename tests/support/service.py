"""Handles on pemux-service as tests run it: one service on one machine
(Service), or a broker, front ends and workers (Cluster)."""

import gzip
import http.client
import json
import re
import signal
import ssl
import subprocess
import sys

from pemux_service import protocol

from .procs import RedisServer, service_harness, signal_all
from .waiting import wait_until

WAIT_S = 60.0
START_TIMEOUT_S = 60.0
# Short enough that a lost worker's solve comes back within a test, long
# enough that a loaded machine does not pass for a dead worker.
HEARTBEAT_S = 2.0
WORKER_MEMORY = "700M"
# Problems above SMALL_TOTAL count against a key's queue of QUEUE_CAP.
SMALL_TOTAL = 100_000
QUEUE_CAP = 40
# What one solver of WORKER_MEMORY holds: (700M - 256M) / 2 bytes of bits.
WORKER_MAX_TOTAL = ((700 << 20) - (256 << 20)) // 2 * 8


def key_from(text):
    """The key of an `export PEMU_API_KEY=...` line."""
    m = re.search(r"^export PEMU_API_KEY=(\S+)$", text, re.M)
    assert m, "no PEMU_API_KEY line"
    return m.group(1)


def https_request(port, ctx, method, path, body=None, key=None, headers=None, timeout=WAIT_S):
    """(status, body bytes) of one HTTPS exchange with 127.0.0.1:port, with
    key in x-api-key unless it is empty or None."""
    conn = http.client.HTTPSConnection("127.0.0.1", port, context=ctx, timeout=timeout)
    h = dict(headers or {})
    if key:
        h["x-api-key"] = key
    try:
        conn.request(method, path, body=body, headers=h)
        resp = conn.getresponse()
        return resp.status, resp.read()
    finally:
        conn.close()


def request_id(body):
    """The id in a submit's answer."""
    m = re.fullmatch(rb'\{"requestId":"([0-9a-f]+)"\}', body)
    assert m, body
    return m.group(1).decode()


def final_answer(poll, what):
    """(status, body) of the first answer of poll() that is not "not ready"."""
    def ready():
        status, body = poll()
        return None if body.startswith(protocol.NOT_READY_PREFIX) else (status, body)
    return wait_until(ready, what)


def decoded_result(poll, what):
    """The decoded result, after as many calls of poll() as it takes."""
    status, body = final_answer(poll, what)
    assert status == 200, body
    return gzip.decompress(body)


def subset_answer(poll):
    """The final (status, JSON answer) of a subset request."""
    status, body = final_answer(poll, "a subset answer")
    return status, json.loads(body)


class Service:
    """One pemux-service process on a loopback port, over a data directory
    that outlives it."""

    def __init__(self, data, *extra):
        self.data = data
        self.extra = extra
        self.harness = None
        self.key = None

    @property
    def proc(self):
        return self.harness.proc

    @property
    def err(self):
        return self.harness.err

    @property
    def out(self):
        return self.harness.out

    def start(self):
        if self.key is None:
            self.data.mkdir(parents=True, exist_ok=True)
            self.key = key_from(self.key_cmd("new").stdout)
        self.harness = service_harness(self.data.parent, self.data.name, "--data",
                                       str(self.data), "--port", "0", *self.extra).start()
        info = self.harness.info
        self.port, self.ca, self.base_url = info["port"], info["ca"], info["base_url"]
        self.ctx = ssl.create_default_context(cafile=self.ca)
        return self

    def stop(self, sig=signal.SIGTERM):
        if self.harness is not None:
            self.harness.stop(sig)

    def env(self, key=None):
        return {"PEMU_BASE_URL": self.base_url, "PEMU_CA_BUNDLE": self.ca,
                "PEMU_API_KEY": self.key if key is None else key}

    def request(self, method, path, body=None, key=None, headers=None):
        """(status, body bytes) over HTTPS, with the service's key unless
        another is given ("" sends none)."""
        h = dict(headers or {})
        if body is not None:
            h.setdefault("Content-Type", "application/json")
        return https_request(self.port, self.ctx, method, path, body,
                             self.key if key is None else key, h, WAIT_S + 5)

    def submit(self, values, key=None):
        status, body = self.request("POST", protocol.SUBMIT_PATH,
                                    json.dumps(values, separators=(",", ":")), key)
        return request_id(body)

    def poll(self, rid, key=None):
        return self.request("GET", f"{protocol.RESULT_PATH}?requestId={rid}", key=key)

    def result(self, rid, key=None):
        """The decoded result, after as many polls as it takes."""
        return decoded_result(lambda: self.poll(rid, key), "the result")

    def submit_subset(self, values, total, key=None):
        """(status, body) of a subset submit."""
        return self.request("POST", protocol.SUBSET_PATH,
                            json.dumps({"values": values, "total": total}), key)

    def subset(self, rid, key=None):
        """The final (status, JSON answer) of a subset request."""
        return subset_answer(lambda: self.request(
            "GET", f"{protocol.SUBSET_RESULT_PATH}?requestId={rid}", key=key))

    def health(self):
        return json.loads(self.request("GET", "/healthz")[1])

    def metric(self, name, **labels):
        text = self.request("GET", "/metrics")[1].decode()
        want = ",".join(f'{k}="{v}"' for k, v in labels.items())
        pat = re.escape(name) + (r"\{" + re.escape(want) + r"\}" if want else "") + r" (\S+)"
        m = re.search("^" + pat + "$", text, re.M)
        return float(m.group(1)) if m else 0.0

    def solvers(self, inline=False):
        return [s for s in self.health()["solvers"] if s["inline"] == inline]

    def key_cmd(self, *args):
        return subprocess.run([sys.executable, "-m", "pemux_service", "key", *args,
                               "--data", str(self.data)],
                              capture_output=True, text=True, check=True)


class Cluster:
    """A redis-server, front ends and workers of one solver each (two of
    each unless told), over one shared data directory."""

    def __init__(self, workdir, worker_args=(), front_args=(), fronts=2, workers=2):
        self.workdir = workdir
        self.data = workdir / "shared"
        self.redis = RedisServer(workdir / "redis").start()
        common = ["--data", str(self.data), "--broker", self.redis.url]
        self.fronts = [service_harness(
            workdir, f"front{i}", *common, "--port", "0", "--poll-wait", "2s",
            "--max-body", "1M", "--inline-max-total", str(SMALL_TOTAL),
            "--max-queued-per-key", str(QUEUE_CAP), *front_args)
            for i in range(fronts)]
        self.workers = [service_harness(
            workdir, f"worker{i}", "worker", *common, "--processes", "1",
            "--worker-memory", WORKER_MEMORY, "--heartbeat", f"{HEARTBEAT_S}s",
            "--idle-poll", "0.02s", "--drain", "1s", *worker_args)
            for i in range(workers)]
        try:
            self._start(workers)
        except BaseException:
            # A start that fails half way leaves nothing running.
            self.close()
            raise

    def _start(self, workers):
        # One key and, made by the first front end, one certificate for
        # both: the second finds them in the shared directory.
        made = subprocess.run([sys.executable, "-m", "pemux_service", "key", "new",
                               "--data", str(self.data)], capture_output=True, text=True,
                              check=True)
        self.key = re.search(r"^export PEMU_API_KEY=(\S+)$", made.stdout, re.M).group(1)
        self.kid = re.search(r"key id (\w+)", made.stderr).group(1)
        self.fronts[0].start()
        self.ca = self.fronts[0].info["ca"]
        self.ctx = ssl.create_default_context(cafile=self.ca)
        for f in self.fronts[1:]:
            f.start()
        for w in self.workers:
            w.start()
        # Only broker mode needs these packages.
        from pemux_service.redis_store import RedisJobStore, WorkerRoll
        self.r = self.redis.client()
        self.jobs = RedisJobStore(self.r)
        wait_until(lambda: len(WorkerRoll(self.r).live()) == workers, "the workers' ads")

    def close(self):
        for p in self.workers + self.fronts:
            if p.alive():
                signal_all([p.pid], signal.SIGCONT)
                p.stop(signal.SIGKILL)
        self.redis.stop(signal.SIGKILL)

    def env(self, front):
        return {"PEMU_BASE_URL": front.info["base_url"], "PEMU_CA_BUNDLE": self.ca,
                "PEMU_API_KEY": self.key}

    def request(self, front, method, path, body=None, timeout=WAIT_S):
        return https_request(front.info["port"], self.ctx, method, path, body, self.key,
                             timeout=timeout)

    def submit(self, front, values):
        status, body = self.request(front, "POST", protocol.SUBMIT_PATH, json.dumps(values))
        return request_id(body)

    def poll(self, front, rid, timeout=WAIT_S):
        return self.request(front, "GET", f"{protocol.RESULT_PATH}?requestId={rid}",
                            timeout=timeout)

    def result(self, front, rid):
        return decoded_result(lambda: self.poll(front, rid), "a result")

    def subset(self, front, values, total):
        """The final (status, JSON answer) of a subset problem sent to front."""
        status, body = self.request(front, "POST", protocol.SUBSET_PATH,
                                    json.dumps({"values": values, "total": total}))
        rid = request_id(body)
        return subset_answer(lambda: self.request(
            front, "GET", f"{protocol.SUBSET_RESULT_PATH}?requestId={rid}"))

    def state(self, rid):
        p = self.jobs.request(rid, self.kid)
        return p and p.state

    def pkey(self, values):
        """The problem key of values sent with the cluster's key."""
        return protocol.problem_key(values, self.kid)

    def starts(self, values):
        return int(self.r.hget(f"pemux:p:{self.pkey(values)}", "starts"))

    def solved_by(self, worker):
        return worker.err.read_text().count("solved ")
