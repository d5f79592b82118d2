// Reaching the learned encoding of a `quorvel.Encoder` from the quorvel_ml functions.
#pragma once

#include <Python.h>

#include "core/encoding_info.hpp"
#include "py/encoder.hpp"

namespace quorvel::ml {

/// The fields of `obj`, which must be a quorvel.Encoder (TypeError otherwise). The Encoder
/// type comes from the shared library, so it is the very type `quorvel` exports.
py::EncoderFields& encoder_fields(PyObject* obj);

/// The learned encoding of an encoder whose borrow the caller holds; ValueError when it
/// has none (a new encoder, or one whose last encode was of a float64 array).
const EncodingInfo& learned_encoding(const py::EncoderFields& fields);

/// The decode map of text column `column` (ValueError when the encoder did not learn
/// that column as text).
const DecodeMap& text_column_map(const EncodingInfo& info, long long column);

}  // namespace quorvel::ml
