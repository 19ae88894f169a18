"""Recording neuron state while ticking: values, sampling, independence from
threads and from recording itself, the arrays' buffer protocol, and errors."""

import array
import ctypes
import gc
import json
import os
import struct

import pytest

import synaptor
from conftest import CHAIN_JSON, isolated_json, rich_document, tick_empty

try:
    import numpy as np
except ImportError:  # the tests that need it are skipped
    np = None

RECORDED = [113, 5, 77, 41, 0, 119, 60, 99, 3, 88]  # every layer, in no order


def busy_document(num_threads):
    """The rich network with adapting thresholds and a voltage floor below 0."""
    doc = json.loads(rich_document(num_threads))
    for layer in doc["layers"]:
        layer["neuron_params"].update(adaptation_threshold=1.4, voltage_floor=-0.3)
    return json.dumps(doc)


def busy(num_threads=1, seed=99):
    try:
        inst = synaptor.create_from_json(busy_document(num_threads), seed)
    except ValueError as e:
        pytest.skip(f"{num_threads} threads not available here: {e}")
    inst.non_coherent_stimulation_rate = 0.03
    inst.reward_rate = 0.5
    return inst


def f32_bits(values):
    """The float32 bit patterns of widened f32 values."""
    return array.array("f", values).tobytes()


def rows(arr):
    """A RecordedArray of shape (n, m) as a list of n lists."""
    return memoryview(arr).tolist()


def test_recorded_voltages_equal_the_snapshots_of_a_twin_bit_for_bit():
    recorded, twin = busy(), busy()
    assert recorded.record(RECORDED, ("voltage", "spike")) is None
    batch = recorded.tick_until(120)
    rec = recorded.take_recording()

    snapshots = [twin.tick([], [], [], twin.reward_rate, True) for _ in range(120)]
    assert list(memoryview(rec.t)) == list(range(120))
    voltages = rows(rec.voltage)
    spikes = rows(rec.spike)
    moved = set()
    for t, result in enumerate(snapshots):
        expected = [result.state_snapshot.membrane_voltages[nid] for nid in RECORDED]
        assert f32_bits(voltages[t]) == f32_bits(expected), f"tick {t}"
        assert spikes[t] == [1.0 if nid in result.spiking_nids else 0.0 for nid in RECORDED]
        moved.update(voltages[t])
    assert len(moved) > 100, "the recorded neurons should be busy"
    assert batch.neuron_spikes_ids == [n for r in snapshots for n in r.spiking_nids]


def run_mixed(num_threads, record):
    """Ticks by all three routes, with snapshots now and then; a recording
    every 3 ticks from tick 5 when asked for."""
    inst = busy(num_threads)
    out = [inst.tick_until(5).neuron_spikes_ids]
    if record:
        inst.record(RECORDED, ["threshold", "voltage", "refractory", "spike"], every=3)
    out.append(inst.tick_until(40).neuron_spikes_ids)
    inst.tick_until_ignore_output(61)
    for _ in range(7):
        r = inst.tick([1], [], [2, 99], 0.25, True)
        # Synapses are listed per partition run: only their set is the same
        # for every thread count.
        out.append((r.spiking_nids, r.synaptic_transmission_count, r.state_snapshot.membrane_voltages,
                    sorted(r.state_snapshot.weights)))
    first = inst.take_recording() if record else None
    batch = inst.tick_until(100)
    out.append((batch.neuron_spikes_ts, batch.neuron_spikes_ids, batch.synaptic_transmission_count))
    out.append(sorted(inst.tick([], [], [], 0.0, True).state_snapshot.weights))
    second = inst.stop_recording() if record else None
    return out, first, second


def recording_values(rec):
    return (list(memoryview(rec.t)),) + tuple(
        f32_bits(memoryview(getattr(rec, name)).cast("B").cast("f")) for name in rec.variables
    )


def test_every_k_across_all_tick_routes():
    out, first, second = run_mixed(1, True)
    assert list(memoryview(first.t)) == list(range(5, 68, 3))
    assert list(memoryview(second.t)) == list(range(68, 101, 3))
    assert first.variables == ("threshold", "voltage", "refractory", "spike")
    assert first.every == 3 and first.nids == RECORDED
    # The ticks with snapshots (61..67) agree with the recorded voltages.
    samples = dict(zip(memoryview(first.t).tolist(), rows(first.voltage)))
    compared = 0
    for t, tick in zip(range(61, 68), out[2:9]):
        if t in samples:
            compared += 1
            expected = [tick[2][nid] for nid in RECORDED]
            assert f32_bits(samples[t]) == f32_bits(expected)
    assert compared == 2
    thresholds = {v for row in rows(first.threshold) + rows(second.threshold) for v in row}
    assert len(thresholds) > 20 and min(thresholds) >= 1.0
    refractory = {v for row in rows(first.refractory) for v in row}
    assert refractory == {0.0, 1.0}


def test_results_do_not_depend_on_recording():
    with_recording, _, _ = run_mixed(1, True)
    without, _, _ = run_mixed(1, False)
    assert with_recording == without


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two CPUs")
def test_recordings_agree_across_thread_counts():
    one = run_mixed(1, True)
    two = run_mixed(2, True)
    assert one[0] == two[0]
    for a, b in ((one[1], two[1]), (one[2], two[2])):
        assert recording_values(a) == recording_values(b)


def test_array_buffer_protocol():
    inst = synaptor.create_from_json(CHAIN_JSON, 0)
    inst.record([9, 3, 0], variables="voltage", every=2)
    inst.tick([0], [], [], 0.0, False)
    inst.tick_until(7)
    rec = inst.stop_recording()
    assert len(rec) == 4 and rec.threshold is None and rec.spike is None

    view = memoryview(rec.voltage)
    assert (view.format, view.itemsize, view.ndim) == ("f", 4, 2)
    assert view.shape == (4, 3) and view.strides == (12, 4)
    assert view.c_contiguous and view.nbytes == 48
    assert rec.voltage.shape == (4, 3) and len(rec.voltage) == 4 and rec.voltage.format == "f"
    flat = view.cast("B").cast("f")
    assert flat.tolist() == [v for row in view.tolist() for v in row]
    ts = memoryview(rec.t)
    assert (ts.format, ts.itemsize, ts.shape, ts.strides) == ("Q", 8, (4,), (8,))
    assert ts.tolist() == [0, 2, 4, 6]
    assert struct.unpack("4Q", bytes(ts)) == (0, 2, 4, 6)
    assert "4 samples" in repr(rec)


def test_arrays_outlive_the_instance_and_the_recording():
    inst = synaptor.create_from_json(isolated_json(50), 3)
    inst.record(range(0, 50, 7), ("voltage", "refractory"))
    inst.tick([], [], [14, 35], 0.0, False)
    inst.tick_until(3)
    rec = inst.take_recording()
    refractory, t = rec.refractory, rec.t
    del inst, rec
    gc.collect()
    junk = [bytearray(1 << 16) for _ in range(64)]  # reuse freed memory if it was freed
    assert memoryview(refractory).tolist() == [
        [0.0, 0.0, 1.0, 0.0, 0.0, 1.0, 0.0, 0.0],
        [0.0, 0.0, 1.0, 0.0, 0.0, 1.0, 0.0, 0.0],
        [0.0] * 8,
    ]
    assert memoryview(t).tolist() == [0, 1, 2]
    del junk


def test_take_stop_replace_and_sample_count():
    inst = synaptor.create_from_json(isolated_json(10), 1)
    assert inst.recorded_sample_count == 0
    assert inst.stop_recording() is None
    with pytest.raises(ValueError, match=r"^Nothing is being recorded; start a recording with record\(\)$"):
        inst.take_recording()
    inst.record([1, 2])
    inst.tick_until(4)
    assert inst.recorded_sample_count == 4
    assert len(inst.take_recording()) == 4
    assert inst.recorded_sample_count == 0
    inst.tick_until(6)
    assert len(inst.take_recording()) == 2
    assert len(inst.take_recording()) == 0
    # Replacing hands back what the old recording had not given yet.
    inst.tick_until(7)
    old = inst.record([3], every=5)
    assert old.nids == [1, 2] and memoryview(old.t).tolist() == [6]
    inst.tick_until(18)
    new = inst.stop_recording()
    assert memoryview(new.t).tolist() == [7, 12, 17] and new.nids == [3]
    inst.tick_until(20)
    assert inst.recorded_sample_count == 0 and inst.stop_recording() is None
    # An empty list of neurons records only the ticks.
    inst.record([])
    inst.tick_until(22)
    rec = inst.take_recording()
    assert memoryview(rec.voltage).shape == (2, 0) and memoryview(rec.t).tolist() == [20, 21]


def test_bad_arguments():
    inst = synaptor.create_from_json(isolated_json(10), 1)
    inst.record([1])
    cases = [
        ((([0, 10],), {}), ValueError, "Invalid neuron id for recording: 10"),
        ((([4, 2, 4],), {}), ValueError, "Neuron id listed twice for recording: 4"),
        ((([1], ["voltage", "volts"]), {}), ValueError,
         "Unknown variable to record: 'volts' (known: voltage, threshold, spike, refractory)"),
        ((([1], ["spike", "spike"]), {}), ValueError, "Variable listed twice for recording: 'spike'"),
        ((([1], []), {}), ValueError, "No variable to record"),
        ((([1],), {"every": 0}), ValueError, "Recording period must be at least 1 tick, got 0"),
        ((([1],), {"every": -3}), ValueError, "Recording period must be at least 1 tick, got -3"),
        ((([1],), {"every": 1.5}), TypeError,
         "argument 'every': 'float' object cannot be interpreted as an integer"),
        ((([1], [b"voltage"]), {}), TypeError,
         "argument 'variables': 'bytes' object cannot be converted to 'PyString'"),
        ((([1], 5), {}), TypeError, "argument 'variables': 'int' object cannot be converted to 'Sequence'"),
        ((("12",), {}), ValueError, "Can't extract `str` to `Vec`"),
        (((7,), {}), TypeError, "argument 'nids': 'int' object cannot be converted to 'Sequence'"),
        (((), {}), TypeError, "Instance.record() missing 1 required positional argument: 'nids'"),
        ((([1], "voltage", 1, 2), {}), TypeError,
         "Instance.record() takes 3 positional arguments but 4 were given"),
        ((([1],), {"period": 2}), TypeError, "Instance.record() got an unexpected keyword argument 'period'"),
    ]
    for (args, kwargs), error, text in cases:
        with pytest.raises(error) as info:
            inst.record(*args, **kwargs)
        assert str(info.value) == text
    with pytest.raises(OverflowError):
        inst.record([-1])
    with pytest.raises(OverflowError):
        inst.record([1], every=2**63)
    # None of them replaced the running recording.
    inst.tick_until(2)
    rec = inst.take_recording()
    assert rec.nids == [1] and rec.variables == ("voltage", "threshold") and len(rec) == 2
    with pytest.raises(TypeError):
        inst.take_recording(1)
    with pytest.raises(TypeError, match="No constructor defined"):
        type(rec)()
    with pytest.raises(TypeError, match="No constructor defined"):
        type(rec.t)()
    with pytest.raises(AttributeError):
        rec.t = 3


def test_module_surface_is_unchanged():
    assert synaptor.__all__ == ["create_from_yaml", "create_from_json", "Stimulus"]
    assert not hasattr(synaptor, "Recording") and not hasattr(synaptor, "RecordedArray")
    inst = synaptor.create_from_json(isolated_json(3), 1)
    inst.record([0])
    tick_empty(inst)
    rec = inst.take_recording()
    assert type(rec).__name__ == "Recording" and type(rec.voltage).__name__ == "RecordedArray"


@pytest.mark.skipif(np is None, reason="needs NumPy")
def test_numpy_reads_the_samples_without_copying():
    inst = busy()
    inst.record(RECORDED, ("voltage", "threshold"))
    inst.tick_until(30)
    rec = inst.take_recording()
    voltage = np.asarray(rec.voltage)
    assert voltage.dtype == np.float32 and voltage.shape == (30, len(RECORDED))
    assert voltage.flags.c_contiguous
    again = np.asarray(rec.voltage)
    assert np.shares_memory(voltage, again), "both arrays should view the recording's memory"
    assert np.asarray(rec.t).dtype == np.uint64
    assert np.array_equal(np.asarray(rec.t), np.arange(30))
    assert np.all(np.asarray(rec.threshold) >= 1.0)


class _PyBuffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.py_object), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
                ("suboffsets", ctypes.POINTER(ctypes.c_ssize_t)), ("internal", ctypes.c_void_p)]


def test_buffer_requests_are_served_or_refused_by_the_protocol():
    inst = synaptor.create_from_json(isolated_json(6), 1)
    inst.record([5, 1], "spike")
    inst.tick([], [], [1], 0.0, False)
    inst.tick_until(3)
    spike = inst.take_recording().spike
    get = ctypes.pythonapi.PyObject_GetBuffer
    get.argtypes = [ctypes.py_object, ctypes.POINTER(_PyBuffer), ctypes.c_int]
    release = ctypes.pythonapi.PyBuffer_Release
    release.argtypes = [ctypes.POINTER(_PyBuffer)]
    PyBUF_SIMPLE, PyBUF_FORMAT, PyBUF_ND, PyBUF_STRIDES = 0, 0x4, 0x8, 0x18
    PyBUF_C_CONTIGUOUS, PyBUF_F_CONTIGUOUS = 0x38, 0x58

    view = _PyBuffer()
    assert get(spike, ctypes.byref(view), PyBUF_SIMPLE) == 0
    assert (view.len, view.format, bool(view.shape), bool(view.strides)) == (24, None, False, False)
    assert ctypes.string_at(view.buf, 24) == array.array("f", [0, 1, 0, 0, 0, 0]).tobytes()
    release(ctypes.byref(view))

    assert get(spike, ctypes.byref(view), PyBUF_ND | PyBUF_FORMAT) == 0
    assert view.format == b"f" and view.ndim == 2 and [view.shape[0], view.shape[1]] == [3, 2]
    assert not view.strides
    release(ctypes.byref(view))

    assert get(spike, ctypes.byref(view), PyBUF_C_CONTIGUOUS) == 0
    assert [view.strides[0], view.strides[1]] == [8, 4]
    release(ctypes.byref(view))

    with pytest.raises(BufferError, match="C-contiguous"):
        get(spike, ctypes.byref(view), PyBUF_F_CONTIGUOUS)
