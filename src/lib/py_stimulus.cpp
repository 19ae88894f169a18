// The Python class Stimulus: six lists of u64, each read as a new list and
// written whole. Holds no link to any instance; apply_stimulus copies it.
#include <cstring>
#include <utility>

#include "lib/extension_module.hpp"
#include "lib/py_value_class.hpp"

namespace synaptor {

namespace {

using S = Stimulus;

PyObject* stimulus_repr(PyObject* self) {
    const Stimulus& s = value_of<Stimulus>(self);
    return PyUnicode_FromFormat(
        "<Stimulus %zu input-channel, %zu forced output-channel, %zu forced neuron spikes>",
        s.in_channel_spikes_ts.size(), s.force_out_channel_spikes_ts.size(),
        s.force_neuron_spikes_ts.size());
}

PyGetSetDef stimulus_getset[] = {
    {"in_channel_spikes_ts", get_member<&S::in_channel_spikes_ts>,
     set_u64_list<&S::in_channel_spikes_ts>,
     "Ticks of input-channel spikes, counted from the tick of apply_stimulus.", nullptr},
    {"in_channel_spikes_ids", get_member<&S::in_channel_spikes_ids>,
     set_u64_list<&S::in_channel_spikes_ids>, "Input channels, parallel to the ticks.", nullptr},
    {"force_out_channel_spikes_ts", get_member<&S::force_out_channel_spikes_ts>,
     set_u64_list<&S::force_out_channel_spikes_ts>, "Ticks of forced output-channel spikes.",
     nullptr},
    {"force_out_channel_spikes_ids", get_member<&S::force_out_channel_spikes_ids>,
     set_u64_list<&S::force_out_channel_spikes_ids>,
     "Output channels forced to spike, parallel to the ticks.", nullptr},
    {"force_neuron_spikes_ts", get_member<&S::force_neuron_spikes_ts>,
     set_u64_list<&S::force_neuron_spikes_ts>, "Ticks of forced neuron spikes.", nullptr},
    {"force_neuron_spikes_ids", get_member<&S::force_neuron_spikes_ids>,
     set_u64_list<&S::force_neuron_spikes_ids>, "Neurons forced to spike, parallel to the ticks.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A stimulus always starts empty.
ValueClass<Stimulus> stimulus_class(ClassId::Stimulus,
                                    "A schedule of spikes for Instance.apply_stimulus.",
                                    stimulus_getset, &new_default<Stimulus>, nullptr,
                                    &stimulus_repr);

}  // namespace

PyType_Spec stimulus_type_layout = stimulus_class.type_layout();

namespace {

/// Reads another module's Stimulus through its six attributes, each
/// converted as the setter of this module's class would.
const Stimulus* read_foreign_stimulus(PyObject* obj, Stimulus* copy) {
    using Field = std::vector<std::uint64_t> Stimulus::*;
    static constexpr std::pair<const char*, Field> kFields[] = {
        {"in_channel_spikes_ts", &S::in_channel_spikes_ts},
        {"in_channel_spikes_ids", &S::in_channel_spikes_ids},
        {"force_out_channel_spikes_ts", &S::force_out_channel_spikes_ts},
        {"force_out_channel_spikes_ids", &S::force_out_channel_spikes_ids},
        {"force_neuron_spikes_ts", &S::force_neuron_spikes_ts},
        {"force_neuron_spikes_ids", &S::force_neuron_spikes_ids},
    };
    for (const auto& [name, field] : kFields) {
        PyRef value(PyObject_GetAttrString(obj, name));
        if (!value || !convert_u64_list(value.get(), &(copy->*field))) return nullptr;
    }
    return copy;
}

}  // namespace

const Stimulus* stimulus_of(PyObject* module, PyObject* obj, Stimulus* copy) {
    PyTypeObject* type = class_type(module, ClassId::Stimulus);
    if (type == nullptr) return nullptr;
    if (PyObject_TypeCheck(obj, type)) return &value_of<Stimulus>(obj);
    const ModuleSurface* surface = surface_of(module);
    if (surface == nullptr) return nullptr;
    const char* foreign = surface->foreign_stimulus_class;
    if (foreign != nullptr && std::strcmp(Py_TYPE(obj)->tp_name, foreign) == 0) {
        return read_foreign_stimulus(obj, copy);
    }
    raise_cannot_convert(obj, "Stimulus");
    return nullptr;
}

}  // namespace synaptor
