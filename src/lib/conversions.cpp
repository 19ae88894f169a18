#include "lib/conversions.hpp"

namespace synaptor {

namespace {

// Qualified name of the object's type, as messages show it ('int', 'bytes').
PyRef type_name(PyObject* obj) {
    PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) return name;
    PyErr_Clear();
    return PyRef(PyUnicode_FromString(Py_TYPE(obj)->tp_name));
}

template <class T, class Make>
PyObject* build_list(const std::vector<T>& values, Make make) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = make(values[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace

void raise_cannot_convert(PyObject* obj, const char* target) {
    PyRef name = type_name(obj);
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
}

bool convert_u64(PyObject* obj, std::uint64_t* out) {
    PyRef index;
    if (!PyLong_Check(obj)) {
        index = PyRef(PyNumber_Index(obj));
        if (!index) return false;
        obj = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    *out = value;
    return true;
}

bool convert_f64(PyObject* obj, double* out) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    *out = value;
    return true;
}

bool convert_f32(PyObject* obj, float* out) {
    double value;
    if (!convert_f64(obj, &value)) return false;
    *out = static_cast<float>(value);  // round to nearest; beyond the range gives infinity
    return true;
}

bool convert_bool(PyObject* obj, bool* out) {
    if (obj == Py_True || obj == Py_False) {
        *out = obj == Py_True;
        return true;
    }
    raise_cannot_convert(obj, "PyBool");
    return false;
}

bool convert_text(PyObject* obj, std::string_view* out) {
    if (!PyUnicode_Check(obj)) {
        raise_cannot_convert(obj, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return false;
    *out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool convert_u64_list(PyObject* obj, std::vector<std::uint64_t>* out) {
    // A str is a sequence of one-character strs; taking it for a list of ids
    // is almost certainly a mistake, so it is refused by name.
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_ValueError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_cannot_convert(obj, "Sequence");
        return false;
    }
    std::vector<std::uint64_t> values;
    // The length is only a capacity hint; a sequence without one still
    // iterates, and one that claims an absurd length must not make the
    // reservation fail, so only a modest hint is taken at its word.
    constexpr Py_ssize_t kMaxReserveHint = Py_ssize_t{1} << 16;
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
    } else if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || hint <= kMaxReserveHint) {
        values.reserve(static_cast<std::size_t>(hint));
    }
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        // Item conversion may run Python code that changes a list, so the
        // size is read afresh each step, as iteration would.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
            PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(obj, i));
            std::uint64_t value;
            if (!convert_u64(item.get(), &value)) return false;
            values.push_back(value);
        }
    } else {
        PyRef iterator(PyObject_GetIter(obj));
        if (!iterator) return false;
        while (PyRef item = PyRef(PyIter_Next(iterator.get()))) {
            std::uint64_t value;
            if (!convert_u64(item.get(), &value)) return false;
            values.push_back(value);
        }
        if (PyErr_Occurred()) return false;
    }
    *out = std::move(values);
    return true;
}

bool fail_argument(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef type_ref(type);
    PyRef value_ref(value);
    PyRef traceback_ref(traceback);
    PyRef text(PyObject_Str(value));
    if (!text) return false;
    PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return false;
    PyRef error(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!error) return false;
    PyException_SetCause(error.get(), PyException_GetCause(value));
    PyErr_SetObject(PyExc_TypeError, error.get());
    return false;
}

void raise_value_error(const std::string& text) {
    PyRef message(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
}

PyObject* list_from_u64(const std::vector<std::uint64_t>& values) {
    return build_list(values, [](std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); });
}

PyObject* list_from_u8(const std::vector<std::uint8_t>& values) {
    return build_list(values, [](std::uint8_t v) { return PyLong_FromLong(v); });
}

PyObject* list_from_f32(const std::vector<float>& values) {
    return build_list(values, [](float v) { return PyFloat_FromDouble(static_cast<double>(v)); });
}

}  // namespace synaptor
