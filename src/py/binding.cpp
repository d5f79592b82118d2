// Argument binding with the exact messages Python callers see for a bad call shape.
#include "py/binding.hpp"

#include <string>

#include "capi/errors.hpp"

namespace quorvel::py {
namespace {

std::string full_name(const CallSpec& spec) { return std::string("Encoder.") + spec.function + "()"; }

const char* was_or_were(std::size_t n) { return n == 1 ? "was" : "were"; }

[[noreturn]] void too_many_positional(const CallSpec& spec, std::size_t given) {
    std::string message = full_name(spec);
    if (spec.required == spec.param_count) {
        message += " takes " + std::to_string(spec.param_count);
    } else {
        message += " takes from " + std::to_string(spec.required) + " to " + std::to_string(spec.param_count);
    }
    message += " positional arguments but " + std::to_string(given) + " " + was_or_were(given) + " given";
    raise(PyExc_TypeError, message);
}

// Index of the parameter named by `keyword`, or param_count when none matches.
std::size_t find_param(const CallSpec& spec, PyObject* keyword) {
    for (std::size_t i = 0; i < spec.param_count; ++i) {
        if (PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, spec.params[i]) == 0) return i;
    }
    return spec.param_count;
}

void bind_keyword(const CallSpec& spec, PyObject* keyword, PyObject* value, std::size_t positional,
                  PyObject** out) {
    const std::size_t index = find_param(spec, keyword);
    if (index == spec.param_count) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", full_name(spec).c_str(), keyword);
        throw PyErrorSet{};
    }
    if (index < positional) {
        raise(PyExc_TypeError, full_name(spec) + " got multiple values for argument '" + spec.params[index] + "'");
    }
    out[index] = value;
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string join_names(const std::string* names, std::size_t count) {
    std::string joined;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) joined += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        joined += "'" + names[i] + "'";
    }
    return joined;
}

void check_required(const CallSpec& spec, PyObject** out) {
    std::string missing[8];
    std::size_t count = 0;
    for (std::size_t i = 0; i < spec.required && count < 8; ++i) {
        if (out[i] == nullptr) missing[count++] = spec.params[i];
    }
    if (count == 0) return;
    raise(PyExc_TypeError, full_name(spec) + " missing " + std::to_string(count) + " required positional " +
                               (count == 1 ? "argument" : "arguments") + ": " + join_names(missing, count));
}

void bind_positional(const CallSpec& spec, PyObject* const* args, std::size_t given, PyObject** out) {
    if (given > spec.param_count) too_many_positional(spec, given);
    for (std::size_t i = 0; i < spec.param_count; ++i) out[i] = i < given ? args[i] : nullptr;
}

}  // namespace

void bind_vector(const CallSpec& spec, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                 PyObject** out) {
    const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    bind_positional(spec, args, given, out);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            bind_keyword(spec, PyTuple_GET_ITEM(kwnames, k), args[given + static_cast<std::size_t>(k)], given, out);
        }
    }
    check_required(spec, out);
}

void bind_tuple(const CallSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out) {
    const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    bind_positional(spec, &PyTuple_GET_ITEM(args, 0), given, out);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(spec, key, value, given, out);
    }
    check_required(spec, out);
}

}  // namespace quorvel::py
