// The module entry: creates the classes and functions and nothing else.
#include "python/py_ref.hpp"

#include <cstdint>

#include "python/barrier.hpp"
#include "python/cancellation.hpp"
#include "python/checked_points.hpp"
#include "python/errors.hpp"
#include "python/objects.hpp"

namespace kelvara::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kelvara._core",
    "",
    0,  // not -1: a repeated initialisation must reach PyInit__core to check the interpreter
    compose_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module belongs to the first interpreter that initialises it; its
// static types cannot be shared with another.
PyObject* the_module = nullptr;
std::int64_t owner_interpreter = -1;

// Adds `value` under `name` and appends the name to __all__.
bool export_name(PyObject* module, PyObject* all, const char* name, PyObject* value) {
    if (PyModule_AddObjectRef(module, name, value) < 0) return false;
    Ref text(PyUnicode_FromString(name));
    return text && PyList_Append(all, text.get()) == 0;
}

PyObject* create_module() {
    Ref module(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
    PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED);
#endif
    if (!create_panic_exception_type() || !ready_element_types() || !ready_circuit_type() ||
        !ready_fit_result_type() || !ready_checked_spectrum_type()) {
        return nullptr;
    }
    Ref all(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
    auto as_object = [](PyTypeObject* type) { return reinterpret_cast<PyObject*>(type); };
    if (!export_name(module.get(), all.get(), "Element", as_object(&ElementType)) ||
        !export_name(module.get(), all.get(), "Circuit", as_object(&CircuitType)) ||
        !export_name(module.get(), all.get(), "FitResult", as_object(&FitResultType))) {
        return nullptr;
    }
    for (const char* function : {"Series", "Parallel"}) {
        Ref callable(PyObject_GetAttrString(module.get(), function));
        if (!callable || PyList_Append(all.get(), Ref(PyUnicode_FromString(function)).get()) < 0) return nullptr;
    }
    for (std::size_t i = 0; i < kind_count; ++i) {
        const std::string name(kind_info(kind_at(i)).canonical_code);
        if (!export_name(module.get(), all.get(), name.c_str(), as_object(element_variant_type(kind_at(i))))) {
            return nullptr;
        }
    }
    if (PyModule_AddFunctions(module.get(), pickle_functions) < 0) return nullptr;
    if (PyModule_AddFunctions(module.get(), candidate_functions) < 0) return nullptr;
    if (PyModule_AddFunctions(module.get(), reduce_functions) < 0) return nullptr;
    if (PyModule_AddFunctions(module.get(), joint_fit_functions) < 0) return nullptr;
    if (PyModule_AddFunctions(module.get(), element_functions) < 0) return nullptr;
    if (PyModule_AddFunctions(module.get(), fit_functions) < 0) return nullptr;
    if (PyModule_AddFunctions(module.get(), drt_functions) < 0) return nullptr;
    if (PyModule_AddFunctions(module.get(), diagnostics_functions) < 0) return nullptr;
    if (PyModule_AddFunctions(module.get(), spectrum_functions) < 0) return nullptr;
    if (PyModule_AddFunctions(module.get(), checked_spectrum_functions) < 0) return nullptr;
    Ref columns(column_names());
    if (!columns || PyModule_AddObjectRef(module.get(), "_COLUMNS", columns.get()) < 0) return nullptr;
    if (PyModule_AddFunctions(module.get(), kramers_kronig_functions) < 0) return nullptr;
    if (PyModule_AddFunctions(module.get(), cancellation_functions) < 0) return nullptr;
    // Not in __all__: callers catch it by name when they need to.
    if (PyModule_AddObjectRef(module.get(), "PanicException", panic_exception_type()) < 0) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace kelvara::py

// Imported as kelvara._core by the package kelvara, which re-exports it.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core() {
    using namespace kelvara::py;
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (the_module != nullptr) {
        if (interpreter != owner_interpreter) {
            PyErr_SetString(PyExc_ImportError,
                            "kelvara can be imported by one interpreter per process only; it is already "
                            "loaded in another interpreter");
            return nullptr;
        }
        return Py_NewRef(the_module);
    }
    PyObject* module = guarded<create_module>();
    if (module == nullptr) return nullptr;
    the_module = Py_NewRef(module);  // kept for the life of the process
    owner_interpreter = interpreter;
    return module;
}
