// The module `quorvel_ml._native`: its definition and entry point.
#include <Python.h>

#include "capi/errors.hpp"
#include "ml/functions.hpp"
#include "py/fault_guard.hpp"

namespace quorvel::ml {
namespace {

int exec_module(PyObject* module) {
    return py::guarded<int>(-1, [&] {
        PyObject* type = py::require(learner_type());
        py::require_ok(PyModule_AddObjectRef(module, "Learner", type));
        return 0;
    });
}

PyMethodDef kFunctions[] = {
    {"apply", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(apply)), METH_FASTCALL,
     "apply(encoder, obj, raise_unknown, fill, text_before)\n--\n\n"},
    {"categories", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(categories)), METH_FASTCALL,
     "categories(encoder)\n--\n\n"},
    {"decode_column", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_column)), METH_FASTCALL,
     "decode_column(encoder, column, codes)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "quorvel_ml._native",
    "Native part of quorvel_ml: applying learned encodings and learning from chunks.",
    0,
    kFunctions,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorvel::ml

extern "C" PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&quorvel::ml::kModule); }
