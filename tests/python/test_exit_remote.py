"""Ending the interpreter with remote requests in flight: every way a
script ends, with one, a few and many requests, and never by a signal."""

import concurrent.futures
import itertools
import os
import pathlib
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
RUNS = 40
PARALLEL = 12
# How each ending shows in the exit status when nothing goes wrong.
ENDINGS = {"end": 0, "exit": 3, "raise": 1}


def run_exit_script(env, count, how):
    script = HERE / "helpers" / "remote_exit.py"
    proc = subprocess.run([sys.executable, str(script), str(count), how],
                          env=env, capture_output=True, text=True, timeout=60)
    return proc.returncode, proc.stdout, proc.stderr[-1500:]


@pytest.mark.parametrize("count", [1, 5, 200])
def test_exit_with_remote_requests_in_flight_never_ends_by_a_signal(service, count):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PEMU_")}
    env.update(service.env())
    cases = [how for how, _ in itertools.product(ENDINGS, range(RUNS))]
    with concurrent.futures.ThreadPoolExecutor(PARALLEL) as pool:
        outcomes = list(pool.map(lambda how: (how, *run_exit_script(env, count, how)),
                                 cases))
    bad = [(how, rc, out[-500:], err) for how, rc, out, err in outcomes
           if rc != ENDINGS[how] or f"started {count}\n" not in out]
    assert not bad, f"{len(bad)} of {len(cases)} runs went wrong, first: {bad[0]}"
