// Reaching the learned encoding of a `quorvel.Encoder`.
#include "ml/encoder_access.hpp"

#include <algorithm>
#include <string>

#include "capi/errors.hpp"

namespace quorvel::ml {

py::EncoderFields& encoder_fields(PyObject* obj) {
    PyObject* type = py::require(py::encoder_type());
    if (reinterpret_cast<PyObject*>(Py_TYPE(obj)) != type) py::raise_type_mismatch(obj, "Encoder");
    return py::fields_of(obj);
}

const EncodingInfo& learned_encoding(const py::EncoderFields& fields) {
    if (!fields.state.encoding_info) {
        py::raise(PyExc_ValueError,
                  "the encoder has learned no encoding: it is new, or its last encode was of a float64 array");
    }
    return *fields.state.encoding_info;
}

const DecodeMap& text_column_map(const EncodingInfo& info, long long column) {
    const auto& columns = info.object_columns;
    const bool learned = column >= 0 &&
                         std::find(columns.begin(), columns.end(), static_cast<std::size_t>(column)) != columns.end();
    const auto map = learned ? info.decode_maps.find(static_cast<std::size_t>(column)) : info.decode_maps.end();
    if (map == info.decode_maps.end()) {
        py::raise(PyExc_ValueError, "column " + std::to_string(column) + " was not learned as a text column");
    }
    return map->second;
}

}  // namespace quorvel::ml
