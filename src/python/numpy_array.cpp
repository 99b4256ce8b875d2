#include "python/numpy_array.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL kelvara_ARRAY_API
#include <numpy/arrayobject.h>

namespace kelvara::py {
namespace {

bool numpy_ready = false;  // only touched with the interpreter held

bool ensure_numpy() {
    if (numpy_ready) return true;
    if (_import_array() < 0) return false;
    numpy_ready = true;
    return true;
}

}  // namespace

namespace {

// A new one-dimensional array of n items of `type` and its data.
PyObject* new_array(std::size_t n, int type, void*& data) {
    if (!ensure_numpy()) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    PyObject* array = PyArray_SimpleNew(1, dims, type);
    if (array == nullptr) return nullptr;
    data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(array));
    return array;
}

}  // namespace

PyObject* new_complex_array(std::size_t n, Complex*& data) {
    static_assert(sizeof(Complex) == 2 * sizeof(double), "Complex must match complex128's layout");
    void* raw = nullptr;
    PyObject* array = new_array(n, NPY_COMPLEX128, raw);
    data = static_cast<Complex*>(raw);
    return array;
}

PyObject* new_float_array(std::size_t n, double*& data) {
    void* raw = nullptr;
    PyObject* array = new_array(n, NPY_FLOAT64, raw);
    data = static_cast<double*>(raw);
    return array;
}

PyObject* new_index_array(std::size_t n, std::intptr_t*& data) {
    static_assert(sizeof(npy_intp) == sizeof(std::intptr_t), "intp must be a pointer-sized integer");
    void* raw = nullptr;
    PyObject* array = new_array(n, NPY_INTP, raw);
    data = static_cast<std::intptr_t*>(raw);
    return array;
}

}  // namespace kelvara::py
