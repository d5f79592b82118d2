// Loading NumPy's C API, and float64 arrays made from the working matrix.
#define QUORVEL_NUMPY_IMPORT
#include "convert/numpy.hpp"

#include <cstring>

#include "capi/errors.hpp"
#include "core/fault.hpp"

namespace quorvel::convert {
namespace {

int load_api() {
    import_array1(-1);
    return 0;
}

void free_buffer(PyObject* capsule) {
    std::free(PyCapsule_GetPointer(capsule, "quorvel.matrix"));
}

py::Ref new_float64_array(const Matrix& matrix, double* data) {
    npy_intp dims[2] = {static_cast<npy_intp>(matrix.rows), static_cast<npy_intp>(matrix.cols)};
    // With no data, a non-zero flags argument would ask NumPy for Fortran order.
    const int flags = data == nullptr ? 0 : NPY_ARRAY_CARRAY;
    return py::checked(PyArray_New(&PyArray_Type, 2, dims, NPY_FLOAT64, nullptr, data, 0, flags, nullptr));
}

}  // namespace

void ensure_numpy() {
    static bool loaded = false;
    if (loaded) return;
    if (load_api() != 0) throw py::PyErrorSet{};
    loaded = true;
}

py::Ref array_from_matrix(Matrix&& matrix) {
    ensure_numpy();
    if (!matrix.owns_buffer()) return array_copy_of_matrix(matrix);
    if (!matrix.row_major()) fault("output: a column-major matrix read as row-major");
    // The capsule owns the buffer until the array takes it as its base.
    py::Ref capsule = py::checked(PyCapsule_New(matrix.begin(), "quorvel.matrix", free_buffer));
    double* data = matrix.release();
    py::Ref array = new_float64_array(matrix, data);
    py::require_ok(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()));
    matrix = Matrix{};
    return array;
}

py::Ref take_matrix_buffer(Matrix& matrix) {
    if (!matrix.owns_buffer()) fault("output: a borrowed matrix buffer cannot be handed on");
    py::Ref capsule = py::checked(PyCapsule_New(matrix.begin(), "quorvel.matrix", free_buffer));
    // The buffer stays where it is; only its ownership moves to the capsule.
    matrix.data.get_deleter().owned = false;
    return capsule;
}

py::Ref float64_array_over(double* data, int ndim, const npy_intp* dims, PyObject* owner) {
    ensure_numpy();
    py::Ref array = py::checked(PyArray_New(&PyArray_Type, ndim, const_cast<npy_intp*>(dims), NPY_FLOAT64, nullptr,
                                            data, 0, NPY_ARRAY_CARRAY, nullptr));
    Py_INCREF(owner);
    py::require_ok(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner));
    return array;
}

py::Ref array_copy_of_matrix(const Matrix& matrix) {
    ensure_numpy();
    if (!matrix.row_major()) fault("output: a column-major matrix read as row-major");
    py::Ref array = new_float64_array(matrix, nullptr);
    if (matrix.size() != 0) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), matrix.begin(),
                    matrix.size() * sizeof(double));
    }
    return array;
}

}  // namespace quorvel::convert
