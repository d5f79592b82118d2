// apply(): codes new rows with the tables an encoder learned, changing nothing in it.
#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "capi/errors.hpp"
#include "convert/cell_pass.hpp"
#include "convert/input.hpp"
#include "convert/numpy.hpp"
#include "convert/output.hpp"
#include "core/apply_pass.hpp"
#include "core/label_encode.hpp"
#include "ml/encoder_access.hpp"
#include "ml/functions.hpp"
#include "py/fault_guard.hpp"

namespace quorvel::ml {
namespace {

using py::checked;
using py::Ref;

// The cell pass's back end for apply. Columns learned as text are read as encode reads
// them (or wholly as text when rows before these already turned them); every other
// column must hold numbers, and a cell that is none is unknown.
class ApplySink final : public convert::CellSink {
public:
    ApplySink(const EncodingInfo& info, const std::vector<std::size_t>& text_before, double fill)
        : info_(info), text_before_(text_before), fill_(fill) {}

    void begin(convert::CellColumns& columns, convert::CellPassOptions& options) override {
        columns_ = &columns;
        const std::size_t cols = columns.matrix.cols;
        learned_text_.assign(cols, false);
        for (std::size_t j : info_.object_columns) {
            if (j >= cols) {
                py::raise(PyExc_ValueError, "the data has " + std::to_string(cols) +
                                                " columns, but the encoder learned text column " + std::to_string(j));
            }
            learned_text_[j] = true;
        }
        options.keep_numeric.assign(cols, false);
        options.start_text.assign(cols, false);
        for (std::size_t j = 0; j < cols; ++j) options.keep_numeric[j] = !learned_text_[j];
        for (std::size_t j : text_before_) {
            if (j >= cols) {
                py::raise(PyExc_ValueError, "text_before names column " + std::to_string(j) + ", but the data has " +
                                                std::to_string(cols) + " columns");
            }
            // A column learned as numeric stays numeric: its texts are unknown either way.
            options.start_text[j] = learned_text_[j];
        }
        options.stage_by_reference = true;
        pass_.emplace(info_, columns.matrix, columns.texts, &columns.refs, fill_);
    }

    void column_done(std::size_t j, bool text_mode, std::size_t) override {
        if (!learned_text_[j]) return;
        if (text_mode) {
            pass_->text_column(j);
        } else {
            pass_->number_column(j);
        }
    }

    // A missing value in a numeric column is NaN, as in a text column; any other cell
    // that is no number is unknown.
    void not_numeric(std::size_t i, std::size_t j, std::string_view text) override {
        if (is_missing_marker(text)) {
            columns_->matrix.at(i, j) = NAN;
            return;
        }
        pass_->unknown_cell(i, j, text);
    }

    std::optional<UnknownCell> finish() { return pass_->finish(); }

    // A column not learned as text keeps every number as it is: a float64 column of the
    // frame is its own result.
    bool may_share(std::size_t j) const override {
        const auto& learned = info_.object_columns;
        return std::find(learned.begin(), learned.end(), j) == learned.end();
    }

private:
    const EncodingInfo& info_;
    const std::vector<std::size_t>& text_before_;
    double fill_;
    convert::CellColumns* columns_ = nullptr;
    std::vector<bool> learned_text_;
    std::optional<ApplyPass> pass_;  // waits for its tasks before the columns go
};

// A long text is cut (on a character boundary) so that the message stays readable.
std::string shortened(const std::string& text) {
    constexpr std::size_t limit = 60;
    if (text.size() <= limit) return text;
    std::size_t cut = limit - 3;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut) + "...";
}

[[noreturn]] void raise_unknown(const UnknownCell& unknown, const convert::OUT& out) {
    Ref text = py::make_str(shortened(unknown.text));
    Ref message;
    if (const auto* frame = std::get_if<convert::OUT::DataFrame>(&out.kind); frame && unknown.column < frame->labels.size()) {
        Ref label = py::make_str(frame->labels[unknown.column]);
        message = checked(PyUnicode_FromFormat(
            "unknown value %R in column %zu (%R) at row %zu: the encoder did not learn it there "
            "(unknown=\"nan\" or a number codes such values instead)",
            text.get(), unknown.column, label.get(), unknown.row));
    } else {
        message = checked(PyUnicode_FromFormat(
            "unknown value %R in column %zu at row %zu: the encoder did not learn it there "
            "(unknown=\"nan\" or a number codes such values instead)",
            text.get(), unknown.column, unknown.row));
    }
    PyErr_SetObject(PyExc_ValueError, message.get());
    throw py::PyErrorSet{};
}

std::vector<std::size_t> column_positions(PyObject* sequence) {
    Ref items = checked(PySequence_Fast(sequence, "text_before must be a sequence"));
    std::vector<std::size_t> positions;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t k = 0; k < n; ++k) {
        const std::size_t j = PyLong_AsSize_t(PySequence_Fast_GET_ITEM(items.get(), k));
        if (j == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw py::PyErrorSet{};
        positions.push_back(j);
    }
    return positions;
}

}  // namespace

// apply(encoder, obj, raise_unknown: bool, fill: float, text_before: sequence of int)
PyObject* apply(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    return py::guarded<PyObject*>(nullptr, [&] {
        if (nargs != 5) py::raise(PyExc_TypeError, "apply() takes exactly five arguments");
        py::EncoderFields& fields = encoder_fields(args[0]);
        py::SharedBorrow borrow(fields.borrow);  // the encoder cannot change while cells run Python code
        const EncodingInfo& info = learned_encoding(fields);
        const int raise = py::require_ok(PyObject_IsTrue(args[2]));
        const double fill = raise ? NAN : PyFloat_AsDouble(args[3]);
        if (fill == -1.0 && PyErr_Occurred()) throw py::PyErrorSet{};
        const std::vector<std::size_t> text_before = column_positions(args[4]);

        convert::OUT out = convert::recognise(args[1]);
        convert::ensure_numpy();
        convert::CellColumns columns;
        ApplySink sink(info, text_before, fill);  // after the columns: destroyed first
        auto* frame = std::get_if<convert::OUT::DataFrame>(&out.kind);
        convert::read_cells(args[1], frame != nullptr, columns, sink, frame != nullptr ? &frame->source : nullptr);
        if (const auto unknown = sink.finish(); unknown && raise) raise_unknown(*unknown, out);
        return convert::arr_to_out(columns.matrix, std::move(out), nullptr).release();
    });
}

}  // namespace quorvel::ml
