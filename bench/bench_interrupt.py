#!/usr/bin/env python3
"""How soon Ctrl-C ends a local solve of the bytes form, and how far apart
its progress calls come.

    python3 bench/bench_interrupt.py [--trials 5] [--after 0.1]

Each trial runs, in a fresh subprocess with PEMU_KILLSWITCH=1, a long
solve (a sparse set of large items) with a progress callable, sends itself
SIGINT --after seconds in, and reports the time from the signal to
KeyboardInterrupt (the target: 0.2 s) and the longest gap between two
progress calls before it.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys

CHILD = r"""
import json, os, random, signal, sys, threading, time
import pemux
values = [random.Random(1).randrange(1, 10**8) for _ in range(60)] * 4
calls, sent = [], []
def progress(f):
    calls.append(time.monotonic())
def interrupt():
    time.sleep(float(sys.argv[1]))
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=interrupt, daemon=True).start()
try:
    pemux.complete_subset_sum_bytes(values, progress=progress)
    print(json.dumps({"finished": True}))
except KeyboardInterrupt:
    ended = time.monotonic()
    gaps = [b - a for a, b in zip(calls, calls[1:])]
    print(json.dumps({"latency": ended - sent[0], "gap": max(gaps, default=0.0)}))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trials", type=int, default=5)
    parser.add_argument("--after", type=float, default=0.1)
    args = parser.parse_args()
    env = dict(os.environ, PEMU_KILLSWITCH="1")
    latencies, gaps = [], []
    for _ in range(args.trials):
        out = subprocess.run([sys.executable, "-c", CHILD, str(args.after)], env=env,
                             capture_output=True, text=True, check=True).stdout
        r = json.loads(out.strip().splitlines()[-1])
        if r.get("finished"):
            print("the solve finished before the signal; lower --after")
            return 1
        latencies.append(r["latency"])
        gaps.append(r["gap"])
    print(f"Ctrl-C to KeyboardInterrupt: median {statistics.median(latencies) * 1e3:.0f} ms, "
          f"max {max(latencies) * 1e3:.0f} ms")
    print(f"longest gap between progress calls: max {max(gaps) * 1e3:.0f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
