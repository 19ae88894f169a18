// The Python class Instance: a running network with its stimulus state. Every
// method takes access to the object first (exclusive for the changing ones),
// then binds and converts its arguments, then calls the C++ Instance.
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "instance/checkpoint.hpp"
#include "lib/arg_binder.hpp"
#include "lib/conversions.hpp"
#include "lib/module_state.hpp"
#include "lib/py_classes.hpp"

namespace synaptor {

namespace {

struct InstanceObject {
    PyObject_HEAD Instance* instance;
    BorrowFlag borrow;
};

InstanceObject* as_instance(PyObject* self) { return reinterpret_cast<InstanceObject*>(self); }

// The body of a changing method: exclusive access, bound arguments, and any
// C++ exception turned into a Python one.
template <std::size_t N, class F>
PyObject* run_method(PyObject* self, const Signature& signature, PyObject* const* args,
                     Py_ssize_t nargsf, PyObject* kwnames, F&& body) {
    PyObject* module = module_of(self);
    return guarded<PyObject*>(module, nullptr, [&]() -> PyObject* {
        InstanceObject* obj = as_instance(self);
        Borrow borrow(obj->borrow, Borrow::Mode::Exclusive);
        if (!borrow.held()) return nullptr;
        PyObject* bound[N];
        if (!bind_arguments(signature, args, nargsf, kwnames, bound)) return nullptr;
        return body(module, *obj->instance, bound);
    });
}

PyObject* convert_failed(const char* name) {
    fail_argument(name);
    return nullptr;
}

const char* const kTickParams[] = {"spiking_in_channel_ids", "force_spiking_out_channel_ids",
                                   "force_spiking_nids", "reward", "extract_state_snapshot"};
const Signature kTick{"Instance.tick()", kTickParams, 5};

PyObject* instance_tick(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
    return run_method<5>(
        self, kTick, args, nargsf, kwnames,
        [](PyObject* module, Instance& instance, PyObject** bound) -> PyObject* {
            TickInput input;
            if (!convert_u64_list(bound[0], &input.spiking_in_channel_ids)) {
                return convert_failed(kTickParams[0]);
            }
            if (!convert_u64_list(bound[1], &input.force_spiking_out_channel_ids)) {
                return convert_failed(kTickParams[1]);
            }
            if (!convert_u64_list(bound[2], &input.force_spiking_nids)) {
                return convert_failed(kTickParams[2]);
            }
            if (!convert_f32(bound[3], &input.reward)) return convert_failed(kTickParams[3]);
            if (!convert_bool(bound[4], &input.extract_state_snapshot)) {
                return convert_failed(kTickParams[4]);
            }
            Result<TickResult> result = instance.tick(std::move(input));
            if (!result) {
                raise_value_error(result.error());
                return nullptr;
            }
            return wrap_tick_result(module, std::move(result).value());
        });
}

/// Between the ticks of a batch: a pending signal (Ctrl-C) runs its Python
/// handler here; when that raises, the batch stops with the exception set.
Instance::StopCheck signal_check(bool& interrupted) {
    return [&interrupted] {
        if (PyErr_CheckSignals() == 0) return false;
        interrupted = true;
        return true;
    };
}

const char* const kTickUntilParams[] = {"t"};
const Signature kTickUntil{"Instance.tick_until()", kTickUntilParams, 1};
const Signature kTickUntilIgnoreOutput{"Instance.tick_until_ignore_output()", kTickUntilParams, 1};

PyObject* instance_tick_until(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
    return run_method<1>(self, kTickUntil, args, nargsf, kwnames,
                         [](PyObject* module, Instance& instance, PyObject** bound) -> PyObject* {
                             std::uint64_t t_end;
                             if (!convert_u64(bound[0], &t_end)) return convert_failed("t");
                             bool interrupted = false;
                             BatchTickResult batch =
                                 instance.tick_until(t_end, signal_check(interrupted));
                             // The spikes of an interrupted batch are dropped with it.
                             if (interrupted) return nullptr;
                             return wrap_batch_tick_result(module, std::move(batch));
                         });
}

PyObject* instance_tick_until_ignore_output(PyObject* self, PyObject* const* args,
                                            Py_ssize_t nargsf, PyObject* kwnames) {
    return run_method<1>(self, kTickUntilIgnoreOutput, args, nargsf, kwnames,
                         [](PyObject*, Instance& instance, PyObject** bound) -> PyObject* {
                             std::uint64_t t_end;
                             if (!convert_u64(bound[0], &t_end)) return convert_failed("t");
                             bool interrupted = false;
                             instance.tick_until_ignore_output(t_end, signal_check(interrupted));
                             if (interrupted) return nullptr;
                             Py_RETURN_NONE;
                         });
}

const char* const kApplyStimulusParams[] = {"stimulus"};
const Signature kApplyStimulus{"Instance.apply_stimulus()", kApplyStimulusParams, 1};

PyObject* instance_apply_stimulus(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) {
    return run_method<1>(self, kApplyStimulus, args, nargsf, kwnames,
                         [](PyObject* module, Instance& instance, PyObject** bound) -> PyObject* {
                             const Stimulus* stimulus = stimulus_of(module, bound[0]);
                             if (stimulus == nullptr) return convert_failed("stimulus");
                             instance.apply_stimulus(*stimulus);
                             Py_RETURN_NONE;
                         });
}

const char* const kRecordParams[] = {"nids", "variables", "every"};
const Signature kRecord{"Instance.record()", kRecordParams, 3, 1};

/// The variables argument of record(): a str names one variable, any other
/// sequence names one per item; absent, voltage and threshold.
bool convert_variable_names(PyObject* obj, std::vector<std::string>* out) {
    if (obj == nullptr) {
        *out = {"voltage", "threshold"};
        return true;
    }
    std::string_view name;
    if (PyUnicode_Check(obj)) {
        if (!convert_text(obj, &name)) return false;
        out->emplace_back(name);
        return true;
    }
    if (!PySequence_Check(obj)) {
        raise_cannot_convert(obj, "Sequence");
        return false;
    }
    PyRef items(PySequence_Fast(obj, ""));
    if (!items) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!convert_text(PySequence_Fast_GET_ITEM(items.get(), i), &name)) return false;
        out->emplace_back(name);
    }
    return true;
}

/// The every argument of record(): an int or index; absent, 1.
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

/// A taken recording as a new Recording, or None.
PyObject* recording_or_none(PyObject* module, std::optional<RecordedTraces> traces) {
    if (!traces) Py_RETURN_NONE;
    return wrap_recording(module, std::move(*traces));
}

PyObject* instance_record(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
    return run_method<3>(self, kRecord, args, nargsf, kwnames,
                         [](PyObject* module, Instance& instance, PyObject** bound) -> PyObject* {
                             RecordingRequest request;
                             if (!convert_u64_list(bound[0], &request.nids))
                                 return convert_failed("nids");
                             if (!convert_variable_names(bound[1], &request.variables)) {
                                 return convert_failed("variables");
                             }
                             if (!convert_every(bound[2], &request.every))
                                 return convert_failed("every");
                             auto replaced = instance.recorder().start(
                                 request, instance.num_neurons(), instance.t());
                             if (!replaced) {
                                 raise_value_error(replaced.error());
                                 return nullptr;
                             }
                             return recording_or_none(module, std::move(replaced).value());
                         });
}

/// take_recording() and stop_recording(): exclusive access, no arguments.
template <class F>
PyObject* run_recording_call(PyObject* self, F&& body) {
    PyObject* module = module_of(self);
    return guarded<PyObject*>(module, nullptr, [&]() -> PyObject* {
        InstanceObject* obj = as_instance(self);
        Borrow borrow(obj->borrow, Borrow::Mode::Exclusive);
        if (!borrow.held()) return nullptr;
        return body(module, obj->instance->recorder());
    });
}

PyObject* instance_take_recording(PyObject* self, PyObject*) {
    return run_recording_call(self, [](PyObject* module, NeuronRecorder& recorder) -> PyObject* {
        std::optional<RecordedTraces> traces = recorder.take();
        if (!traces) {
            raise_value_error("Nothing is being recorded; start a recording with record()");
            return nullptr;
        }
        return wrap_recording(module, std::move(*traces));
    });
}

PyObject* instance_stop_recording(PyObject* self, PyObject*) {
    return run_recording_call(self, [](PyObject* module, NeuronRecorder& recorder) {
        return recording_or_none(module, recorder.stop());
    });
}

PyObject* get_recorded_sample_count(PyObject* self, void*) {
    InstanceObject* obj = as_instance(self);
    Borrow borrow(obj->borrow, Borrow::Mode::Shared);
    if (!borrow.held()) return nullptr;
    return PyLong_FromUnsignedLongLong(obj->instance->recorder().num_samples());
}

/// The file system path of a str or os.PathLike argument, or nullopt with a
/// TypeError set.
std::optional<std::string> convert_path(PyObject* value, const char* name) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(value, &encoded)) {
        fail_argument(name);
        return std::nullopt;
    }
    PyRef bytes(encoded);
    return std::string(PyBytes_AS_STRING(encoded),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
}

/// A state file failure as OSError (with errno and file name, so that a
/// missing file is a FileNotFoundError) or ValueError.
void raise_state_file_error(const StateFileError& failure, PyObject* path) {
    if (failure.kind() == StateFileError::Kind::Content) {
        raise_value_error(failure.what());
        return;
    }
    PyRef args(Py_BuildValue("(isO)", failure.error_number(), failure.what(), path));
    if (args) PyErr_SetObject(PyExc_OSError, args.get());
}

template <class Call>
PyObject* state_file_call(Instance& instance, PyObject* path_arg, Call&& call) {
    const std::optional<std::string> path = convert_path(path_arg, "path");
    if (!path) return nullptr;
    try {
        call(instance, *path);
    } catch (const StateFileError& failure) {
        raise_state_file_error(failure, path_arg);
        return nullptr;
    }
    Py_RETURN_NONE;
}

const char* const kPathParams[] = {"path"};
const Signature kSaveState{"Instance.save_state()", kPathParams, 1};
const Signature kRestoreState{"Instance.restore_state()", kPathParams, 1};

PyObject* instance_save_state(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
    return run_method<1>(self, kSaveState, args, nargsf, kwnames,
                         [](PyObject*, Instance& instance, PyObject** bound) -> PyObject* {
                             return state_file_call(
                                 instance, bound[0],
                                 [](Instance& i, const std::string& path) { i.save_state(path); });
                         });
}

PyObject* instance_restore_state(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) {
    return run_method<1>(self, kRestoreState, args, nargsf, kwnames,
                         [](PyObject*, Instance& instance, PyObject** bound) -> PyObject* {
                             return state_file_call(instance, bound[0],
                                                    [](Instance& i, const std::string& path) {
                                                        i.restore_state(path);
                                                    });
                         });
}

PyObject* instance_get_t(PyObject* self, PyObject*) {
    InstanceObject* obj = as_instance(self);
    Borrow borrow(obj->borrow, Borrow::Mode::Shared);
    if (!borrow.held()) return nullptr;
    return PyLong_FromUnsignedLongLong(obj->instance->t());
}

PyObject* get_reward_rate(PyObject* self, void*) {
    InstanceObject* obj = as_instance(self);
    Borrow borrow(obj->borrow, Borrow::Mode::Shared);
    if (!borrow.held()) return nullptr;
    return PyFloat_FromDouble(static_cast<double>(obj->instance->reward_rate));
}

// Attribute writes convert first, then take exclusive access to store.
int set_reward_rate(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return refuse_delete();
    float rate;
    if (!convert_f32(value, &rate)) return -1;
    InstanceObject* obj = as_instance(self);
    Borrow borrow(obj->borrow, Borrow::Mode::Exclusive);
    if (!borrow.held()) return -1;
    obj->instance->reward_rate = rate;
    return 0;
}

PyObject* get_non_coherent_stimulation_rate(PyObject* self, void*) {
    InstanceObject* obj = as_instance(self);
    Borrow borrow(obj->borrow, Borrow::Mode::Shared);
    if (!borrow.held()) return nullptr;
    return PyFloat_FromDouble(obj->instance->non_coherent_stimulation_rate);
}

int set_non_coherent_stimulation_rate(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return refuse_delete();
    double rate;
    if (!convert_f64(value, &rate)) return -1;
    InstanceObject* obj = as_instance(self);
    Borrow borrow(obj->borrow, Borrow::Mode::Exclusive);
    if (!borrow.held()) return -1;
    obj->instance->non_coherent_stimulation_rate = rate;
    return 0;
}

void instance_dealloc(PyObject* self) {
    // Destroying the core closes the command bus and joins the workers.
    InstanceObject* obj = as_instance(self);
    delete obj->instance;
    obj->borrow.~BorrowFlag();
    dealloc_heap_object(self);
}

PyMethodDef instance_methods[] = {
    {"tick", method_function(&instance_tick), METH_FASTCALL | METH_KEYWORDS,
     "tick(spiking_in_channel_ids, force_spiking_out_channel_ids, force_spiking_nids, reward, "
     "extract_state_snapshot)\n--\n\nRuns one tick and returns its TickResult."},
    {"tick_until", method_function(&instance_tick_until), METH_FASTCALL | METH_KEYWORDS,
     "tick_until(t)\n--\n\nRuns ticks while get_t() < t and returns their BatchTickResult.\n"
     "Ctrl-C stops it between two ticks; get_t() is then the next tick to run."},
    {"tick_until_ignore_output", method_function(&instance_tick_until_ignore_output),
     METH_FASTCALL | METH_KEYWORDS,
     "tick_until_ignore_output(t)\n--\n\nRuns ticks while get_t() < t, keeping no output.\n"
     "Ctrl-C stops it between two ticks; get_t() is then the next tick to run."},
    {"apply_stimulus", method_function(&instance_apply_stimulus), METH_FASTCALL | METH_KEYWORDS,
     "apply_stimulus(stimulus)\n--\n\nSchedules a copy of the stimulus from the current tick."},
    {"save_state", method_function(&instance_save_state), METH_FASTCALL | METH_KEYWORDS,
     "save_state(path)\n--\n\nWrites the complete state of the instance to the file at path\n"
     "(str or os.PathLike), through a temporary file renamed into place.\n"
     "OSError when the file cannot be written."},
    {"restore_state", method_function(&instance_restore_state), METH_FASTCALL | METH_KEYWORDS,
     "restore_state(path)\n--\n\nContinues from a state that save_state wrote from an instance\n"
     "of the same network, whatever its number of threads. OSError when the file\n"
     "cannot be read, ValueError when it is not a state file of this network or is\n"
     "damaged; the instance is then unchanged."},
    {"get_t", method_function(&instance_get_t), METH_NOARGS,
     "get_t()\n--\n\nThe index of the next tick to run."},
    {"record", method_function(&instance_record), METH_FASTCALL | METH_KEYWORDS,
     "record(nids, variables=('voltage', 'threshold'), every=1)\n--\n\n"
     "Records the variables of the neurons nids at the end of the ticks get_t(),\n"
     "get_t() + every, ... run from now on by tick, tick_until and\n"
     "tick_until_ignore_output. Variables: 'voltage', 'threshold', 'spike',\n"
     "'refractory'. Replaces any recording and returns its samples not yet taken\n"
     "(a Recording), or None when nothing was recorded."},
    {"take_recording", method_function(&instance_take_recording), METH_NOARGS,
     "take_recording()\n--\n\nReturns the samples recorded so far as a Recording and drops "
     "them\nhere; recording goes on. ValueError when nothing is recorded."},
    {"stop_recording", method_function(&instance_stop_recording), METH_NOARGS,
     "stop_recording()\n--\n\nEnds the recording and returns its samples not yet taken "
     "(a\nRecording), or None when nothing was recorded."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef instance_getset[] = {
    {"reward_rate", get_reward_rate, set_reward_rate,
     "Reward of every tick run by tick_until and tick_until_ignore_output (f32).", nullptr},
    {"non_coherent_stimulation_rate", get_non_coherent_stimulation_rate,
     set_non_coherent_stimulation_rate,
     "Expected fraction of all neurons forced to spike at random per tick.", nullptr},
    {"recorded_sample_count", get_recorded_sample_count, nullptr,
     "Samples recorded and not yet taken; each holds 8 + 4 * len(nids) * len(variables) "
     "bytes.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot instance_slots[] = {
    {Py_tp_new, slot_function(&new_refused)},
    {Py_tp_dealloc, slot_function(&instance_dealloc)},
    {Py_tp_methods, instance_methods},
    {Py_tp_getset, instance_getset},
    {Py_tp_doc, const_cast<char*>("A running network; obtained from create_from_yaml or "
                                  "create_from_json.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec instance_type_layout{"synaptor.Instance", static_cast<int>(sizeof(InstanceObject)), 0,
                                 Py_TPFLAGS_DEFAULT, instance_slots};

PyObject* wrap_instance(PyObject* module, std::unique_ptr<Instance> instance) {
    PyTypeObject* type = class_type(module, ClassId::Instance);
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    InstanceObject* obj = as_instance(self);
    new (&obj->borrow) BorrowFlag();
    obj->instance = instance.release();
    return self;
}

}  // namespace synaptor
