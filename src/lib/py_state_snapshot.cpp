// The Python class StateSnapshot: voltages and synapses after a tick, each
// list copied into a new Python list on every read.
#include "lib/py_value_class.hpp"

namespace synaptor {

namespace {

PyObject* state_snapshot_repr(PyObject* self) {
    const StateSnapshot& s = value_of<StateSnapshot>(self);
    return PyUnicode_FromFormat("<StateSnapshot of %zu neurons, %zu synapses>",
                                s.membrane_voltages.size(), s.weights.size());
}

PyGetSetDef state_snapshot_getset[] = {
    {"membrane_voltages", get_member<&StateSnapshot::membrane_voltages>, nullptr,
     "One voltage per neuron, in nid order.", nullptr},
    {"pre_syn_nids", get_member<&StateSnapshot::pre_syn_nids>, nullptr,
     "Pre-synaptic neuron of each synapse.", nullptr},
    {"post_syn_nids", get_member<&StateSnapshot::post_syn_nids>, nullptr,
     "Post-synaptic neuron of each synapse.", nullptr},
    {"conduction_delays", get_member<&StateSnapshot::conduction_delays>, nullptr,
     "Conduction delay of each synapse.", nullptr},
    {"weights", get_member<&StateSnapshot::weights>, nullptr, "Weight of each synapse.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

ValueClass<StateSnapshot> state_snapshot_class(ClassId::StateSnapshot,
                                               "Membrane voltages and synapses after a tick.",
                                               state_snapshot_getset, &new_refused, nullptr,
                                               &state_snapshot_repr);

}  // namespace

PyType_Spec state_snapshot_type_layout = state_snapshot_class.type_layout();

PyObject* wrap_state_snapshot(PyObject* module, StateSnapshot snapshot) {
    return state_snapshot_class.wrap(module, std::move(snapshot));
}

}  // namespace synaptor
