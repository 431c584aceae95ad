"""Asynchronous deliveries that arrive after the module's exit hook."""

import os
import pathlib
import subprocess
import sys

HELPERS = pathlib.Path(__file__).resolve().parent / "helpers"
COUNT = 8


def test_callback_after_the_exit_hook_leaves_python_alone(shim):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PEMU_")}
    env.update(LD_PRELOAD=str(shim), PEMU_SHIM_HOLD_THREADS="1", PEMU_KILLSWITCH="1")
    proc = subprocess.run([sys.executable, str(HELPERS / "async_after_hook.py"), str(COUNT)],
                          env=env, capture_output=True, text=True, timeout=60)
    # Every worker was held until after the hook, so each one arrived late,
    # and each one finished without the interpreter lock and without calling.
    assert (proc.returncode, proc.stdout) == (0, f"started {COUNT}\nheld {COUNT} left 0\n"), \
        proc.stderr[-2000:]
