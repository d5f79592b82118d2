// Argument binding: matching positional and keyword arguments to a method's parameters.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

namespace quorvel::py {

/// How a call is bound: the function's name, its parameter names in order and how many of
/// them (the leading ones) are required. Every parameter may be given by position or by
/// keyword.
struct CallSpec {
    const char* function;
    const char* const* params;
    std::size_t param_count;
    std::size_t required;
};

/// Borrowed argument values, one per parameter; null where a parameter was not given.
template <std::size_t N>
using Bound = std::array<PyObject*, N>;

/// Binds a vector call (positional array + tuple of keyword names). Throws PyErrorSet with
/// the binding TypeError on a bad call shape. `out` has spec.param_count slots.
void bind_vector(const CallSpec& spec, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                 PyObject** out);

/// Binds a tuple-and-dict call, as the type's constructor slot receives it.
void bind_tuple(const CallSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace quorvel::py
