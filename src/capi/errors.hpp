// Python errors: a C++ exception meaning "a Python error is set", and helpers to raise one.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "capi/ref.hpp"

namespace quorvel::py {

/// Thrown when the interpreter's error indicator holds the pending error. Every fallible
/// step either returns its result or throws this; the method guard turns it into a null
/// return. Errors of the caller's objects pass through unchanged this way.
struct PyErrorSet {};

/// Throws PyErrorSet when a C API call failed (null result).
inline PyObject* require(PyObject* result) {
    if (result == nullptr) throw PyErrorSet{};
    return result;
}
/// Throws PyErrorSet when a C API call returned -1.
inline int require_ok(int status) {
    if (status == -1) throw PyErrorSet{};
    return status;
}
/// A new reference from a C API call, or PyErrorSet.
inline Ref checked(PyObject* result) { return Ref::steal(require(result)); }

/// Sets `type` with `message` and throws PyErrorSet.
[[noreturn]] void raise(PyObject* type, std::string_view message);

/// The qualified name of an object's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* obj);

/// "'{}' object is not an instance of '{}'" (or "'None' is not an instance of '{}'").
[[noreturn]] void raise_type_mismatch(PyObject* value, std::string_view expected);

/// Adds the note "while processing '{param}'" to the pending error, which stays pending.
/// If adding the note fails, that secondary error is dropped.
void add_argument_note(std::string_view param);

/// The UTF-8 bytes of a str (strict; lone surrogates raise UnicodeEncodeError).
std::string_view utf8_view(PyObject* str);

/// A new str made from UTF-8 bytes.
Ref make_str(std::string_view utf8);

}  // namespace quorvel::py
