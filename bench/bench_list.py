#!/usr/bin/env python3
"""What the result list costs beyond the solve, per workload.

    python3 bench/bench_list.py [--workloads W4,S1] [--repeats 7] [--compare DIR] [--wall]

For each workload (those of bench_local.py, plus sparse ones), in a fresh
subprocess with PEMU_KILLSWITCH=1:

  words    result words;
  shared   share of the list's items that needed no int object of their
           own (1 - distinct objects / words);
  0/1-bit  the share that sharing only 0, all-ones and single-bit words
           would give;
  list     median time of complete_subset_sum (solve + list);
  bytes    median time of complete_subset_sum_bytes (solve, no list);
  free     median time to drop the list;
  tax      list - bytes + free: what the list adds.

Times are the process's CPU time (all threads), which a machine busy with
other work disturbs less than wall time; --wall measures wall time.

--compare DIR runs the same in a second subprocess with DIR first on the
import path (a directory holding another build of pemux with the same
solver, for example the one before a change to the list), and prints its
tax against this build's bytes time.
"""
import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_local import WORKLOADS, values_of

SPARSE = {
    # name: (seed, count, low, high); values uniform in low .. high
    "S1": (9, 22, 10**6, 4 * 10**7),
    "S2": (7, 20, 10**6, 10**7),
    "S3": (24, 24, 2**24, 2**25),
}


def problem(name):
    if name in SPARSE:
        seed, count, low, high = SPARSE[name]
        rng = random.Random(seed)
        return [rng.randint(low, high) for _ in range(count)]
    return values_of(name)


clock = time.process_time


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = clock()
        fn()
        times.append(clock() - t0)
    return statistics.median(times)


def measure(name, repeats):
    os.environ["PEMU_KILLSWITCH"] = "1"
    import pemux

    xs = problem(name)
    words = pemux.complete_subset_sum(xs)
    n = len(words)
    distinct = len({id(w) for w in words})
    plain = sum(1 for w in words if w & (w - 1) == 0 or w == 2**64 - 1)
    del words

    frees = []

    def list_call():
        words = pemux.complete_subset_sum(xs)
        t0 = clock()
        del words
        frees.append(clock() - t0)

    list_s = median_time(list_call, repeats)
    bytes_s = median_time(lambda: pemux.complete_subset_sum_bytes(xs), repeats)
    free_s = statistics.median(frees)
    return {"workload": name, "words": n, "shared": 1 - distinct / n,
            "plain": plain / n, "list_s": list_s, "bytes_s": bytes_s,
            "free_s": free_s, "tax_s": list_s - bytes_s + free_s}


def run(name, repeats, wall, path=None):
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [path, env.get("PYTHONPATH")]))
    out = subprocess.run([sys.executable, __file__, "--worker", name,
                          "--repeats", str(repeats)] + ["--wall"] * wall,
                         env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def ms(s):
    return f"{s * 1e3:.1f} ms"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--workloads",
                    default=",".join(list(WORKLOADS) + list(SPARSE)))
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--compare", metavar="DIR")
    ap.add_argument("--wall", action="store_true")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.wall:
        global clock
        clock = time.perf_counter
    if args.worker:
        print(json.dumps(measure(args.worker, args.repeats)))
        return

    head = "| workload | words | shared | 0/1-bit | list | bytes | free | tax |"
    if args.compare:
        head += " tax (compared) | compared/this |"
    print(head)
    print("|" + "---|" * (head.count("|") - 1))
    for name in args.workloads.split(","):
        r = run(name, args.repeats, args.wall)
        row = (f"| {name} | {r['words']:,} | {r['shared']:.3f} | {r['plain']:.3f} "
               f"| {ms(r['list_s'])} | {ms(r['bytes_s'])} | {ms(r['free_s'])} "
               f"| {ms(r['tax_s'])} |")
        if args.compare:
            c = run(name, args.repeats, args.wall, args.compare)
            # Against this build's bytes call: the solve is the same code.
            c_tax = c["list_s"] - r["bytes_s"] + c["free_s"]
            row += f" {ms(c_tax)} | {c_tax / r['tax_s']:.2f}x |"
        print(row, flush=True)


if __name__ == "__main__":
    main()
