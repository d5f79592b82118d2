// Input recognition: the container kind by type name, DataFrame labels, the float64 fast path.
#include "convert/input.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "capi/errors.hpp"
#include "convert/numpy.hpp"
#include "core/buffer.hpp"
#include "core/parallel_range.hpp"

namespace quorvel::convert {
namespace {

using py::checked;
using py::Ref;

// The refused type's name goes to file descriptor 1 itself, not to Python's sys.stdout.
void write_line_to_stdout(std::string_view text) {
    std::string line(text);
    line += '\n';
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(1, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to write: the TypeError still tells the caller
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

// First attempt: every label is a str. Returns nothing (error cleared) if any is not.
std::optional<std::vector<std::string>> labels_as_texts(PyObject* columns) {
    if (PyUnicode_Check(columns) || !PySequence_Check(columns)) return std::nullopt;
    std::vector<std::string> labels;
    const Py_ssize_t size = PySequence_Size(columns);
    if (size < 0) {
        PyErr_Clear();  // the length only sizes the list
    } else {
        labels.reserve(static_cast<std::size_t>(size));
    }
    Ref iterator = Ref::steal(PyObject_GetIter(columns));
    if (!iterator) return PyErr_Clear(), std::nullopt;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(item.get())) return std::nullopt;
        Py_ssize_t length = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item.get(), &length);
        if (utf8 == nullptr) return PyErr_Clear(), std::nullopt;
        labels.emplace_back(utf8, static_cast<std::size_t>(length));
    }
    if (PyErr_Occurred()) return PyErr_Clear(), std::nullopt;
    return labels;
}

// Second attempt: `columns.tolist()` as signed 64-bit integers, rendered in decimal.
std::vector<std::string> labels_as_integers(PyObject* columns) {
    Ref list = checked(PyObject_CallMethod(columns, "tolist", nullptr));
    if (PyUnicode_Check(list.get())) py::raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(list.get())) {
        py::raise(PyExc_TypeError, "'" + py::type_qualname(list.get()) + "' object cannot be converted to 'Sequence'");
    }
    std::vector<std::string> labels;
    const Py_ssize_t size = PySequence_Size(list.get());
    if (size < 0) {
        PyErr_Clear();
    } else {
        labels.reserve(static_cast<std::size_t>(size));
    }
    Ref iterator = checked(PyObject_GetIter(list.get()));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        const long long value = PyLong_AsLongLong(item.get());
        if (value == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
        labels.push_back(std::to_string(value));
    }
    if (PyErr_Occurred()) throw py::PyErrorSet{};
    return labels;
}

// A pandas Index runs Python code for every label it yields when iterated; its `tolist()`
// lists the same labels in one call. Nothing when `columns` is not exactly pandas' Index
// or its labels are not all texts: the general route then reads them.
std::optional<std::vector<std::string>> index_labels_as_texts(PyObject* columns) {
    Ref pandas = Ref::steal(PyImport_GetModule(Ref::steal(PyUnicode_FromString("pandas")).get()));
    Ref index_type = pandas ? Ref::steal(PyObject_GetAttrString(pandas.get(), "Index")) : Ref{};
    if (!index_type || reinterpret_cast<PyObject*>(Py_TYPE(columns)) != index_type.get()) return PyErr_Clear(), std::nullopt;
    Ref list = Ref::steal(PyObject_CallMethod(columns, "tolist", nullptr));
    if (!list || !PyList_CheckExact(list.get())) return PyErr_Clear(), std::nullopt;
    return labels_as_texts(list.get());
}

std::vector<std::string> read_labels(PyObject* frame) {
    Ref columns = checked(PyObject_GetAttrString(frame, "columns"));
    if (auto texts = index_labels_as_texts(columns.get())) return std::move(*texts);
    if (auto texts = labels_as_texts(columns.get())) return std::move(*texts);
    return labels_as_integers(columns.get());
}

// A row-major copy of this many blocks (of a huge page's size) or more is shared by the pool.
constexpr std::size_t copy_block = kHugePage;
constexpr std::size_t parallel_copy_blocks = 4;

// Copies a 2-D float64 array (any strides, any order) into a new matrix, element by
// position. A row-major array is read in place instead when `in_place` allows it.
Matrix copy_float64(PyObject* obj, bool in_place) {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    const auto rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
    const auto cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
    const bool row_major =
        PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array) && PyArray_ISNOTSWAPPED(array);
    if (in_place && row_major && rows * cols != 0) {
        return Matrix::borrowing(static_cast<const double*>(PyArray_DATA(array)), rows, cols);
    }
    Matrix matrix = Matrix::uninitialised(rows, cols);
    if (matrix.size() == 0) return matrix;
    if (row_major) {
        // Copied by the pool, a block at a time: each block's fresh pages are faulted in
        // (cleared by the system, most of the cost) by the worker that fills them, so the
        // clearing runs in parallel too. Blocks end where huge pages of the new buffer
        // end, so that no two workers wait on the same page.
        const std::size_t bytes = matrix.size() * sizeof(double);
        char* const to = reinterpret_cast<char*>(matrix.begin());
        const char* const from = static_cast<const char*>(PyArray_DATA(array));
        const auto address = reinterpret_cast<std::uintptr_t>(to);
        const std::size_t head = ((address + copy_block - 1) & ~(copy_block - 1)) - address;
        const auto block_start = [&](std::size_t b) {
            return b == 0 ? 0 : std::min(bytes, head + (b - 1) * copy_block);
        };
        const std::size_t blocks = 1 + (bytes > head ? (bytes - head + copy_block - 1) / copy_block : 0);
        for_each_range(blocks, parallel_copy_blocks, [&](std::size_t begin, std::size_t end) {
            std::memcpy(to + block_start(begin), from + block_start(begin), block_start(end) - block_start(begin));
        });
        return matrix;
    }
    // Strided, Fortran-ordered or unaligned: let NumPy copy into a view of the matrix.
    npy_intp dims[2] = {PyArray_DIM(array, 0), PyArray_DIM(array, 1)};
    Ref view = checked(PyArray_New(&PyArray_Type, 2, dims, NPY_FLOAT64, nullptr, matrix.begin(), 0,
                                   NPY_ARRAY_CARRAY, nullptr));
    py::require_ok(PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(view.get()), array));
    return matrix;
}

}  // namespace

OUT recognise(PyObject* obj) {
    Ref name = checked(PyType_GetName(Py_TYPE(obj)));
    const std::string_view text = py::utf8_view(name.get());
    if (text == "ndarray" || text == "memmap") return OUT{OUT::NumPy{}};
    if (text == "DataFrame") return OUT{OUT::DataFrame{read_labels(obj), {}}};
    write_line_to_stdout(text);
    py::raise(PyExc_TypeError, "Unsupported type: '" + std::string(text) +
                                   "'. Supported types are: numpy.ndarray, pandas.DataFrame");
}

bool takes_fast_path(PyObject* obj) {
    if (!PyArray_Check(obj)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 2) return false;
    Ref float64 = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_FLOAT64)));
    return PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(float64.get()));
}

ExtractedInput pyany_to_vec(PyObject* obj, bool can_encode_text, bool read_in_place, bool share_columns) {
    OUT out = recognise(obj);
    ensure_numpy();
    if (takes_fast_path(obj)) return ExtractedInput{copy_float64(obj, read_in_place), std::move(out), std::nullopt};
    if (!can_encode_text) py::raise(PyExc_Exception, "Provide a way to encode String!");
    auto* frame = std::get_if<OUT::DataFrame>(&out.kind);
    auto [matrix, learned] =
        encode_object_array(obj, frame != nullptr, share_columns && frame != nullptr ? &frame->source : nullptr);
    return ExtractedInput{std::move(matrix), std::move(out), std::move(learned)};
}

}  // namespace quorvel::convert
