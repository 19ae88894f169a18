// The Python class StateSnapshot: voltages and synapses after a tick, each
// list copied into a new Python list on every read.
#include "lib/conversions.hpp"
#include "lib/module_state.hpp"
#include "lib/py_classes.hpp"

namespace synaptor {

namespace {

struct StateSnapshotObject {
    PyObject_HEAD StateSnapshot* snapshot;
};

const StateSnapshot& snapshot_of(PyObject* self) {
    return *reinterpret_cast<StateSnapshotObject*>(self)->snapshot;
}

template <class F>
PyObject* read(PyObject* self, F&& body) {
    return guarded<PyObject*>(module_of(self), nullptr, [&] { return body(snapshot_of(self)); });
}

PyObject* get_membrane_voltages(PyObject* self, void*) {
    return read(self, [](const StateSnapshot& s) { return list_from_f32(s.membrane_voltages); });
}

PyObject* get_pre_syn_nids(PyObject* self, void*) {
    return read(self, [](const StateSnapshot& s) { return list_from_u64(s.pre_syn_nids); });
}

PyObject* get_post_syn_nids(PyObject* self, void*) {
    return read(self, [](const StateSnapshot& s) { return list_from_u64(s.post_syn_nids); });
}

PyObject* get_conduction_delays(PyObject* self, void*) {
    return read(self, [](const StateSnapshot& s) { return list_from_u8(s.conduction_delays); });
}

PyObject* get_weights(PyObject* self, void*) {
    return read(self, [](const StateSnapshot& s) { return list_from_f32(s.weights); });
}

void state_snapshot_dealloc(PyObject* self) {
    delete reinterpret_cast<StateSnapshotObject*>(self)->snapshot;
    dealloc_heap_object(self);
}

PyGetSetDef state_snapshot_getset[] = {
    {"membrane_voltages", get_membrane_voltages, nullptr, "One voltage per neuron, in nid order.",
     nullptr},
    {"pre_syn_nids", get_pre_syn_nids, nullptr, "Pre-synaptic neuron of each synapse.", nullptr},
    {"post_syn_nids", get_post_syn_nids, nullptr, "Post-synaptic neuron of each synapse.", nullptr},
    {"conduction_delays", get_conduction_delays, nullptr, "Conduction delay of each synapse.",
     nullptr},
    {"weights", get_weights, nullptr, "Weight of each synapse.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot state_snapshot_slots[] = {
    {Py_tp_new, slot_function(&new_refused)},
    {Py_tp_dealloc, slot_function(&state_snapshot_dealloc)},
    {Py_tp_getset, state_snapshot_getset},
    {Py_tp_doc, const_cast<char*>("Membrane voltages and synapses after a tick.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec state_snapshot_type_spec{"synaptor.StateSnapshot",
                                     static_cast<int>(sizeof(StateSnapshotObject)), 0,
                                     Py_TPFLAGS_DEFAULT, state_snapshot_slots};

PyObject* wrap_state_snapshot(PyObject* module, StateSnapshot snapshot) {
    PyTypeObject* type = class_type(module, ClassId::StateSnapshot);
    if (type == nullptr) return nullptr;
    auto owned = std::make_unique<StateSnapshot>(std::move(snapshot));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<StateSnapshotObject*>(self)->snapshot = owned.release();
    return self;
}

}  // namespace synaptor
