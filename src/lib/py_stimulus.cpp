// The Python class Stimulus: six lists of u64, each read as a new list and
// written whole. Holds no link to any instance; apply_stimulus copies it.
#include "lib/conversions.hpp"
#include "lib/module_state.hpp"
#include "lib/py_classes.hpp"

namespace synaptor {

namespace {

struct StimulusObject {
    PyObject_HEAD Stimulus* stimulus;
};

StimulusObject* as_stimulus(PyObject* self) { return reinterpret_cast<StimulusObject*>(self); }

using Field = std::vector<std::uint64_t> Stimulus::*;

// The getset closure is the index into this table.
constexpr Field kFields[] = {
    &Stimulus::in_channel_spikes_ts,        &Stimulus::in_channel_spikes_ids,
    &Stimulus::force_out_channel_spikes_ts, &Stimulus::force_out_channel_spikes_ids,
    &Stimulus::force_neuron_spikes_ts,      &Stimulus::force_neuron_spikes_ids,
};

Field field_of(void* closure) { return kFields[reinterpret_cast<std::uintptr_t>(closure)]; }

PyObject* get_field(PyObject* self, void* closure) {
    return guarded<PyObject*>(module_of(self), nullptr, [&] {
        return list_from_u64(as_stimulus(self)->stimulus->*field_of(closure));
    });
}

int set_field(PyObject* self, PyObject* value, void* closure) {
    if (value == nullptr) return refuse_delete();
    return guarded<int>(module_of(self), -1, [&] {
        std::vector<std::uint64_t> values;
        if (!convert_u64_list(value, &values)) return -1;
        as_stimulus(self)->stimulus->*field_of(closure) = std::move(values);
        return 0;
    });
}

// Arguments are accepted and ignored: a stimulus always starts empty.
PyObject* stimulus_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
        as_stimulus(self)->stimulus = new Stimulus();
    } catch (const std::bad_alloc&) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

void stimulus_dealloc(PyObject* self) {
    delete as_stimulus(self)->stimulus;
    dealloc_heap_object(self);
}

void* closure(std::uintptr_t index) { return reinterpret_cast<void*>(index); }

PyGetSetDef stimulus_getset[] = {
    {"in_channel_spikes_ts", get_field, set_field,
     "Ticks of input-channel spikes, counted from the tick of apply_stimulus.", closure(0)},
    {"in_channel_spikes_ids", get_field, set_field, "Input channels, parallel to the ticks.",
     closure(1)},
    {"force_out_channel_spikes_ts", get_field, set_field, "Ticks of forced output-channel spikes.",
     closure(2)},
    {"force_out_channel_spikes_ids", get_field, set_field,
     "Output channels forced to spike, parallel to the ticks.", closure(3)},
    {"force_neuron_spikes_ts", get_field, set_field, "Ticks of forced neuron spikes.", closure(4)},
    {"force_neuron_spikes_ids", get_field, set_field,
     "Neurons forced to spike, parallel to the ticks.", closure(5)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot stimulus_slots[] = {
    {Py_tp_new, slot_function(&stimulus_new)},
    {Py_tp_dealloc, slot_function(&stimulus_dealloc)},
    {Py_tp_getset, stimulus_getset},
    {Py_tp_doc, const_cast<char*>("A schedule of spikes for Instance.apply_stimulus.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec stimulus_type_spec{"synaptor.Stimulus", static_cast<int>(sizeof(StimulusObject)), 0,
                               Py_TPFLAGS_DEFAULT, stimulus_slots};

const Stimulus* stimulus_of(PyObject* module, PyObject* obj) {
    PyTypeObject* type = class_type(module, ClassId::Stimulus);
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(obj, type)) {
        raise_cannot_convert(obj, "Stimulus");
        return nullptr;
    }
    return as_stimulus(obj)->stimulus;
}

}  // namespace synaptor
