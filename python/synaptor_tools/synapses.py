"""The weights of one projection (the connection from one layer onto another)
as a matrix, from an instance's `synapses()`, and the synapse indices of a
projection, as `record_synapses()` and `set_weights(indices=...)` take them.

Needs NumPy; the sparse form needs SciPy.
"""

from __future__ import annotations

from typing import Any


def _import_numpy():
    try:
        import numpy
    except ImportError:
        raise ImportError("weight matrices need NumPy: pip install 'synaptor[tools]' "
                          "(or pip install numpy)") from None
    return numpy


def _import_sparse():
    try:
        import scipy.sparse
    except ImportError:
        raise ImportError("a sparse weight matrix needs SciPy: pip install scipy") from None
    return scipy.sparse


def weight_matrix(instance: Any, from_layer: int, to_layer: int, sparse: bool = False) -> Any:
    """The weights of the synapses from layer `from_layer` onto layer
    `to_layer` as a (neurons of from_layer) x (neurons of to_layer) float32
    matrix: row i, column j is the synapse from the layer's i-th neuron onto
    the other's j-th. Dense (NumPy, 0.0 where there is no synapse), or with
    `sparse=True` a SciPy CSR matrix holding exactly the synapses (a weight of
    0.0 stays stored). Several synapses between one pair of neurons add up."""
    np = _import_numpy()
    layers = instance.layers
    for name, layer in (("from_layer", from_layer), ("to_layer", to_layer)):
        if not 0 <= layer < len(layers):
            raise ValueError(f"{name} {layer} is out of range: the network has "
                             f"{len(layers)} layers")
    (pre_first, pre_n), (post_first, post_n) = layers[from_layer], layers[to_layer]
    synapses = instance.synapses(from_layer, to_layer)
    rows = np.asarray(synapses.pre_syn_nids) - np.uint64(pre_first)
    columns = np.asarray(synapses.post_syn_nids) - np.uint64(post_first)
    weights = np.asarray(synapses.weights)
    if sparse:
        matrix = _import_sparse().coo_matrix((weights, (rows, columns)), shape=(pre_n, post_n),
                                             dtype=np.float32)
        return matrix.tocsr()
    matrix = np.zeros((pre_n, post_n), dtype=np.float32)
    np.add.at(matrix, (rows.astype(np.intp), columns.astype(np.intp)), weights)
    return matrix


def synapse_indices(instance: Any, from_layer: int | None = None,
                    to_layer: int | None = None) -> Any:
    """The synapse indices of the synapses that `instance.synapses(from_layer,
    to_layer)` lists, in its order, as a NumPy int64 array: position k of that
    listing is the synapse of index `synapse_indices(...)[k]`. For choosing
    synapses of one projection to record or to write by index."""
    np = _import_numpy()
    layers = instance.layers
    for name, layer in (("from_layer", from_layer), ("to_layer", to_layer)):
        if layer is not None and not 0 <= layer < len(layers):
            raise ValueError(f"{name} {layer} is out of range: the network has "
                             f"{len(layers)} layers")
    synapses = instance.synapses()
    selected = np.ones(len(synapses.weights), dtype=bool)
    # Each layer's nids end where the next layer's begin.
    ends = np.array([first + n for first, n in layers], dtype=np.uint64)
    for layer, nids in ((from_layer, synapses.pre_syn_nids), (to_layer, synapses.post_syn_nids)):
        if layer is not None:
            selected &= np.searchsorted(ends, np.asarray(nids), side="right") == layer
    return np.flatnonzero(selected).astype(np.int64)
