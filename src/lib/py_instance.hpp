// The Python class Instance, the same in both extension modules: its object,
// the access rule every method follows, and each method and attribute as a
// table entry (name, function, docstring). Which entries an Instance has is
// its module's choice, stated in the module's own file. Python thread only.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "instance/instance.hpp"
#include "lib/arg_binder.hpp"
#include "lib/module_state.hpp"
#include "lib/py_ref.hpp"

namespace synaptor {

struct InstanceObject {
    PyObject_HEAD Instance* instance;  ///< null once closed
    BorrowFlag borrow;
    /// Batches run without the interpreter lock (see release_gil).
    bool release_gil;
};

inline InstanceObject* as_instance(PyObject* self) {
    return reinterpret_cast<InstanceObject*>(self);
}

/// The instance, or null with an exception set when it has been closed.
Instance* open_instance(InstanceObject* obj);

/// Sets the TypeError of an argument that did not convert; returns null.
PyObject* convert_failed(const char* name);

/// Synapse indices from a buffer of integers or a sequence of ints, as
/// signed numbers (a negative one is named by the call that checks it); an
/// index beyond 64 bits is a ValueError at its position. False with an
/// exception set (py_synapses.cpp).
bool convert_synapse_indices(PyObject* obj, std::vector<std::int64_t>* out);

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

/// The body of a changing method without arguments: exclusive access to an
/// open instance, and any C++ exception turned into a Python one.
template <class F>
PyObject* run_on_open_instance(PyObject* self, F&& body) {
    PyObject* module = module_of(self);
    return guarded<PyObject*>(module, nullptr, [&]() -> PyObject* {
        InstanceObject* obj = as_instance(self);
        Borrow borrow(obj->borrow, Borrow::Mode::Exclusive);
        if (!borrow.held() || open_instance(obj) == nullptr) return nullptr;
        return body(module, *obj->instance);
    });
}

namespace instance_class {

/// The methods and attributes every Instance has: tick, tick_until,
/// tick_until_ignore_output, tick_until_arrays, apply_stimulus, get_t and the
/// context-manager protocol; reward_rate, non_coherent_stimulation_rate and
/// release_gil.
std::array<PyMethodDef, 8> common_methods();
std::array<PyGetSetDef, 3> common_attributes();

/// A class's table: `common`, then `own`, then the end mark (all zero).
template <class Entry, std::size_t M, std::size_t N>
std::array<Entry, M + N + 1> table_of(const std::array<Entry, M>& common, const Entry (&own)[N]) {
    std::array<Entry, M + N + 1> table{};
    std::copy(common.begin(), common.end(), table.begin());
    std::copy(std::begin(own), std::end(own), table.begin() + M);
    return table;
}

/// The tables of a module's Instance: every Instance's entries and the module's own.
template <std::size_t N>
std::array<PyMethodDef, 8 + N + 1> methods_with(const PyMethodDef (&own)[N]) {
    return table_of(common_methods(), own);
}
template <std::size_t N>
std::array<PyGetSetDef, 3 + N + 1> attributes_with(const PyGetSetDef (&own)[N]) {
    return table_of(common_attributes(), own);
}

// These need the whole network in this process (py_instance_local.cpp).
/// `collective`: the texts of synaptor_mpi, whose every rank calls them alike.
PyMethodDef save_state(bool collective = false);
PyMethodDef restore_state(bool collective = false);
PyMethodDef record();
PyMethodDef take_recording();
PyMethodDef stop_recording();
PyGetSetDef recorded_sample_count();
// Reading and writing synapses (py_synapses.cpp).
PyMethodDef synapses();
PyMethodDef set_weights();
PyGetSetDef layers();
// The learning switch (py_plasticity.cpp); `spread`: the docstring of a
// network spread over several processes.
PyGetSetDef plasticity_enabled(bool spread = false);

/// Joins the workers and frees the instance; every later call raises.
/// `collective`: the docstring of a network spread over several processes.
PyMethodDef close(bool collective);

// Recording synapse weights (py_synapse_recording.cpp).
PyMethodDef record_synapses();
PyMethodDef take_synapse_recording();
PyMethodDef stop_synapse_recording();
PyGetSetDef recorded_synapse_sample_count();

// For a network spread over several processes.
PyGetSetDef rank();
PyGetSetDef num_ranks();
PyGetSetDef num_partitions();

}  // namespace instance_class

}  // namespace synaptor
