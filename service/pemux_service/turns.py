"""Who goes next, so that one key's flood waits behind itself and not
before another key: FairGate hands slots (idle solvers) to waiting keys in
turn; KeyTurns paces each key's submits at the front door; KeyLocks lets
one submit of a key at a time be counted and recorded."""

import asyncio
import collections
import time


class FairGate:
    """Slots handed to waiting keys in turn: the next goes to the waiting
    key served longest ago, a key that just arrived first of all."""

    # Keys whose last grant is remembered; one forgotten goes first.
    REMEMBERED = 4096

    def __init__(self):
        self._idle = []
        self._waiting = {}  # key -> deque of futures
        self._last = collections.OrderedDict()  # key -> its last grant
        self._grants = 0

    def _granted(self, key):
        self._grants += 1
        self._last[key] = self._grants
        self._last.move_to_end(key)
        if len(self._last) > self.REMEMBERED:
            self._last.popitem(last=False)

    def put(self, slot):
        while self._waiting:
            key = min(self._waiting, key=lambda k: self._last.get(k, 0))
            queue = self._waiting[key]
            fut = queue.popleft()
            if not queue:
                del self._waiting[key]
            if not fut.done():
                self._granted(key)
                fut.set_result(slot)
                return
        self._idle.append(slot)

    async def get(self, key):
        if self._idle and not self._waiting:
            self._granted(key)
            return self._idle.pop()
        fut = asyncio.get_running_loop().create_future()
        self._waiting.setdefault(key, collections.deque()).append(fut)
        try:
            return await fut
        except asyncio.CancelledError:
            if fut.done() and not fut.cancelled():
                self.put(fut.result())
            raise


class KeyTurns:
    """Submits in progress, by key. A key alone has up to `alone` at once.
    While another key has submitted within the last `active_s`, each key
    has one at a time, and its next starts no sooner than its last one
    took (at most `max_pause_s`). A flood then leaves the front end free
    about half the time, so that another key's submit is taken at once and
    mostly finds no flood's submit beside it. The price: keys that all
    flood get about one submit's worth of the front end between them.

    get(key) returns a token for put(); both run on the event loop."""

    def __init__(self, alone=16, active_s=1.0, max_pause_s=1.0, clock=time.monotonic,
                 sleep=asyncio.sleep):
        self.alone, self.active_s, self.max_pause_s = alone, active_s, max_pause_s
        self._clock, self._sleep = clock, sleep
        self._busy = collections.Counter()
        self._waiting = {}  # key -> deque of futures
        self._seen = {}  # key -> when it last asked
        self._not_before = {}  # key -> when its next submit may start

    def _shared(self):
        """Whether more than one key is active; forgets keys gone quiet."""
        cutoff = self._clock() - self.active_s
        for key in [k for k, t in self._seen.items() if t < cutoff and not self._busy[k]]:
            del self._seen[key]
            self._not_before.pop(key, None)
        return len(self._seen) > 1

    def _limit(self):
        return 1 if self._shared() else self.alone

    async def get(self, key):
        self._seen[key] = self._clock()
        if self._busy[key] < self._limit() and not self._waiting.get(key):
            self._busy[key] += 1
        else:
            fut = asyncio.get_running_loop().create_future()
            self._waiting.setdefault(key, collections.deque()).append(fut)
            try:
                await fut
            except asyncio.CancelledError:
                if fut.done() and not fut.cancelled():
                    self.put((key, None))
                raise
        pause = self._not_before.pop(key, 0.0) - self._clock()
        if pause > 0:
            try:
                await self._sleep(pause)
            except asyncio.CancelledError:
                self.put((key, None))
                raise
        return key, self._clock()

    def put(self, token):
        key, began = token
        now = self._clock()
        self._seen[key] = now  # active until active_s from now
        if began is not None and self._shared():
            self._not_before[key] = now + min(now - began, self.max_pause_s)
        self._busy[key] -= 1
        if self._busy[key] <= 0:
            del self._busy[key]
        limit = self._limit()
        for k in list(self._waiting):
            queue = self._waiting[k]
            while queue and self._busy[k] < limit:
                fut = queue.popleft()
                if not fut.done():
                    self._busy[k] += 1
                    fut.set_result(None)
            if not queue:
                del self._waiting[k]


class KeyLocks:
    """One lock per key, kept only while someone holds or waits for it."""

    def __init__(self):
        self._locks = {}  # key -> [asyncio.Lock, holders and waiters]

    async def acquire(self, key):
        """Takes key's lock; returns its release, which may be called more
        than once."""
        entry = self._locks.setdefault(key, [asyncio.Lock(), 0])
        entry[1] += 1
        try:
            await entry[0].acquire()
        except BaseException:
            self._drop(key, entry)
            raise
        released = False

        def release():
            nonlocal released
            if not released:
                released = True
                entry[0].release()
                self._drop(key, entry)
        return release

    def _drop(self, key, entry):
        entry[1] -= 1
        if not entry[1]:
            del self._locks[key]
