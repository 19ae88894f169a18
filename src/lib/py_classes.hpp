// The module's Python classes as seen by the rest of the binding: their
// type layouts and the functions that wrap C++ values into new Python objects.
// Each class lives in its own file; the module that creates a class gives it
// its name. Python thread only.
#pragma once

#include <memory>

#include "instance/instance.hpp"
#include "instance/instance_core.hpp"
#include "instance/stimulus.hpp"
#include "instance/synapse_access.hpp"
#include "lib/py_ref.hpp"

namespace synaptor {

/// Layouts without a name (ModuleNames gives the name).
extern PyType_Spec stimulus_type_layout;
extern PyType_Spec tick_result_type_layout;
extern PyType_Spec batch_tick_result_type_layout;
extern PyType_Spec state_snapshot_type_layout;
extern PyType_Spec recording_type_layout;
extern PyType_Spec recorded_array_type_layout;
extern PyType_Spec synapses_type_layout;
extern PyType_Spec synapse_recording_type_layout;
extern PyType_Spec batch_tick_arrays_type_layout;

/// A new Instance class named `name`, with the methods and attributes of one
/// module's table; null with an exception set.
PyObject* new_instance_class(PyObject* module, const char* name, PyMethodDef* methods,
                             PyGetSetDef* getset);

/// New Python objects owning the given values; null with an exception set.
PyObject* wrap_instance(PyObject* module, std::unique_ptr<Instance> instance);
PyObject* wrap_tick_result(PyObject* module, TickResult result);
PyObject* wrap_batch_tick_result(PyObject* module, BatchTickResult result);
PyObject* wrap_batch_tick_arrays(PyObject* module, BatchTickResult result);
PyObject* wrap_state_snapshot(PyObject* module, StateSnapshot snapshot);
PyObject* wrap_recording(PyObject* module, RecordedTraces traces);
PyObject* wrap_synapses(PyObject* module, SynapseTable synapses);

/// A new RecordedArray viewing `rows` x `columns` items (`columns` unused when
/// `ndim` is 1) of `format` at `data`, which `owner` keeps alive.
PyObject* wrap_array(PyObject* module, std::shared_ptr<const void> owner, void* data,
                     const char* format, Py_ssize_t itemsize, int ndim, Py_ssize_t rows,
                     Py_ssize_t columns);

/// The stimulus held by a Python Stimulus, or null (with TypeError "'{type}'
/// object cannot be converted to 'Stimulus'") when `obj` is none. A Stimulus
/// of the module the surface names as foreign is read into `copy`.
const Stimulus* stimulus_of(PyObject* module, PyObject* obj, Stimulus* copy);

/// Shared body of the heap types' tp_dealloc: frees the object, then drops the
/// reference every instance of a heap type holds on its type.
void dealloc_heap_object(PyObject* self);

/// tp_new of the classes obtained only as results.
PyObject* new_refused(PyTypeObject* type, PyObject* args, PyObject* kwargs);

/// Setter failure for `del obj.attr`.
int refuse_delete();

}  // namespace synaptor
