"""Whether a call gives up the interpreter lock while it runs."""

import threading


def ticks_during(call):
    """call()'s result and how many turns another thread had meanwhile.

    The other thread counts one tick per turn with the lock (the wait gives it
    up each time); a call that kept the lock leaves room for a tick or two
    around it, at switches before and after."""
    ticks = 0
    stop = threading.Event()

    def tick():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1
            stop.wait(0.001)

    watcher = threading.Thread(target=tick)
    watcher.start()
    try:
        before = ticks
        result = call()
        during = ticks - before
    finally:
        stop.set()
        watcher.join()
    return result, during
