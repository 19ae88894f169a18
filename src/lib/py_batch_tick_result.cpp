// The Python classes of a batch's spikes: BatchTickResult, whose lists are
// copied into new lists on every read, and BatchTickArrays, the same spikes
// read through the buffer protocol as RecordedArrays that keep them alive,
// so that no spike ever becomes a Python object. Both own one C++
// BatchTickResult. Python thread only.
#include <memory>

#include "lib/py_value_class.hpp"

namespace synaptor {

namespace {

using R = BatchTickResult;
using SharedBatch = std::shared_ptr<BatchTickResult>;

/// "<Name ticks 0..1000, 12345 spikes, 12 output spikes>": sizes only, so that
/// printing a large result costs nothing.
PyObject* batch_repr(const char* name, const BatchTickResult& batch) {
    return PyUnicode_FromFormat("<%s ticks %llu..%llu, %zu spikes, %zu output spikes>", name,
                                static_cast<unsigned long long>(batch.start_t),
                                static_cast<unsigned long long>(batch.end_t),
                                batch.neuron_spikes_ids.size(),
                                batch.out_channel_spikes_ids.size());
}

PyObject* batch_tick_result_repr(PyObject* self) {
    return batch_repr("BatchTickResult", value_of<R>(self));
}

PyGetSetDef batch_tick_result_getset[] = {
    {"out_channel_spikes_ts", get_member<&R::out_channel_spikes_ts>, nullptr,
     "Tick of each output-channel spike.", nullptr},
    {"out_channel_spikes_ids", get_member<&R::out_channel_spikes_ids>, nullptr,
     "Output channel of each output-channel spike.", nullptr},
    {"neuron_spikes_ts", get_member<&R::neuron_spikes_ts>, nullptr, "Tick of each neuron spike.",
     nullptr},
    {"neuron_spikes_ids", get_member<&R::neuron_spikes_ids>, nullptr,
     "Neuron of each neuron spike.", nullptr},
    {"synaptic_transmission_count", get_member<&R::synaptic_transmission_count>, nullptr,
     "Synaptic transmissions over all ticks of the call.", nullptr},
    {"start_t", get_member<&R::start_t>, nullptr, "The first tick the call ran.", nullptr},
    {"end_t", get_member<&R::end_t>, nullptr,
     "The tick after the last one completed: the result covers start_t up to end_t.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

ValueClass<BatchTickResult> batch_tick_result_class(ClassId::BatchTickResult,
                                                    "The spikes of Instance.tick_until.",
                                                    batch_tick_result_getset, &new_refused, nullptr,
                                                    &batch_tick_result_repr);

// ---- BatchTickArrays

template <auto Member>
PyObject* get_spike_array(PyObject* self, void*) {
    const SharedBatch& batch = value_of<SharedBatch>(self);
    auto& values = (*batch).*Member;
    return wrap_array(module_of(self), batch, values.data(), "Q",
                      static_cast<Py_ssize_t>(sizeof(std::uint64_t)), 1,
                      static_cast<Py_ssize_t>(values.size()), 0);
}

template <auto Member>
PyObject* get_batch_count(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong((*value_of<SharedBatch>(self)).*Member);
}

PyObject* batch_tick_arrays_repr(PyObject* self) {
    return batch_repr("BatchTickArrays", *value_of<SharedBatch>(self));
}

PyGetSetDef batch_tick_arrays_getset[] = {
    {"out_channel_spikes_ts", get_spike_array<&R::out_channel_spikes_ts>, nullptr,
     "Tick of each output-channel spike (RecordedArray of u64).", nullptr},
    {"out_channel_spikes_ids", get_spike_array<&R::out_channel_spikes_ids>, nullptr,
     "Output channel of each output-channel spike (RecordedArray of u64).", nullptr},
    {"neuron_spikes_ts", get_spike_array<&R::neuron_spikes_ts>, nullptr,
     "Tick of each neuron spike (RecordedArray of u64).", nullptr},
    {"neuron_spikes_ids", get_spike_array<&R::neuron_spikes_ids>, nullptr,
     "Neuron of each neuron spike (RecordedArray of u64).", nullptr},
    {"synaptic_transmission_count", get_batch_count<&R::synaptic_transmission_count>, nullptr,
     "Synaptic transmissions over all ticks of the call.", nullptr},
    {"start_t", get_batch_count<&R::start_t>, nullptr, "The first tick the call ran.", nullptr},
    {"end_t", get_batch_count<&R::end_t>, nullptr,
     "The tick after the last one completed: the result covers start_t up to end_t.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

ValueClass<SharedBatch> batch_tick_arrays_class(
    ClassId::BatchTickArrays,
    "The spikes of Instance.tick_until_arrays: the attributes of a BatchTickResult, each "
    "spike list a RecordedArray of u64 that numpy.asarray reads without copying.",
    batch_tick_arrays_getset, &new_refused, nullptr, &batch_tick_arrays_repr);

}  // namespace

PyType_Spec batch_tick_result_type_layout = batch_tick_result_class.type_layout();
PyType_Spec batch_tick_arrays_type_layout = batch_tick_arrays_class.type_layout();

PyObject* wrap_batch_tick_result(PyObject* module, BatchTickResult result) {
    return batch_tick_result_class.wrap(module, std::move(result));
}

PyObject* wrap_batch_tick_arrays(PyObject* module, BatchTickResult result) {
    return batch_tick_arrays_class.wrap(module,
                                        std::make_shared<BatchTickResult>(std::move(result)));
}

}  // namespace synaptor
