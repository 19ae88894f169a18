// PyRef: owner of one strong reference to a Python object, so that every
// early return of a binding function releases what it holds. Used on the
// Python thread only, with the interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

namespace synaptor {

class PyRef {
public:
    PyRef() = default;
    /// Takes over a new reference (null allowed, e.g. a failed call).
    explicit PyRef(PyObject* owned) : p_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = other.p_;
            other.p_ = nullptr;
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    static PyRef borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    /// Hands the reference to the caller.
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    PyObject* p_ = nullptr;
};

/// A function pointer as the void* a PyType_Slot wants, without the cast
/// between function and object pointers that ISO C++ leaves open.
template <class F>
void* slot_function(F function) {
    static_assert(sizeof(F) == sizeof(void*));
    void* p;
    std::memcpy(&p, &function, sizeof p);
    return p;
}

/// A METH_FASTCALL | METH_KEYWORDS or METH_NOARGS function as the PyCFunction
/// a PyMethodDef stores; the interpreter calls it with its real signature.
template <class F>
PyCFunction method_function(F function) {
    static_assert(sizeof(F) == sizeof(PyCFunction));
    PyCFunction p;
    std::memcpy(&p, &function, sizeof p);
    return p;
}

}  // namespace synaptor
