#!/usr/bin/env python3
"""Local solver against its peers, end to end, in one run.

    python3 bench/bench_local.py [--workloads W1,W4] [--repeats 7] [--json out.json]

For each workload, four ways to get every subset sum into Python:

  pemux   pemux.complete_subset_sum(values) with PEMU_KILLSWITCH=1: a list
          of ints in, the result list of 64-bit words out;
  bytes   pemux.complete_subset_sum_bytes(values), same switch: the same
          words as one bytes object, little-endian;
  bigint  r = 1; for x in xs: r |= r << x   (the idiom alone; turning r into
          the same words is timed separately and not charged to it);
  numpy   a boolean array, dp[x:top+1] |= dp[:top+1-x] over the part reached
          so far (turning dp into words is not charged to it either).

Each way runs in a fresh subprocess: the peak memory of its first run is the
growth of the process's peak resident size, then further runs give the
median time. Every way's answer is reduced to the same 64-bit words and
compared. Needs pemux (installed) and numpy.
"""
import argparse
import gc
import hashlib
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import time

WORKLOADS = {
    # name: (seed, count, smallest, largest); values uniform in between
    "W1": (1, 1_000, 1, 1_000),
    "W2": (2, 100, 1, 100_000),
    "W3": (3, 10_000, 1, 100),
    "W4": (4, 20, 1, 100_000_000),
    "W5": (5, 200, 1, 10_000_000),
    "W6": (6, 30, 10_000_000, 20_000_000),
}
METHODS = ("pemux", "bytes", "bigint", "numpy")
TIME_BUDGET_S = 30.0  # per way and workload; at least 3 runs regardless


def values_of(name):
    import random

    seed, count, smallest, largest = WORKLOADS[name]
    rng = random.Random(seed)
    return [rng.randint(smallest, largest) for _ in range(count)]


def current_rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def peak_rss_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def words_digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


# ---- the three ways, each returning (solve, to_words) ------------------------


def way_pemux(xs):
    os.environ["PEMU_KILLSWITCH"] = "1"
    import array

    import pemux

    def solve():
        return pemux.complete_subset_sum(xs)

    def to_words(res):
        return array.array("Q", res).tobytes()

    return solve, to_words


def way_bytes(xs):
    os.environ["PEMU_KILLSWITCH"] = "1"
    import pemux

    def solve():
        return pemux.complete_subset_sum_bytes(xs)

    def to_words(res):
        return res

    return solve, to_words


def way_bigint(xs):
    nbytes = (sum(xs) // 64 + 1) * 8

    def solve():
        r = 1
        for x in xs:
            r |= r << x
        return r

    def to_words(r):
        return r.to_bytes(nbytes, "little")

    return solve, to_words


def way_numpy(xs):
    import numpy as np

    total = sum(xs)
    nbytes = (total // 64 + 1) * 8

    def solve():
        dp = np.zeros(total + 1, dtype=bool)
        dp[0] = True
        top = 0
        for x in xs:
            if x:
                top += x
                # Overlapping operands: NumPy reads the right side as it was.
                dp[x : top + 1] |= dp[: top + 1 - x]
        return dp

    def to_words(dp):
        packed = np.packbits(dp, bitorder="little").tobytes()
        return packed + bytes(nbytes - len(packed))

    return solve, to_words


def worker(method, name, repeats):
    """Runs one way on one workload; prints a JSON line."""
    xs = values_of(name)
    solve, to_words = {"pemux": way_pemux, "bytes": way_bytes,
                       "bigint": way_bigint, "numpy": way_numpy}[method](xs)
    gc.collect()
    gc.disable()
    before = current_rss_kib()
    t0 = time.perf_counter()
    res = solve()
    first = time.perf_counter() - t0
    peak_kib = max(0, peak_rss_kib() - before)

    out = {"method": method, "workload": name, "peak_kib": peak_kib}
    if method == "pemux":
        # What the call has to hold at its end: the result buffer and the
        # result list with each distinct int object once.
        distinct = {id(o): o for o in res}
        list_bytes = sys.getsizeof(res) + sum(sys.getsizeof(o) for o in distinct.values())
        out["buffer_bytes"] = 8 * len(res)
        out["list_bytes"] = list_bytes
        del distinct
        try:
            import ctypes

            import pemux

            lib = ctypes.CDLL(pemux.__file__)
            lib._fmss_kernel_name.restype = ctypes.c_char_p
            out["kernel"] = lib._fmss_kernel_name().decode()
        except (OSError, AttributeError):
            out["kernel"] = "?"
    if method == "bytes":
        out["result_bytes"] = len(res)
    t0 = time.perf_counter()
    words = to_words(res)
    out["to_words_s"] = time.perf_counter() - t0
    out["digest"] = words_digest(words)
    out["words"] = len(words) // 8
    del words, res

    times = [first]
    spent = first
    while len(times) < repeats and (spent < TIME_BUDGET_S or len(times) < 3):
        gc.collect()
        t0 = time.perf_counter()
        res = solve()
        dt = time.perf_counter() - t0
        del res
        times.append(dt)
        spent += dt
    out["times_s"] = times
    out["median_s"] = statistics.median(times)
    print(json.dumps(out))


def run_worker(method, name, repeats):
    env = dict(os.environ, PEMU_KILLSWITCH="1")
    proc = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--worker", method, name,
         str(repeats)],
        capture_output=True, text=True, env=env)
    lines = [l for l in proc.stdout.splitlines() if l.startswith("{")]
    if proc.returncode != 0 or not lines:
        raise SystemExit(f"{method} on {name} failed:\n{proc.stdout}\n{proc.stderr}")
    return json.loads(lines[-1])


def machine():
    info = {"python": platform.python_version(), "platform": platform.platform()}
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in out.splitlines():
            key, _, val = line.partition(":")
            if key.strip() in ("Model name", "CPU(s)", "L2 cache", "L3 cache"):
                info[key.strip()] = val.strip()
    except OSError:
        pass
    try:
        import numpy

        info["numpy"] = numpy.__version__
    except ImportError:
        pass
    return info


def fmt_time(s):
    return f"{s * 1e3:.2f} ms" if s < 1 else f"{s:.2f} s"


def fmt_mib(kib):
    return f"{kib / 1024:.1f}"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--workloads", default=",".join(WORKLOADS))
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--json", help="also write the raw results here")
    ap.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        worker(args.worker[0], args.worker[1], int(args.worker[2]))
        return

    names = args.workloads.split(",")
    results = {}
    for name in names:
        for method in METHODS:
            print(f"{name} {method} ...", file=sys.stderr, flush=True)
            results[(name, method)] = run_worker(method, name, args.repeats)

    info = machine()
    kernel = results[(names[0], "pemux")].get("kernel", "?")
    print(f"Machine: {info.get('Model name', '?')}, {info.get('CPU(s)', '?')} CPUs, "
          f"L2 {info.get('L2 cache', '?')}, L3 {info.get('L3 cache', '?')}; "
          f"Python {info['python']}, NumPy {info.get('numpy', '?')}; "
          f"pemux kernel: {kernel}, PEMU_THREADS={os.environ.get('PEMU_THREADS', '(unset)')} "
          f"of {len(os.sched_getaffinity(0))} usable cores")
    print()
    print("| workload | total | list | bytes | bigint | numpy | bigint/list | bigint/bytes "
          "| numpy/list | peak MiB list / bytes / bigint / numpy "
          "| list peak / (buffer + list) | bytes peak / result | same bits |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    ok = True
    for name in names:
        p, y, b, n = (results[(name, m)] for m in METHODS)
        same = p["digest"] == y["digest"] == b["digest"] == n["digest"]
        need_kib = (p["buffer_bytes"] + p["list_bytes"]) / 1024
        mem_ratio = p["peak_kib"] / need_kib
        bytes_ratio = y["peak_kib"] / (y["result_bytes"] / 1024)
        total = sum(values_of(name))
        rb, rn = b["median_s"] / p["median_s"], n["median_s"] / p["median_s"]
        ry = b["median_s"] / y["median_s"]
        print(f"| {name} | {total:,} | {fmt_time(p['median_s'])} | {fmt_time(y['median_s'])} "
              f"| {fmt_time(b['median_s'])} (+{fmt_time(b['to_words_s'])} to words) "
              f"| {fmt_time(n['median_s'])} | {rb:.1f}x | {ry:.1f}x | {rn:.1f}x "
              f"| {fmt_mib(p['peak_kib'])} / {fmt_mib(y['peak_kib'])} / "
              f"{fmt_mib(b['peak_kib'])} / {fmt_mib(n['peak_kib'])} "
              f"| {mem_ratio:.2f} | {bytes_ratio:.2f} | {'yes' if same else 'NO'} |")
        ok &= same
    print()
    print("Times are medians of up to "
          f"{args.repeats} runs (at least 3; fewer than {args.repeats} once a way "
          f"has spent {TIME_BUDGET_S:.0f} s). Peak MiB: growth of the peak resident "
          "size over the first run, in a fresh process.")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": info,
                       "results": [dict(r) for r in results.values()]}, f, indent=1)
    if not ok:
        raise SystemExit("peers disagree")


if __name__ == "__main__":
    main()
