"""Reruns the front-door figures of the hardening review against
pemux-service on loopback: how long /healthz stalls while a 60 MB submit is
parsed, and what 1,000 idle connections do to a legitimate client.

    .venv/bin/python bench/harden_service.py
"""

import http.client
import json
import os
import pathlib
import re
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time


def start(work, *extra):
    data = work / "data"
    out = subprocess.run([sys.executable, "-m", "pemux_service", "key", "new", "--data",
                          str(data)], capture_output=True, text=True, check=True).stdout
    key = re.search(r"^export PEMU_API_KEY=(\S+)$", out, re.M).group(1)
    ready = work / "ready"
    err = open(work / "err", "wb")
    proc = subprocess.Popen([sys.executable, "-m", "pemux_service", "--data", str(data),
                             "--port", "0", "--ready-file", str(ready), "--workers", "1",
                             "--worker-memory", "700M", *extra],
                            stdout=subprocess.DEVNULL, stderr=err, stdin=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while not ready.exists():
        assert proc.poll() is None and time.monotonic() < deadline, "no start"
        time.sleep(0.05)
    info = json.loads(ready.read_text())
    return proc, info, key, ssl.create_default_context(cafile=info["ca"])


def health(info, ctx, timeout=30):
    t0 = time.monotonic()
    conn = http.client.HTTPSConnection("127.0.0.1", info["port"], context=ctx,
                                       timeout=timeout)
    conn.request("GET", "/healthz")
    conn.getresponse().read()
    conn.close()
    return time.monotonic() - t0


def stall(work):
    proc, info, key, ctx = start(work, "--max-body", "80M", "--max-total", str(1 << 62),
                                 "--inline-max-total", "0")
    try:
        for first in (0, 1):
            _stall_once(info, key, ctx, first)
    finally:
        proc.kill()
        proc.wait()


def _stall_once(info, key, ctx, first):
    body = json.dumps([10 ** 12 + i + first for i in range(4_300_000)]).encode()
    done = threading.Event()

    def submit():
        conn = http.client.HTTPSConnection("127.0.0.1", info["port"], context=ctx,
                                           timeout=300)
        conn.request("POST", "/v0/app/sspu", body=body, headers={"x-api-key": key})
        conn.getresponse().read()
        conn.close()
        done.set()
    t = threading.Thread(target=submit)
    t0 = time.monotonic()
    t.start()
    worst = 0.0
    while not done.is_set():
        worst = max(worst, health(info, ctx))
    t.join()
    print(f"{len(body) / 1e6:.0f} MB submit: answered in {time.monotonic() - t0:.2f} s, "
          f"longest /healthz meanwhile {worst * 1e3:.0f} ms")


def flood(work):
    proc, info, key, ctx = start(work, "--max-connections", "500", "--head-timeout", "5s")
    try:
        idle = []
        for _ in range(1000):
            try:
                idle.append(socket.create_connection(("127.0.0.1", info["port"]), timeout=5))
            except OSError:
                pass
        t0 = time.monotonic()
        while True:
            try:
                health(info, ctx, timeout=2)
                break
            except (OSError, ssl.SSLError):
                time.sleep(0.1)
        print(f"1000 idle connections at --max-connections 500 --head-timeout 5s: a "
              f"legitimate client answered after {time.monotonic() - t0:.2f} s; "
              f"service log {os.path.getsize(work / 'err')} bytes")
        for s in idle:
            s.close()
    finally:
        proc.kill()
        proc.wait()


if __name__ == "__main__":
    for run in (stall, flood):
        with tempfile.TemporaryDirectory() as d:
            run(pathlib.Path(d))
