#include "lib/module_state.hpp"

#include <stdexcept>
#include <string>

#include "lib/extension_module.hpp"
#include "lib/py_classes.hpp"

namespace synaptor {

namespace {

ModuleState* state_of(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

/// The description of a class other than Instance, without its name.
PyType_Spec* type_layout_of(ClassId id) {
    switch (id) {
        case ClassId::Instance:
            break;
        case ClassId::Stimulus:
            return &stimulus_type_layout;
        case ClassId::TickResult:
            return &tick_result_type_layout;
        case ClassId::BatchTickResult:
            return &batch_tick_result_type_layout;
        case ClassId::StateSnapshot:
            return &state_snapshot_type_layout;
        case ClassId::Recording:
            return &recording_type_layout;
        case ClassId::RecordedArray:
            return &recorded_array_type_layout;
        case ClassId::Synapses:
            return &synapses_type_layout;
        case ClassId::SynapseRecording:
            return &synapse_recording_type_layout;
        case ClassId::BatchTickArrays:
            return &batch_tick_arrays_type_layout;
        case ClassId::Count:
            break;
    }
    return nullptr;
}

PyObject* create_class(PyObject* module, const ModuleSurface& surface, ClassId id) {
    const char* name = surface.names.of(id);
    if (id == ClassId::Instance) {
        return new_instance_class(module, name, surface.instance_methods, surface.instance_getset);
    }
    PyType_Spec layout = *type_layout_of(id);
    layout.name = name;
    return PyType_FromModuleAndSpec(module, &layout, nullptr);
}

}  // namespace

const ModuleSurface* surface_of(PyObject* module) {
    ModuleState* state = state_of(module);
    return state == nullptr ? nullptr : state->surface;
}

PyObject* module_of(PyObject* self) { return PyType_GetModule(Py_TYPE(self)); }

PyTypeObject* class_type(PyObject* module, ClassId id) {
    ModuleState* state = state_of(module);
    if (state == nullptr) return nullptr;
    PyObject*& slot = state->types[static_cast<int>(id)];
    if (slot == nullptr) slot = create_class(module, *state->surface, id);
    return reinterpret_cast<PyTypeObject*>(slot);
}

PyObject* panic_exception_type(PyObject* module) {
    ModuleState* state = state_of(module);
    if (state == nullptr) return nullptr;
    if (state->panic_exception == nullptr) {
        // A BaseException, so that `except Exception` does not swallow a
        // broken invariant.
        const std::string name = std::string(state->surface->names.module()) + ".PanicException";
        state->panic_exception = PyErr_NewExceptionWithDoc(
            name.c_str(),
            "An internal failure of the simulator; its single argument is the failure text.",
            PyExc_BaseException, nullptr);
    }
    return state->panic_exception;
}

void raise_panic(PyObject* module, const char* text) {
    ModuleState* state = module ? state_of(module) : nullptr;
    if (state == nullptr) {
        // Without the module there is no PanicException to raise; the failure
        // must still reach the caller as an exception.
        PyErr_SetString(PyExc_SystemError, text);
        return;
    }
    if (panic_exception_type(module) == nullptr) return;
    PyRef message(
        PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
    if (!message) return;
    PyErr_SetObject(state->panic_exception, message.get());
}

void raise_from_current_exception(PyObject* module) {
    try {
        throw;
    } catch (const Panic& failure) {
        raise_panic(module, failure.text().c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more than it can ever hold.
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_panic(module, failure.what());
    } catch (...) {
        raise_panic(module, "unknown internal failure");
    }
}

void dealloc_heap_object(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* new_refused(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

int refuse_delete() {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    for (PyObject* type : state->types) Py_VISIT(type);
    Py_VISIT(state->panic_exception);
    return 0;
}

int module_clear(PyObject* module) {
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    for (PyObject*& type : state->types) Py_CLEAR(type);
    Py_CLEAR(state->panic_exception);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

bool add_public(PyObject* module, const char* name, PyObject* value) {
    PyRef owned(value);
    if (!owned) return false;
    PyObject* dict = PyModule_GetDict(module);
    PyObject* all = PyDict_GetItemString(dict, "__all__");
    if (all == nullptr) {
        PyRef created(PyList_New(0));
        if (!created || PyDict_SetItemString(dict, "__all__", created.get()) < 0) return false;
        all = created.get();
    }
    PyRef key(PyUnicode_FromString(name));
    if (!key || PyList_Append(all, key.get()) < 0) return false;
    return PyDict_SetItem(dict, key.get(), owned.get()) == 0;
}

}  // namespace synaptor
