"""subset_with_sum's default path: the service's subset route over the
client of the bitset calls, its answers checked before they are returned."""

import json
import os
import signal
import socket
import subprocess
import sys
import textwrap
import time

import pytest
from support.oracle import check_subset

import pemux

SUBSET_PATH = "/v0/app/subset"


PROBLEMS = [
    ([], 0), ([], 1), ([3, 5, 10], 8), ([3, 5, 10], 9), ([0, 0, 7], 0),
    ([3, -5, 7, 0, 5], 2), ([3, -5, 7], -5), ([-1, -2, -4], -3), ([-1, -2], 1),
    ([4, 4, 4], 12), ([2**63, 2**63 - 1], 2**64 - 1), ([1, 2], 2**100),
    ([1, 2], -(2**100)),
]


@pytest.mark.parametrize("values,total", PROBLEMS)
def test_agrees_with_brute_force(remote, values, total):
    check_subset(values, total, pemux.subset_with_sum(values, total))


def test_progress_gets_one_at_the_end(remote):
    told = []
    assert pemux.subset_with_sum([3, 5], 8, progress=told.append) == [0, 1]
    assert told == [1.0]


def test_a_wrong_key_is_refused(remote):
    remote(api_key="not-the-key")
    with pytest.raises(ConnectionError, match="^Forbidden$"):
        pemux.subset_with_sum([3, 5], 8)


@pytest.mark.parametrize("behaviours", [
    "notready-2", "xml-2", "partial-1", "droppoll-1", "pollsplit", "redirect-https",
    "redirect-other", "stall-poll-0.5"])
def test_faults_of_the_poll_are_ridden_out(remote, service, behaviours):
    mark = service.log_mark()
    remote(behaviours)
    assert pemux.subset_with_sum([3, 5, 10], 13) == [0, 2]
    entries = service.entries_since(mark)
    polls = [e for e in entries if e["path"] and "/v0/subset?" in e["path"]]
    assert polls, entries
    if behaviours.startswith("droppoll"):
        assert [e for e in entries if e["listener"] == "drop"]
    if behaviours == "redirect-other":
        # Followed to the other origin, which gets no key.
        assert [e["api_key"] for e in polls if e["listener"] == "other"] == [None]


# A damaged answer is refused, never returned: the client checks it itself.
@pytest.mark.parametrize("behaviours,message", [
    ("corrupt", "Result body is not a subset answer"),
    ("truncated", "Result body is not a subset answer"),
    ("empty", "Result body is not a subset answer"),
    ("oversize", "Result body is not a subset answer"),
    ("nototal", "Result indices do not sum to the total"),
    ("abovetotal", "Result index out of range"),
    ("huge", "Result body is longer than any result of this size can be"),
])
def test_damaged_answers_are_refused(remote, behaviours, message):
    remote(behaviours)
    with pytest.raises(ConnectionError) as e:
        pemux.subset_with_sum([3, 5, 10], 13)
    assert str(e.value) == message


# The submit and poll machinery is the bitset call's: it fails alike.
@pytest.mark.parametrize("behaviours", [
    "forbidden", "error", "html", "noid", "joberror", "redirect-http", "redirect-loop"])
def test_failures_match_the_bitset_call(remote, behaviours):
    remote(behaviours)
    with pytest.raises(ConnectionError) as bitset:
        pemux.complete_subset_sum([3, 5, 10])
    with pytest.raises(ConnectionError) as subset:
        pemux.subset_with_sum([3, 5, 10], 13)
    assert str(subset.value) == str(bitset.value)


def test_the_submit_goes_to_its_route_with_the_key(remote, service):
    # Whatever the service makes of it: what went out is the client's.
    mark = service.log_mark()
    try:
        pemux.subset_with_sum([3, -5, 2**64 - 9], -(2**70))
    except ConnectionError:
        pass
    sent = [e for e in service.entries_since(mark, "https") if e["method"] == "POST"]
    assert [e["path"] for e in sent] == [SUBSET_PATH]
    assert sent[0]["api_key"] == service.api_key
    assert sent[0]["content_type"] == "application/json"
    # Past 2**64 no subset reaches a total: the client sends it as 2**64.
    assert json.loads(sent[0]["body"]) == {"values": [3, -5, 2**64 - 9], "total": -(2**64)}


@pytest.mark.parametrize("env,shared", [
    ({"PEMU_BASE_URL": "http://127.0.0.1:9"}, "https://"),
    ({"PEMU_API_KEY": "key\r\nx-evil: 1"}, None),
])
def test_refusals_before_traffic_match_the_bitset_call(monkeypatch, env, shared):
    monkeypatch.delenv("PEMU_KILLSWITCH", raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    with pytest.raises(ConnectionError) as bitset:
        pemux.complete_subset_sum([3, 5])
    with pytest.raises(ConnectionError) as subset:
        pemux.subset_with_sum([3, 5], 8)
    assert str(subset.value) == str(bitset.value)
    if shared is not None:
        assert shared in str(subset.value)


CHILD = textwrap.dedent("""
    import time
    import pemux
    print("calling", flush=True)
    try:
        pemux.subset_with_sum([3, 5], 8)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
    except ConnectionError as e:
        print("failed", e, flush=True)
""")


def test_ctrl_c_ends_a_remote_wait(tmp_path, service):
    # A listener that takes connections and never answers: the submit waits
    # in its handshake until the signal ends it.
    with socket.socket() as mute:
        mute.bind(("127.0.0.1", 0))
        mute.listen(8)
        script = tmp_path / "child.py"
        script.write_text(CHILD)
        env = {k: v for k, v in os.environ.items() if not k.startswith("PEMU_")}
        env.update(PEMU_BASE_URL=f"https://127.0.0.1:{mute.getsockname()[1]}",
                   PEMU_CA_BUNDLE=service.ca, PEMU_API_KEY=service.api_key)
        child = subprocess.Popen([sys.executable, str(script)], env=env,
                                 stdout=subprocess.PIPE, text=True)
        try:
            while child.stdout.readline() not in ("calling\n", ""):
                pass
            time.sleep(0.5)  # inside the submit by now
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            out, _ = child.communicate(timeout=20)
        finally:
            child.kill()
            child.wait()
    ends = [line.split() for line in out.splitlines() if line.startswith("interrupted")]
    assert ends, out
    word, at = ends[0]
    assert float(at) > sent
