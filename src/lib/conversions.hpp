// Conversions between Python objects and the system's values, for arguments
// and attribute writes alike, with the module's conversion messages; and the
// building of result lists. Every failure returns false with the Python
// exception set. Python thread only, interpreter lock held.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lib/py_ref.hpp"

namespace synaptor {

/// An int or an object usable as an index, 0 to 2^64-1; the interpreter's own
/// TypeError or OverflowError otherwise.
bool convert_u64(PyObject* obj, std::uint64_t* out);
/// Python's float conversion.
bool convert_f64(PyObject* obj, double* out);
/// Python's float conversion, then rounded to single precision.
bool convert_f32(PyObject* obj, float* out);
/// Only True and False.
bool convert_bool(PyObject* obj, bool* out);
/// Only str (and subclasses); the view points into the object's UTF-8 buffer.
bool convert_text(PyObject* obj, std::string_view* out);
/// Any sequence except str, item by item as u64.
bool convert_u64_list(PyObject* obj, std::vector<std::uint64_t>* out);

/// Raises TypeError "'{type}' object cannot be converted to '{target}'".
void raise_cannot_convert(PyObject* obj, const char* target);

/// After a failed conversion of argument `name`: a TypeError becomes a new
/// TypeError prefixed with "argument '{name}': " that keeps the original's
/// cause; any other error stays as it is. Always returns false.
bool fail_argument(const char* name);

/// Raises ValueError with an operation's error text, unchanged.
void raise_value_error(const std::string& text);

PyObject* list_from_u64(const std::vector<std::uint64_t>& values);
PyObject* list_from_u8(const std::vector<std::uint8_t>& values);
PyObject* list_from_f32(const std::vector<float>& values);

}  // namespace synaptor
