#!/usr/bin/env python3
"""The real module against a pemux-service on loopback, in one run.

    python3 bench/bench_service.py [--repeats 30] [--concurrent 200] [--json out.json]

Starts `pemux-service` on a fresh data directory and a free port, then
measures, with the module's own remote path (PEMU_BASE_URL and friends):

  W1 latency   median time of one blocking call on a W1-sized problem
               (1,000 values in 1..1,000, a new problem every call, so each
               one is solved; and the same problem again, answered from the
               stored result);
  throughput   200 asynchronous W1-sized calls started at once, until the
               last callback;
  W4           the remote call against the local call (PEMU_KILLSWITCH=1)
               on W4 (20 values in 1..10^8): the time beyond the local call
               is what the service, gzip, transfer and decoding add.
               Cold: a new problem each time; warm: a stored result.

plus the compression table behind the service's gzip setting.
Needs pemux and pemux-service installed (pip install ".[service]").
"""
import argparse
import json
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_local import values_of


def w1_like(seed):
    rng = random.Random(seed)
    return [rng.randint(1, 1_000) for _ in range(1_000)]


def variant(name, seed):
    values = values_of(name)
    # Same size and total within 0.1%; another multiset, so solved anew.
    values[-1] += seed
    return values


def timed(fn, *args):
    t0 = time.perf_counter()
    out = fn(*args)
    return time.perf_counter() - t0, out


def client(args, out_path):
    """Runs in a child process whose output goes nowhere: the module prints
    its diagnostics and libcurl's trace on every call."""
    import pemux

    res = {}

    def local(values):
        os.environ["PEMU_KILLSWITCH"] = "1"
        try:
            return pemux.complete_subset_sum_bytes(values)
        finally:
            del os.environ["PEMU_KILLSWITCH"]

    # Warm-up: the first call pays for libcurl's and OpenSSL's start.
    pemux.complete_subset_sum_bytes(w1_like(0))

    lat = []
    for i in range(args.repeats):
        values = w1_like(1000 + i)
        dt, got = timed(pemux.complete_subset_sum_bytes, values)
        assert got == local(values), "W1 result differs from the local path"
        lat.append(dt)
    res["w1_solved_s"] = lat
    same = w1_like(1000)
    res["w1_stored_s"] = [timed(pemux.complete_subset_sum_bytes, same)[0]
                          for _ in range(args.repeats)]

    n = args.concurrent
    problems = [w1_like(5000 + i) for i in range(n)]
    left = threading.Semaphore(0)
    bad = []

    def cb_for(i):
        def cb(words):
            if words is None or len(words) != sum(problems[i]) // 64 + 1:
                bad.append(i)
            left.release()
        return cb

    t0 = time.perf_counter()
    for i in range(n):
        pemux.complete_subset_sum_async(problems[i], cb_for(i))
    for _ in range(n):
        left.acquire()
    res["concurrent_s"] = time.perf_counter() - t0
    res["concurrent_failed"] = len(bad)

    for name in args.large.split(","):
        values = values_of(name)
        res[f"{name}_local_s"] = [timed(local, values)[0] for _ in range(args.w4_repeats)]
        cold = []
        for i in range(args.w4_repeats):
            other = variant(name, i + 1)
            dt, got = timed(pemux.complete_subset_sum_bytes, other)
            assert got == local(other), f"{name} result differs from the local path"
            cold.append(dt)
        res[f"{name}_cold_s"] = cold
        pemux.complete_subset_sum_bytes(values)
        res[f"{name}_warm_s"] = [timed(pemux.complete_subset_sum_bytes, values)[0]
                                 for _ in range(args.w4_repeats)]
    with open(out_path, "w") as f:
        json.dump(res, f)


def gzip_table(names):
    os.environ["PEMU_KILLSWITCH"] = "1"
    import pemux

    rows = []
    for name in names:
        bitset = pemux.complete_subset_sum_bytes(values_of(name))
        for label, level, strategy in (("1", 1, zlib.Z_DEFAULT_STRATEGY),
                                       ("1 rle", 1, zlib.Z_RLE),
                                       ("6", 6, zlib.Z_DEFAULT_STRATEGY),
                                       ("9", 9, zlib.Z_DEFAULT_STRATEGY)):
            times = []
            for _ in range(3):
                t0 = time.perf_counter()
                c = zlib.compressobj(level, zlib.DEFLATED, 31, 9, strategy)
                size = len(c.compress(bitset)) + len(c.flush())
                times.append(time.perf_counter() - t0)
            rows.append((name, len(bitset), label, size, min(times)))
    return rows


def start_service(data, extra):
    top = os.path.dirname(data)
    ready = os.path.join(top, "ready.json")
    out = open(os.path.join(top, "service.out"), "w+")
    exe = shutil.which("pemux-service")
    exe = [exe] if exe else [sys.executable, "-m", "pemux_service"]
    os.makedirs(data)
    made = subprocess.run(exe + ["key", "new", "--data", data], capture_output=True,
                          text=True, check=True).stdout
    cmd = exe + [
        "--data", data, "--port", "0", "--ready-file", ready,
        "--log", os.path.join(top, "requests.log"), *extra]
    proc = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 60
    while not os.path.exists(ready):
        if proc.poll() is not None or time.monotonic() > deadline:
            out.seek(0)
            raise SystemExit("pemux-service did not start:\n" + out.read())
        time.sleep(0.05)
    out.seek(0)
    env = dict(re.findall(r"^export (PEMU_\w+)=(\S+)$", out.read() + made, re.M))
    return proc, env


def ms(s):
    return f"{s * 1e3:.1f} ms"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--repeats", type=int, default=30)
    ap.add_argument("--w4-repeats", type=int, default=5)
    ap.add_argument("--concurrent", type=int, default=200)
    ap.add_argument("--large", default="W4", help="workloads timed against the local call")
    ap.add_argument("--no-gzip-table", action="store_true")
    ap.add_argument("--service-args", default="", help="extra pemux-service options")
    ap.add_argument("--json", help="also write the raw results here")
    ap.add_argument("--client", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.client:
        client(args, args.client)
        return

    with tempfile.TemporaryDirectory(prefix="pemux-bench-") as tmp:
        data = os.path.join(tmp, "data")
        proc, env = start_service(data, args.service_args.split())
        try:
            out_path = os.path.join(tmp, "client.json")
            child_env = dict(os.environ, **env)
            child_env.pop("PEMU_KILLSWITCH", None)
            cmd = [sys.executable, os.path.abspath(__file__), "--client", out_path,
                   "--repeats", str(args.repeats), "--w4-repeats", str(args.w4_repeats),
                   "--concurrent", str(args.concurrent), "--large", args.large]
            done = subprocess.run(cmd, env=child_env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, text=True)
            if done.returncode != 0:
                raise SystemExit("client failed:\n" + done.stderr[-4000:])
            with open(out_path) as f:
                res = json.load(f)
        finally:
            proc.terminate()
            proc.wait(30)

    med = statistics.median
    w1, w1s = med(res["w1_solved_s"]), med(res["w1_stored_s"])
    n = args.concurrent
    print("| measure | result | goal |")
    print("|---|---|---|")
    print(f"| W1, one blocking call, new problem (median of {args.repeats}) "
          f"| {ms(w1)} | < 50 ms |")
    print(f"| W1, one blocking call, stored result (median of {args.repeats}) | {ms(w1s)} | |")
    failed = res["concurrent_failed"]
    print(f"| {n} concurrent asynchronous W1-sized calls "
          f"| {res['concurrent_s']:.2f} s, {n / res['concurrent_s']:.0f} calls/s"
          f"{f', {failed} FAILED' if failed else ''} | |")
    for name in args.large.split(","):
        local, cold, warm = (med(res[f"{name}_{k}_s"]) for k in ("local", "cold", "warm"))
        goal = "< 1.5x" if name == "W4" else ""
        print(f"| {name} local call (median of {args.w4_repeats}) | {ms(local)} | |")
        print(f"| {name} remote call, new problem | {ms(cold)}: {ms(cold - local)} beyond "
              f"local = {(cold - local) / local:.2f}x | {goal} |")
        print(f"| {name} remote call, stored result | {ms(warm)}: {ms(warm - local)} beyond "
              f"local = {(warm - local) / local:.2f}x | {goal} |")
    print()
    if args.no_gzip_table:
        return
    print("| workload | bitset bytes | gzip level | stream bytes | compress |")
    print("|---|---|---|---|---|")
    rows = gzip_table(["W1", "W2", "W4", "W5"])
    for name, size, label, gz, t in rows:
        print(f"| {name} | {size:,} | {label} | {gz:,} | {ms(t)} |")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"client": res, "gzip": rows}, f, indent=1)


if __name__ == "__main__":
    main()
