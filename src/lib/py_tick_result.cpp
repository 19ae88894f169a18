// The Python class TickResult: the read-only outcome of one tick. Lists and
// the snapshot are copied into new Python objects on every read.
#include "lib/conversions.hpp"
#include "lib/module_state.hpp"
#include "lib/py_classes.hpp"

namespace synaptor {

namespace {

struct TickResultObject {
    PyObject_HEAD TickResult* result;
};

const TickResult& result_of(PyObject* self) {
    return *reinterpret_cast<TickResultObject*>(self)->result;
}

template <class F>
PyObject* read(PyObject* self, F&& body) {
    return guarded<PyObject*>(module_of(self), nullptr, [&] { return body(result_of(self)); });
}

PyObject* get_t(PyObject* self, void*) {
    return read(self, [](const TickResult& r) { return PyLong_FromUnsignedLongLong(r.t); });
}

PyObject* get_spiking_out_channel_ids(PyObject* self, void*) {
    return read(self, [](const TickResult& r) { return list_from_u64(r.spiking_out_channel_ids); });
}

PyObject* get_spiking_nids(PyObject* self, void*) {
    return read(self, [](const TickResult& r) { return list_from_u64(r.spiking_nids); });
}

PyObject* get_synaptic_transmission_count(PyObject* self, void*) {
    return read(self, [](const TickResult& r) {
        return PyLong_FromUnsignedLongLong(r.synaptic_transmission_count);
    });
}

PyObject* get_state_snapshot(PyObject* self, void*) {
    return read(self, [self](const TickResult& r) -> PyObject* {
        if (!r.state_snapshot) Py_RETURN_NONE;
        return wrap_state_snapshot(module_of(self), *r.state_snapshot);
    });
}

void tick_result_dealloc(PyObject* self) {
    delete reinterpret_cast<TickResultObject*>(self)->result;
    dealloc_heap_object(self);
}

PyGetSetDef tick_result_getset[] = {
    {"t", get_t, nullptr, "Index of the tick.", nullptr},
    {"spiking_out_channel_ids", get_spiking_out_channel_ids, nullptr,
     "Output channels that spiked, ascending.", nullptr},
    {"spiking_nids", get_spiking_nids, nullptr, "Neurons that spiked, ascending.", nullptr},
    {"synaptic_transmission_count", get_synaptic_transmission_count, nullptr,
     "Synaptic transmissions of the tick.", nullptr},
    {"state_snapshot", get_state_snapshot, nullptr,
     "A new StateSnapshot when one was requested, else None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tick_result_slots[] = {
    {Py_tp_new, slot_function(&new_refused)},
    {Py_tp_dealloc, slot_function(&tick_result_dealloc)},
    {Py_tp_getset, tick_result_getset},
    {Py_tp_doc, const_cast<char*>("The result of Instance.tick.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec tick_result_type_spec{"synaptor.TickResult", static_cast<int>(sizeof(TickResultObject)),
                                  0, Py_TPFLAGS_DEFAULT, tick_result_slots};

PyObject* wrap_tick_result(PyObject* module, TickResult result) {
    PyTypeObject* type = class_type(module, ClassId::TickResult);
    if (type == nullptr) return nullptr;
    auto owned = std::make_unique<TickResult>(std::move(result));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<TickResultObject*>(self)->result = owned.release();
    return self;
}

}  // namespace synaptor
