// Per-module state of either extension module: what the module offers (its
// ModuleSurface), the class type objects and the internal-failure exception,
// each created on first need and kept here rather than in statics. Also the
// guard that every entry point runs its body in, so that no C++ exception
// reaches the interpreter. Python thread only.
#pragma once

#include <exception>
#include <new>

#include "lib/py_ref.hpp"
#include "util/panic.hpp"

namespace synaptor {

enum class ClassId {
    Instance,
    Stimulus,
    TickResult,
    BatchTickResult,
    StateSnapshot,
    Recording,
    RecordedArray,
    Synapses,
    SynapseRecording,
    BatchTickArrays,
    Count
};

struct ModuleSurface;

struct ModuleState {
    const ModuleSurface* surface;
    PyObject* types[static_cast<int>(ClassId::Count)];
    PyObject* panic_exception;
};

/// What the module offers (its ModuleSurface); null with an exception set
/// when `module` has no state.
const ModuleSurface* surface_of(PyObject* module);

/// The module that owns a class of this module (borrowed).
PyObject* module_of(PyObject* self);

/// The type object of a class (borrowed), created on first use from its type
/// description under the module's name (the Instance class with the module's
/// methods and attributes); null with an exception set when creation fails.
PyTypeObject* class_type(PyObject* module, ClassId id);

/// The module's PanicException (borrowed), created on first use; null with an
/// exception set when creation fails.
PyObject* panic_exception_type(PyObject* module);

/// Raises PanicException with the failure text.
void raise_panic(PyObject* module, const char* text);

/// Turns the exception in flight into the matching Python exception: an
/// internal failure into PanicException, exhausted memory into MemoryError.
void raise_from_current_exception(PyObject* module);

/// Runs an entry point's body; any C++ exception becomes a Python exception
/// and the entry point returns `failure`.
template <class R, class F>
R guarded(PyObject* module, R failure, F&& body) {
    try {
        return body();
    } catch (...) {
        raise_from_current_exception(module);
        return failure;
    }
}

/// Access check of one object across a call: shared for reads, exclusive for
/// changes. Calls only overlap through re-entrant Python code, since the
/// interpreter lock is held throughout.
class BorrowFlag {
public:
    bool acquire_shared() {
        if (count_ < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return false;
        }
        ++count_;
        return true;
    }
    bool acquire_exclusive() {
        if (count_ != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return false;
        }
        count_ = -1;
        return true;
    }
    void release_shared() { --count_; }
    void release_exclusive() { count_ = 0; }

private:
    int count_ = 0;  ///< > 0: shared holders, -1: held exclusively
};

/// Holds a BorrowFlag for one scope.
class Borrow {
public:
    enum class Mode { Shared, Exclusive };
    Borrow(BorrowFlag& flag, Mode mode) : flag_(flag), mode_(mode) {
        held_ = mode == Mode::Shared ? flag.acquire_shared() : flag.acquire_exclusive();
    }
    ~Borrow() {
        if (!held_) return;
        if (mode_ == Mode::Shared) {
            flag_.release_shared();
        } else {
            flag_.release_exclusive();
        }
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    bool held() const { return held_; }

private:
    BorrowFlag& flag_;
    Mode mode_;
    bool held_ = false;
};

/// The slots of a module whose state is a ModuleState (both extension
/// modules): visit, clear and free the references the state holds.
int module_traverse(PyObject* module, visitproc visit, void* arg);
int module_clear(PyObject* module);
void module_free(void* module);

/// Adds `value` (a new reference) under `name` and appends the name to __all__.
bool add_public(PyObject* module, const char* name, PyObject* value);

}  // namespace synaptor
