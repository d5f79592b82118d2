// categories() and decode_column(): what an encoder learned, and codes of one column back to texts.
#include <cmath>
#include <cstring>
#include <vector>

#include "capi/errors.hpp"
#include "convert/numpy.hpp"
#include "ml/encoder_access.hpp"
#include "ml/functions.hpp"
#include "py/fault_guard.hpp"

namespace quorvel::ml {
namespace {

using py::checked;
using py::Ref;

Ref text_list(const DecodeMap& map) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(map.size())));
    Py_ssize_t i = 0;
    for (const auto& [code, text] : map) PyList_SET_ITEM(list.get(), i++, py::make_str(text).release());
    return list;
}

// The code a value stands for, or nothing: NaN, infinite, negative, fractional values
// and values beyond the table are no code.
const DecodeMap::value_type* entry_of(const DecodeMap& map, double value) {
    if (!(value >= 0.0) || value >= 18446744073709551616.0 || std::floor(value) != value) return nullptr;
    const auto it = map.find(static_cast<std::uint64_t>(value));
    return it == map.end() ? nullptr : &*it;
}

}  // namespace

PyObject* categories(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    return py::guarded<PyObject*>(nullptr, [&] {
        if (nargs != 1) py::raise(PyExc_TypeError, "categories() takes exactly one argument");
        py::EncoderFields& fields = encoder_fields(args[0]);
        py::SharedBorrow borrow(fields.borrow);
        Ref result = checked(PyDict_New());
        if (!fields.state.encoding_info) return result.release();
        const EncodingInfo& info = *fields.state.encoding_info;
        for (std::size_t column : info.object_columns) {
            const auto map = info.decode_maps.find(column);
            if (map == info.decode_maps.end()) continue;  // a state read from bytes may lack it
            Ref key = checked(PyLong_FromSize_t(column));
            Ref texts = text_list(map->second);
            py::require_ok(PyDict_SetItem(result.get(), key.get(), texts.get()));
        }
        return result.release();
    });
}

// decode_column(encoder, column: int, codes: 1-D C-contiguous float64 array)
PyObject* decode_column(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    return py::guarded<PyObject*>(nullptr, [&] {
        if (nargs != 3) py::raise(PyExc_TypeError, "decode_column() takes exactly three arguments");
        py::EncoderFields& fields = encoder_fields(args[0]);
        py::SharedBorrow borrow(fields.borrow);
        const long long column = PyLong_AsLongLong(args[1]);
        if (column == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
        convert::ensure_numpy();
        if (!PyArray_Check(args[2])) py::raise_type_mismatch(args[2], "ndarray");
        auto* codes = reinterpret_cast<PyArrayObject*>(args[2]);
        if (PyArray_NDIM(codes) != 1 || PyArray_TYPE(codes) != NPY_FLOAT64 || !PyArray_IS_C_CONTIGUOUS(codes) ||
            !PyArray_ISNOTSWAPPED(codes) || !PyArray_ISALIGNED(codes)) {
            py::raise(PyExc_TypeError, "codes must be a 1-D contiguous float64 array");
        }
        if (!fields.state.encoding_info) {
            py::raise(PyExc_ValueError, "column " + std::to_string(column) + " was not learned as a text column");
        }
        const DecodeMap& map = text_column_map(*fields.state.encoding_info, column);

        const npy_intp n = PyArray_DIM(codes, 0);
        const auto* values = static_cast<const double*>(PyArray_DATA(codes));
        Ref result = checked(PyArray_SimpleNew(1, &n, NPY_OBJECT));
        auto* slots = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
        // One str per distinct code, shared by every cell holding it.
        std::vector<Ref> made(map.size());
        for (npy_intp i = 0; i < n; ++i) {
            PyObject* text = Py_None;
            if (const auto* entry = entry_of(map, values[i])) {
                Ref& slot = made[static_cast<std::size_t>(entry - &*map.begin())];
                if (!slot) slot = py::make_str(entry->second);
                text = slot.get();
            }
            Py_INCREF(text);
            slots[i] = text;  // the new array's object slots start empty (null)
        }
        return result.release();
    });
}

}  // namespace quorvel::ml
