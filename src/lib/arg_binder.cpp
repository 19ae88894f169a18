#include "lib/arg_binder.hpp"

#include <string>
#include <vector>

namespace synaptor {

namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c' (serial comma only from three names on).
std::string join_names(const std::vector<const char*>& names) {
    const std::size_t count = names.size();
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            if (count > 2) out += ",";
            out += i + 1 == count ? " and " : " ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** bound) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t n = signature.num_params;
    if (nargs > n) {
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd were given",
                     signature.display_name, n, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) bound[i] = i < nargs ? args[i] : nullptr;

    const Py_ssize_t num_keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < num_keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = -1;
        for (Py_ssize_t i = 0; i < n && index < 0; ++i) {
            if (PyUnicode_CompareWithASCIIString(keyword, signature.names[i]) == 0) index = i;
        }
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                         signature.display_name, keyword);
            return false;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                         signature.display_name, signature.names[index]);
            return false;
        }
        bound[index] = args[nargs + k];
    }

    std::vector<const char*> missing;
    const Py_ssize_t num_required = signature.num_required < 0 ? n : signature.num_required;
    for (Py_ssize_t i = 0; i < num_required; ++i) {
        if (bound[i] == nullptr) missing.push_back(signature.names[i]);
    }
    if (!missing.empty()) {
        const std::size_t num_missing = missing.size();
        const std::string names = join_names(missing);
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s",
                     signature.display_name, num_missing, num_missing == 1 ? "" : "s",
                     names.c_str());
        return false;
    }
    return true;
}

}  // namespace synaptor
