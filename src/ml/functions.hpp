// The functions of the module quorvel_ml._native (called through the Python package, which
// checks and normalises their arguments).
#pragma once

#include <Python.h>

namespace quorvel::ml {

PyObject* categories(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* decode_column(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* apply(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

/// The Learner class (created once per process). Borrowed reference, or null with an error set.
PyObject* learner_type();

}  // namespace quorvel::ml
