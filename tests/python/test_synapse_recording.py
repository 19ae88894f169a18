"""Recording synapse weights while ticking: rows equal to synapses() at their
tick under STDP, the sampled ticks of every tick route, independence from
threads and from recording itself, take/stop/replace, restore, errors that
change nothing, and running out of memory before a tick."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import synaptor
import synaptor_tools
from conftest import rich_document

INDICES = [900, 3, 0, 1417, 250, 77, 1790, 640, 1201, 35]  # every connection, in no order


def create(num_threads=1, seed=5):
    try:
        inst = synaptor.create_from_json(rich_document(num_threads), seed)
    except ValueError as e:
        pytest.skip(f"{num_threads} threads not available here: {e}")
    inst.non_coherent_stimulation_rate = 0.03
    inst.reward_rate = 0.5
    return inst


def chosen(inst):
    n = len(inst.synapses().weights)
    assert n > 1800
    return INDICES + [n - 1]


def drive(inst, t_end):
    """Single ticks with input and reward that depend on t alone; their spikes."""
    spikes = []
    while inst.get_t() < t_end:
        t = inst.get_t()
        channels = [c for c in range(40) if (t * 7 + c * 3) % 11 < 3]
        spikes.append(inst.tick(channels, [], [], 1.0 if t % 5 == 0 else -0.2, False).spiking_nids)
    return spikes


def read(inst, indices):
    return np.asarray(inst.synapses().weights)[indices].copy()


def test_rows_equal_the_weights_read_after_their_tick_on_every_route():
    # A twin ticks the same run one tick at a time and reads the weights
    # after each sampled tick; the recording instance reads nothing.
    recorded, twin = create(), create()
    indices = chosen(recorded)
    drive(recorded, 7)
    drive(twin, 7)
    assert recorded.record_synapses(np.array(indices, dtype=np.int64), every=3) is None
    expected_t, expected = [], []

    def twin_tick(step):
        step()
        t = twin.get_t() - 1
        if (t - 7) % 3 == 0:
            expected_t.append(t)
            expected.append(read(twin, indices))

    spikes = drive(recorded, 30)
    for _ in range(7, 30):
        twin_tick(lambda: drive(twin, twin.get_t() + 1))
    batch = recorded.tick_until(61)
    for _ in range(30, 61):
        twin_tick(lambda: twin.tick_until(twin.get_t() + 1))
    recorded.tick_until_ignore_output(90)
    for _ in range(61, 90):
        twin_tick(lambda: twin.tick_until_ignore_output(twin.get_t() + 1))
    spikes += drive(recorded, 100)
    for _ in range(90, 100):
        twin_tick(lambda: drive(twin, twin.get_t() + 1))

    rec = recorded.stop_synapse_recording()
    t = np.asarray(rec.t)
    weights = np.asarray(rec.weights)
    assert t.dtype == np.uint64 and t.tolist() == list(range(7, 100, 3)) == expected_t
    assert weights.dtype == np.float32 and weights.shape == (len(t), len(indices))
    assert weights.tobytes() == np.array(expected, dtype=np.float32).tobytes()
    assert np.asarray(rec.indices).tolist() == indices and rec.every == 3
    # STDP and dopamine moved the weights while they were recorded.
    assert np.count_nonzero(weights[0] != weights[-1]) >= 5
    assert len(batch.neuron_spikes_ids) > 0 and sum(map(len, spikes)) > 0


def test_recording_changes_no_result_and_agrees_across_thread_counts():
    def run(num_threads, record):
        inst = create(num_threads)
        if record:
            inst.record_synapses(chosen(inst), 2)
        spikes = drive(inst, 40)
        batch = inst.tick_until(80)
        spikes.append(list(batch.neuron_spikes_ids))
        final = np.asarray(inst.synapses().weights).tobytes()
        rec = inst.take_synapse_recording() if record else None
        return spikes, final, rec

    plain = run(1, False)
    one = run(1, True)
    assert one[:2] == plain[:2]
    for threads in (2,):
        other = run(threads, True)
        assert other[:2] == plain[:2]
        assert np.asarray(other[2].weights).tobytes() == np.asarray(one[2].weights).tobytes()
        assert np.asarray(other[2].t).tolist() == np.asarray(one[2].t).tolist()


def test_take_stop_replace_and_sample_count():
    inst = create()
    assert inst.stop_synapse_recording() is None
    with pytest.raises(ValueError, match=r"^No synapse is being recorded; start a recording "
                                         r"with record_synapses\(\)$"):
        inst.take_synapse_recording()
    inst.record_synapses([5, 9], every=2)
    inst.tick_until(5)
    assert inst.recorded_synapse_sample_count == 3
    first = inst.take_synapse_recording()
    assert len(memoryview(first.t)) == 3 and inst.recorded_synapse_sample_count == 0
    inst.tick_until(8)
    second = inst.take_synapse_recording()
    assert np.asarray(second.t).tolist() == [6]
    # A new recording replaces the running one and hands back what was not taken.
    inst.tick_until(11)
    replaced = inst.record_synapses([], every=1)
    assert np.asarray(replaced.t).tolist() == [8, 10]
    assert np.asarray(replaced.weights).shape == (2, 2)
    inst.tick_until(13)
    empty = inst.stop_synapse_recording()
    assert np.asarray(empty.t).tolist() == [11, 12]
    assert np.asarray(empty.weights).shape == (2, 0)
    assert inst.stop_synapse_recording() is None and inst.recorded_synapse_sample_count == 0
    # The neuron recording is a separate one.
    inst.record([1])
    inst.tick_until(14)
    assert inst.stop_synapse_recording() is None
    assert len(inst.stop_recording().t) == 1


def test_arrays_are_c_contiguous_and_outlive_instance_and_recording():
    inst = create()
    inst.record_synapses([4, 2, 8])
    inst.tick_until(6)
    rec = inst.take_synapse_recording()
    view = memoryview(rec.weights)
    assert view.format == "f" and view.shape == (6, 3) and view.c_contiguous
    assert memoryview(rec.t).format == "Q" and memoryview(rec.indices).format == "Q"
    weights = np.asarray(rec.weights)
    assert np.shares_memory(weights, np.asarray(rec.weights))
    expected = read(inst, [4, 2, 8])
    del rec, inst
    assert weights[-1].tobytes() == expected.tobytes()


def test_recording_goes_on_across_restore_state(tmp_path):
    inst = create()
    indices = chosen(inst)
    inst.record_synapses(indices, every=4)
    drive(inst, 20)
    path = tmp_path / "run.state"
    inst.save_state(path)
    drive(inst, 41)
    inst.restore_state(path)
    assert inst.recorded_synapse_sample_count == 11  # 0, 4, ..., 40
    drive(inst, 29)
    rec = inst.take_synapse_recording()
    t = np.asarray(rec.t).tolist()
    assert t == list(range(0, 41, 4)) + [20, 24, 28]
    weights = np.asarray(rec.weights)
    # After the restore the rows repeat those of the same ticks before it.
    assert weights[-3:].tobytes() == weights[5:8].tobytes()
    assert weights[-1].tobytes() == read(inst, indices).tobytes()


def test_bad_arguments_change_nothing():
    inst = create()
    n = len(inst.synapses().weights)
    inst.record_synapses([7, 1], every=2)
    inst.tick_until(3)
    cases = [
        (([1, 2], 0), ValueError, "^Recording period must be at least 1 tick, got 0$"),
        (([1, -2],), ValueError, r"^indices\[1\] = -2 is negative$"),
        (([n],), ValueError,
         rf"^indices\[0\] = {n} is out of range: the network has {n} synapses$"),
        (([3, 8, 3],), ValueError, r"^indices\[2\] = 3 is listed twice \(also indices\[0\]\)$"),
        ((np.array([2**64 - 1], dtype=np.uint64),), ValueError,
         r"^indices\[0\] is beyond the range of a 64-bit integer$"),
        (([1.5],), TypeError, None),
        (("12",), TypeError, None),
        ((np.array([1.0]),), TypeError, None),
        (([1], "2"), TypeError, None),
    ]
    for args, error, text in cases:
        with pytest.raises(error, match=text):
            inst.record_synapses(*args)
    with pytest.raises(TypeError):
        inst.record_synapses()
    inst.tick_until(5)
    rec = inst.stop_synapse_recording()
    assert np.asarray(rec.indices).tolist() == [7, 1]
    assert np.asarray(rec.t).tolist() == [0, 2, 4]


ROOM = """
    import resource
    import numpy as np
    import synaptor
    from conftest import document, layer, connection
    doc = document([layer(1500), layer(1500)], [connection(0, 1, density=0.9)], num_threads=2)
    inst = synaptor.create_from_json(doc, 1)
    n = len(inst.synapses().weights)
    inst.record_synapses(np.arange(n))
    with open("/proc/self/statm") as f:
        base = int(f.read().split()[0]) * 4096
    limit = base + 150 * 1024 * 1024
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    ticks = 0
    try:
        for _ in range(100):
            inst.tick([0], [], [], 0.0, False)
            ticks += 1
        print("no failure")
    except MemoryError:
        pass
    assert inst.get_t() == ticks and ticks >= 2, (inst.get_t(), ticks)
    assert inst.recorded_synapse_sample_count == ticks
    rec = inst.take_synapse_recording()
    weights = np.asarray(rec.weights)
    assert weights.shape == (ticks, n) and np.asarray(rec.t).tolist() == list(range(ticks))
    last = weights[-1].tobytes()
    del rec, weights
    assert last == np.asarray(inst.synapses().weights).tobytes()
    inst.tick([0], [], [], 0.0, False)
    assert inst.get_t() == ticks + 1 and inst.recorded_synapse_sample_count == 1
    print("ok", ticks)
"""


def test_no_room_for_a_sample_is_a_memory_error_before_the_tick():
    here = os.path.dirname(__file__)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([here] + sys.path))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(ROOM)], env=env, cwd=here,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.startswith("ok "), done.stdout


def test_synapse_indices_name_the_synapses_of_a_filtered_listing():
    inst = create()
    drive(inst, 20)
    every = inst.synapses()
    num_layers = len(inst.layers)
    seen = 0
    for from_layer in [None, *range(num_layers)]:
        for to_layer in [None, *range(num_layers)]:
            indices = synaptor_tools.synapse_indices(inst, from_layer, to_layer)
            listing = inst.synapses(from_layer, to_layer)
            assert indices.dtype == np.int64 and np.all(np.diff(indices) > 0)
            for name in ("pre_syn_nids", "post_syn_nids", "weights"):
                assert (np.asarray(getattr(every, name))[indices].tobytes()
                        == np.asarray(getattr(listing, name)).tobytes())
            seen += len(indices) if from_layer is not None and to_layer is not None else 0
    assert seen == len(every.weights) > 0
    with pytest.raises(ValueError, match="^to_layer 3 is out of range: the network has 3 layers$"):
        synaptor_tools.synapse_indices(inst, 0, 3)
    # What they are for: the first synapses of one projection, recorded.
    chosen_ones = synaptor_tools.synapse_indices(inst, 1, 2)[:6]
    inst.record_synapses(chosen_ones)
    drive(inst, 25)
    last = np.asarray(inst.stop_synapse_recording().weights)[-1]
    assert last.tobytes() == np.asarray(inst.synapses(1, 2).weights)[:6].tobytes()
