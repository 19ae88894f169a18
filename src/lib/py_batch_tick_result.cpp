// The Python class BatchTickResult: the read-only spikes of a tick_until call,
// copied into new lists on every read.
#include "lib/py_value_class.hpp"

namespace synaptor {

namespace {

using R = BatchTickResult;

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
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

ValueClass<BatchTickResult> batch_tick_result_class(ClassId::BatchTickResult,
                                                    "The spikes of Instance.tick_until.",
                                                    batch_tick_result_getset);

}  // namespace

PyType_Spec batch_tick_result_type_layout = batch_tick_result_class.type_layout();

PyObject* wrap_batch_tick_result(PyObject* module, BatchTickResult result) {
    return batch_tick_result_class.wrap(module, std::move(result));
}

}  // namespace synaptor
