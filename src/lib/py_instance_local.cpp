// The methods of the Python class Instance that need the whole network in
// this process: state files and recording. A network spread over several
// processes holds only its own partitions in each, so only `synaptor` offers
// them. Python thread only.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "instance/checkpoint.hpp"
#include "lib/conversions.hpp"
#include "lib/py_classes.hpp"
#include "lib/py_instance.hpp"

namespace synaptor {

namespace {

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
                             auto replaced = instance.core().record(request);
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
    return run_on_open_instance(self, [&](PyObject* module, Instance& instance) {
        return body(module, instance.recorder());
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
    if (!borrow.held() || open_instance(obj) == nullptr) return nullptr;
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

}  // namespace

namespace instance_class {

PyMethodDef save_state(bool collective) {
    return {"save_state", method_function(&instance_save_state), METH_FASTCALL | METH_KEYWORDS,
            collective
                ? "save_state(path)\n--\n\nCollective, with the same path on every rank: rank 0 "
                  "writes the complete\nstate of the instance to the file at path (str or "
                  "os.PathLike), the file\none process writes, through a temporary file renamed "
                  "into place.\nOSError on every rank when the file cannot be written."
                : "save_state(path)\n--\n\nWrites the complete state of the instance to the file "
                  "at path\n(str or os.PathLike), through a temporary file renamed into place.\n"
                  "OSError when the file cannot be written."};
}

PyMethodDef restore_state(bool collective) {
    return {"restore_state", method_function(&instance_restore_state),
            METH_FASTCALL | METH_KEYWORDS,
            collective
                ? "restore_state(path)\n--\n\nCollective, with the same path on every rank: "
                  "continues from a state that\nsave_state wrote from an instance of the same "
                  "network, whatever its number\nof processes and threads. Every rank reads and "
                  "checks the whole file;\nwhen any rank cannot, every rank raises the same "
                  "OSError or ValueError\nand the instance is unchanged."
                : "restore_state(path)\n--\n\nContinues from a state that save_state wrote from an "
                  "instance\nof the same network, whatever its number of threads. OSError when the "
                  "file\ncannot be read, ValueError when it is not a state file of this network or "
                  "is\ndamaged; the instance is then unchanged."};
}

PyMethodDef record() {
    return {"record", method_function(&instance_record), METH_FASTCALL | METH_KEYWORDS,
            "record(nids, variables=('voltage', 'threshold'), every=1)\n--\n\n"
            "Records the variables of the neurons nids at the end of the ticks get_t(),\n"
            "get_t() + every, ... run from now on by tick, tick_until and\n"
            "tick_until_ignore_output. Variables: 'voltage', 'threshold', 'spike',\n"
            "'refractory'. Replaces any recording and returns its samples not yet taken\n"
            "(a Recording), or None when nothing was recorded."};
}

PyMethodDef take_recording() {
    return {"take_recording", method_function(&instance_take_recording), METH_NOARGS,
            "take_recording()\n--\n\nReturns the samples recorded so far as a Recording and "
            "drops them\nhere; recording goes on. ValueError when nothing is recorded."};
}

PyMethodDef stop_recording() {
    return {"stop_recording", method_function(&instance_stop_recording), METH_NOARGS,
            "stop_recording()\n--\n\nEnds the recording and returns its samples not yet taken "
            "(a\nRecording), or None when nothing was recorded."};
}

PyGetSetDef recorded_sample_count() {
    return {"recorded_sample_count", get_recorded_sample_count, nullptr,
            "Samples recorded and not yet taken; each holds 8 + 4 * len(nids) * len(variables) "
            "bytes.",
            nullptr};
}

}  // namespace instance_class

}  // namespace synaptor
