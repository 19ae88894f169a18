"""Instance.synapses(), set_weights() and layers: order, filters, exact
writes that are all or nothing, and independence of the thread count."""

import math
import os

import numpy as np
import pytest

import synaptor
import synaptor_tools
from conftest import connection, document, layer, rich_document


def create(num_threads, seed=5):
    return synaptor.create_from_json(rich_document(num_threads), seed)


def thread_counts():
    """2 and 3 threads where the machine allows them (creation refuses more
    threads than CPUs)."""
    return [n for n in (2, 3) if n <= len(os.sched_getaffinity(0))]


def drive(inst, t_end):
    """Ticks until t_end with input and reward that depend on t alone; the spikes of each tick."""
    inst.non_coherent_stimulation_rate = 0.02
    spikes = []
    while inst.get_t() < t_end:
        t = inst.get_t()
        channels = [c for c in range(40) if (t * 7 + c * 3) % 11 < 2]
        spikes.append(inst.tick(channels, [], [], 1.0 if t % 5 == 0 else -0.2, False).spiking_nids)
    return spikes


def arrays(synapses):
    return tuple(np.asarray(getattr(synapses, name))
                 for name in ("pre_syn_nids", "post_syn_nids", "conduction_delays", "weights"))


def layer_of(inst, nids):
    ends = np.array([first + n for first, n in inst.layers], dtype=np.uint64)
    return np.searchsorted(ends, nids, side="right")


def assert_same(a, b):
    for x, y in zip(arrays(a) if not isinstance(a, tuple) else a,
                    arrays(b) if not isinstance(b, tuple) else b):
        assert x.dtype == y.dtype and x.tobytes() == y.tobytes()


def test_arrays_are_typed_views_that_numpy_reads_without_copying():
    inst = create(1)
    synapses = inst.synapses()
    pre, post, delays, weights = arrays(synapses)
    assert (pre.dtype, post.dtype, delays.dtype, weights.dtype) == (
        np.uint64, np.uint64, np.uint8, np.float32)
    assert len(pre) == len(post) == len(delays) == len(weights) > 1000
    view = memoryview(synapses.weights)
    assert view.format == "f" and view.c_contiguous and view.shape == (len(weights),)
    assert memoryview(synapses.conduction_delays).format == "B"
    # Two reads see the same memory: nothing was copied on the way to NumPy.
    assert np.shares_memory(np.asarray(synapses.weights), weights)
    # The arrays outlive the Synapses object and the instance.
    del synapses, inst
    assert weights.sum() > 0 and len(np.unique(pre)) > 50


def test_order_is_the_snapshots_and_the_same_for_any_thread_count():
    one = create(1)
    drive(one, 120)
    expected = arrays(one.synapses())
    pre, post, delays, weights = expected
    layers = layer_of(one, post)
    keys = np.lexsort((post, pre, layers))
    assert np.array_equal(keys, np.arange(len(keys))), "not ordered by post layer, pre, post"
    snapshot = one.tick([], [], [], 0.0, True).state_snapshot
    after = arrays(one.synapses())
    assert after[0].tolist() == snapshot.pre_syn_nids
    assert after[1].tolist() == snapshot.post_syn_nids
    assert after[2].tolist() == snapshot.conduction_delays
    assert after[3].tolist() == snapshot.weights
    assert not np.array_equal(after[3], weights), "the tick should have changed weights"
    for threads in thread_counts():
        many = create(threads)
        drive(many, 120)
        assert_same(arrays(many.synapses()), expected)


def test_filters_select_their_connections_in_the_same_order():
    inst = create(2)
    pre, post, delays, weights = arrays(inst.synapses())
    from_layers, to_layers = layer_of(inst, pre), layer_of(inst, post)
    for from_layer in (None, 0, 1, 2):
        for to_layer in (None, 0, 1, 2):
            keep = np.ones(len(pre), dtype=bool)
            if from_layer is not None:
                keep &= from_layers == from_layer
            if to_layer is not None:
                keep &= to_layers == to_layer
            got = arrays(inst.synapses(from_layer, to_layer=to_layer))
            assert_same(got, (pre[keep], post[keep], delays[keep], weights[keep]))
    assert len(inst.synapses(0, 2).weights) == 0
    with pytest.raises(ValueError, match="^from_layer 3 is out of range: the network has 3 "
                                         "layers$"):
        inst.synapses(3)
    with pytest.raises(ValueError, match="^to_layer -1 is out of range: the network has 3 "
                                         "layers$"):
        inst.synapses(to_layer=-1)
    with pytest.raises(TypeError, match="^argument 'from_layer'"):
        inst.synapses("0")


def test_written_weights_read_back_bit_for_bit_and_only_where_written():
    inst = create(2)
    drive(inst, 30)
    before = arrays(inst.synapses())
    n = len(inst.synapses(1, 2).weights)
    # float64 values that f32 cannot hold exactly are rounded to the nearest f32.
    values = np.linspace(0.0, 1.0, n, dtype=np.float64) / 3.0
    values[0] = 1.0  # max_weight itself is allowed
    inst.set_weights(values, 1, 2)
    got = np.asarray(inst.synapses(1, 2).weights)
    assert got.tobytes() == values.astype(np.float32).tobytes()
    # Strided float32, a list of floats and ints, an integer array: all accepted.
    strided = np.arange(2 * n, dtype=np.float32)[::2] / np.float32(4 * n)
    inst.set_weights(strided, from_layer=1, to_layer=2)
    assert np.asarray(inst.synapses(1, 2).weights).tobytes() == strided.tobytes()
    inst.set_weights([0.25] * (n - 1) + [1], 1, 2)
    assert np.asarray(inst.synapses(1, 2).weights).tolist() == [0.25] * (n - 1) + [1.0]
    inst.set_weights(np.zeros(n, dtype=np.int32), 1, 2)
    assert not np.asarray(inst.synapses(1, 2).weights).any()

    after = arrays(inst.synapses())
    chosen = layer_of(inst, before[0]) == 1
    chosen &= layer_of(inst, before[1]) == 2
    assert np.array_equal(after[3][~chosen], before[3][~chosen])
    assert_same(after[:3], before[:3])

    # By index, in order: a repeated index keeps its last weight.
    inst.set_weights(np.array([0.5, 0.125, 0.75]), indices=np.array([7, 3, 7], dtype=np.int64))
    inst.set_weights((0.0625,), indices=[len(before[3]) - 1])
    weights = np.asarray(inst.synapses().weights)
    assert (weights[3], weights[7], weights[-1]) == (0.125, 0.75, 0.0625)
    mask = np.ones(len(weights), dtype=bool)
    mask[[3, 7, -1]] = False
    assert np.array_equal(weights[mask], after[3][mask])


def test_every_fault_is_named_and_nothing_is_written():
    inst = create(1)
    before = arrays(inst.synapses())
    n = len(inst.synapses(0, 1).weights)
    good = np.full(n, 0.5)

    def refused(match, *args, **kwargs):
        with pytest.raises(ValueError, match=match):
            inst.set_weights(*args, **kwargs)
        assert_same(arrays(inst.synapses()), before)

    bad = good.copy()
    bad[n - 1] = 1.5  # the last position: every earlier one was valid and not written
    refused(rf"^weights\[{n - 1}\] = 1.5 is above its connection's max_weight 1$", bad, 0, 1)
    bad[9] = math.nan
    refused(r"^weights\[9\] is NaN$", bad, 0, 1)
    bad[2] = -0.25
    refused(r"^weights\[2\] = -0.25 is negative$", bad, 0, 1)
    refused(rf"^expected {n} weights \(one per synapse selected\), got {n - 1}$", good[1:], 0, 1)
    total = len(before[3])
    refused(rf"^indices\[1\] = {total} is out of range: the network has {total} synapses$",
            [0.5, 0.5], indices=[0, total])
    refused(r"^indices\[0\] = -1 is negative$", [0.5, 0.5], indices=[-1, total])
    refused(r"^expected one weight per index: 2 indices, 1 weights$", [0.5], indices=[0, 1])
    refused(r"^indices\[1\] is beyond the range of a 64-bit integer$", [0.5, 0.5],
            indices=[0, 2**64 - 1])
    refused(r"^indices\[2\] is beyond the range of a 64-bit integer$", [0.5] * 3,
            indices=np.array([0, 1, 2**63], dtype=np.uint64))
    refused("^indices select the synapses on their own", [0.5], 0, indices=[0])
    with pytest.raises(TypeError, match="^argument 'weights'"):
        inst.set_weights(["x"] * n, 0, 1)
    with pytest.raises(TypeError, match="^argument 'indices'"):
        inst.set_weights([0.5], indices=[0.5])
    with pytest.raises(TypeError, match="^argument 'weights'"):
        inst.set_weights(0.5)
    assert_same(arrays(inst.synapses()), before)


def test_written_weights_are_kept_by_a_state_file(tmp_path):
    inst = create(1)
    drive(inst, 50)
    total = len(inst.synapses().weights)
    rng = np.random.default_rng(3)
    inst.set_weights(rng.uniform(0.0, 0.6, total).astype(np.float32))
    path = tmp_path / "written.state"
    inst.save_state(path)
    restored = create(2)
    restored.restore_state(path)
    assert_same(arrays(restored.synapses()), arrays(inst.synapses()))
    assert drive(restored, 120) == drive(inst, 120)
    assert_same(arrays(restored.synapses()), arrays(inst.synapses()))


def continue_after_writing(threads):
    inst = create(threads)
    drive(inst, 40)
    total = len(inst.synapses().weights)
    inst.set_weights(np.linspace(0.05, 0.95, total) % 0.7)
    inst.set_weights(np.full(50, 1.0), indices=np.arange(0, 5 * 50, 5))
    spikes = drive(inst, 160)
    return spikes, arrays(inst.synapses())


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two CPUs")
def test_continuing_after_writing_is_the_same_for_any_thread_count():
    spikes, synapses = continue_after_writing(1)
    assert sum(len(s) for s in spikes) > 200, "the network should be active"
    for threads in thread_counts():
        other_spikes, other = continue_after_writing(threads)
        assert other_spikes == spikes, f"{threads} threads"
        assert_same(other, synapses)


def test_layers_describe_the_document_and_are_read_only():
    inst = create(1)
    assert inst.layers == ((0, 40), (40, 60), (100, 20))
    with pytest.raises(AttributeError):
        inst.layers = ()
    # The companion layout reads the same from the instance as from its document.
    assert synaptor_tools.layout(inst) == synaptor_tools.layout(rich_document(1))
    assert synaptor_tools.layout(inst).layer_of(99) == 1
    empty = synaptor.create_from_json(document([]), 1)
    assert empty.layers == ()
    assert len(empty.synapses().weights) == 0
    empty.set_weights([])


def test_weight_matrix_places_each_synapse_at_its_pair():
    inst = create(2)
    drive(inst, 20)
    pre, post, _, weights = arrays(inst.synapses(1, 2))
    matrix = synaptor_tools.weight_matrix(inst, 1, 2)
    assert matrix.shape == (60, 20) and matrix.dtype == np.float32
    # Each synapse at (pre - 40, post - 100), nothing elsewhere.
    assert np.array_equal(matrix[pre.astype(int) - 40, post.astype(int) - 100], weights)
    assert np.count_nonzero(matrix) == np.count_nonzero(weights)
    recurrent = synaptor_tools.weight_matrix(inst, 1, 1)
    assert recurrent.shape == (60, 60) and not recurrent.diagonal().any()
    with pytest.raises(ValueError, match="^to_layer 3 is out of range"):
        synaptor_tools.weight_matrix(inst, 0, 3)
    try:
        import scipy.sparse  # noqa: F401
    except ImportError:
        with pytest.raises(ImportError, match="needs SciPy"):
            synaptor_tools.weight_matrix(inst, 1, 2, sparse=True)
    else:
        sparse = synaptor_tools.weight_matrix(inst, 1, 2, sparse=True)
        assert sparse.nnz == len(weights) and np.array_equal(sparse.toarray(), matrix)


def test_len_and_repr_give_the_number_of_synapses():
    inst = create(1)
    for from_layer, to_layer in ((None, None), (1, 2), (0, 2)):
        synapses = inst.synapses(from_layer, to_layer)
        n = len(np.asarray(synapses.weights))
        assert len(synapses) == n
        assert repr(synapses) == f"<Synapses: {n} synapses>"
    assert len(inst.synapses(1, 2)) > 0 and len(inst.synapses(0, 2)) == 0
    single = synaptor.create_from_json(document([layer(1), layer(1)], [connection(0, 1)]), 1)
    assert len(single.synapses()) == 1 and repr(single.synapses()) == "<Synapses: 1 synapse>"


def test_layer_ids_beyond_64_bits_are_out_of_range_by_name():
    inst = create(1)
    before = np.asarray(inst.synapses().weights).tobytes()
    weights = np.zeros(len(inst.synapses(0, 1).weights), dtype=np.float32)
    for value in (2**64, 2**63, 2**200, -2**64):
        for name in ("from_layer", "to_layer"):
            text = f"^{name} {value} is out of range: the network has 3 layers$"
            with pytest.raises(ValueError, match=text):
                inst.synapses(**{name: value})
            with pytest.raises(ValueError, match=text):
                inst.set_weights(weights, **{name: value})
            with pytest.raises(ValueError, match=text):
                synaptor_tools.weight_matrix(inst, *((value, 1) if name == "from_layer"
                                                     else (0, value)))
    assert np.asarray(inst.synapses().weights).tobytes() == before
