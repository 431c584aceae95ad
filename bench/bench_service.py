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


def async_batch(pemux, problems):
    """Seconds for the callback form to answer problems, all in flight at
    once, and the indices whose answer was missing or of the wrong size."""
    left = threading.Semaphore(0)
    bad = []

    def cb_for(i):
        def cb(words):
            if words is None or len(words) != sum(problems[i]) // 64 + 1:
                bad.append(i)
            left.release()
        return cb

    t0 = time.perf_counter()
    for i, values in enumerate(problems):
        pemux.complete_subset_sum_async(values, cb_for(i))
    for _ in problems:
        left.acquire()
    return time.perf_counter() - t0, bad


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

    problems = [w1_like(5000 + i) for i in range(args.concurrent)]
    res["concurrent_s"], bad = async_batch(pemux, problems)
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
    out.close()  # the service writes through its own copy
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


# -- on several machines: front end, Redis broker, workers ---------------------
#
#   python3 bench/bench_service.py --scaleout [--repeats 30] [--batch 60]
#
# On one machine, a front end with --broker, a redis-server of its own and
# one, then two, `pemux-service worker` processes of one solver each:
#   W1 latency   as above, beside the embedded default (which solves small
#                problems before answering the submit): what the broker adds;
#   throughput   --small (200) W1-sized asynchronous calls started at once,
#                and --batch (60) medium problems (200 values in 1..10^6,
#                about 20 ms to solve and 45 ms to compress each) from 16
#                threads, each until the last answer; for the embedded
#                default too (its --workers: one per core).

def medium_like(seed):
    rng = random.Random(seed)
    return [rng.randint(1, 1_000_000) for _ in range(200)]


def scaleout_client(args, out_path):
    import concurrent.futures

    import pemux

    pemux.complete_subset_sum_bytes(w1_like(0))
    lat = [timed(pemux.complete_subset_sum_bytes, w1_like(args.seed + i))[0]
           for i in range(args.repeats)]
    res = {"w1_solved_s": lat}

    small = [w1_like(args.seed + 10_000 + i) for i in range(args.small)]
    res["small_s"], bad = async_batch(pemux, small)

    # The bytes form in threads: a result list of 1.7 million words per
    # call would make the client, not the service, the bottleneck.
    medium = [medium_like(args.seed + 20_000 + i) for i in range(args.batch)]
    t0 = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(16) as pool:
        sizes = list(pool.map(lambda v: len(pemux.complete_subset_sum_bytes(v)), medium))
    res["batch_s"] = time.perf_counter() - t0
    bad += [i for i, (n, v) in enumerate(zip(sizes, medium, strict=True))
            if n != (sum(v) // 64 + 1) * 8]
    res["failed"] = len(bad)
    with open(out_path, "w") as f:
        json.dump(res, f)


def run_client(args, tmp, env, seed, batch):
    out_path = os.path.join(tmp, f"client-{seed}.json")
    child_env = dict(os.environ, **env)
    child_env.pop("PEMU_KILLSWITCH", None)
    cmd = [sys.executable, os.path.abspath(__file__), "--scaleout-client", out_path,
           "--repeats", str(args.repeats), "--batch", str(batch), "--seed", str(seed),
           "--small", str(args.small)]
    done = subprocess.run(cmd, env=child_env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise SystemExit("client failed:\n" + done.stderr[-4000:])
    with open(out_path) as f:
        return json.load(f)


def start_redis(tmp):
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    proc = subprocess.Popen(
        ["redis-server", "--bind", "127.0.0.1", "--port", str(port), "--dir", tmp,
         "--appendonly", "yes", "--appendfsync", "always", "--save", ""],
        stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return proc, f"redis://127.0.0.1:{port}/0"
        except OSError:
            if time.monotonic() > deadline:
                raise SystemExit("redis-server did not start") from None
            time.sleep(0.05)


def start_worker(data, url, n, tmp, extra=()):
    ready = os.path.join(tmp, f"worker{n}.ready")
    err = open(os.path.join(tmp, f"worker{n}.err"), "w")
    proc = subprocess.Popen([sys.executable, "-m", "pemux_service", "worker", "--data", data,
                             "--broker", url, "--processes", "1", "--ready-file", ready,
                             *extra],
                            stdout=subprocess.DEVNULL, stderr=err)
    err.close()  # the worker writes through its own copy
    deadline = time.monotonic() + 60
    while not os.path.exists(ready):
        if proc.poll() is not None or time.monotonic() > deadline:
            raise SystemExit("worker did not start")
        time.sleep(0.05)
    return proc


def scaleout(args):
    med = statistics.median
    with tempfile.TemporaryDirectory(prefix="pemux-bench-") as tmp:
        for sub in ("embedded", "shared"):
            os.mkdir(os.path.join(tmp, sub))
        embedded, env = start_service(os.path.join(tmp, "embedded", "data"), [])
        try:
            base = run_client(args, tmp, env, 1000, args.batch)
        finally:
            embedded.terminate()
            embedded.wait(30)
        redis_proc, url = start_redis(tmp)
        procs = [redis_proc]
        try:
            data = os.path.join(tmp, "shared", "data")
            front, env = start_service(data, ["--broker", url])
            procs.append(front)
            runs = {}
            for n in (1, 2):
                procs.append(start_worker(data, url, n, tmp, args.worker_args.split()))
                runs[n] = run_client(args, tmp, env, 100_000 * n, args.batch)
        finally:
            for p in reversed(procs):
                p.terminate()
                p.wait(30)
    runs = {0: base, **runs}
    names = {0: "embedded default", 1: "front end + Redis + 1 worker",
             2: "front end + Redis + 2 workers"}
    w1 = med(base["w1_solved_s"])
    print(f"| setup | W1 call, new problem (median of {args.repeats}) | {args.small} W1 calls "
          f"at once (async) | {args.batch} medium calls (16 threads) |")
    print("|---|---|---|---|")
    for n, r in runs.items():
        lat = med(r["w1_solved_s"])
        extra = f" ({ms(lat - w1)} more)" if n else ""
        failed = f", {r['failed']} FAILED" if r["failed"] else ""
        print(f"| {names[n]} | {ms(lat)}{extra} | {r['small_s']:.2f} s, "
              f"{args.small / r['small_s']:.0f}/s | {r['batch_s']:.2f} s, "
              f"{args.batch / r['batch_s']:.1f}/s{failed} |")


# -- one key's flood against another key's small solves -------------------------
#
#   python3 bench/bench_service.py --fairness [--repeats 30] [--flood 8] [--broker]
#
# Key B makes --repeats blocking W1-sized calls one after another, first on
# an idle service, then while key A floods it from --flood threads, each
# submitting new W1-sized problems without pause and without waiting for
# them (up to its queue limit). The goal: A's flood moves B's median by at
# most 2x.

def _https(base_url, ca):
    import http.client
    import ssl
    import urllib.parse
    u = urllib.parse.urlsplit(base_url)
    ctx = ssl.create_default_context(cafile=ca)
    return lambda: http.client.HTTPSConnection(u.hostname, u.port, context=ctx, timeout=120)


def _call(connect, key, values, wait=True):
    """One problem submitted and (with wait) polled for with a plain HTTPS
    client; True when its result came (or, without wait, it was taken)."""
    conn = connect()
    try:
        conn.request("POST", "/v0/app/sspu", json.dumps(values),
                     {"x-api-key": key, "Content-Type": "application/json"})
        m = re.search(rb'"requestId":"(\w+)"', conn.getresponse().read())
        if m is None or not wait:
            return m is not None
        while True:
            conn.request("GET", f"/v0/result?requestId={m.group(1).decode()}",
                         headers={"x-api-key": key})
            body = conn.getresponse().read()
            if not body.startswith(b'{"message"'):
                return body[:2] == b"\x1f\x8b"
    finally:
        conn.close()


def _flood_process(connect, key, args, stop, flooded):
    def flood(n):
        i = 0
        while not stop.is_set() and i < args.flood_calls:
            _call(connect, key, w1_like(10_000_000 + n * 100_000 + i), wait=False)
            with flooded.get_lock():
                flooded.value += 1
            i += 1
    threads = [threading.Thread(target=flood, args=(n,)) for n in range(args.flood)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def fairness(args):
    med = statistics.median
    with tempfile.TemporaryDirectory(prefix="pemux-bench-") as tmp:
        data = os.path.join(tmp, "data")
        procs = []
        extra = []
        if args.broker:
            redis_proc, url = start_redis(tmp)
            procs.append(redis_proc)
            extra = ["--broker", url]
        proc, env = start_service(data, extra)
        procs.append(proc)
        try:
            if args.broker:
                procs.append(start_worker(data, url, 1, tmp, ["--processes", "2"]))
            exe = [sys.executable, "-m", "pemux_service"]
            made = subprocess.run(exe + ["key", "new", "--data", data], capture_output=True,
                                  text=True, check=True).stdout
            key_a = re.search(r"PEMU_API_KEY=(\S+)", made).group(1)
            key_b = env["PEMU_API_KEY"]
            connect = _https(env["PEMU_BASE_URL"], env["PEMU_CA_BUNDLE"])
            _call(connect, key_b, w1_like(0))

            def b_medians(seed):
                lat = []
                for i in range(args.repeats):
                    dt, ok = timed(_call, connect, key_b, w1_like(seed + i))
                    assert ok, "B's call failed"
                    lat.append(dt)
                return lat

            alone = b_medians(1000)
            # A floods from a process of its own, so that B's client shares
            # no interpreter lock with it.
            import multiprocessing
            ctx = multiprocessing.get_context("fork")
            stop = ctx.Event()
            flooded = ctx.Value("i", 0)
            flooder = ctx.Process(target=_flood_process,
                                  args=(connect, key_a, args, stop, flooded))
            flooder.start()
            while flooded.value < args.flood:  # the flood under way
                time.sleep(0.05)
            during = b_medians(2000)
            stop.set()
            flooder.join()
        finally:
            for p in reversed(procs):
                p.terminate()
                p.wait(30)
    mode = "broker, 1 worker of 2 solvers" if args.broker else "embedded default"
    a, d = med(alone), med(during)
    print(f"| setup | B's W1 call alone (median of {args.repeats}) | during A's flood "
          f"({args.flood} threads) | ratio | max during |")
    print("|---|---|---|---|---|")
    print(f"| {mode} | {ms(a)} | {ms(d)} | {d / a:.2f}x | {ms(max(during))} |")
    print(f"(A's flood made {flooded.value} calls)")


if __name__ == "__main__":
    if "--fairness" in sys.argv:
        ap = argparse.ArgumentParser()
        ap.add_argument("--fairness", action="store_true")
        ap.add_argument("--repeats", type=int, default=30)
        ap.add_argument("--flood", type=int, default=8, help="key A's threads")
        ap.add_argument("--flood-calls", type=int, default=2000,
                        help="most calls per flood thread")
        ap.add_argument("--broker", action="store_true", help="through a broker and a worker")
        fairness(ap.parse_args())
    elif "--scaleout" in sys.argv or "--scaleout-client" in sys.argv:
        ap = argparse.ArgumentParser()
        ap.add_argument("--scaleout", action="store_true")
        ap.add_argument("--scaleout-client")
        ap.add_argument("--repeats", type=int, default=30)
        ap.add_argument("--batch", type=int, default=60)
        ap.add_argument("--small", type=int, default=200)
        ap.add_argument("--seed", type=int, default=0)
        ap.add_argument("--worker-args", default="", help="extra `pemux-service worker` options")
        a = ap.parse_args()
        scaleout_client(a, a.scaleout_client) if a.scaleout_client else scaleout(a)
    else:
        main()
