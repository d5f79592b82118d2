// Raising errors with the module's fixed messages.
#include "capi/errors.hpp"

namespace quorvel::py {

void raise(PyObject* type, std::string_view message) {
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    throw PyErrorSet{};
}

std::string type_qualname(PyObject* obj) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) return std::string(utf8, size);
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

void raise_type_mismatch(PyObject* value, std::string_view expected) {
    std::string message = "'";
    if (value == Py_None) {
        message += "None' is not an instance of '";
    } else {
        message += type_qualname(value);
        message += "' object is not an instance of '";
    }
    message += expected;
    message += "'";
    raise(PyExc_TypeError, message);
}

void add_argument_note(std::string_view param) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        std::string note = "while processing '" + std::string(param) + "'";
        Ref result = Ref::steal(PyObject_CallMethod(value, "add_note", "s#", note.data(),
                                                    static_cast<Py_ssize_t>(note.size())));
        if (!result) PyErr_Clear();  // the note is a courtesy; its failure is dropped
        if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    }
    PyErr_Restore(type, value, traceback);
}

std::string_view utf8_view(PyObject* str) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (utf8 == nullptr) throw PyErrorSet{};
    return {utf8, static_cast<std::size_t>(size)};
}

Ref make_str(std::string_view utf8) {
    return checked(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

}  // namespace quorvel::py
