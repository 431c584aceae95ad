#!/usr/bin/env python3
"""Which values make a total: pemux against its peers, end to end.

    python3 bench/bench_subset.py [--workloads W4,W6,W24] [--repeats 5] [--timeout 60]

For each workload (values as in bench_local.py; W24 is 24 values in
2**24 ... 2**25) and a reachable total (the sum of a seeded random half of
the values), four ways:

  pemux   pemux.subset_with_sum(values, total), PEMU_KILLSWITCH=1;
  solve   pemux.complete_subset_sum_bytes(values): every sum, no subset;
          the yardstick of the time bound;
  bigint  r = 1; r |= r << x for each x, every layer kept, then walked back
          from the total (a layer missing the remainder marks its value);
  dpss    dpss.find_subset(values, total, len(values)), when installed.

Each way runs in a fresh subprocess under a time limit: the peak memory of
its first run is the growth of the process's peak resident size, further
runs give the median time. Every subset found is checked by summing.
"""
import argparse
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import time

WORKLOADS = {
    # name: (seed, count, smallest, largest); values uniform in between
    "W4": (4, 20, 1, 100_000_000),
    "W5": (5, 200, 1, 10_000_000),
    "W6": (6, 30, 10_000_000, 20_000_000),
    "W24": (24, 24, 2**24, 2**25),
}
METHODS = ("pemux", "solve", "bigint", "dpss")


def problem(name):
    seed, count, smallest, largest = WORKLOADS[name]
    rng = random.Random(seed)
    values = [rng.randint(smallest, largest) for _ in range(count)]
    total = sum(v for v in values if rng.random() < 0.5)
    return values, total


def bigint_subset(values, total):
    layers = [1]
    for x in values:
        layers.append(layers[-1] | (layers[-1] << x))
    if not (layers[-1] >> total) & 1:
        return None
    picked, r = [], total
    for k in range(len(values), 0, -1):
        if not (layers[k - 1] >> r) & 1:
            r -= values[k - 1]
            picked.append(k - 1)
    return sorted(picked)


def way(method, values, total):
    if method == "pemux":
        os.environ["PEMU_KILLSWITCH"] = "1"
        import pemux
        return lambda: pemux.subset_with_sum(values, total)
    if method == "solve":
        os.environ["PEMU_KILLSWITCH"] = "1"
        import pemux
        return lambda: pemux.complete_subset_sum_bytes(values)
    if method == "bigint":
        return lambda: bigint_subset(values, total)
    import dpss
    return lambda: dpss.find_subset(values, total, len(values))


def check(method, values, total, answer):
    if method == "solve":
        assert (answer[total // 8] >> (total % 8)) & 1
    elif method == "dpss":
        assert answer and all(sum(s) == total for s in answer)
    else:
        assert sum(values[i] for i in answer) == total


def run_one(method, name, repeats, budget_s):
    values, total = problem(name)
    solve = way(method, values, total)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    times, start = [], time.monotonic()
    while len(times) < repeats and (len(times) < 1 or time.monotonic() - start < budget_s):
        t0 = time.perf_counter()
        answer = solve()
        times.append(time.perf_counter() - t0)
        if len(times) == 1:
            peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
            check(method, values, total, answer)
        del answer
    return {"median_s": statistics.median(times), "runs": len(times), "peak_mib": peak / 1024}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--workloads", default="W4,W6,W24")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--timeout", type=float, default=60.0)
    ap.add_argument("--one", nargs=2, metavar=("METHOD", "WORKLOAD"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.one:
        print(json.dumps(run_one(*args.one, args.repeats, args.timeout / 2)))
        return
    rows = []
    for name in args.workloads.split(","):
        values, total = problem(name)
        print(f"{name}: {len(values)} values, total {total}, bitset "
              f"{(sum(values) // 64 + 1) * 8 / 2**20:.1f} MiB", flush=True)
        for method in METHODS:
            try:
                out = subprocess.run(
                    [sys.executable, __file__, "--one", method, name,
                     "--repeats", str(args.repeats), "--timeout", str(args.timeout)],
                    capture_output=True, text=True, timeout=args.timeout)
            except subprocess.TimeoutExpired:
                print(f"  {method:7s} did not finish in {args.timeout:.0f} s", flush=True)
                continue
            if out.returncode != 0:
                last = (out.stderr.strip().splitlines() or ["?"])[-1]
                print(f"  {method:7s} failed: {last}", flush=True)
                continue
            r = json.loads(out.stdout.strip().splitlines()[-1])
            rows.append((name, method, r))
            print(f"  {method:7s} {r['median_s'] * 1000:10.1f} ms  peak {r['peak_mib']:8.1f} MiB"
                  f"  ({r['runs']} runs)", flush=True)
    return rows


if __name__ == "__main__":
    main()
