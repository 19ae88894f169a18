"""release_gil: batches that let other Python threads run, with the same
results, Ctrl-C still heard, and every other call on the busy instance a
clear error instead of a race."""

import threading
import time
import _thread

import pytest

import synaptor
from conftest import needs_sigint, rich_document


def make(seed=4, release=False):
    inst = synaptor.create_from_json(rich_document(1, sizes=(150, 200, 50)), seed)
    inst.non_coherent_stimulation_rate = 0.01
    inst.release_gil = release
    return inst


def outcome(inst, t_end):
    batch = inst.tick_until(t_end)
    return list(batch.neuron_spikes_ts), list(batch.neuron_spikes_ids), inst.get_t()


def test_the_switch_is_a_bool_that_changes_no_result():
    inst = make()
    assert inst.release_gil is False
    with pytest.raises(TypeError, match="release_gil must be a bool"):
        inst.release_gil = 1
    with pytest.raises(AttributeError):
        del inst.release_gil
    freed = make(release=True)
    assert freed.release_gil is True
    assert outcome(inst, 300) == outcome(freed, 300)
    inst.tick_until_ignore_output(600)
    freed.tick_until_ignore_output(600)
    assert outcome(inst, 700) == outcome(freed, 700)


def test_two_instances_in_two_threads_give_what_they_give_alone():
    alone = [outcome(make(seed), 500) for seed in (1, 2)]
    results = {}

    def run(seed):
        results[seed] = outcome(make(seed, release=True), 500)

    threads = [threading.Thread(target=run, args=(seed,)) for seed in (1, 2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [results[1], results[2]] == alone


@needs_sigint
def test_a_released_batch_lets_threads_run_refuses_their_calls_and_hears_ctrl_c():
    inst = make(release=True)
    inst.tick_until(10)
    refused = []
    calling = threading.Event()

    def probe():
        calling.wait()
        # Runs only while the batch has let go of the lock; ends it once seen.
        # Bounded, so that a batch that kept the lock fails the test instead
        # of leaving this thread spinning.
        deadline = time.monotonic() + 60
        while not refused and time.monotonic() < deadline:
            try:
                inst.get_t()
            except RuntimeError as error:
                refused.append(str(error))
                try:
                    inst.tick_until(10**9)
                except RuntimeError as second:
                    refused.append(str(second))
                _thread.interrupt_main()

    prober = threading.Thread(target=probe, daemon=True)
    prober.start()
    # Seconds of ticks: ended by the interrupt long before, unless the lock was kept.
    t_end = inst.get_t() + 20_000
    calling.set()
    with pytest.raises(KeyboardInterrupt):
        inst.tick_until_ignore_output(t_end)
    prober.join()
    assert refused == ["Already mutably borrowed", "Already borrowed"]
    # Stopped between two ticks, and usable again.
    t = inst.get_t()
    assert 10 < t < t_end
    assert inst.tick_until(t + 5).neuron_spikes_ts is not None
    assert inst.get_t() == t + 5
