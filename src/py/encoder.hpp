// The Encoder instance layout and the entry points of its methods.
#pragma once

#include <Python.h>

#include <optional>

#include "convert/decoded_texts.hpp"
#include "core/state_format.hpp"
#include "py/borrow.hpp"

namespace quorvel::py {

/// The C++ fields of an Encoder, constructed in place after the Python header.
struct EncoderFields {
    EncoderState state;  ///< encoding_info (absent until encode or __setstate__), encoding_strat
    BorrowFlag borrow{0};
    /// strs of texts decode made, for later decodes; cleared whenever `state` changes.
    convert::DecodedTexts decoded_texts;
};

struct EncoderObject {
    PyObject_HEAD
    EncoderFields fields;
};

inline EncoderFields& fields_of(PyObject* self) { return reinterpret_cast<EncoderObject*>(self)->fields; }

/// The Encoder class, created on the first call and shared by every later module
/// initialisation of the process. Returns a borrowed reference, or null with an error set.
PyObject* encoder_type();

// Method bodies (vector call with keywords, except __getstate__).
PyObject* encoder_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* encoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* encoder_getstate(PyObject* self, PyObject* unused);
PyObject* encoder_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quorvel::py
