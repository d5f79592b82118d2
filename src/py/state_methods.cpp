// Encoder.__getstate__ and Encoder.__setstate__: the encoder as state bytes and back.
#include <cstddef>
#include <string>
#include <variant>

#include "capi/errors.hpp"
#include "core/state_format.hpp"
#include "py/binding.hpp"
#include "py/encoder.hpp"
#include "py/fault_guard.hpp"

namespace quorvel::py {
namespace {

constexpr const char* kStateParams[] = {"state"};
constexpr CallSpec kSetStateSpec{"__setstate__", kStateParams, 1, 1};

}  // namespace

PyObject* encoder_getstate(PyObject* self, PyObject* /*unused*/) {
    return guarded<PyObject*>(nullptr, [&] {
        EncoderFields& fields = fields_of(self);
        SharedBorrow borrow(fields.borrow);
        // Written straight into the new bytes object: no second copy of the state.
        Ref bytes;
        write_state(fields.state, [&bytes](std::size_t size) {
            bytes = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
            return PyBytes_AS_STRING(bytes.get());
        });
        return bytes.release();
    });
}

PyObject* encoder_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* state[1];
        bind_vector(kSetStateSpec, args, nargs, kwnames, state);
        EncoderFields& fields = fields_of(self);
        ExclusiveBorrow borrow(fields.borrow);  // taken before the argument is examined
        if (!PyBytes_Check(state[0])) {
            try {
                raise_type_mismatch(state[0], "bytes");
            } catch (const PyErrorSet&) {
                add_argument_note("state");
                throw;
            }
        }
        const std::string_view bytes(PyBytes_AS_STRING(state[0]), static_cast<std::size_t>(PyBytes_GET_SIZE(state[0])));
        auto read = read_state(bytes);
        if (auto* error = std::get_if<std::string>(&read)) {
            raise(PyExc_ValueError, "failed to unpickle Encoder: " + *error);
        }
        fields.state = std::move(std::get<EncoderState>(read));  // installed only on success
        fields.decoded_texts.clear();
        Py_RETURN_NONE;
    });
}

}  // namespace quorvel::py
