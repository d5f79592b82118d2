// The Encoder class: its layout, constructor, deallocation and method table.
//
// A heap type from a spec: it cannot be subclassed (no BASETYPE), has no __dict__ and no
// weak references (no offsets), and is not tracked by the cyclic GC (no HAVE_GC): an
// instance holds no Python references, so there is nothing to traverse.
#include <new>
#include <string_view>

#include "capi/errors.hpp"
#include "py/binding.hpp"
#include "py/encoder.hpp"
#include "py/fault_guard.hpp"

namespace quorvel::py {
namespace {

constexpr const char* kNewParams[] = {"encoding"};
constexpr CallSpec kNewSpec{"__new__", kNewParams, 1, 0};

// Checks the `encoding` argument: None or absent means Label; a str must be exactly "label".
EncodingStrategy strategy_from(PyObject* encoding) {
    if (encoding == nullptr || encoding == Py_None) return EncodingStrategy::Label;
    std::string_view text;
    try {
        if (!PyUnicode_Check(encoding)) raise_type_mismatch(encoding, "str");
        text = utf8_view(encoding);
    } catch (const PyErrorSet&) {
        add_argument_note("encoding");
        throw;
    }
    if (text != "label") {
        raise(PyExc_ValueError, std::string(text) + " is not a supported encoding strategy for strings!");
    }
    return EncodingStrategy::Label;
}

PyObject* encoder_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* bound[1];
        bind_tuple(kNewSpec, args, kwargs, bound);
        const EncodingStrategy strategy = strategy_from(bound[0]);
        PyObject* self = require(cls->tp_alloc(cls, 0));
        auto* object = reinterpret_cast<EncoderObject*>(self);
        new (&object->fields) EncoderFields{};
        object->fields.state.encoding_strat = strategy;
        return self;
    });
}

void encoder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<EncoderObject*>(self)->fields.~EncoderFields();
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyMethodDef kMethods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_encode)),
     METH_FASTCALL | METH_KEYWORDS, "encode($self, obj)\n--\n\n"},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_decode)),
     METH_FASTCALL | METH_KEYWORDS, "decode($self, obj)\n--\n\n"},
    {"__getstate__", encoder_getstate, METH_NOARGS, "__getstate__($self)\n--\n\n"},
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_setstate)),
     METH_FASTCALL | METH_KEYWORDS, "__setstate__($self, state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Encoder(encoding=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(encoder_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec{
    "quorvel.Encoder",
    static_cast<int>(sizeof(EncoderObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* encoder_type() {
    static PyObject* type = nullptr;  // lives for the rest of the process
    if (type == nullptr) type = PyType_FromSpec(&kSpec);
    return type;
}

}  // namespace quorvel::py
