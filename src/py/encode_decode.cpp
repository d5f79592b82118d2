// Encoder.encode and Encoder.decode: bind, borrow, extract the input, build the result.
#include "capi/errors.hpp"
#include "convert/input.hpp"
#include "convert/output.hpp"
#include "py/binding.hpp"
#include "py/encoder.hpp"
#include "py/fault_guard.hpp"

namespace quorvel::py {
namespace {

constexpr const char* kObjParams[] = {"obj"};
constexpr CallSpec kEncodeSpec{"encode", kObjParams, 1, 1};
constexpr CallSpec kDecodeSpec{"decode", kObjParams, 1, 1};

Ref column_list(const std::vector<std::size_t>& columns) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(columns.size())));
    for (std::size_t i = 0; i < columns.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), require(PyLong_FromSize_t(columns[i])));
    }
    return list;
}

}  // namespace

PyObject* encoder_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* obj[1];
        bind_vector(kEncodeSpec, args, nargs, kwnames, obj);
        EncoderFields& fields = fields_of(self);
        ExclusiveBorrow borrow(fields.borrow);
        // The result is a plain float copy: float64 columns of a frame may come from the
        // frame itself, shared under pandas' copy-on-write tracking instead of copied.
        convert::ExtractedInput input = convert::pyany_to_vec(obj[0], true, false, true);
        // Stored before the output is built: a failing output step keeps what was learned.
        fields.state.encoding_info = std::move(input.learned);
        fields.decoded_texts.clear();
        Ref result = convert::arr_to_out(input.matrix, std::move(input.out), nullptr);
        const auto& info = fields.state.encoding_info;
        Ref columns = info ? column_list(info->object_columns) : Ref::borrow(Py_None);
        return require(PyTuple_Pack(2, result.get(), columns.get()));
    });
}

PyObject* encoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* obj[1];
        bind_vector(kDecodeSpec, args, nargs, kwnames, obj);
        EncoderFields& fields = fields_of(self);
        SharedBorrow borrow(fields.borrow);
        // A float64 array is read in place: the caller holds it for the whole call, and
        // the result built from it (an object array, or a copy) runs no Python code.
        convert::ExtractedInput input = convert::pyany_to_vec(obj[0], true, true);
        input.learned.reset();  // decoding applies the stored encoding, never the input's own
        const auto& info = fields.state.encoding_info;
        return convert::arr_to_out(input.matrix, std::move(input.out), info ? &*info : nullptr, &fields.decoded_texts)
            .release();
    });
}

}  // namespace quorvel::py
