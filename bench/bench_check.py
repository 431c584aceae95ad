#!/usr/bin/env python3
"""What reading a result costs: the check at two sizes, and reachable_sums
against the NumPy recipe.

    python3 bench/bench_check.py [--repeats 200000] [--total 510000]

check    median time of one subset_sum_result_check call on a result of
         1 K and of 10 M words, as a list, as bytes and as a NumPy uint64
         array (the same within noise: only the word the index selects is
         read);
sums     reachable_sums(bytes) on the result of a solve whose total is
         --total, against numpy.unpackbits + flatnonzero (an array) and the
         same followed by .tolist() (the list reachable_sums returns).
"""
import argparse
import os
import random
import statistics
import sys
import time

import numpy as np

os.environ["PEMU_KILLSWITCH"] = "1"
import pemux


def per_call(fn, repeats, rounds=5):
    """Median over rounds of the mean time of one call."""
    times = []
    for _ in range(rounds):
        t = time.perf_counter()
        for _ in range(repeats):
            fn()
        times.append((time.perf_counter() - t) / repeats)
    return statistics.median(times)


def check_costs(repeats):
    print(f"{'words':>10} {'form':>8} {'check µs':>9}")
    for words in (1_000, 10_000_000):
        rng = random.Random(words)
        as_list = [rng.getrandbits(64) for _ in range(words)]
        packed = np.array(as_list, dtype=np.uint64)
        forms = {"list": as_list, "bytes": packed.tobytes(), "numpy": packed}
        index = 64 * (words // 2) + 17  # a word in the middle
        for name, result in forms.items():
            t = per_call(lambda r=result: pemux.subset_sum_result_check(r, index), repeats)
            print(f"{words:>10} {name:>8} {t * 1e6:9.3f}")
        del as_list, forms, packed


def sums_costs(total, rounds):
    rng = random.Random(3)
    values = []
    while sum(values) < total:
        values.append(rng.randrange(1, 2000))
    values[-1] -= sum(values) - total
    result = pemux.complete_subset_sum_bytes(values)
    as_bytes = np.frombuffer(result, dtype=np.uint8)

    def numpy_array():
        return np.flatnonzero(np.unpackbits(as_bytes, bitorder="little"))

    def numpy_list():
        return numpy_array().tolist()

    assert pemux.reachable_sums(result) == numpy_list()
    count = len(numpy_array())
    print(f"\nreachable sums of a total of {total}: {count} sums")
    for name, fn in [("reachable_sums", lambda: pemux.reachable_sums(result)),
                     ("unpackbits+flatnonzero", numpy_array),
                     ("unpackbits+flatnonzero+tolist", numpy_list)]:
        print(f"{name:>30} {per_call(fn, 1, rounds) * 1e3:8.2f} ms")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=200_000)
    parser.add_argument("--total", type=int, default=510_000)
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    check_costs(args.repeats)
    sums_costs(args.total, args.rounds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
