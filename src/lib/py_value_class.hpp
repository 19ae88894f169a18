// The shape shared by the module's value classes (TickResult, StateSnapshot,
// BatchTickResult, Stimulus): a Python object that owns one C++ value, its
// dealloc, slots and type layout, a getter and setter per member, and the wrap
// function that hands a value to a new object. Python thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "lib/conversions.hpp"
#include "lib/module_state.hpp"
#include "lib/py_classes.hpp"

namespace synaptor {

/// A Python object owning one `T` (null only while a new object is set up).
template <class T>
struct ValueObject {
    PyObject_HEAD T* value;
};

template <class T>
T& value_of(PyObject* self) {
    return *reinterpret_cast<ValueObject<T>*>(self)->value;
}

/// The record type that holds a pointer-to-member's member.
template <class MemberPointer>
struct MemberRecordOf;
template <class Record, class Member>
struct MemberRecordOf<Member Record::*> {
    using type = Record;
};
template <auto Member>
using MemberRecord = typename MemberRecordOf<decltype(Member)>::type;

inline PyObject* to_python(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* to_python(const std::vector<std::uint64_t>& v) { return list_from_u64(v); }
inline PyObject* to_python(const std::vector<std::uint8_t>& v) { return list_from_u8(v); }
inline PyObject* to_python(const std::vector<float>& v) { return list_from_f32(v); }

/// Getter of a member: a new Python value (a list is a new copy on every read).
template <auto Member>
PyObject* get_member(PyObject* self, void*) {
    return guarded<PyObject*>(module_of(self), nullptr, [&] {
        return to_python(value_of<MemberRecord<Member>>(self).*Member);
    });
}

/// Setter of a list-of-u64 member: the whole list is replaced.
template <auto Member>
int set_u64_list(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return refuse_delete();
    return guarded<int>(module_of(self), -1, [&] {
        std::vector<std::uint64_t> values;
        if (!convert_u64_list(value, &values)) return -1;
        value_of<MemberRecord<Member>>(self).*Member = std::move(values);
        return 0;
    });
}

/// tp_new of a class that Python code may create: a default value; arguments
/// are accepted and ignored.
template <class T>
PyObject* new_default(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
        reinterpret_cast<ValueObject<T>*>(self)->value = new T();
    } catch (const std::bad_alloc&) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

/// A value class's type description and its wrap function; one static object
/// per class, living as long as the module's code.
template <class T>
class ValueClass {
public:
    /// `repr`, when given, summarises a value in one cheap line (counts, not contents).
    ValueClass(ClassId id, const char* doc, PyGetSetDef* getset, newfunc tp_new = &new_refused,
               reprfunc repr = nullptr)
        : id_(id),
          slots_{{Py_tp_new, slot_function(tp_new)},
                 {Py_tp_dealloc, slot_function(&dealloc)},
                 {Py_tp_getset, getset},
                 {Py_tp_doc, const_cast<char*>(doc)},
                 {repr != nullptr ? Py_tp_repr : 0, slot_function(repr)},
                 {0, nullptr}},
          type_layout_{nullptr, static_cast<int>(sizeof(ValueObject<T>)), 0, Py_TPFLAGS_DEFAULT,
                       slots_} {}
    ValueClass(const ValueClass&) = delete;
    ValueClass& operator=(const ValueClass&) = delete;

    /// The PyType_Spec of the class without its name (its slots stay in this object).
    PyType_Spec type_layout() const { return type_layout_; }

    /// A new object of this class owning `value`; null with an exception set.
    PyObject* wrap(PyObject* module, T value) const {
        PyTypeObject* type = class_type(module, id_);
        if (type == nullptr) return nullptr;
        auto owned = std::make_unique<T>(std::move(value));
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        reinterpret_cast<ValueObject<T>*>(self)->value = owned.release();
        return self;
    }

private:
    static void dealloc(PyObject* self) {
        delete reinterpret_cast<ValueObject<T>*>(self)->value;
        dealloc_heap_object(self);
    }

    ClassId id_;
    PyType_Slot slots_[6];
    PyType_Spec type_layout_;
};

}  // namespace synaptor
