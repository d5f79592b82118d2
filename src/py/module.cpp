// The module `quorvel`: its definition, initialisation step and entry points.
#include <Python.h>

#include "capi/errors.hpp"
#include "core/fault.hpp"
#include "py/encoder.hpp"
#include "py/fault_guard.hpp"

namespace quorvel::py {
namespace {

constexpr const char* kModuleDoc = "A label encoder for the text columns of tables, implemented natively.";

// Adds "Encoder" to the module's __all__, creating the list if the module has none.
void export_name(PyObject* module) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
        PyErr_Clear();
        all = checked(PyList_New(0));
        require_ok(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    Ref name = checked(PyUnicode_FromString("Encoder"));
    if (!PyList_Check(all.get()) || PyList_Append(all.get(), name.get()) != 0) {
        fault("could not append to the module's __all__");
    }
}

int exec_module(PyObject* module) {
    return guarded<int>(-1, [&] {
        if (!PyModule_Check(module)) raise_type_mismatch(module, "module");
        PyObject* type = require(encoder_type());
        export_name(module);
        require_ok(PyObject_SetAttrString(module, "Encoder", type));
        return 0;
    });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "quorvel",
    kModuleDoc,
    0,        // no per-module state
    nullptr,  // no module-level functions
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorvel::py

extern "C" PyMODINIT_FUNC PyInit_quorvel() { return PyModuleDef_Init(&quorvel::py::kModule); }

#if defined(Py_mod_abi) && defined(Py_mod_name) && defined(PyABIInfo_VAR)
// Slot-based export, offered by interpreters that support it: the same initialisation
// step, described by a static slot array instead of a module definition.
PyABIInfo_VAR(quorvel_abi_info);

static PyModuleDef_Slot quorvel_export_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(quorvel::py::exec_module)},
    {Py_mod_abi, &quorvel_abi_info},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {Py_mod_name, const_cast<char*>("quorvel")},
    {Py_mod_doc, const_cast<char*>(quorvel::py::kModuleDoc)},
    {0, nullptr},
};

extern "C" PyMODEXPORT_FUNC PyModExport_quorvel() { return quorvel_export_slots; }
#endif
