// The Python classes of a taken recording: Recording, which owns the samples
// and names what they are, and RecordedArray, a view of one of its matrices
// (or of its tick numbers) through the buffer protocol, so that NumPy and
// memoryview read the samples where they lie. An array keeps the samples
// alive, so it stays valid after its Recording and the Instance are gone.
// The arrays of Synapses are RecordedArrays too, each keeping its Synapses'
// arrays alive the same way. Python thread only.
#include <memory>
#include <new>
#include <utility>

#include "lib/conversions.hpp"
#include "lib/module_state.hpp"
#include "lib/py_classes.hpp"

namespace synaptor {

namespace {

using SharedTraces = std::shared_ptr<RecordedTraces>;

struct RecordingObject {
    PyObject_HEAD SharedTraces* traces;
};

/// The layout of one array in memory, C-contiguous, and the value that holds it.
struct ArrayView {
    std::shared_ptr<const void> owner;
    void* data = nullptr;
    const char* format = "f";
    Py_ssize_t itemsize = 0;
    int ndim = 1;
    Py_ssize_t shape[2] = {0, 0};
    Py_ssize_t strides[2] = {0, 0};
};

struct RecordedArrayObject {
    PyObject_HEAD ArrayView* view;
};

RecordedTraces& traces_of(PyObject* self) {
    return **reinterpret_cast<RecordingObject*>(self)->traces;
}

ArrayView& view_of(PyObject* self) { return *reinterpret_cast<RecordedArrayObject*>(self)->view; }

// ---- RecordedArray

int array_getbuffer(PyObject* self, Py_buffer* buffer, int flags) {
    const ArrayView& view = view_of(self);
    Py_ssize_t count = 1;
    for (int d = 0; d < view.ndim; ++d) count *= view.shape[d];
    // Rows are contiguous, columns are not: a matrix of more than one row and
    // column cannot be handed out as Fortran-ordered.
    const bool fortran_order = view.ndim == 1 || view.shape[0] <= 1 || view.shape[1] <= 1;
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !fortran_order) {
        buffer->obj = nullptr;
        PyErr_SetString(PyExc_BufferError, "recorded samples are C-contiguous, not Fortran");
        return -1;
    }
    // An empty array still hands out a valid address.
    static char empty_storage[8];
    buffer->buf = count == 0 || view.data == nullptr ? empty_storage : view.data;
    Py_INCREF(self);
    buffer->obj = self;
    buffer->len = count * view.itemsize;
    buffer->readonly = 0;
    buffer->itemsize = view.itemsize;
    buffer->format = (flags & PyBUF_FORMAT) != 0 ? const_cast<char*>(view.format) : nullptr;
    // The data is C-contiguous, so every request can be served; shape and
    // strides only when asked for.
    buffer->ndim = view.ndim;
    buffer->shape = (flags & PyBUF_ND) == PyBUF_ND ? const_cast<Py_ssize_t*>(view.shape) : nullptr;
    buffer->strides =
        (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? const_cast<Py_ssize_t*>(view.strides) : nullptr;
    buffer->suboffsets = nullptr;
    buffer->internal = nullptr;
    return 0;
}

PyObject* array_shape(PyObject* self, void*) {
    const ArrayView& view = view_of(self);
    return view.ndim == 1 ? Py_BuildValue("(n)", view.shape[0])
                          : Py_BuildValue("(nn)", view.shape[0], view.shape[1]);
}

PyObject* array_format(PyObject* self, void*) { return PyUnicode_FromString(view_of(self).format); }

Py_ssize_t array_length(PyObject* self) { return view_of(self).shape[0]; }

PyObject* array_repr(PyObject* self) {
    const ArrayView& view = view_of(self);
    if (view.ndim == 1)
        return PyUnicode_FromFormat("<RecordedArray '%s' (%zd,)>", view.format, view.shape[0]);
    return PyUnicode_FromFormat("<RecordedArray '%s' (%zd, %zd)>", view.format, view.shape[0],
                                view.shape[1]);
}

void array_dealloc(PyObject* self) {
    delete reinterpret_cast<RecordedArrayObject*>(self)->view;
    dealloc_heap_object(self);
}

PyGetSetDef array_getset[] = {
    {"shape", array_shape, nullptr, "(samples,) for t, (samples, neurons) for a variable.",
     nullptr},
    {"format", array_format, nullptr, "'Q' (u64) for t, 'f' (f32) for a variable.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot array_slots[] = {
    {Py_tp_new, slot_function(&new_refused)},
    {Py_tp_dealloc, slot_function(&array_dealloc)},
    {Py_tp_getset, array_getset},
    {Py_tp_repr, slot_function(&array_repr)},
    {Py_mp_length, slot_function(&array_length)},
    {Py_bf_getbuffer, slot_function(&array_getbuffer)},
    {Py_tp_doc,
     const_cast<char*>("Samples of a Recording through the buffer protocol: numpy.asarray(a) or "
                       "memoryview(a) read them without copying. C-contiguous; len() is the "
                       "number of samples.")},
    {0, nullptr},
};

}  // namespace

PyObject* wrap_array(PyObject* module, std::shared_ptr<const void> owner, void* data,
                     const char* format, Py_ssize_t itemsize, int ndim, Py_ssize_t rows,
                     Py_ssize_t columns) {
    PyTypeObject* type = class_type(module, ClassId::RecordedArray);
    if (type == nullptr) return nullptr;
    auto view = std::make_unique<ArrayView>();
    view->owner = std::move(owner);
    view->data = data;
    view->format = format;
    view->itemsize = itemsize;
    view->ndim = ndim;
    view->shape[0] = rows;
    view->shape[1] = columns;
    view->strides[0] = ndim == 1 ? itemsize : columns * itemsize;
    view->strides[1] = itemsize;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<RecordedArrayObject*>(self)->view = view.release();
    return self;
}

namespace {

// ---- Recording

PyObject* recording_nids(PyObject* self, void*) {
    return guarded<PyObject*>(module_of(self), nullptr,
                              [&] { return list_from_u64(traces_of(self).nids); });
}

PyObject* recording_variables(PyObject* self, void*) {
    const RecordedTraces& traces = traces_of(self);
    PyRef names(PyTuple_New(static_cast<Py_ssize_t>(traces.variables.size())));
    if (!names) return nullptr;
    for (std::size_t v = 0; v < traces.variables.size(); ++v) {
        const std::string_view name = recorded_variable_name(traces.variables[v]);
        PyObject* item =
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(v), item);
    }
    return names.release();
}

PyObject* recording_every(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(traces_of(self).every);
}

PyObject* recording_t(PyObject* self, void*) {
    const SharedTraces& traces = *reinterpret_cast<RecordingObject*>(self)->traces;
    return wrap_array(module_of(self), traces, traces->ts.data(), "Q",
                      static_cast<Py_ssize_t>(sizeof(std::uint64_t)), 1,
                      static_cast<Py_ssize_t>(traces->ts.size()), 0);
}

/// The getter of one variable's matrix; None when it was not recorded.
template <RecordedVariable Variable>
PyObject* recording_variable(PyObject* self, void*) {
    const SharedTraces& traces = *reinterpret_cast<RecordingObject*>(self)->traces;
    for (std::size_t v = 0; v < traces->variables.size(); ++v) {
        if (traces->variables[v] != Variable) continue;
        return wrap_array(module_of(self), traces, traces->values[v].data(), "f",
                          static_cast<Py_ssize_t>(sizeof(float)), 2,
                          static_cast<Py_ssize_t>(traces->ts.size()),
                          static_cast<Py_ssize_t>(traces->nids.size()));
    }
    Py_RETURN_NONE;
}

Py_ssize_t recording_length(PyObject* self) {
    return static_cast<Py_ssize_t>(traces_of(self).ts.size());
}

PyObject* recording_repr(PyObject* self) {
    const RecordedTraces& traces = traces_of(self);
    PyRef variables(recording_variables(self, nullptr));
    if (!variables) return nullptr;
    return PyUnicode_FromFormat("<Recording of %zu neurons, %zu samples every %llu ticks, %R>",
                                traces.nids.size(), traces.ts.size(),
                                static_cast<unsigned long long>(traces.every), variables.get());
}

void recording_dealloc(PyObject* self) {
    delete reinterpret_cast<RecordingObject*>(self)->traces;
    dealloc_heap_object(self);
}

PyGetSetDef recording_getset[] = {
    {"nids", recording_nids, nullptr, "The recorded neurons, in the order given to record().",
     nullptr},
    {"variables", recording_variables, nullptr, "Names of the recorded variables.", nullptr},
    {"every", recording_every, nullptr, "Ticks between two samples.", nullptr},
    {"t", recording_t, nullptr, "Tick of each sample (RecordedArray of u64, one per sample).",
     nullptr},
    {"voltage", recording_variable<RecordedVariable::Voltage>, nullptr,
     "Membrane voltages (samples x neurons, f32), as a state snapshot of the tick reports "
     "them; None when not recorded.",
     nullptr},
    {"threshold", recording_variable<RecordedVariable::Threshold>, nullptr,
     "Firing thresholds (samples x neurons, f32); None when not recorded.", nullptr},
    {"spike", recording_variable<RecordedVariable::Spike>, nullptr,
     "1.0 where the neuron spiked in the tick, else 0.0 (samples x neurons, f32); None when "
     "not recorded.",
     nullptr},
    {"refractory", recording_variable<RecordedVariable::Refractory>, nullptr,
     "1.0 where the neuron ignores input, from its spike for refractory_period ticks, else 0.0 "
     "(samples x neurons, f32); None when not recorded.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot recording_slots[] = {
    {Py_tp_new, slot_function(&new_refused)},
    {Py_tp_dealloc, slot_function(&recording_dealloc)},
    {Py_tp_getset, recording_getset},
    {Py_tp_repr, slot_function(&recording_repr)},
    {Py_mp_length, slot_function(&recording_length)},
    {Py_tp_doc,
     const_cast<char*>("Samples taken from an Instance by take_recording() or stop_recording(): "
                       "the tick of each sample in t and, per recorded variable, a samples x "
                       "neurons matrix whose columns follow nids. len() is the number of "
                       "samples.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec recording_type_layout{nullptr, static_cast<int>(sizeof(RecordingObject)), 0,
                                  Py_TPFLAGS_DEFAULT, recording_slots};
PyType_Spec recorded_array_type_layout{nullptr, static_cast<int>(sizeof(RecordedArrayObject)), 0,
                                       Py_TPFLAGS_DEFAULT, array_slots};

PyObject* wrap_recording(PyObject* module, RecordedTraces traces) {
    PyTypeObject* type = class_type(module, ClassId::Recording);
    if (type == nullptr) return nullptr;
    auto owned =
        std::make_unique<SharedTraces>(std::make_shared<RecordedTraces>(std::move(traces)));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<RecordingObject*>(self)->traces = owned.release();
    return self;
}

}  // namespace synaptor
