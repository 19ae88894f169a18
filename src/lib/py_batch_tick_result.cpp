// The Python class BatchTickResult: the read-only spikes of a tick_until call,
// copied into new lists on every read.
#include "lib/conversions.hpp"
#include "lib/module_state.hpp"
#include "lib/py_classes.hpp"

namespace synaptor {

namespace {

struct BatchTickResultObject {
    PyObject_HEAD BatchTickResult* result;
};

using ListField = std::vector<std::uint64_t> BatchTickResult::*;

constexpr ListField kLists[] = {
    &BatchTickResult::out_channel_spikes_ts,
    &BatchTickResult::out_channel_spikes_ids,
    &BatchTickResult::neuron_spikes_ts,
    &BatchTickResult::neuron_spikes_ids,
};

const BatchTickResult& result_of(PyObject* self) {
    return *reinterpret_cast<BatchTickResultObject*>(self)->result;
}

PyObject* get_list(PyObject* self, void* closure) {
    return guarded<PyObject*>(module_of(self), nullptr, [&] {
        return list_from_u64(result_of(self).*kLists[reinterpret_cast<std::uintptr_t>(closure)]);
    });
}

PyObject* get_synaptic_transmission_count(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(result_of(self).synaptic_transmission_count);
}

void batch_tick_result_dealloc(PyObject* self) {
    delete reinterpret_cast<BatchTickResultObject*>(self)->result;
    dealloc_heap_object(self);
}

void* closure(std::uintptr_t index) { return reinterpret_cast<void*>(index); }

PyGetSetDef batch_tick_result_getset[] = {
    {"out_channel_spikes_ts", get_list, nullptr, "Tick of each output-channel spike.", closure(0)},
    {"out_channel_spikes_ids", get_list, nullptr, "Output channel of each output-channel spike.",
     closure(1)},
    {"neuron_spikes_ts", get_list, nullptr, "Tick of each neuron spike.", closure(2)},
    {"neuron_spikes_ids", get_list, nullptr, "Neuron of each neuron spike.", closure(3)},
    {"synaptic_transmission_count", get_synaptic_transmission_count, nullptr,
     "Synaptic transmissions over all ticks of the call.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot batch_tick_result_slots[] = {
    {Py_tp_new, slot_function(&new_refused)},
    {Py_tp_dealloc, slot_function(&batch_tick_result_dealloc)},
    {Py_tp_getset, batch_tick_result_getset},
    {Py_tp_doc, const_cast<char*>("The spikes of Instance.tick_until.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec batch_tick_result_type_spec{"synaptor.BatchTickResult",
                                        static_cast<int>(sizeof(BatchTickResultObject)), 0,
                                        Py_TPFLAGS_DEFAULT, batch_tick_result_slots};

PyObject* wrap_batch_tick_result(PyObject* module, BatchTickResult result) {
    PyTypeObject* type = class_type(module, ClassId::BatchTickResult);
    if (type == nullptr) return nullptr;
    auto owned = std::make_unique<BatchTickResult>(std::move(result));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<BatchTickResultObject*>(self)->result = owned.release();
    return self;
}

}  // namespace synaptor
