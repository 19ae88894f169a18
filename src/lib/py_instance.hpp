// The Python class Instance, the same in both extension modules: its object,
// the access rule every method follows, and each method and attribute as a
// table entry (name, function, docstring). Which entries an Instance has is
// its module's choice, stated in the module's own file. Python thread only.
#pragma once

#include <cstddef>

#include "instance/instance.hpp"
#include "lib/arg_binder.hpp"
#include "lib/module_state.hpp"
#include "lib/py_ref.hpp"

namespace synaptor {

struct InstanceObject {
    PyObject_HEAD Instance* instance;  ///< null once closed
    BorrowFlag borrow;
};

inline InstanceObject* as_instance(PyObject* self) {
    return reinterpret_cast<InstanceObject*>(self);
}

/// The instance, or null with an exception set when it has been closed.
Instance* open_instance(InstanceObject* obj);

/// Sets the TypeError of an argument that did not convert; returns null.
PyObject* convert_failed(const char* name);

// The body of a changing method: exclusive access, bound arguments, and any
// C++ exception turned into a Python one.
template <std::size_t N, class F>
PyObject* run_method(PyObject* self, const Signature& signature, PyObject* const* args,
                     Py_ssize_t nargsf, PyObject* kwnames, F&& body) {
    PyObject* module = module_of(self);
    return guarded<PyObject*>(module, nullptr, [&]() -> PyObject* {
        InstanceObject* obj = as_instance(self);
        Borrow borrow(obj->borrow, Borrow::Mode::Exclusive);
        if (!borrow.held() || open_instance(obj) == nullptr) return nullptr;
        PyObject* bound[N];
        if (!bind_arguments(signature, args, nargsf, kwnames, bound)) return nullptr;
        return body(module, *obj->instance, bound);
    });
}

namespace instance_class {

// Offered by both modules.
PyMethodDef tick();
PyMethodDef tick_until();
PyMethodDef tick_until_ignore_output();
PyMethodDef apply_stimulus();
PyMethodDef get_t();
PyGetSetDef reward_rate();
PyGetSetDef non_coherent_stimulation_rate();

// These need the whole network in this process (py_instance_local.cpp).
PyMethodDef save_state();
PyMethodDef restore_state();
PyMethodDef record();
PyMethodDef take_recording();
PyMethodDef stop_recording();
PyGetSetDef recorded_sample_count();

// For a network spread over several processes.
PyMethodDef close();
PyGetSetDef rank();
PyGetSetDef num_ranks();
PyGetSetDef num_partitions();

}  // namespace instance_class

}  // namespace synaptor
