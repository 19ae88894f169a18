// The Python class TickResult: the read-only outcome of one tick. Lists and
// the snapshot are copied into new Python objects on every read.
#include "lib/py_value_class.hpp"

namespace synaptor {

namespace {

PyObject* get_state_snapshot(PyObject* self, void*) {
    return guarded<PyObject*>(module_of(self), nullptr, [self]() -> PyObject* {
        const TickResult& r = value_of<TickResult>(self);
        if (!r.state_snapshot) Py_RETURN_NONE;
        return wrap_state_snapshot(module_of(self), *r.state_snapshot);
    });
}

PyObject* tick_result_repr(PyObject* self) {
    const TickResult& r = value_of<TickResult>(self);
    return PyUnicode_FromFormat("<TickResult t %llu, %zu spikes, %zu output spikes%s>",
                                static_cast<unsigned long long>(r.t), r.spiking_nids.size(),
                                r.spiking_out_channel_ids.size(),
                                r.state_snapshot ? ", with a state snapshot" : "");
}

PyGetSetDef tick_result_getset[] = {
    {"t", get_member<&TickResult::t>, nullptr, "Index of the tick.", nullptr},
    {"spiking_out_channel_ids", get_member<&TickResult::spiking_out_channel_ids>, nullptr,
     "Output channels that spiked, ascending.", nullptr},
    {"spiking_nids", get_member<&TickResult::spiking_nids>, nullptr,
     "Neurons that spiked, ascending.", nullptr},
    {"synaptic_transmission_count", get_member<&TickResult::synaptic_transmission_count>, nullptr,
     "Synaptic transmissions of the tick.", nullptr},
    {"state_snapshot", get_state_snapshot, nullptr,
     "A new StateSnapshot when one was requested, else None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

ValueClass<TickResult> tick_result_class(ClassId::TickResult, "The result of Instance.tick.",
                                         tick_result_getset, &new_refused, nullptr,
                                         &tick_result_repr);

}  // namespace

PyType_Spec tick_result_type_layout = tick_result_class.type_layout();

PyObject* wrap_tick_result(PyObject* module, TickResult result) {
    return tick_result_class.wrap(module, std::move(result));
}

}  // namespace synaptor
