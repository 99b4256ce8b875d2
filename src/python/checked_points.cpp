#include "python/checked_points.hpp"

#include <cstring>
#include <new>
#include <utility>

#include "python/arguments.hpp"
#include "python/barrier.hpp"
#include "python/errors.hpp"
#include "python/measured_data.hpp"
#include "python/numpy_array.hpp"
#include "python/objects.hpp"
#include "python/py_ref.hpp"

namespace kelvara::py {
namespace {

struct CheckedObject {
    PyObject_HEAD
    MeasuredSpectrum spectrum;  // immutable after construction
    PyObject* frequencies;      // float64 copies of the points, for Python
    PyObject* impedances;       // complex128
};

PyTypeObject CheckedSpectrumType = new_static_type();

void checked_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<CheckedObject*>(self);
    Py_XDECREF(object->frequencies);
    Py_XDECREF(object->impedances);
    object->spectrum.~MeasuredSpectrum();
    Py_TYPE(self)->tp_free(self);
}

PyObject* frequencies_of(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<CheckedObject*>(self)->frequencies); }
PyObject* impedances_of(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<CheckedObject*>(self)->impedances); }

PyGetSetDef checked_getset[] = {
    {"frequencies", frequencies_of, nullptr, nullptr, nullptr},
    {"impedances", impedances_of, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// _checked(frequencies, impedances=None): the spectrum in any form a fit
// takes, refused as a fit refuses a point no logarithm or weight can use.
PyObject* checked_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"frequencies", "impedances"};
    PyObject* bound[2] = {};
    if (!bind_arguments({"_checked", names, 1}, args, nargs, kwnames, bound)) return nullptr;
    MeasuredSpectrum spectrum;
    if (!read_measured(bound[0], bound[1], spectrum)) return nullptr;
    if (spectrum.unusable()) return raise(PyExc_ValueError, *spectrum.unusable());
    double* f_data = nullptr;
    Complex* z_data = nullptr;
    Ref f(new_float_array(spectrum.size(), f_data));
    Ref z(f ? new_complex_array(spectrum.size(), z_data) : nullptr);
    if (!z) return nullptr;
    if (!spectrum.empty()) {
        std::memcpy(f_data, spectrum.frequencies_hz().data(), spectrum.size() * sizeof(double));
        std::memcpy(static_cast<void*>(z_data), spectrum.impedances().data(), spectrum.size() * sizeof(Complex));
    }
    PyObject* self = CheckedSpectrumType.tp_alloc(&CheckedSpectrumType, 0);
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<CheckedObject*>(self);
    new (&object->spectrum) MeasuredSpectrum(std::move(spectrum));
    object->frequencies = f.release();
    object->impedances = z.release();
    return self;
}

}  // namespace

const MeasuredSpectrum* checked_spectrum(PyObject* object) {
    if (object == nullptr || !PyObject_TypeCheck(object, &CheckedSpectrumType)) return nullptr;
    return &reinterpret_cast<CheckedObject*>(object)->spectrum;
}

bool ready_checked_spectrum_type() {
    CheckedSpectrumType.tp_name = "kelvara._core._Checked";
    CheckedSpectrumType.tp_basicsize = sizeof(CheckedObject);
    CheckedSpectrumType.tp_flags = Py_TPFLAGS_DEFAULT;
    CheckedSpectrumType.tp_doc = "A spectrum read and checked once (kelvara._core._checked).";
    CheckedSpectrumType.tp_new = no_constructor;
    CheckedSpectrumType.tp_dealloc = checked_dealloc;
    CheckedSpectrumType.tp_getset = checked_getset;
    return PyType_Ready(&CheckedSpectrumType) >= 0;
}

PyMethodDef checked_spectrum_functions[] = {
    {"_checked", guarded_method<checked_function>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kelvara::py
