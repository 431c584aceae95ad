"""pemux-service's front door and operations, against the real service on
loopback: private files, the broker password, hostile header shapes,
connection floods, large and compressed bodies, what /healthz and /metrics
tell strangers, log rotation, --version."""

import gzip
import http.client
import json
import os
import re
import resource
import shutil
import signal
import socket
import ssl
import stat
import subprocess
import sys
import threading
import time

import pytest

pemux = pytest.importorskip("pemux")
pytest.importorskip("pemux_service")

from pemux_service import protocol  # noqa: E402
from support import waiting  # noqa: E402
from support.oracle import local  # noqa: E402
from support.procs import children, free_port, signal_all  # noqa: E402
from support.service import https_request  # noqa: E402

START_S = 30.0
WAIT_S = 20.0


def wait_until(cond, what, timeout=WAIT_S, step=0.01):
    return waiting.wait_until(cond, what, timeout, step)


def mode(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


def run_cli(*args, env=None, check=True):
    return subprocess.run([sys.executable, "-m", "pemux_service", *args], capture_output=True,
                          text=True, check=check, env=env, stdin=subprocess.DEVNULL,
                          timeout=START_S)


def new_key(data):
    out = run_cli("key", "new", "--data", str(data)).stdout
    return re.search(r"^export PEMU_API_KEY=(\S+)$", out, re.M).group(1)


class Service:
    """A pemux-service process (front end or worker) that writes a ready
    file once it serves."""

    def __init__(self, workdir, name, *argv, env=None, preexec_fn=None):
        self.workdir = workdir
        self.name = name
        self.argv = argv
        self.env = env
        self.preexec_fn = preexec_fn
        self.out = workdir / f"{name}.out"
        self.err = workdir / f"{name}.err"
        self.ready = workdir / f"{name}.ready"
        self.proc = None
        self.info = None
        self.key = None

    def start(self):
        if self.ready.exists():
            self.ready.unlink()
        with open(self.out, "ab") as out, open(self.err, "ab") as err:
            self.proc = subprocess.Popen(
                [sys.executable, "-m", "pemux_service", *self.argv,
                 "--ready-file", str(self.ready)],
                stdout=out, stderr=err, stdin=subprocess.DEVNULL, env=self.env,
                preexec_fn=self.preexec_fn)
        wait_until(lambda: self.ready.exists() or self.proc.poll() is not None,
                   f"{self.name} to start", START_S, 0.02)
        assert self.proc.poll() is None, f"{self.name} did not start:\n{self.err.read_text()}"
        self.info = json.loads(self.ready.read_text())
        if self.info.get("ca"):
            self.ctx = ssl.create_default_context(cafile=self.info["ca"])
        return self

    @property
    def port(self):
        return self.info["port"]

    def stop(self, sig=signal.SIGTERM):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def output(self):
        return self.out.read_text() + self.err.read_text()

    def request(self, method, path, body=None, key=None, headers=None, timeout=WAIT_S):
        return https_request(self.port, self.ctx, method, path, body,
                             self.key if key is None else key, headers, timeout)

    def submit(self, values, key=None):
        status, body = self.request("POST", protocol.SUBMIT_PATH, json.dumps(values), key)
        m = re.fullmatch(rb'\{"requestId":"([0-9a-f]+)"\}', body)
        assert m, body
        return m.group(1).decode()

    def result(self, rid):
        def ready():
            status, body = self.request("GET", f"{protocol.RESULT_PATH}?requestId={rid}")
            return None if body.startswith(protocol.NOT_READY_PREFIX) else (status, body)
        status, body = wait_until(ready, "the result")
        assert status == 200, body
        return gzip.decompress(body)

    def tls_socket(self):
        raw = socket.create_connection(("127.0.0.1", self.port), timeout=WAIT_S)
        return self.ctx.wrap_socket(raw, server_hostname="127.0.0.1")


def serve(tmp_path, *extra, name="svc", data=None, **kw):
    data = data or tmp_path / "data"
    key = new_key(data)
    s = Service(tmp_path, name, "--data", str(data), "--port", "0", "--workers", "1",
                "--worker-memory", "700M", *extra, **kw)
    s.key = key
    s.data = data
    return s.start()


@pytest.fixture
def svc(tmp_path):
    s = serve(tmp_path, "--inline-max-total", str(1 << 20), "--poll-wait", "1s")
    yield s
    s.stop(signal.SIGKILL)


# -- private files ---------------------------------------------------------------


def test_key_new_makes_a_private_data_directory(tmp_path):
    data = tmp_path / "fresh" / "data"
    new_key(data)
    assert (mode(data), mode(data / "keys.json")) == (0o700, 0o600)


def test_service_tightens_an_open_directory_and_writes_private_files(tmp_path):
    data = tmp_path / "data"
    (data / "problems").mkdir(parents=True)
    (data / "notes.txt").write_text("left by an older version")
    for p in (data, data / "problems"):
        p.chmod(0o755)
    (data / "notes.txt").chmod(0o644)
    log = tmp_path / "access.log"
    s = serve(tmp_path, "--inline-max-total", "100", "--log", str(log), data=data)
    try:
        small, queued = [3, 5, 7], [1 << 10, 1 << 12, 99]
        for values in (small, queued):
            s.result(s.submit(values))
        files = [p for p in data.rglob("*") if p.is_file()]
        public = data / "tls" / "ca.pem"
        assert any(p.parent.name == "results" for p in files)
        assert {str(p): mode(p) for p in files if p != public} == {
            str(p): 0o600 for p in files if p != public}
        assert mode(public) == 0o644
        # Others may open the CA's path but list nothing on the way.
        assert (mode(data), mode(data / "tls")) == (0o711, 0o711)
        assert {p.name: mode(p) for p in data.iterdir() if p.is_dir() and p.name != "tls"} \
            == {"problems": 0o700, "results": 0o700}
        assert (mode(log), mode(s.ready)) == (0o600, 0o600)
    finally:
        s.stop()


# -- the broker password ----------------------------------------------------------

PASSWORD = "brokerPW-7f3a9c"


@pytest.fixture(scope="module")
def guarded_redis(tmp_path_factory):
    if shutil.which("redis-server") is None:
        (pytest.fail if os.environ.get("CI") else pytest.skip)(
            "redis-server is not installed (scripts/run_tests.sh installs it)")
    redis = pytest.importorskip("redis")
    pytest.importorskip("dramatiq")
    d = tmp_path_factory.mktemp("redis")
    port = free_port()
    proc = subprocess.Popen(["redis-server", "--bind", "127.0.0.1", "--port", str(port),
                             "--requirepass", PASSWORD, "--save", "", "--dir", str(d)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    client = redis.Redis(port=port, password=PASSWORD, socket_connect_timeout=0.2)

    def up():
        try:
            return client.ping()
        except redis.RedisError:
            return False
    wait_until(up, "redis-server", START_S, 0.02)
    client.close()
    yield f"redis://:{PASSWORD}@127.0.0.1:{port}/0"
    proc.kill()
    proc.wait()


def cmdline(pid):
    with open(f"/proc/{pid}/cmdline", "rb") as f:
        return f.read().decode()


def test_broker_password_from_environment_and_file_never_argv(tmp_path, guarded_redis):
    data = tmp_path / "shared"
    key = new_key(data)
    env = dict(os.environ, **{"PEMUX_BROKER_URL": guarded_redis})
    front = Service(tmp_path, "front", "--data", str(data), "--port", "0",
                    "--inline-max-total", "0", env=env)
    front.key = key
    secret_file = tmp_path / "broker-url"
    secret_file.write_text(guarded_redis + "\n")
    secret_file.chmod(0o600)
    metrics_port = free_port()
    worker = Service(tmp_path, "worker", "worker", "--data", str(data), "--broker-file",
                     str(secret_file), "--processes", "1", "--worker-memory", "700M",
                     "--metrics-port", str(metrics_port))
    try:
        front.start()
        worker.start()
        values = [5, 9, 1 << 12]
        assert front.result(front.submit(values)) == local(values)
        answers = b"".join(front.request("GET", p)[1] for p in ("/healthz", "/metrics"))
        for pid in [front.proc.pid, worker.proc.pid] + children(
                worker.proc.pid):
            assert PASSWORD not in cmdline(pid)
        shown = front.output() + worker.output() + answers.decode()
        assert PASSWORD not in shown, "the broker password was shown"
        # The worker's solves are counted on its own port.
        conn = http.client.HTTPConnection("127.0.0.1", metrics_port, timeout=WAIT_S)
        conn.request("GET", "/metrics")
        text = conn.getresponse().read().decode()
        conn.close()
        assert re.search(r'^pemux_solves_total\{outcome="ok"\} 1\.0$', text, re.M), text
        assert re.search(r"^process_resident_memory_bytes \S+$", text, re.M)
        assert mode(data) in (0o700, 0o711)
    finally:
        worker.stop()
        front.stop()


@pytest.mark.parametrize("how", ["argv", "open-file", "group-file", "both"])
def test_broker_password_refused_where_others_read_it(tmp_path, guarded_redis, how):
    data = tmp_path / "d"
    secret_file = tmp_path / "url"
    secret_file.write_text(guarded_redis)
    secret_file.chmod({"open-file": 0o644, "group-file": 0o640}.get(how, 0o600))
    argv = {"argv": ["--broker", guarded_redis],
            "open-file": ["--broker-file", str(secret_file)],
            "group-file": ["--broker-file", str(secret_file)],
            "both": ["--broker", guarded_redis.replace(f":{PASSWORD}@", ""),
                     "--broker-file", str(secret_file)]}[how]
    for cmd in (["--data", str(data), "--port", "0"], ["worker", "--data", str(data)]):
        got = run_cli(*cmd, *argv, check=False)
        assert got.returncode != 0
        assert got.stderr.startswith("pemux-service: "), got.stderr
        assert PASSWORD not in got.stdout + got.stderr


# -- no key text in any answer or log line ---------------------------------------

KEY_TEXT = b"pmx_SECRETSECRETsecret"
# Header shapes that the HTTP parser refuses, each carrying the key text.
MALFORMED = {
    "nul": b"x-api-key: " + KEY_TEXT + b"\x00x\r\n",
    "no-colon": b"x-api-key " + KEY_TEXT + b"\r\n",
    "blank-before-colon": b"x-api-key : " + KEY_TEXT + b"\r\n",
    "bare-cr": b"x-api-key: " + KEY_TEXT + b"\rq\r\n",
    "control": b"x-api-key: " + KEY_TEXT + b"\x01\r\n",
    "delete": b"x-api-key: " + KEY_TEXT + b"\x7f\r\n",
    "too-long": b"x-api-key: " + KEY_TEXT + b"A" * 9000 + b"\r\n",
    "folded": b"x-api-key: pmx\r\n " + KEY_TEXT + b"\r\n",
}


def exchange(service, raw, timeout=5.0):
    """Sends raw bytes on a TLS connection; returns all that comes back
    before the service closes it or timeout passes."""
    s = service.tls_socket()
    s.settimeout(timeout)
    got = b""
    try:
        s.sendall(raw)
        while True:
            d = s.recv(65536)
            if not d:
                break
            got += d
    except (TimeoutError, ConnectionError, ssl.SSLError):
        pass
    finally:
        s.close()
    return got


def test_malformed_key_headers_show_no_key_text(svc):
    answers = {}
    for name, line in MALFORMED.items():
        answers[name] = exchange(svc, b"GET /healthz HTTP/1.1\r\nHost: x\r\n" + line + b"\r\n")
    answers["in-url"] = exchange(svc, b"GET /v0/result?requestId=" + KEY_TEXT
                                 + b"\x01 HTTP/1.1\r\nHost: x\r\n\r\n")
    for name, got in answers.items():
        assert got.startswith(b"HTTP/1.") and b" 400 " in got.split(b"\r\n")[0], name
        assert got.endswith(b'{"message":"Bad request"}'), (name, got[-80:])
        assert KEY_TEXT not in got, name
    svc.stop()
    assert KEY_TEXT.decode() not in svc.output()
    assert "Traceback" not in svc.output()


# -- connections -------------------------------------------------------------------


def closed_within(sock, seconds):
    """Whether the peer ends the connection within seconds (reading and
    dropping whatever comes first)."""
    sock.settimeout(0.05)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            if not sock.recv(4096):
                return True
        except (TimeoutError, ssl.SSLWantReadError):
            continue
        except (ConnectionError, ssl.SSLError, OSError):
            return True
    return False


@pytest.fixture
def tight(tmp_path):
    s = serve(tmp_path, "--head-timeout", "0.4s", "--keepalive", "0.4s",
              "--body-min-rate", "2000", "--max-connections", "40")
    yield s
    s.stop(signal.SIGKILL)


def test_silent_trickling_and_idle_connections_are_closed(tight):
    silent = tight.tls_socket()
    trickle = tight.tls_socket()
    trickle.sendall(b"GET /healthz HTTP/1.1\r\nHost: x\r\n")
    idle = tight.tls_socket()
    idle.sendall(b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n")
    slow_body = tight.tls_socket()
    slow_body.sendall(b"POST /v0/app/sspu HTTP/1.1\r\nHost: x\r\nx-api-key: "
                      + tight.key.encode() + b"\r\nContent-Length: 100000\r\n\r\n[1")
    t0 = time.monotonic()
    for s in (trickle, slow_body):
        s.settimeout(0.01)
    # Bytes keep coming on two of them, too few to make a request.
    closed = {}
    while time.monotonic() - t0 < 8 and len(closed) < 4:
        for name, s in (("silent", silent), ("trickle", trickle), ("idle", idle),
                        ("slow-body", slow_body)):
            if name in closed:
                continue
            if name in ("trickle", "slow-body"):
                try:
                    s.sendall(b"1" if name == "slow-body" else b"X")
                except OSError:
                    closed[name] = time.monotonic() - t0
                    continue
            if closed_within(s, 0.05):
                closed[name] = time.monotonic() - t0
    assert sorted(closed) == ["idle", "silent", "slow-body", "trickle"], closed
    for s in (silent, trickle, idle, slow_body):
        s.close()
    assert tight.request("GET", "/healthz")[0] == 200


def refused_at_once(port):
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=WAIT_S)
    except ConnectionError:
        return True
    with s:
        return closed_within(s, 2.0)


def test_connections_beyond_the_cap_are_refused_at_once_and_noted_once(tmp_path):
    tight = serve(tmp_path, "--max-connections", "40", "--head-timeout", "60s")
    held = []

    def hold_one():
        # The start-up probe's connection may still count for a moment.
        try:
            held.append(tight.tls_socket())
        except OSError:
            return False
        return len(held) == 40

    try:
        assert wait_until(hold_one, "40 held connections")
        t0 = time.monotonic()
        assert sum(refused_at_once(tight.port) for _ in range(300)) == 300
        assert time.monotonic() - t0 < 60
        for s in held:
            s.close()

        def answered():
            # Closed connections count until the service has seen them close.
            try:
                return tight.request("GET", "/healthz")[0] == 200
            except OSError:
                return False
        assert wait_until(answered, "a free slot")
    finally:
        for s in held:
            s.close()
        tight.stop()
    notes = [l for l in tight.err.read_text().splitlines() if "refusing connections" in l]
    assert len(notes) == 1, notes


def test_soft_descriptor_limit_is_raised_to_the_hard_one(tmp_path):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard == resource.RLIM_INFINITY or hard <= 256:
        pytest.skip("needs a finite hard descriptor limit above 256")

    def lower():
        resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard))
    s = serve(tmp_path, preexec_fn=lower)
    try:
        limits = open(f"/proc/{s.proc.pid}/limits").read()
        m = re.search(r"^Max open files\s+(\d+)\s+(\d+)", limits, re.M)
        assert (int(m.group(1)), int(m.group(2))) == (hard, hard)
    finally:
        s.stop()


# -- bodies -----------------------------------------------------------------------


def test_compressed_body_is_refused(svc):
    values = [1] * 20000
    body = gzip.compress(json.dumps(values).encode())
    before = sorted(os.listdir(svc.data / "problems"))
    status, got = svc.request("POST", protocol.SUBMIT_PATH, body,
                              headers={"Content-Encoding": "gzip"})
    assert (status, got) == (415, b'{"message":"Compressed request bodies are not taken: '
                                  b'send the JSON array without Content-Encoding"}')
    assert sorted(os.listdir(svc.data / "problems")) == before


def test_health_answers_while_a_large_body_is_parsed(tmp_path):
    s = serve(tmp_path, "--max-body", "80M", "--max-total", str(1 << 62),
              "--inline-max-total", "0")
    try:
        # 3 M values of 13 digits: a 42 MB body.
        values = [10 ** 12 + i for i in range(3_000_000)]
        body = json.dumps(values).encode()
        sent = threading.Event()
        answer = {}

        def submit():
            conn = http.client.HTTPSConnection("127.0.0.1", s.port, context=s.ctx,
                                               timeout=120)
            conn.putrequest("POST", protocol.SUBMIT_PATH)
            conn.putheader("x-api-key", s.key)
            conn.putheader("Content-Length", str(len(body)))
            conn.endheaders()
            conn.send(body)
            sent.set()
            answer["status"] = conn.getresponse().status
            conn.close()
        t = threading.Thread(target=submit)
        t.start()
        assert sent.wait(120)
        worst = 0.0
        while t.is_alive():
            t0 = time.monotonic()
            assert s.request("GET", "/healthz")[0] == 200
            worst = max(worst, time.monotonic() - t0)
        t.join()
        assert answer["status"] == 200
        # Generous: parsed on the loop, this body stalled it for about 1 s.
        assert worst < 0.8, worst
    finally:
        s.stop(signal.SIGKILL)


# -- operations -----------------------------------------------------------------


def test_health_detail_and_metrics_need_a_key(svc):
    svc.result(svc.submit([1, 2, 3]))
    status, body = svc.request("GET", "/healthz", key="")
    assert (status, json.loads(body)) == (200, {"status": "ok"})
    assert svc.request("GET", "/metrics", key="")[0] == 403
    assert svc.request("GET", "/metrics", key="pmx_wrong")[0] == 403
    detail = json.loads(svc.request("GET", "/healthz")[1])
    assert {s["inline"] for s in detail["solvers"]} == {True, False}
    status, text = svc.request("GET", "/metrics", key="",
                               headers={"Authorization": f"Bearer {svc.key}"})
    text = text.decode()
    assert status == 200
    for name in ('pemux_request_duration_seconds_bucket{le="+Inf",route="submit"}',
                 "process_resident_memory_bytes", "pemux_queue_depth"):
        assert re.search("^" + re.escape(name) + r" \S+$", text, re.M), name


def test_sighup_reopens_the_log(tmp_path):
    log = tmp_path / "access.log"
    s = serve(tmp_path, "--log", str(log))
    try:
        s.request("GET", "/healthz")
        log.rename(tmp_path / "access.log.1")
        s.proc.send_signal(signal.SIGHUP)
        wait_until(log.exists, "the log to be reopened")
        s.request("GET", "/healthz")
        assert s.proc.poll() is None
        assert '"path":"/healthz"' in log.read_text()
        assert (tmp_path / "access.log.1").read_text().count("\n") == 1
    finally:
        s.stop()


def test_held_poll_left_by_its_client_is_no_failure(svc):
    solvers = children(svc.proc.pid)
    signal_all(solvers, signal.SIGSTOP)
    try:
        rid = svc.submit([1 << 21, 5])
        s = svc.tls_socket()
        s.sendall(f"GET {protocol.RESULT_PATH}?requestId={rid} HTTP/1.1\r\nHost: x\r\n"
                  f"x-api-key: {svc.key}\r\n\r\n".encode())
        s.close()
        wait_until(lambda: '"path":"/v0/result"' in svc.err.read_text(),
                   "the held poll to end", 10)
    finally:
        signal_all(solvers, signal.SIGCONT)
    err = svc.err.read_text()
    assert '"status":500' not in err and "Traceback" not in err


def test_version_is_the_modules():
    from importlib import metadata
    assert run_cli("--version").stdout.strip() == f"pemux-service {pemux.__version__}"
    assert run_cli("worker", "--version").stdout.strip().endswith(metadata.version("pemux"))


UNITS = sorted((os.path.dirname(__file__) + "/../../service/systemd/" + n)
               for n in ("pemux-service.service", "pemux-worker.service"))
HARDENING = ("NoNewPrivileges=yes", "ProtectSystem=strict", "PrivateTmp=yes", "UMask=0077",
             "CapabilityBoundingSet=", "SystemCallFilter=@system-service")


def test_systemd_units_verify(tmp_path):
    analyze = shutil.which("systemd-analyze")
    if analyze is None:
        (pytest.fail if os.environ.get("CI") else pytest.skip)(
            "systemd-analyze is not installed (scripts/run_tests.sh installs systemd)")
    exe = shutil.which("pemux-service", path=os.path.dirname(sys.executable))
    assert exe, "pemux-service is not installed next to this interpreter"
    paths = []
    for unit in UNITS:
        text = open(unit).read()
        assert all(h in text.splitlines() for h in HARDENING), unit
        assert "--broker redis" not in text
        path = tmp_path / os.path.basename(unit)
        path.write_text(text.replace("/usr/local/bin/pemux-service", exe))
        paths.append(str(path))
    got = subprocess.run([analyze, "verify", *paths], capture_output=True, text=True,
                         timeout=60)
    assert got.returncode == 0, got.stderr
    assert not [l for l in got.stderr.splitlines() if "pemux" in l], got.stderr
