// NumPy's C API, shared by the conversion files. The API table is loaded on first use
// (ensure_numpy), never at import of quorvel.
#pragma once

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// Built against NumPy 2 headers; targeting the 1.25 API keeps the module loadable there.
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL quorvel_ARRAY_API
// One API table for the process: it lives in the shared library and both extension
// modules use it, so it is exported (NumPy would hide it in each module by default).
#define NPY_API_SYMBOL_ATTRIBUTE __attribute__((visibility("default")))
#ifndef QUORVEL_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include "capi/ref.hpp"
#include "core/matrix.hpp"

namespace quorvel::convert {

/// Loads NumPy's C API once; throws PyErrorSet when NumPy cannot be imported.
void ensure_numpy();

/// A new C-ordered float64 array of the matrix's shape that takes over its buffer (freed
/// with the array); the matrix is left empty. No copy is made. For a row-major matrix.
py::Ref array_from_matrix(Matrix&& matrix);

/// A new C-ordered float64 array holding a copy of the matrix. For a row-major matrix.
py::Ref array_copy_of_matrix(const Matrix& matrix);

/// A Python object that owns the matrix's buffer from now on (it is freed when the object
/// and every array based on it are gone). The matrix keeps its shape and layout, so its
/// cells can still be found (column(), at()), but the caller must hold the owner while
/// it reads or writes them.
py::Ref take_matrix_buffer(Matrix& matrix);

/// A new writeable C-ordered float64 array of shape `dims` over `data`, which `owner`
/// keeps alive (the array holds a reference to it).
py::Ref float64_array_over(double* data, int ndim, const npy_intp* dims, PyObject* owner);

}  // namespace quorvel::convert
