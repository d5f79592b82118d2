// The Learner class: learns an encoding from a table given as consecutive row chunks.
//
// Each chunk goes through the same cell pass as encode. A column that turned text in
// rows this learner saw before is read as text from the chunk's first row; in every
// other column the numbers above the first non-numeric cell are kept both ways, as
// number texts and as their str(), because rows that another learner saw may turn the
// column text before them (decided when the learners merge). str() is taken once per
// distinct value where the value alone decides it (float, bool, int), per cell otherwise.
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "capi/errors.hpp"
#include "convert/cell_pass.hpp"
#include "convert/input.hpp"
#include "convert/numpy.hpp"
#include "core/hash_map.hpp"
#include "core/learner_state.hpp"
#include "core/worker_pool.hpp"
#include "ml/functions.hpp"
#include "py/borrow.hpp"
#include "py/encoder.hpp"
#include "py/fault_guard.hpp"

namespace quorvel::ml {
namespace {

using py::checked;
using py::Ref;

struct LearnerFields {
    LearnerState state;
    py::BorrowFlag borrow{0};
};

struct LearnerObject {
    PyObject_HEAD
    LearnerFields fields;
};

LearnerFields& learner_fields(PyObject* self) { return reinterpret_cast<LearnerObject*>(self)->fields; }

// The key of a NumPy array element whose str() its value decides.
template <class T>
NumberKey integer_key(const char* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::is_signed_v<T>) {
        return NumberKey{NumberKey::int64, static_cast<std::uint64_t>(static_cast<std::int64_t>(value))};
    } else {
        return NumberKey{NumberKey::uint64, static_cast<std::uint64_t>(value)};
    }
}

NumberKey float64_key(const char* p) {
    std::uint64_t bits;
    std::memcpy(&bits, p, sizeof bits);
    return NumberKey{NumberKey::float64, bits};
}

NumberKey bool_key(const char* p) { return NumberKey{NumberKey::boolean, *p != 0 ? 1u : 0u}; }

using KeyReader = NumberKey (*)(const char*);

KeyReader key_reader(int type_num) {
    switch (type_num) {
        case NPY_DOUBLE: return float64_key;  // a NumPy float64 prints as the float it is
        case NPY_BOOL: return bool_key;
        case NPY_BYTE: return integer_key<npy_byte>;
        case NPY_UBYTE: return integer_key<npy_ubyte>;
        case NPY_SHORT: return integer_key<npy_short>;
        case NPY_USHORT: return integer_key<npy_ushort>;
        case NPY_INT: return integer_key<npy_int>;
        case NPY_UINT: return integer_key<npy_uint>;
        case NPY_LONG: return integer_key<npy_long>;
        case NPY_ULONG: return integer_key<npy_ulong>;
        case NPY_LONGLONG: return integer_key<npy_longlong>;
        case NPY_ULONGLONG: return integer_key<npy_ulonglong>;
        default: return nullptr;  // float16, float32: their str() is NumPy's own
    }
}

struct NumberKeyHash {
    SeededHash hash;
    std::size_t operator()(const NumberKey& key) const noexcept { return hash(key.bits * 4 + key.kind); }
};

// While every numeric cell of a column is of one kind whose str() its float value
// decides, the keys need not be collected cell by cell: they follow from the column's
// distinct numbers at the end.
enum class Uniform : std::uint8_t { none_yet, float64, boolean, int53, mixed };

// 2^53: integers below it in magnitude are exactly their float value.
constexpr double exact_integers = 9007199254740992.0;

NumberKey key_from_number(Uniform kind, double value) {
    switch (kind) {
        case Uniform::float64: return NumberKey{NumberKey::float64, std::bit_cast<std::uint64_t>(value)};
        case Uniform::boolean: return NumberKey{NumberKey::boolean, value != 0.0 ? 1u : 0u};
        default:
            return NumberKey{NumberKey::int64, static_cast<std::uint64_t>(static_cast<std::int64_t>(value))};
    }
}

// The cell pass's back end for one chunk: what each column teaches.
class LearnSink final : public convert::CellSink {
public:
    LearnSink(const LearnerState& learner) : learner_(learner) {}

    void begin(convert::CellColumns& columns, convert::CellPassOptions& options) override {
        columns_ = &columns;
        const std::size_t cols = columns.matrix.cols;
        if (learner_.has_shape && learner_.cols != cols) {
            py::raise(PyExc_ValueError, "the chunk has " + std::to_string(cols) + " columns, but the learner's rows have " +
                                            std::to_string(learner_.cols));
        }
        options.observe_numbers = true;
        // Repeated str objects are staged once: only the distinct texts are wanted.
        options.stage_by_reference = true;
        options.start_text.assign(cols, false);
        for (std::size_t j : learner_.turned_columns()) options.start_text[j] = true;
        keys_.resize(cols);
        uniform_.assign(cols, Uniform::none_yet);
        strs_.resize(cols);
        learned_.resize(cols);
    }

    void numeric_cell(std::size_t i, std::size_t j, PyObject* cell, double value) override {
        // The common case first: one more cell of the kind the column has held so far.
        const PyTypeObject* type = Py_TYPE(cell);
        switch (uniform_[j]) {
            case Uniform::float64:
                if (type == &PyFloat_Type || type == &PyDoubleArrType_Type) return;
                break;
            case Uniform::boolean:
                if (type == &PyBool_Type || type == &PyBoolArrType_Type) return;
                break;
            case Uniform::int53:
                // An int below 2^53 in magnitude is exactly its float value, which gives its key.
                if (type == &PyLong_Type && std::fabs(value) < exact_integers) return;
                break;
            default: break;
        }
        NumberKey key{};
        Uniform kind = Uniform::mixed;
        // A NumPy float64 prints as the float it is.
        if (PyFloat_CheckExact(cell) || Py_TYPE(cell) == &PyDoubleArrType_Type) {
            key = NumberKey{NumberKey::float64, std::bit_cast<std::uint64_t>(value)};
            kind = Uniform::float64;
        } else if (PyBool_Check(cell) || Py_TYPE(cell) == &PyBoolArrType_Type) {
            key = NumberKey{NumberKey::boolean, value != 0.0 ? 1u : 0u};
            kind = Uniform::boolean;
        } else if (PyLong_CheckExact(cell)) {
            int overflow = 0;
            const long long integer = PyLong_AsLongLongAndOverflow(cell, &overflow);
            if (overflow != 0 || (integer == -1 && PyErr_Occurred())) {
                PyErr_Clear();
                return add_text(i, j, cell);
            }
            key = NumberKey{NumberKey::int64, static_cast<std::uint64_t>(integer)};
            if (std::fabs(value) < exact_integers) kind = Uniform::int53;
        } else {
            return add_text(i, j, cell);
        }
        Uniform& uniform = uniform_[j];
        if (uniform == Uniform::none_yet && kind != Uniform::mixed) uniform = kind;
        // The key follows from the number while the column is of one kind; a mixed
        // column keeps the key of every cell.
        if (uniform == kind && kind != Uniform::mixed) return;
        if (uniform != Uniform::mixed) {
            // The column stops being uniform: the keys of the rows above, all of the one kind.
            for (std::size_t r = 0; r < i; ++r) keys_[j].insert(key_from_number(uniform, columns_->matrix.at(r, j)));
            uniform = Uniform::mixed;
        }
        keys_[j].insert(key);
    }

    void add_text(std::size_t i, std::size_t j, PyObject* cell) {
        if (uniform_[j] != Uniform::mixed && uniform_[j] != Uniform::none_yet) {
            // Every row above is numeric and of the one kind (rows of other kinds made it mixed).
            const Uniform kind = uniform_[j];
            for (std::size_t r = 0; r < i; ++r) keys_[j].insert(key_from_number(kind, columns_->matrix.at(r, j)));
        }
        uniform_[j] = Uniform::mixed;
        std::string text;
        convert::append_cell_text(text, cell);
        strs_[j].insert(std::move(text));
    }

    // A numeric array's cells are its elements as NumPy scalars: by key where the value
    // decides str(), else str() of each distinct element, made once.
    void numbers(std::size_t j, const char* base, npy_intp stride, PyArray_Descr* descr) override {
        if (descr == nullptr) fault("numbers read without their dtype");
        const std::size_t rows = columns_->matrix.rows;
        if (descr->type_num == NPY_DOUBLE || descr->type_num == NPY_BOOL) {
            // Keys follow from the distinct numbers at the end.
            uniform_[j] = descr->type_num == NPY_DOUBLE ? Uniform::float64 : Uniform::boolean;
            return;
        }
        uniform_[j] = Uniform::mixed;
        if (const KeyReader read = key_reader(descr->type_num)) {
            for (std::size_t i = 0; i < rows; ++i) keys_[j].insert(read(base + static_cast<npy_intp>(i) * stride));
            return;
        }
        const auto size = static_cast<std::size_t>(PyDataType_ELSIZE(descr));
        if (size > sizeof(std::uint64_t)) fault("numeric elements wider than 8 bytes");
        boost::unordered_flat_set<std::uint64_t, SeededHash> elements;
        for (std::size_t i = 0; i < rows; ++i) {
            std::uint64_t bits = 0;
            std::memcpy(&bits, base + static_cast<npy_intp>(i) * stride, size);
            elements.insert(bits);
        }
        for (const std::uint64_t bits : elements) {
            Ref scalar = checked(PyArray_Scalar(const_cast<std::uint64_t*>(&bits), descr, nullptr));
            std::string text;
            convert::append_cell_text(text, scalar.get());
            strs_[j].insert(std::move(text));
        }
    }

    void column_done(std::size_t j, bool text_mode, std::size_t turn) override {
        learned_[j].turned = text_mode;
        tasks_.submit([this, j, turn] {
            ColumnLearning& column = learned_[j];
            const Matrix& matrix = columns_->matrix;
            bool sorted = true;
            std::vector<std::uint64_t> numbers = chunk_numbers(matrix, j, column.turned ? turn : matrix.rows, sorted);
            std::vector<NumberKey> keys(keys_[j].begin(), keys_[j].end());
            keys_[j] = {};
            if (const Uniform kind = uniform_[j]; kind != Uniform::none_yet && kind != Uniform::mixed) {
                column.numbers_kind = key_from_number(kind, 0.0).kind;  // the keys follow from the numbers
            }
            std::sort(keys.begin(), keys.end());
            keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
            column.str_keys.add(std::move(keys));
            std::vector<std::string_view> strs(strs_[j].begin(), strs_[j].end());
            std::sort(strs.begin(), strs.end());
            TextSet str_texts;
            str_texts.reserve(strs.size());
            for (const auto text : strs) str_texts.push_back(text);
            strs_[j] = {};
            column.str_texts.add(std::move(str_texts));
            if (sorted) {
                column.numbers.add(std::move(numbers));
            } else {
                column.numbers.add_unsorted(std::move(numbers));
            }
            if (!column.turned) return;
            // One staged text per row, or per distinct object when staged by reference; either
            // way the first `turn` are the number texts of the rows above the first text.
            const TextColumn& texts = columns_->texts[j];
            if (repeats_learned(texts, turn, texts.size(), learned_texts(j))) {
                column.texts.add_unsorted(distinct_texts_unsorted(texts, turn, texts.size()));
            } else {
                column.texts.add(distinct_texts(texts, turn, texts.size()));
            }
            columns_->texts[j] = TextColumn();
            release(columns_->refs[j]);
        });
    }

    std::vector<ColumnLearning> finish() {
        tasks_.wait();
        return std::move(learned_);
    }

private:
    // The sorted sets of texts the learner holds for column j (read only: tasks of other
    // columns read theirs at the same time).
    const std::vector<std::shared_ptr<const TextSet>>& learned_texts(std::size_t j) const {
        static const std::vector<std::shared_ptr<const TextSet>> none;
        return j < learner_.columns.size() ? learner_.columns[j].texts.sorted_pieces() : none;
    }

    const LearnerState& learner_;
    convert::CellColumns* columns_ = nullptr;
    std::vector<boost::unordered_flat_set<NumberKey, NumberKeyHash>> keys_;
    std::vector<Uniform> uniform_;
    std::vector<boost::unordered_flat_set<std::string, SeededHash, std::equal_to<>>> strs_;
    std::vector<ColumnLearning> learned_;
    TaskBatch tasks_;  // declared last: waited for first
};

// --- methods -------------------------------------------------------------------------------

PyObject* learner_update(PyObject* self, PyObject* chunk) {
    return py::guarded<PyObject*>(nullptr, [&] {
        LearnerFields& fields = learner_fields(self);
        py::ExclusiveBorrow borrow(fields.borrow);
        const convert::OUT out = convert::recognise(chunk);
        convert::ensure_numpy();
        const bool teaches = !convert::takes_fast_path(chunk);
        convert::CellColumns columns;
        LearnSink sink(fields.state);  // after the columns: destroyed first
        convert::read_cells(chunk, out.is_dataframe(), columns, sink);
        LearnerState learned = LearnerState::of_chunk(teaches, sink.finish());
        // Merging sorts and joins sets with the pool's parallel algorithms.
        run_on_pool([&] { fields.state.append(std::move(learned)); });
        return Ref::borrow(self).release();
    });
}

PyObject* learner_merge(PyObject* self, PyObject* later) {
    return py::guarded<PyObject*>(nullptr, [&] {
        PyObject* type = py::require(learner_type());
        if (reinterpret_cast<PyObject*>(Py_TYPE(later)) != type) py::raise_type_mismatch(later, "Learner");
        if (later == self) py::raise(PyExc_ValueError, "a learner cannot merge itself");
        LearnerFields& fields = learner_fields(self);
        LearnerFields& other = learner_fields(later);
        py::ExclusiveBorrow borrow(fields.borrow);
        py::SharedBorrow other_borrow(other.borrow);
        if (fields.state.has_shape && other.state.has_shape && fields.state.cols != other.state.cols) {
            py::raise(PyExc_ValueError, "the later learner's rows have " + std::to_string(other.state.cols) +
                                            " columns, but this learner's have " + std::to_string(fields.state.cols));
        }
        run_on_pool([&] { fields.state.append(other.state); });
        return Ref::borrow(self).release();
    });
}

PyObject* learner_encoder(PyObject* self, PyObject*) {
    return py::guarded<PyObject*>(nullptr, [&] {
        LearnerFields& fields = learner_fields(self);
        py::SharedBorrow borrow(fields.borrow);
        std::optional<EncodingInfo> info;
        run_on_pool([&] { info = fields.state.encoding(); });
        Ref encoder = checked(PyObject_CallNoArgs(py::require(py::encoder_type())));
        py::EncoderFields& target = py::fields_of(encoder.get());
        py::ExclusiveBorrow target_borrow(target.borrow);
        target.state.encoding_info = std::move(info);
        return encoder.release();
    });
}

PyObject* learner_text_before(PyObject* self, PyObject*) {
    return py::guarded<PyObject*>(nullptr, [&] {
        LearnerFields& fields = learner_fields(self);
        py::SharedBorrow borrow(fields.borrow);
        const auto& chunks = fields.state.chunk_text_before;
        Ref list = checked(PyList_New(static_cast<Py_ssize_t>(chunks.size())));
        for (std::size_t k = 0; k < chunks.size(); ++k) {
            Ref columns = checked(PyList_New(static_cast<Py_ssize_t>(chunks[k].size())));
            for (std::size_t c = 0; c < chunks[k].size(); ++c) {
                PyList_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(c), py::require(PyLong_FromSize_t(chunks[k][c])));
            }
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), columns.release());
        }
        return list.release();
    });
}

PyObject* learner_getstate(PyObject* self, PyObject*) {
    return py::guarded<PyObject*>(nullptr, [&] {
        LearnerFields& fields = learner_fields(self);
        py::SharedBorrow borrow(fields.borrow);
        // The sets are merged on the pool; then the state is written by this thread (which
        // holds the GIL) straight into the new bytes object: no second copy of it.
        run_on_pool([&] { fields.state.merge_pieces(); });
        Ref bytes;
        fields.state.write_bytes([&bytes](std::size_t size) {
            bytes = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
            return PyBytes_AS_STRING(bytes.get());
        });
        return bytes.release();
    });
}

PyObject* learner_setstate(PyObject* self, PyObject* state) {
    return py::guarded<PyObject*>(nullptr, [&] {
        LearnerFields& fields = learner_fields(self);
        py::ExclusiveBorrow borrow(fields.borrow);
        if (!PyBytes_Check(state)) py::raise_type_mismatch(state, "bytes");
        auto read = LearnerState::from_bytes(
            std::string_view(PyBytes_AS_STRING(state), static_cast<std::size_t>(PyBytes_GET_SIZE(state))));
        if (auto* error = std::get_if<std::string>(&read)) py::raise(PyExc_ValueError, "failed to unpickle Learner: " + *error);
        fields.state = std::move(std::get<LearnerState>(read));
        Py_RETURN_NONE;
    });
}

PyObject* learner_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return py::guarded<PyObject*>(nullptr, [&] {
        if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
            py::raise(PyExc_TypeError, "Learner() takes no arguments");
        }
        PyObject* self = py::require(cls->tp_alloc(cls, 0));
        new (&reinterpret_cast<LearnerObject*>(self)->fields) LearnerFields{};
        return self;
    });
}

void learner_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<LearnerObject*>(self)->fields.~LearnerFields();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef kMethods[] = {
    {"update", learner_update, METH_O,
     "update($self, chunk)\n--\n\nLearns from the next rows of the table; returns the learner."},
    {"merge", learner_merge, METH_O,
     "merge($self, later)\n--\n\nFolds in what `later` learned from the rows that follow; returns the learner."},
    {"encoder", learner_encoder, METH_NOARGS,
     "encoder($self)\n--\n\nA new quorvel.Encoder holding what one encode of all the rows would learn."},
    {"text_before", learner_text_before, METH_NOARGS,
     "text_before($self)\n--\n\nPer chunk seen, the columns that had turned text in rows before it."},
    {"__getstate__", learner_getstate, METH_NOARGS, "__getstate__($self)\n--\n\n"},
    {"__setstate__", learner_setstate, METH_O, "__setstate__($self, state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Learner()\n--\n\nLearns an encoding from a table given as consecutive row chunks.")},
    {Py_tp_new, reinterpret_cast<void*>(learner_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(learner_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec{
    "quorvel_ml.Learner",
    static_cast<int>(sizeof(LearnerObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* learner_type() {
    static PyObject* type = nullptr;  // lives for the rest of the process
    if (type == nullptr) type = PyType_FromSpec(&kSpec);
    return type;
}

}  // namespace quorvel::ml
