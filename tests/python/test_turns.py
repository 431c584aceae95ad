"""Who goes next: the solver gate's order and the front door's turns by
key, on a clock of the test's own (nothing here waits out a real pause)."""

import asyncio

import pytest

pytest.importorskip("pemux_service")

from pemux_service.turns import FairGate, KeyTurns


def run(coro):
    return asyncio.run(coro)


async def settle():
    for _ in range(5):
        await asyncio.sleep(0)


def test_gate_serves_a_newly_arrived_key_before_the_flooding_one():
    async def go():
        gate, order = FairGate(), []
        gate.put("slot")

        async def take(key, n):
            slot = await gate.get(key)
            order.append((key, n))
            await asyncio.sleep(0)
            gate.put(slot)
        first = await gate.get("a")  # a flood's first solve holds the slot
        tasks = [asyncio.create_task(take("a", n)) for n in range(1, 4)]
        await settle()
        tasks.append(asyncio.create_task(take("b", 0)))
        await settle()
        gate.put(first)
        await asyncio.gather(*tasks)
        return order
    # b waits for the solve under way only, not for the flood's queue.
    assert run(go()) == [("b", 0), ("a", 1), ("a", 2), ("a", 3)]


def test_gate_alternates_between_keys_that_both_wait():
    async def go():
        gate, order = FairGate(), []
        gate.put("slot")
        held = await gate.get("x")

        async def take(key, n):
            slot = await gate.get(key)
            order.append(key + str(n))
            gate.put(slot)
        tasks = [asyncio.create_task(take(k, n)) for n in range(3) for k in "ab"]
        await settle()
        gate.put(held)
        await asyncio.gather(*tasks)
        return order
    assert run(go()) == ["a0", "b0", "a1", "b1", "a2", "b2"]


def test_gate_passes_on_a_slot_given_to_a_cancelled_waiter():
    async def go():
        gate = FairGate()
        gate.put("slot")
        held = await gate.get("a")
        waiter = asyncio.create_task(gate.get("b"))
        after = asyncio.create_task(gate.get("c"))
        await settle()
        gate.put(held)  # to b, which is cancelled before it runs
        waiter.cancel()
        return await asyncio.wait_for(after, 1)
    assert run(go()) == "slot"


class Clock:
    def __init__(self):
        self.now = 100.0
        self.slept = []

    def __call__(self):
        return self.now

    async def sleep(self, s):
        self.slept.append(round(s, 6))
        self.now += s


def turns(clock, **kw):
    return KeyTurns(alone=3, active_s=1.0, max_pause_s=0.5, clock=clock, sleep=clock.sleep,
                    **kw)


def test_a_key_alone_has_up_to_alone_at_once_and_no_pause():
    async def go():
        clock = Clock()
        t = turns(clock)
        held = [await t.get("a") for _ in range(3)]
        fourth = asyncio.create_task(t.get("a"))
        await settle()
        assert not fourth.done()
        clock.now += 0.3
        t.put(held.pop())
        await settle()
        assert fourth.done()
        assert clock.slept == []
    run(go())


def test_with_another_key_active_each_has_one_and_the_other_goes_at_once():
    async def go():
        clock = Clock()
        t = turns(clock)
        a1 = await t.get("a")
        b1 = await t.get("b")  # not behind a's: b has none in progress
        a2 = asyncio.create_task(t.get("a"))
        await settle()
        assert not a2.done()
        clock.now += 0.2  # a's first took 0.2 s
        t.put(a1)
        await settle()
        # a's next waits as long as its last one took.
        assert a2.done() and clock.slept == [0.2]
        t.put(b1)
        t.put(a2.result())
    run(go())


def test_pauses_are_bounded_and_end_once_the_other_key_goes_quiet():
    async def go():
        clock = Clock()
        t = turns(clock)
        a = await t.get("a")
        clock.now += 5.0  # a long submit of a's, while b submits
        t.put(await t.get("b"))
        t.put(a)
        await t.get("a")
        assert clock.slept == [0.5]  # max_pause_s, not 5 s
        # b has been quiet for longer than active_s: a is alone again.
        clock.now += 2.0
        got = [await t.get("a") for _ in range(2)]
        assert len(got) == 2 and clock.slept == [0.5]
    run(go())


def test_a_cancelled_wait_gives_back_its_turn():
    async def go():
        clock = Clock()
        t = turns(clock)
        a1 = await t.get("a")
        t.put(await t.get("b"))
        waiting = asyncio.create_task(t.get("a"))
        await settle()
        waiting.cancel()
        await asyncio.gather(waiting, return_exceptions=True)
        t.put(a1)
        # Nothing of a's is counted in progress now.
        return await asyncio.wait_for(t.get("a"), 1)
    assert run(go())[0] == "a"

