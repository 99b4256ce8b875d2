// FitResult: the outcome of Circuit.fit(), created only by the module.
#include "python/objects.hpp"

namespace kelvara::py {

PyTypeObject FitResultType = [] {
    PyTypeObject type = new_static_type();
    type.tp_name = "kelvara.FitResult";
    type.tp_basicsize = sizeof(PyObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_new = no_constructor;
    return type;
}();

bool ready_fit_result_type() { return PyType_Ready(&FitResultType) >= 0; }

}  // namespace kelvara::py
