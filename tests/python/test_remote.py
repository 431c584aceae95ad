"""The module's default path, end to end against the local solving service.

The client's pauses are real seconds: no test here sees more than three
not-ready answers in-process. The full back-off schedule runs in a
subprocess whose sleep() is replaced by a recording shim.
"""

import os
import random
import shutil
import subprocess
import sys
import threading
import time

import pytest

import pemux
from bitsets import as_int, oracle

SUBMIT_PATH = "/v0/app/sspu"


def run_with_shim(shim, code, env, tmp_path, hide=(), args=(), timeout=120):
    """Runs code in a fresh interpreter with the shim preloaded; returns the
    completed process and the recorded pauses."""
    sleep_log = tmp_path / "sleeps.txt"
    full_env = {k: v for k, v in os.environ.items()
                if not k.startswith("PEMU_")}
    full_env.update(env)
    full_env.update(LD_PRELOAD=str(shim), PEMU_SHIM_SLEEP_LOG=str(sleep_log),
                    PEMU_SHIM_HIDE_PATHS=":".join(hide))
    proc = subprocess.run([sys.executable, "-c", code, *args], env=full_env,
                          capture_output=True, text=True, timeout=timeout)
    pauses = ([int(x) for x in sleep_log.read_text().split()]
              if sleep_log.exists() else [])
    return proc, pauses


SOLVE_AND_REPORT = """
import pemux
try:
    print("RESULT", pemux.complete_subset_sum([3, 5]))
except ConnectionError as e:
    print("ERROR", e)
"""


# ---------------------------------------------------------------- success --

@pytest.mark.parametrize("values", [
    [],
    [3, 5],
    [3, 5, 7, 11],
    [0, 0, 1],
    [random.Random(7).randrange(1, 10**5) for _ in range(40)],
    # Results beyond 64 KiB once decompressed must arrive whole.
    [300_000, 400_000, 5, 123_457],
], ids=["empty", "3-5", "four", "zeros", "random40", "beyond-64KiB"])
def test_solves_through_the_service(remote, values):
    words = pemux.complete_subset_sum(values)
    assert len(words) == sum(values) // 64 + 1
    assert as_int(words) == oracle(values)


@pytest.mark.parametrize("behaviours, printed", [
    ("zeropad", None),
    ("pollsplit", None),
    ("redirect-https", None),
])
def test_ready_body_variants_still_decode(remote, capfd, behaviours, printed):
    remote(behaviours)
    values = [3, 5, 70]
    assert as_int(pemux.complete_subset_sum(values)) == oracle(values)
    out = capfd.readouterr().out
    if printed is None:
        assert "Overrun output size" not in out
    else:
        assert out.count(printed) == 1


def test_not_ready_three_times_then_result(remote, capfd):
    remote("notready-3")
    start = time.monotonic()
    assert pemux.complete_subset_sum([3, 5]) == [0x129]
    elapsed = time.monotonic() - start
    out = capfd.readouterr().out
    assert out.count("Result not ready (23)\n") == 3
    assert "Overrode max retries" not in out
    assert elapsed >= 4  # pauses of 1, 1 and 2 seconds


@pytest.mark.parametrize("behaviours, printed", [
    ("xml-1", 'Output is not expected binary, got <?xml version="1.0"'),
    # Half a body then a refusal: bytes of a failed attempt must not
    # reach the decoder.
    ("partial-1", "Result not ready (23)\n"),
])
def test_deferred_poll_then_result(remote, capfd, behaviours, printed):
    remote(behaviours)
    values = [9, 1000, 77]
    assert as_int(pemux.complete_subset_sum(values)) == oracle(values)
    assert printed in capfd.readouterr().out


def test_key_and_body_reach_the_service(remote, service):
    mark = service.log_mark()
    pemux.complete_subset_sum([3, 5, 10])
    submit, poll = service.entries_since(mark)
    assert (submit["method"], submit["path"]) == ("POST", SUBMIT_PATH)
    assert submit["body"] == "[3,5,10]"
    assert submit["content_type"] == "application/json"
    assert submit["api_key"] == poll["api_key"] == service.api_key
    assert poll["method"] == "GET"
    assert poll["path"].startswith("/v0/result?requestId=")
    assert poll["content_type"] is None


# ------------------------------------------------- changes between phases --

def solve_switching_between_phases(service, values, switch):
    """Runs one request whose submit answer is held back for a second, and
    calls switch() once the submit has reached the service, so that the
    poll phase sees what switch() changed."""
    mark = service.log_mark()
    done = threading.Event()
    got = []
    pemux.complete_subset_sum_async(values, lambda r: (got.append(r), done.set()))
    deadline = time.monotonic() + 10
    while not any(e["path"].endswith(SUBMIT_PATH) for e in service.entries_since(mark)):
        assert time.monotonic() < deadline, "submit never reached the service"
        time.sleep(0.02)
    switch()
    assert done.wait(30), "no result delivered"
    return got[0], service.entries_since(mark)


def test_key_change_between_phases_shows_in_the_poll(remote, service, monkeypatch, capfd):
    second_key = service.api_keys[1]
    remote("stall-submit-1")
    result, entries = solve_switching_between_phases(
        service, [3, 5], lambda: monkeypatch.setenv("PEMU_API_KEY", second_key))
    assert [e["api_key"] for e in entries] == [service.api_key, second_key]
    # A request answers only the key that made it: to any other it is unknown.
    assert result is None
    assert "Unknown or expired requestId" in capfd.readouterr().out


def test_poll_refuses_a_base_url_turned_plain_http(remote, service, monkeypatch):
    remote("stall-submit-1")
    mark = service.log_mark()
    result, _ = solve_switching_between_phases(
        service, [3, 5], lambda: monkeypatch.setenv("PEMU_BASE_URL", service.http_url))
    assert result is None
    assert service.entries_since(mark, listener="http") == []


def test_poll_that_cannot_connect_fails_at_once(remote, service, monkeypatch,
                                                absent_url, capfd):
    remote("stall-submit-1")
    result, _ = solve_switching_between_phases(
        service, [3, 5], lambda: monkeypatch.setenv("PEMU_BASE_URL", absent_url))
    assert result is None
    out = capfd.readouterr().out
    assert "result fetch Curl failed with 7\n" in out
    assert "Failed with error: Submit problem curl failed with 7\n" in out
    assert "Result not ready" not in out


# ---------------------------------------------------------------- failures --

@pytest.mark.parametrize("behaviours, api_key, message, printed", [
    ("forbidden", None, "Forbidden",
     "Got message Forbidden\nBad API key\nForbidden\n"),
    (None, "not-the-key", "Forbidden", "Bad API key\n"),
    ("error", None, "Internal error", "Got message Internal error\n"),
    ("html", None, "unexpected opening character to response <", None),
    ("newline", None, "Submit problem curl failed with 23", None),
    ("noid", None, "Submit answer held no requestId", None),
    ("corrupt", None, "Result body could not be decoded (zlib status -", None),
    ("truncated", None, "Result body could not be decoded (zlib status -5", None),
    ("notgzip", None, "Result body could not be decoded (zlib status -3", None),
    ("empty", None, "Result body could not be decoded (zlib status -5", None),
    # No answer is taken on trust: what every true result satisfies.
    ("oversize", None, "Result holds bits beyond the result buffer",
     "Overrun output size\n"),
    ("bomb", None, "Result holds bits beyond the result buffer",
     "Overrun output size\n"),
    ("allzero", None, "Result lacks bit 0 (the empty subset)", None),
    ("nototal", None, "Result lacks the bit of the total of the values", None),
    ("abovetotal", None, "Result holds bits above the total of the values", None),
    ("huge", None, "Result body is longer than any result of this size can be", None),
    # The service gave up on the job.
    ("joberror", None, "worker died twice", None),
])
def test_failures_raise_connection_error(remote, capfd, behaviours, api_key,
                                         message, printed):
    remote(behaviours, api_key)
    with pytest.raises(ConnectionError) as exc:
        pemux.complete_subset_sum([3, 5])
    text = str(exc.value)
    assert text.startswith(message)
    out = capfd.readouterr().out
    assert f"Failed with error: {text}\n" in out
    assert f"Error occured {text}\n" in out
    if printed is not None:
        assert printed in out


def test_oversized_body_ends_its_attempt_at_once(remote, service):
    remote("huge")
    mark = service.log_mark()
    start = time.monotonic()
    with pytest.raises(ConnectionError, match="^Result body is longer than"):
        pemux.complete_subset_sum([3, 5])
    assert time.monotonic() - start < 5
    # One poll: a body too long is no "not ready".
    assert len(service.entries_since(mark)) == 2


def test_error_answer_ends_the_call_at_the_first_poll(remote, service, capfd):
    remote("joberror")
    mark = service.log_mark()
    done = threading.Event()
    got = []
    pemux.complete_subset_sum_async([3, 5], lambda r: (got.append(r), done.set()))
    assert done.wait(30)
    assert got == [None]
    assert len(service.entries_since(mark)) == 2  # the submit and one poll
    out = capfd.readouterr().out
    assert "Failed with error: worker died twice\n" in out
    assert "Result not ready" not in out


def test_submit_in_two_pieces_is_refused_at_the_second(remote, service):
    remote("split")
    mark = service.log_mark()
    with pytest.raises(ConnectionError,
                       match="^unexpected opening character to response "):
        pemux.complete_subset_sum([3, 5])
    assert len(service.entries_since(mark)) == 1


def test_accepted_submit_without_id_polls_nothing(remote, service):
    remote("noid")
    mark = service.log_mark()
    with pytest.raises(ConnectionError):
        pemux.complete_subset_sum([1])
    assert [e["path"] for e in service.entries_since(mark)] == [f"/b/noid{SUBMIT_PATH}"]


def test_absent_service_fails_without_retry(remote, monkeypatch, absent_url, capfd):
    monkeypatch.setenv("PEMU_BASE_URL", absent_url)
    with pytest.raises(ConnectionError, match="^Submit problem curl failed with 7$"):
        pemux.complete_subset_sum([1, 2])
    assert "Result not ready" not in capfd.readouterr().out


def test_failed_handshake_is_retried_five_times(remote, service, monkeypatch):
    monkeypatch.setenv("PEMU_BASE_URL", service.drop_url)
    mark = service.log_mark()
    with pytest.raises(ConnectionError, match="^Submit problem curl failed with 35$"):
        pemux.complete_subset_sum([1, 2])
    assert len(service.entries_since(mark, listener="drop")) == 5


def test_slow_answers_are_waited_for(remote):
    remote("stall-submit-0.5+stall-poll-0.5")
    assert pemux.complete_subset_sum([1, 2]) == [15]


# ----------------------------------------------------- the API key's safety --

def test_key_never_appears_in_output_but_the_trace_does(service, shim, tmp_path):
    secret = "s3cret-" + "q" * 20
    env = service.env(api_key=secret)
    proc, _ = run_with_shim(shim, SOLVE_AND_REPORT, env, tmp_path)
    assert "ERROR Forbidden" in proc.stdout  # the key did reach the service
    assert secret not in proc.stdout and secret not in proc.stderr
    assert "> POST /v0/app/sspu HTTP/1.1" in proc.stderr
    assert "x-api-key: ***\n" in proc.stderr
    assert "< HTTP/1.1 403" in proc.stderr


def test_redirect_to_plain_http_is_not_followed(remote, service, capfd):
    remote("redirect-http")
    mark = service.log_mark()
    with pytest.raises(ConnectionError, match="^Submit problem curl failed with 1$"):
        pemux.complete_subset_sum([3, 5])
    assert "result fetch Curl failed with 1\n" in capfd.readouterr().out
    assert service.entries_since(mark, listener="http") == []


def _refused_before_any_traffic(service, monkeypatch, name, value):
    """Setting name to value makes a call fail locally, naming the variable,
    with no request made."""
    monkeypatch.setenv(name, value)
    mark = service.log_mark()
    with pytest.raises(ConnectionError) as exc:
        pemux.complete_subset_sum([3, 5])
    assert str(exc.value).startswith("[Local failure] ")
    assert name in str(exc.value)
    assert service.entries_since(mark) == []


def test_plain_http_base_url_is_refused_before_any_traffic(remote, service,
                                                           monkeypatch, capfd):
    _refused_before_any_traffic(service, monkeypatch, "PEMU_BASE_URL", service.http_url)
    assert "Trying" not in capfd.readouterr().err


@pytest.mark.parametrize("tail", ["\r\nX-Injected: 1", "\nmore", "\x01", "tab\tbed",
                                  "\x7f"])
def test_key_with_control_characters_is_refused_unprinted(remote, service, monkeypatch,
                                                          capfd, tail):
    _refused_before_any_traffic(service, monkeypatch, "PEMU_API_KEY", "ctl-Key-8d1e" + tail)
    captured = capfd.readouterr()
    assert "ctl-Key-8d1e" not in captured.out + captured.err


def test_same_origin_redirect_keeps_the_key(remote, service):
    remote("redirect-https")
    mark = service.log_mark()
    assert pemux.complete_subset_sum([3, 5]) == [0x129]
    polls = [e for e in service.entries_since(mark) if "/v0/result" in e["path"]]
    assert len(polls) == 2
    assert [e["api_key"] for e in polls] == [service.api_key] * 2


def test_redirect_to_another_origin_goes_without_the_key(remote, service):
    remote("redirect-other")
    mark = service.log_mark()
    values = [3, 5, 70]
    assert as_int(pemux.complete_subset_sum(values)) == oracle(values)
    other = service.entries_since(mark, listener="other")
    assert len(other) == 1 and other[0]["path"].startswith("/v0/result?requestId=")
    assert other[0]["api_key"] is None
    assert [e["api_key"] for e in service.entries_since(mark, listener="https")] == \
        [service.api_key] * 2


def test_redirect_loop_stops_after_ten_hops(remote, service, capfd):
    remote("redirect-loop")
    mark = service.log_mark()
    with pytest.raises(ConnectionError, match="^Submit problem curl failed with 47$"):
        pemux.complete_subset_sum([3, 5])
    polls = [e for e in service.entries_since(mark) if "/v0/result" in e["path"]]
    assert len(polls) == 11  # the poll and ten hops
    assert "result fetch Curl failed with 47\n" in capfd.readouterr().out


# ----------------------------------------------------- bounded transfers --

SOLVE_SIZED = """
import sys
import pemux
values = [int(v) for v in sys.argv[1:]]
try:
    words = pemux.complete_subset_sum(values)
    print("WORDS", len(words), words[0] & 1, words[-1] >> (sum(values) % 64))
except ConnectionError as e:
    print("ERROR", e)
"""


@pytest.mark.parametrize("behaviours, values", [
    # Below the speed floor: cut once the (shortened) window has passed.
    ("drip-1", [3, 5]),
    # Above the floor but without end: cut at the (shortened) deadline.
    # The result is large enough that the body bound does not cut first.
    ("flood-1", [1 << 23]),
])
def test_every_attempt_ends_and_counts_as_not_ready(service, shim, tmp_path,
                                                    behaviours, values):
    env = service.env(behaviours)
    # Connect 0.3 s, low-speed window 1 s, deadline 3 s.
    env["PEMU_SHIM_CURL_TIME_DIVISOR"] = "100"
    start = time.monotonic()
    proc, pauses = run_with_shim(shim, SOLVE_SIZED, env, tmp_path,
                                 args=[str(v) for v in values], timeout=30)
    assert time.monotonic() - start < 20
    total = sum(values)
    assert f"WORDS {total // 64 + 1} 1 1\n" in proc.stdout
    assert proc.stdout.count("Result not ready (28)\n") == 1
    assert pauses == [1]


def test_poll_failing_its_handshake_is_retried_on_the_schedule(service, shim, tmp_path):
    env = service.env("droppoll-3")
    proc, pauses = run_with_shim(shim, SOLVE_AND_REPORT, env, tmp_path)
    assert "RESULT [297]\n" in proc.stdout
    assert proc.stdout.count("Result not ready (35)\n") == 3
    assert pauses == [1, 1, 2]


# ------------------------------------------------- schedule and CA probing --

def schedule(n):
    return [2 ** min(j // 2, 31) for j in range(n)]


@pytest.mark.parametrize("maxretries, attempts", [
    (None, 20), ("7", 30), ("abc", 30), ("31", 31), ("70", 70),
])
def test_back_off_schedule(service, shim, tmp_path, maxretries, attempts):
    env = service.env("notready-1000")
    if maxretries is not None:
        env["PEMU_MAXRETRIES"] = maxretries
    proc, pauses = run_with_shim(shim, SOLVE_AND_REPORT, env, tmp_path)
    assert proc.stdout.count("Result not ready (23)\n") == attempts
    assert pauses == schedule(attempts)
    assert "ERROR Submit problem curl failed with 23" in proc.stdout
    if maxretries is None:
        assert "Overrode max retries" not in proc.stdout
    else:
        assert proc.stdout.count(f"Overrode max retries to {attempts}") == 1


@pytest.mark.parametrize("behaviours, printed", [
    (None, ""),
    ("notready-1", "Overrode max retries to 30Result not ready (23)\n"),
    ("xml-1", "Overrode max retries to 30Result not ready (23)\n"),
])
def test_override_is_read_only_after_a_first_answer_not_ready(service, shim, tmp_path,
                                                               behaviours, printed):
    env = service.env(behaviours)
    env["PEMU_MAXRETRIES"] = "7"
    proc, pauses = run_with_shim(shim, SOLVE_AND_REPORT, env, tmp_path)
    assert "RESULT [297]\n" in proc.stdout
    assert proc.stdout.count("Overrode max retries") == (1 if printed else 0)
    assert printed in proc.stdout
    assert pauses == ([1] if printed else [])


CA_TABLE = [
    "/etc/ssl/certs/ca-certificates.crt", "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/ssl/ca-bundle.pem", "/etc/pki/tls/cacert.pem",
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem", "/etc/ssl/cert.pem",
    "/etc/ssl/certs", "/system/etc/security/cacerts", "/usr/local/share/certs",
    "/etc/pki/tls/certs", "/etc/openssl/certs", "/var/ssl/certs",
]


def test_no_ca_location_fails_before_any_traffic(service, shim, tmp_path):
    env = service.env()
    del env["PEMU_CA_BUNDLE"]
    mark = service.log_mark()
    proc, _ = run_with_shim(shim, SOLVE_AND_REPORT, env, tmp_path, hide=CA_TABLE)
    checked = [l for l in proc.stdout.splitlines()
               if l.startswith("Checking curl cert location ")]
    assert checked == [f"Checking curl cert location {p}" for p in CA_TABLE]
    assert "ERROR Couldn't find ca cert" in proc.stdout
    assert service.entries_since(mark) == []


@pytest.mark.skipif(not os.path.isdir("/etc/ssl/certs"), reason="no CA directory")
def test_ca_directory_is_used_as_a_directory(service, shim, tmp_path):
    # Only the directory entry remains: the service's private CA is not in
    # it, so the handshake must fail on verification (60), not on a CA file
    # that is really a directory (77).
    env = service.env()
    del env["PEMU_CA_BUNDLE"]
    proc, _ = run_with_shim(shim, SOLVE_AND_REPORT, env, tmp_path, hide=CA_TABLE[:6])
    assert "Found curl cert\n" in proc.stdout
    assert proc.stdout.count("Checking curl cert location") == 7
    assert "ERROR Submit problem curl failed with 60" in proc.stdout


@pytest.mark.skipif(shutil.which("openssl") is None, reason="no openssl tool")
def test_own_ca_bundle_may_be_a_hashed_directory(remote, service, monkeypatch, tmp_path):
    digest = subprocess.run(["openssl", "x509", "-hash", "-noout", "-in", service.ca],
                            capture_output=True, text=True, check=True).stdout.strip()
    shutil.copy(service.ca, tmp_path / f"{digest}.0")
    monkeypatch.setenv("PEMU_CA_BUNDLE", str(tmp_path))
    assert pemux.complete_subset_sum([1, 2]) == [15]


def test_missing_own_ca_bundle_fails_before_any_traffic(remote, service, monkeypatch,
                                                        tmp_path, capfd):
    monkeypatch.setenv("PEMU_CA_BUNDLE", str(tmp_path / "nowhere.pem"))
    mark = service.log_mark()
    with pytest.raises(ConnectionError, match=r"^\[Local failure\] PEMU_CA_BUNDLE"):
        pemux.complete_subset_sum([1])
    assert capfd.readouterr().out.count("Checking curl cert location") == 1
    assert service.entries_since(mark) == []
