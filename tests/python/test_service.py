"""Checks of the local solving service itself (not of the pemux module)."""

import gzip
import http.client
import json
import re
import shutil
import socket
import ssl
import subprocess
import sys
import time

import pytest
from support.gzipped import inflates
from support.oracle import oracle_bytes as oracle
from support.procs import Harness
from support.waiting import wait_until

SUBMIT = "/v0/app/sspu"
RESULT = "/v0/result?requestId="
FORBIDDEN = b'{"message":"Forbidden"}'
NOT_READY = b'{"message":"Result not ready"}'
BAD_REQUEST = (b'{"message":"Expected a JSON array of integers in 0 to '
               b'18446744073709551615"}')
# A refused key on poll ends the client's polling, as the real service does.
POLL_FORBIDDEN = b'{"error":"Forbidden"}'
XML_START = b'<?xml version="1.0" encoding="UTF-8"?>'
ID_ANSWER = rb'\{"requestId":"[0-9a-f]{32}"\}'

needs_curl = pytest.mark.skipif(shutil.which("curl") is None, reason="curl not installed")


def prefix(behaviours):
    return f"/b/{behaviours}" if behaviours else ""


SERVICE_KEY = object()


def call(service, method, path, body=None, key=SERVICE_KEY, host="127.0.0.1"):
    """One HTTPS request, verified against the service's CA; key None sends
    no key header."""
    ctx = ssl.create_default_context(cafile=service.ca)
    conn = http.client.HTTPSConnection(host, service.port, context=ctx, timeout=10)
    headers = {}
    if key is not None:
        headers["x-api-key"] = service.api_key if key is SERVICE_KEY else key
    if body is not None:
        headers["Content-Type"] = "application/json"
    try:
        conn.request(method, path, body=body, headers=headers)
        resp = conn.getresponse()
        return resp.status, resp.headers, resp.read()
    finally:
        conn.close()


def submit(service, values, behaviours=None):
    _, _, body = call(service, "POST", prefix(behaviours) + SUBMIT, json.dumps(values))
    return json.loads(body)["requestId"]


def poll(service, rid, behaviours=None):
    return call(service, "GET", prefix(behaviours) + RESULT + rid)[2]


def timed_bursts(service, method, path, body=b"", gap=0.05):
    """Body of one raw HTTPS exchange, cut wherever the bytes paused for
    more than gap seconds, so tests can see how an answer was written."""
    ctx = ssl.create_default_context(cafile=service.ca)
    head = (f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            f"x-api-key: {service.api_key}\r\nContent-Type: application/json\r\n"
            f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n").encode()
    arrivals = []
    with socket.create_connection(("127.0.0.1", service.port), timeout=10) as raw:
        with ctx.wrap_socket(raw, server_hostname="127.0.0.1") as tls:
            tls.sendall(head + body)
            while True:
                data = tls.recv(65536)
                if not data:
                    break
                arrivals.append((time.monotonic(), data))
    stream = b"".join(d for _, d in arrivals)
    body_start = stream.index(b"\r\n\r\n") + 4
    bursts, offset, last = [], 0, None
    for t, data in arrivals:
        lo, hi = offset, offset + len(data)
        offset = hi
        piece = stream[max(lo, body_start):hi] if hi > body_start else b""
        if last is not None and t - last > gap:
            bursts.append(b"")
        if piece:
            if not bursts:
                bursts.append(b"")
            bursts[-1] += piece
        last = t
    return [b for b in bursts if b]


def curl(service, *args):
    return subprocess.run(
        ["curl", "-sS", "--max-time", "10", "--cacert", service.ca,
         "-H", f"x-api-key: {service.api_key}", *args],
        capture_output=True, timeout=20)


@needs_curl
@pytest.mark.parametrize("values", [[], [3, 5], [3, 5, 10], [0, 0, 7, 7],
                                    [1, 63, 64, 65, 200], [2**20, 1]])
def test_curl_round_trip_matches_oracle(service, values):
    sub = curl(service, "-H", "Content-Type: application/json",
               "--data-binary", json.dumps(values, separators=(",", ":")),
               service.url() + SUBMIT)
    assert sub.returncode == 0, sub.stderr
    assert re.fullmatch(ID_ANSWER, sub.stdout)
    rid = json.loads(sub.stdout)["requestId"]
    res = curl(service, service.url() + RESULT + rid)
    assert res.returncode == 0, res.stderr
    assert gzip.decompress(res.stdout) == oracle(values)


def test_known_small_answer(service):
    # Sums of {3, 5} are 0, 3, 5 and 8: bits 0, 3, 5 of byte 0, bit 0 of byte 1.
    assert gzip.decompress(poll(service, submit(service, [3, 5]))) == \
        b"\x29\x01" + bytes(6)


@pytest.mark.parametrize("phase", ["submit", "poll"])
@pytest.mark.parametrize("key", ["wrong-key", None, "Test-Key-0123"])
def test_refused_key_gets_exact_forbidden(service, phase, key):
    if phase == "submit":
        status, _, body = call(service, "POST", SUBMIT, b"[1]", key=key)
    else:
        rid = submit(service, [1])
        status, _, body = call(service, "GET", RESULT + rid, key=key)
    assert (status, body) == (403, FORBIDDEN if phase == "submit" else POLL_FORBIDDEN)


@pytest.mark.parametrize("behaviours,pattern", [
    (None, ID_ANSWER),
    ("newline", ID_ANSWER + b"\n"),
    ("split", ID_ANSWER),
    ("forbidden", re.escape(FORBIDDEN)),
    ("error", re.escape(b'{"message":"Internal error"}')),
    ("noid", re.escape(b'{"status":"queued"}')),
    ("html", rb"<!DOCTYPE html><html>.*</html>"),
    ("stall-submit-0.1+newline", ID_ANSWER + b"\n"),
])
def test_submit_answer_bytes(service, behaviours, pattern):
    status, headers, body = call(service, "POST", prefix(behaviours) + SUBMIT, b"[3,5]")
    assert re.fullmatch(pattern, body, re.S), body
    if behaviours in (None, "split"):
        assert status == 200
        assert headers["Content-Type"] == "application/json"


@pytest.mark.parametrize("behaviours,sequence", [
    (None, ["gz", "gz"]),
    ("notready-2", ["nr", "nr", "gz"]),
    ("xml-1", ["xml", "gz"]),
    ("notready-1+xml-2", ["nr", "xml", "xml", "gz", "gz"]),
    ("xml-1+partial-1", ["xml", "partial", "gz"]),
])
def test_poll_sequence(service, behaviours, sequence):
    values = [2, 9, 30]
    rid = submit(service, values, behaviours)
    for expected in sequence:
        body = poll(service, rid, behaviours)
        if expected == "nr":
            assert body == NOT_READY
        elif expected == "xml":
            assert body.startswith(XML_START)
        elif expected == "partial":
            assert body.endswith(NOT_READY) and not inflates(body)
        else:
            assert gzip.decompress(body) == oracle(values)


VARIANT_VALUES = [3, 5, 10, 1000, 40000]


@pytest.mark.parametrize("behaviour,check", [
    ("corrupt", lambda body, gz, bits: (body[:2] == b"\x1f\x8b"
                                        and len(body) == len(gz)
                                        and not inflates(body))),
    ("truncated", lambda body, gz, bits: (body == gz[:len(gz) // 2]
                                          and not inflates(body))),
    ("notgzip", lambda body, gz, bits: body == bits),
    ("oversize", lambda body, gz, bits: gzip.decompress(body) == bits + b"\xff" * 16),
    ("zeropad", lambda body, gz, bits: gzip.decompress(body) == bits + bytes(100000)),
    ("empty", lambda body, gz, bits: body == b""),
])
def test_ready_answer_variants(service, behaviour, check):
    rid = submit(service, VARIANT_VALUES)
    gz = poll(service, rid)
    assert check(poll(service, rid, behaviour), gz, oracle(VARIANT_VALUES))


def test_split_submit_arrives_in_two_pieces(service):
    bursts = timed_bursts(service, "POST", "/b/split" + SUBMIT, b"[1,2]")
    assert len(bursts) == 2, bursts
    assert re.fullmatch(ID_ANSWER, b"".join(bursts))


@pytest.mark.parametrize("behaviour", ["pollsplit", "partial-1"])
def test_poll_answer_arrives_in_pieces(service, behaviour):
    # Deferrals count per request id, so the plain answer comes from a twin.
    gz = poll(service, submit(service, VARIANT_VALUES))
    rid = submit(service, VARIANT_VALUES)
    bursts = timed_bursts(service, "GET", prefix(behaviour) + RESULT + rid)
    if behaviour == "pollsplit":
        assert len(bursts) == 3, bursts
        assert b"".join(bursts) == gz
    else:
        assert bursts == [gz[:len(gz) // 2], NOT_READY]


@needs_curl
def test_drop_port_fails_tls_handshake(service):
    mark = service.log_mark()
    res = curl(service, "--data-binary", "[1]", service.drop_url + SUBMIT)
    assert res.returncode == 35, res.stderr
    assert len(service.entries_since(mark, "drop")) == 1


@pytest.mark.parametrize("key", ["key-seen-in-log", None])
def test_log_records_headers_and_body(service, key):
    mark = service.log_mark()
    call(service, "POST", SUBMIT, b"[3,5,18446744073709551615]", key=key)
    (entry,) = service.entries_since(mark)
    assert entry["listener"] == "https"
    assert entry["method"] == "POST"
    assert entry["path"] == SUBMIT
    assert entry["api_key"] == key
    assert entry["content_type"] == "application/json"
    assert entry["body"] == "[3,5,18446744073709551615]"


@needs_curl
@pytest.mark.parametrize("behaviour,lands_on", [("redirect-https", "https"),
                                                ("redirect-http", "http")])
def test_redirects(service, behaviour, lands_on):
    values = [4, 6]
    rid = submit(service, values)
    status, headers, _ = call(service, "GET", prefix(behaviour) + RESULT + rid)
    assert status == 302
    origin = service.http_url if lands_on == "http" else service.base_url
    assert headers["Location"] == f"{origin}{RESULT}{rid}"

    mark = service.log_mark()
    res = curl(service, "-L", service.url(behaviour) + RESULT + rid)
    assert res.returncode == 0, res.stderr
    hops = service.entries_since(mark)
    assert [e["listener"] for e in hops] == ["https", lands_on]
    landed = hops[-1]
    assert landed["listener"] == lands_on
    assert landed["path"] == RESULT + rid
    if lands_on == "https":
        assert gzip.decompress(res.stdout) == oracle(values)
    else:
        # The trap answers something that looks right but is not.
        assert gzip.decompress(res.stdout) != oracle(values)


@pytest.mark.parametrize("body,answer", [
    (b"", BAD_REQUEST),
    (b"[1,2", BAD_REQUEST),
    (b"{}", BAD_REQUEST),
    (b"[-1]", BAD_REQUEST),
    (b"[1.5]", BAD_REQUEST),
    (b"[true]", BAD_REQUEST),
    (b'["3"]', BAD_REQUEST),
    (b"[18446744073709551616]", BAD_REQUEST),
    (b"[18446744073709551615]", b'{"message":"Problem too large: the values sum to '
                                b'18446744073709551615 and this service takes at most '
                                b'1073741824"}'),
])
def test_bad_submit_bodies(service, body, answer):
    assert call(service, "POST", SUBMIT, body)[2] == answer


@pytest.mark.parametrize("method,path,answer", [
    ("GET", RESULT + "no-such-id", b'{"error":"Unknown or expired requestId"}'),
    ("POST", "/b/bogus-3" + SUBMIT, b'{"message":"Unknown behaviour bogus-3"}'),
    ("GET", "/v0/elsewhere", b'{"message":"Not found"}'),
])
def test_other_refusals(service, method, path, answer):
    assert call(service, method, path, b"[1]" if method == "POST" else None)[2] == answer


def test_stalled_request_does_not_hold_up_others(service):
    ctx = ssl.create_default_context(cafile=service.ca)
    stalled = http.client.HTTPSConnection("127.0.0.1", service.port, context=ctx, timeout=60)
    try:
        mark = service.log_mark()
        stalled.request("GET", "/b/stall-poll-600" + RESULT + "no-such-id",
                        headers={"x-api-key": service.api_key})
        wait_until(lambda: service.entries_since(mark), "the stalled poll to arrive")
        assert call(service, "POST", SUBMIT, b"[1]")[0] == 200
        # Answered while the stalled one still is not: no answer byte has
        # come (a session ticket may have, which the TLS layer takes).
        stalled.sock.setblocking(False)
        with pytest.raises(ssl.SSLWantReadError):
            stalled.sock.recv(1)
    finally:
        stalled.close()


@pytest.mark.parametrize("host", ["127.0.0.1", "localhost"])
def test_certificate_names(service, host):
    if host == "localhost":
        try:
            socket.getaddrinfo("localhost", service.port, socket.AF_INET)
        except socket.gaierror:
            pytest.skip("localhost does not resolve")
    ctx = ssl.create_default_context(cafile=service.ca)
    with socket.create_connection(("127.0.0.1", service.port), timeout=10) as raw:
        with ctx.wrap_socket(raw, server_hostname=host) as tls:
            assert tls.version() is not None


def test_printed_exports(service):
    lines = service.output().splitlines()
    assert f"export PEMU_BASE_URL={service.base_url}" in lines
    assert f"export PEMU_CA_BUNDLE={service.ca}" in lines
    assert f"export PEMU_API_KEY={service.api_key}" in lines


def test_restart_keeps_the_ca(service_script, tmp_path):
    # A CA path exported from an earlier run must keep verifying.
    cert_dir = tmp_path / "certs"
    ca_before = None
    for n in range(2):
        h = Harness(tmp_path, f"run{n}", [sys.executable, str(service_script), "--port", "0",
                                          "--cert-dir", str(cert_dir)]).start()
        try:
            info = h.info
            ca = (cert_dir / "ca.pem").read_bytes()
            assert ca_before in (None, ca)
            ca_before = ca
            ctx = ssl.create_default_context(cafile=info["ca"])
            with socket.create_connection(("127.0.0.1", info["port"]), timeout=10) as raw:
                with ctx.wrap_socket(raw, server_hostname="127.0.0.1"):
                    pass
        finally:
            h.stop()
