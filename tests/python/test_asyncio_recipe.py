"""The README's asyncio recipe, taken from the README itself: both helpers
give the solve's answer, in-process and through the service, keep the event
loop running while they wait, turn a failure into ConnectionError, and stay
quiet when the awaiting task is cancelled or the loop is gone."""

import asyncio
import threading
import types

import pytest
from readme_blocks import readme_block

import pemux
from bitsets import as_int, oracle

WAIT_S = 30.0
# Long enough for the loop to tick several times while a call waits.
STALL_S = 0.5
TICK_S = 0.02


@pytest.fixture(scope="module")
def recipe():
    module = types.ModuleType("pemux_asyncio_recipe")
    exec(compile(readme_block("asyncio"), "README.md (asyncio)", "exec"),
         module.__dict__)
    return module


def as_number(result):
    if isinstance(result, bytes):
        return int.from_bytes(result, "little")
    return as_int(result)


@pytest.fixture
def deliveries(monkeypatch):
    """Wraps the asynchronous call so a test can wait until the recipe's
    callback has returned, and sees anything it raised (the module itself
    swallows a callback's exception)."""
    done = threading.Event()
    raised = []
    start = pemux.complete_subset_sum_async

    def wrapped(values, callback):
        def deliver(result):
            try:
                callback(result)
            except BaseException as exc:
                raised.append(exc)
                raise
            finally:
                done.set()
        return start(values, deliver)

    monkeypatch.setattr(pemux, "complete_subset_sum_async", wrapped)
    return types.SimpleNamespace(done=done, raised=raised)


HELPERS = ["subset_sums", "subset_sum_words"]


@pytest.mark.parametrize("helper", HELPERS)
@pytest.mark.parametrize("values", [[3, 5], [], [64, 1, 1], [1000, 999, 1]])
def test_helper_gives_the_answer_in_process(recipe, local, helper, values):
    result = asyncio.run(getattr(recipe, helper)(values))
    assert as_number(result) == oracle(values)


@pytest.mark.parametrize("helper", HELPERS)
def test_helper_gives_the_answer_through_the_service(recipe, remote, helper):
    values = [3, 5, 7, 11, 130]
    assert as_number(asyncio.run(getattr(recipe, helper)(values))) == oracle(values)


def test_helpers_run_side_by_side(recipe, local):
    problems = [[i, i + 1, 2 * i] for i in range(1, 25)]

    async def both():
        return await asyncio.gather(
            *(recipe.subset_sums(v) for v in problems),
            *(recipe.subset_sum_words(v) for v in problems))

    results = asyncio.run(both())
    assert [as_number(r) for r in results] == [oracle(v) for v in problems] * 2


@pytest.mark.parametrize("helper", HELPERS)
def test_loop_keeps_running_while_a_remote_call_waits(recipe, remote, helper):
    remote(f"stall-submit-{STALL_S}")

    async def solve_and_count_ticks():
        ticks = 0
        task = asyncio.ensure_future(getattr(recipe, helper)([3, 5]))
        while not task.done():
            await asyncio.sleep(TICK_S)
            ticks += 1
        return await task, ticks

    result, ticks = asyncio.run(solve_and_count_ticks())
    assert as_number(result) == oracle([3, 5])
    # A call holding the interpreter lock would let the loop tick only once.
    assert ticks >= STALL_S / TICK_S / 4


@pytest.mark.parametrize("helper", HELPERS)
def test_failed_solve_raises_connection_error(recipe, monkeypatch, absent_url, helper):
    monkeypatch.delenv("PEMU_KILLSWITCH", raising=False)
    monkeypatch.setenv("PEMU_BASE_URL", absent_url)
    with pytest.raises(ConnectionError):
        asyncio.run(getattr(recipe, helper)([3, 5]))


def test_cancelled_wait_leaves_the_late_result_alone(recipe, remote, deliveries):
    remote(f"stall-submit-{STALL_S}")
    loop_errors = []

    async def cancel_then_outlive_the_solve():
        asyncio.get_running_loop().set_exception_handler(
            lambda loop, context: loop_errors.append(context))
        task = asyncio.ensure_future(recipe.subset_sum_words([3, 5]))
        await asyncio.sleep(TICK_S)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        await asyncio.to_thread(deliveries.done.wait, WAIT_S)
        for _ in range(3):  # let the scheduled settle() run
            await asyncio.sleep(0)

    asyncio.run(cancel_then_outlive_the_solve())
    assert deliveries.done.is_set()
    assert deliveries.raised == [] and loop_errors == []


def test_result_after_the_loop_closed_is_dropped_quietly(recipe, remote, deliveries):
    remote(f"stall-submit-{STALL_S}")

    async def give_up_early():
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(recipe.subset_sum_words([3, 5]), TICK_S)

    asyncio.run(give_up_early())
    assert deliveries.done.wait(WAIT_S)
    assert deliveries.raised == []
