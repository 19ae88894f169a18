// Recording synapse weights while ticking: the Instance's record_synapses(),
// take_synapse_recording(), stop_synapse_recording() and
// recorded_synapse_sample_count, and the Python class SynapseRecording of a
// taken recording, whose arrays are RecordedArrays that keep its samples
// alive. The recording itself is instance/synapse_recorder. Python thread only.
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "instance/synapse_access.hpp"
#include "lib/py_instance.hpp"
#include "lib/py_value_class.hpp"

namespace synaptor {

namespace {

using SharedWeights = std::shared_ptr<RecordedWeights>;

const SharedWeights& samples_of(PyObject* self) { return value_of<SharedWeights>(self); }

PyObject* get_indices(PyObject* self, void*) {
    const SharedWeights& samples = samples_of(self);
    return wrap_array(module_of(self), samples, samples->indices.data(), "Q",
                      static_cast<Py_ssize_t>(sizeof(std::uint64_t)), 1,
                      static_cast<Py_ssize_t>(samples->indices.size()), 0);
}

PyObject* get_every(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(samples_of(self)->every);
}

PyObject* get_t(PyObject* self, void*) {
    const SharedWeights& samples = samples_of(self);
    return wrap_array(module_of(self), samples, samples->ts.data(), "Q",
                      static_cast<Py_ssize_t>(sizeof(std::uint64_t)), 1,
                      static_cast<Py_ssize_t>(samples->ts.size()), 0);
}

PyObject* get_weights(PyObject* self, void*) {
    const SharedWeights& samples = samples_of(self);
    return wrap_array(module_of(self), samples, samples->weights.data(), "f",
                      static_cast<Py_ssize_t>(sizeof(float)), 2,
                      static_cast<Py_ssize_t>(samples->ts.size()),
                      static_cast<Py_ssize_t>(samples->indices.size()));
}

PyGetSetDef recording_getset[] = {
    {"indices", get_indices, nullptr,
     "The recorded synapse indices, in the order given to record_synapses() (RecordedArray of "
     "u64).",
     nullptr},
    {"every", get_every, nullptr, "Ticks between two samples.", nullptr},
    {"t", get_t, nullptr, "Tick of each sample (RecordedArray of u64, one per sample).", nullptr},
    {"weights", get_weights, nullptr,
     "Weights (samples x synapses, f32), as synapses().weights reads them after the tick; "
     "column j belongs to indices[j].",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

ValueClass<SharedWeights> recording_class(
    ClassId::SynapseRecording,
    "Weights of synapses taken from an Instance by take_synapse_recording() or "
    "stop_synapse_recording(): the tick of each sample in t and a samples x synapses matrix "
    "in weights whose columns follow indices.",
    recording_getset);

PyObject* recording_or_none(PyObject* module, std::optional<RecordedWeights> samples) {
    if (!samples) Py_RETURN_NONE;
    return recording_class.wrap(module, std::make_shared<RecordedWeights>(std::move(*samples)));
}

/// The every argument: an int or index; absent, 1.
bool convert_every(PyObject* obj, std::int64_t* out) {
    if (obj == nullptr) {
        *out = 1;
        return true;
    }
    PyRef index(PyNumber_Index(obj));
    if (!index) return false;
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) return false;
    *out = value;
    return true;
}

const char* const kRecordParams[] = {"indices", "every"};
const Signature kRecordSynapses{"Instance.record_synapses()", kRecordParams, 2, 1};

PyObject* instance_record_synapses(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                   PyObject* kwnames) {
    return run_method<2>(self, kRecordSynapses, args, nargsf, kwnames,
                         [](PyObject* module, Instance& instance, PyObject** bound) -> PyObject* {
                             std::vector<std::int64_t> indices;
                             if (!convert_synapse_indices(bound[0], &indices)) {
                                 return convert_failed("indices");
                             }
                             std::int64_t every = 1;
                             if (!convert_every(bound[1], &every)) return convert_failed("every");
                             auto replaced = record_all_synapses(instance.core(), indices, every);
                             if (!replaced) {
                                 raise_value_error(replaced.error());
                                 return nullptr;
                             }
                             return recording_or_none(module, std::move(replaced).value());
                         });
}

/// take and stop: exclusive access, no arguments.
template <class F>
PyObject* run_recording_call(PyObject* self, F&& body) {
    return run_on_open_instance(self, [&](PyObject* module, Instance& instance) {
        return body(module, instance.core().synapse_recorder());
    });
}

PyObject* instance_take_synapse_recording(PyObject* self, PyObject*) {
    return run_recording_call(self, [](PyObject* module, SynapseRecorder& recorder) -> PyObject* {
        std::optional<RecordedWeights> samples = recorder.take();
        if (!samples) {
            raise_value_error(
                "No synapse is being recorded; start a recording with record_synapses()");
            return nullptr;
        }
        return recording_or_none(module, std::move(samples));
    });
}

PyObject* instance_stop_synapse_recording(PyObject* self, PyObject*) {
    return run_recording_call(self, [](PyObject* module, SynapseRecorder& recorder) {
        return recording_or_none(module, recorder.stop());
    });
}

PyObject* get_sample_count(PyObject* self, void*) {
    InstanceObject* obj = as_instance(self);
    Borrow borrow(obj->borrow, Borrow::Mode::Shared);
    if (!borrow.held() || open_instance(obj) == nullptr) return nullptr;
    return PyLong_FromUnsignedLongLong(obj->instance->core().synapse_recorder().num_samples());
}

}  // namespace

PyType_Spec synapse_recording_type_layout = recording_class.type_layout();

namespace instance_class {

PyMethodDef record_synapses() {
    return {"record_synapses", method_function(&instance_record_synapses),
            METH_FASTCALL | METH_KEYWORDS,
            "record_synapses(indices, every=1)\n--\n\n"
            "Records the weights of the synapses of the given synapse indices (a\n"
            "buffer or sequence of ints; see synapses()) at the end of the ticks\n"
            "get_t(), get_t() + every, ... run from now on by any tick or batch call.\n"
            "ValueError, with nothing changed, for every below 1 or an index that is\n"
            "negative, out of range or listed twice. Replaces any synapse recording\n"
            "and returns its samples not yet taken (a SynapseRecording), or None."};
}

PyMethodDef take_synapse_recording() {
    return {"take_synapse_recording", method_function(&instance_take_synapse_recording),
            METH_NOARGS,
            "take_synapse_recording()\n--\n\nReturns the synapse weights recorded so far as a "
            "SynapseRecording\nand drops them here; recording goes on. ValueError when no "
            "synapse is\nrecorded."};
}

PyMethodDef stop_synapse_recording() {
    return {"stop_synapse_recording", method_function(&instance_stop_synapse_recording),
            METH_NOARGS,
            "stop_synapse_recording()\n--\n\nEnds the synapse recording and returns its samples "
            "not yet taken\n(a SynapseRecording), or None when no synapse was recorded."};
}

PyGetSetDef recorded_synapse_sample_count() {
    return {"recorded_synapse_sample_count", get_sample_count, nullptr,
            "Synapse samples recorded and not yet taken; each holds 8 + 4 * len(indices) "
            "bytes.",
            nullptr};
}

}  // namespace instance_class

}  // namespace synaptor
