// The one argument binder of every METH_FASTCALL | METH_KEYWORDS function of
// the module: matches positional and keyword arguments to the parameter list
// and raises TypeError with the binding messages. Python thread only.
#pragma once

#include "lib/py_ref.hpp"

namespace synaptor {

/// A callable's parameters, all positional-or-keyword; the first
/// `num_required` are required (all of them when it is negative), the others
/// have defaults.
struct Signature {
    const char* display_name;  ///< as in messages, e.g. "Instance.tick()"
    const char* const* names;
    Py_ssize_t num_params;
    Py_ssize_t num_required = -1;
};

/// Fills `bound[0 .. num_params)` with borrowed references in parameter order;
/// an optional parameter that was not given is null. On failure raises
/// TypeError and returns false.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** bound);

}  // namespace synaptor
