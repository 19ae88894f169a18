"""Output is never lost when a batch stops; spikes as arrays; result summaries."""

import gc
import os
import signal
import subprocess
import tracemalloc

import pytest

import synaptor
from conftest import CHAIN_JSON, needs_sigint, rich_document
from synaptor_tools import RunResult, apply_checked, check_stimulus, layout, run

# The end of a batch that Ctrl-C is to stop: some 15 s of ticks, so that a
# signal that never arrives fails the test instead of growing its output
# without bound.
UNLESS_INTERRUPTED = 500_000


def make(seed=11):
    inst = synaptor.create_from_json(rich_document(1), seed)
    inst.non_coherent_stimulation_rate = 0.02
    return inst


def bad_channel_stimulus(at):
    """Two forced spikes, then input channel 999 (of 40) at tick `at`."""
    s = synaptor.Stimulus()
    s.force_neuron_spikes_ts = [1, 2]
    s.force_neuron_spikes_ids = [0, 1]
    s.in_channel_spikes_ts = [at]
    s.in_channel_spikes_ids = [999]
    return s


def as_list(values):
    return values if isinstance(values, list) else memoryview(values).tolist()


def spikes(batch):
    return [as_list(getattr(batch, name)) for name in
            ("neuron_spikes_ts", "neuron_spikes_ids", "out_channel_spikes_ts",
             "out_channel_spikes_ids")] + [batch.synaptic_transmission_count]


def twin_spikes(t_end, start=0, stimulus=None):
    """What a twin instance's tick_until gives for the ticks start..t_end,
    with `stimulus` applied at `start`."""
    twin = make()
    twin.tick_until_ignore_output(start)
    if stimulus is not None:
        twin.apply_stimulus(stimulus)
    return spikes(twin.tick_until(t_end))


def without_bad_channel(at):
    s = bad_channel_stimulus(at)
    s.in_channel_spikes_ts, s.in_channel_spikes_ids = [], []
    return s


class interrupt_after:
    """Ctrl-C from outside after `seconds`: a batch holds the interpreter
    lock, so no thread of this process could send it."""

    def __init__(self, seconds):
        self.seconds = seconds

    def __enter__(self):
        self.sender = subprocess.Popen(
            ["sh", "-c", f"sleep {self.seconds}; kill -INT {os.getpid()}"])

    def __exit__(self, *exc_info):
        self.sender.wait()


# ---- an exception out of a batch carries the ticks it completed


@pytest.mark.parametrize("method", ["tick_until", "tick_until_arrays"])
def test_an_internal_failure_keeps_the_completed_ticks(method):
    inst = make()
    inst.tick_until(100)
    inst.apply_stimulus(bad_channel_stimulus(30))
    with pytest.raises(BaseException) as raised:
        getattr(inst, method)(1000)
    error = raised.value
    assert type(error).__name__ == "PanicException"
    assert str(error) == ('called `Result::unwrap()` on an `Err` value: '
                          '"Invalid input channel id: 999"')
    done = error.completed
    assert type(done).__name__ == ("BatchTickResult" if method == "tick_until"
                                   else "BatchTickArrays")
    assert (done.start_t, done.end_t) == (100, 130)
    assert len(done.neuron_spikes_ts) > 0
    assert spikes(done) == twin_spikes(130, 100, without_bad_channel(30))


@needs_sigint
@pytest.mark.parametrize("method", ["tick_until", "tick_until_arrays"])
def test_ctrl_c_keeps_the_completed_ticks(method):
    inst = make()
    with interrupt_after(0.3), pytest.raises(KeyboardInterrupt) as raised:
        getattr(inst, method)(UNLESS_INTERRUPTED)
    t = inst.get_t()
    done = raised.value.completed
    assert 0 < t < UNLESS_INTERRUPTED and (done.start_t, done.end_t) == (0, t)
    assert spikes(done) == twin_spikes(t)


def test_errors_before_the_first_tick_carry_nothing():
    inst = make()
    with pytest.raises(TypeError) as raised:
        inst.tick_until("x")
    assert not hasattr(raised.value, "completed")


# ---- synaptor_tools.run keeps everything that ran


@needs_sigint
def test_run_stopped_by_ctrl_c_returns_every_tick_run():
    inst = make()
    with interrupt_after(0.5):
        result = run(inst, UNLESS_INTERRUPTED, chunk=500, progress=False,
                     stop_on_interrupt=True)
    t = inst.get_t()
    assert result.interrupted and result.t_end == t
    assert spikes(result) == twin_spikes(t)


@needs_sigint
def test_run_keeps_a_chunk_that_ctrl_c_follows_at_once():
    class CtrlCAfterEachBatch:
        """Ctrl-C right after a batch returns, before run() holds its result."""

        def __init__(self, inst):
            self.inst = inst
            self.non_coherent_stimulation_rate = inst.non_coherent_stimulation_rate
            self.reward_rate = inst.reward_rate
            self.get_t = inst.get_t

        def tick_until_arrays(self, t):
            batch = self.inst.tick_until_arrays(t)
            signal.raise_signal(signal.SIGINT)
            return batch

    inst = make()
    result = run(CtrlCAfterEachBatch(inst), 5000, chunk=300, progress=False,
                 stop_on_interrupt=True)
    assert (result.t_end, inst.get_t(), result.interrupted) == (300, 300, True)
    assert spikes(result) == twin_spikes(300)


@needs_sigint
def test_run_re_raises_ctrl_c_with_the_collected_result():
    inst = make()
    with interrupt_after(0.5), pytest.raises(KeyboardInterrupt) as raised:
        run(inst, UNLESS_INTERRUPTED, chunk=700, progress=False)
    result = raised.value.completed
    assert isinstance(result, RunResult) and result.interrupted
    assert result.t_end == inst.get_t() > 0
    assert spikes(result) == twin_spikes(result.t_end)


def test_run_keeps_the_chunks_before_an_internal_failure():
    inst = make()
    inst.apply_stimulus(bad_channel_stimulus(1234))
    with pytest.raises(BaseException) as raised:
        run(inst, 5000, chunk=500, progress=False, stop_on_interrupt=True)
    assert type(raised.value).__name__ == "PanicException"
    result = raised.value.completed
    assert (result.start_t, result.t_end, result.interrupted) == (0, 1234, True)
    assert spikes(result) == twin_spikes(1234, 0, without_bad_channel(1234))


def test_run_result_extend_is_whole_or_nothing():
    result = RunResult()

    class Breaks:
        neuron_spikes_ts = [1, 2]
        out_channel_spikes_ts = [1]
        out_channel_spikes_ids = [0]
        synaptic_transmission_count = 3

        @property
        def neuron_spikes_ids(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        result.extend(Breaks())
    assert spikes(result) == [[], [], [], [], 0]


# ---- spikes as arrays


def test_tick_until_arrays_equals_tick_until_and_outlives_its_instance():
    np = pytest.importorskip("numpy")
    a, b = make(), make()
    lists = a.tick_until(2000)
    arrays = b.tick_until_arrays(2000)
    assert spikes(arrays) == spikes(lists) and len(lists.neuron_spikes_ts) > 10_000
    ts = arrays.neuron_spikes_ts
    view = memoryview(ts)
    assert (view.format, view.itemsize, view.shape) == ("Q", 8, (len(lists.neuron_spikes_ts),))
    del arrays, b, view
    gc.collect()
    assert np.asarray(ts).tolist() == lists.neuron_spikes_ts


def test_no_python_object_per_spike():
    a = make()
    a.tick_until(200)
    tracemalloc.start()
    try:
        arrays = a.tick_until_arrays(3000)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert len(arrays.neuron_spikes_ids) > 20_000
    assert peak < 4096  # C++ vectors only: tracemalloc sees the result objects


def test_run_holds_at_most_16_bytes_a_spike():
    inst = make()
    tracemalloc.start()
    try:
        result = run(inst, 4000, chunk=300, progress=False)
        held, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    n = len(result.neuron_spikes_ts) + len(result.out_channel_spikes_ts)
    assert n > 40_000
    assert held / n <= 16.2  # the arrays plus the result object itself


def test_run_result_columns_behave_as_lists():
    np = pytest.importorskip("numpy")
    result = run(make(), 300, chunk=64, progress=False)
    ids = result.neuron_spikes_ids
    as_list = list(ids)
    assert ids == as_list and ids == tuple(as_list) and not ids != as_list
    assert ids != as_list + [1] and ids[:3] == as_list[:3] and ids[-1] == as_list[-1]
    assert ids + [5] == as_list + [5]
    assert np.asarray(ids).dtype == np.uint64
    assert repr(result) == (f"<RunResult ticks 0..300, {len(ids)} spikes, "
                            f"{len(result.out_channel_spikes_ids)} output spikes>")


# ---- a stimulus checked before it is scheduled


def test_check_stimulus_names_the_first_offending_position():
    net = layout(CHAIN_JSON)  # 3 input channels, 2 output channels, 10 neurons
    s = synaptor.Stimulus()
    s.in_channel_spikes_ts = [0, 1, 2]
    s.in_channel_spikes_ids = [0, 3, 7]
    s.force_out_channel_spikes_ts = [4, 5, 4, 3]
    s.force_out_channel_spikes_ids = [1, 1, 0]
    s.force_neuron_spikes_ts = [1]
    s.force_neuron_spikes_ids = [9]
    assert check_stimulus(s, net) == [
        "in_channel_spikes_ids[1] is 3: the network has 3 input channels (0..2)",
        "force_out_channel_spikes_ts has 4 entries but force_out_channel_spikes_ids has 3: "
        "the entries beyond the shorter list would be dropped",
        "force_out_channel_spikes_ts[2] is 4, below force_out_channel_spikes_ts[1] = 5: ticks "
        "must not decrease, or this spike and every later one of the list would never be "
        "delivered",
    ]
    s.force_neuron_spikes_ids = [10]
    assert check_stimulus(s, CHAIN_JSON)[-1] == (
        "force_neuron_spikes_ids[0] is 10: the network has 10 neurons (0..9)")


def test_apply_checked_schedules_only_a_sound_stimulus():
    inst = synaptor.create_from_json(CHAIN_JSON, 0)
    bad = synaptor.Stimulus()
    bad.in_channel_spikes_ts, bad.in_channel_spikes_ids = [2], [5]
    with pytest.raises(ValueError, match=r"^stimulus refused: in_channel_spikes_ids\[0\] is 5"):
        apply_checked(inst, bad)
    assert inst.tick_until(10).neuron_spikes_ids == []  # nothing scheduled, nothing fails
    good = synaptor.Stimulus()
    good.in_channel_spikes_ts, good.in_channel_spikes_ids = [0], [1]
    apply_checked(inst, good)
    assert inst.tick_until(20).neuron_spikes_ts[0] == 10


# ---- summaries and messages


def test_results_print_a_summary():
    inst = synaptor.create_from_json(CHAIN_JSON, 0)
    s = synaptor.Stimulus()
    s.in_channel_spikes_ts, s.in_channel_spikes_ids = [0, 0], [0, 1]
    assert repr(s) == "<Stimulus 2 input-channel, 0 forced output-channel, 0 forced neuron spikes>"
    inst.apply_stimulus(s)
    assert repr(inst.tick([], [], [], 0.0, False)) == "<TickResult t 0, 2 spikes, 0 output spikes>"
    tick = inst.tick([], [], [], 0.0, True)
    assert repr(tick) == "<TickResult t 1, 5 spikes, 0 output spikes, with a state snapshot>"
    assert repr(tick.state_snapshot) == "<StateSnapshot of 10 neurons, 25 synapses>"
    batch = inst.tick_until(5)
    assert repr(batch) == "<BatchTickResult ticks 2..5, 2 spikes, 2 output spikes>"
    arrays = inst.tick_until_arrays(9)
    assert repr(arrays) == "<BatchTickArrays ticks 5..9, 0 spikes, 0 output spikes>"
    assert repr(arrays.neuron_spikes_ts) == "<RecordedArray 'Q' (0,)>"
    assert repr(inst.synapses()) == "<Synapses: 25 synapses>"


def test_a_truncated_state_file_names_itself_and_both_sizes(tmp_path):
    inst = synaptor.create_from_json(CHAIN_JSON, 0)
    inst.tick_until(5)
    good = tmp_path / "good.state"
    inst.save_state(os.fspath(good))
    data = good.read_bytes()
    cut = tmp_path / "cut.state"
    cut.write_bytes(data[:-7])
    with pytest.raises(ValueError) as raised:
        inst.restore_state(os.fspath(cut))
    assert str(raised.value) == (f"state file is truncated: '{cut}' has {len(data) - 7} bytes, "
                                 f"{len(data)} expected")
    cut.write_bytes(data[:20])
    with pytest.raises(ValueError, match=r"^state file is truncated: .* has 20 bytes, at least "):
        inst.restore_state(os.fspath(cut))


def test_numpy_bool_is_refused_as_documented():
    np = pytest.importorskip("numpy")
    inst = synaptor.create_from_json(CHAIN_JSON, 0)
    with pytest.raises(TypeError, match="object cannot be converted to 'PyBool'"):
        inst.tick([], [], [], 0.0, np.bool_(True))
    assert inst.tick([], [], [], 0.0, bool(np.bool_(True))).state_snapshot is not None
