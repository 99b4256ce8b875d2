// NumPy arrays for results. NumPy's C API is imported on first use, not at
// module import.
#pragma once

#include "python/py_ref.hpp"

#include <cstddef>
#include <cstdint>

#include "elements/complex.hpp"

namespace kelvara::py {

// A new one-dimensional complex128 array of `n` elements that owns its
// storage; `data` points at its first element. nullptr with an exception on failure.
PyObject* new_complex_array(std::size_t n, Complex*& data);

// The same for float64.
PyObject* new_float_array(std::size_t n, double*& data);
// The same for NumPy's index type (intp).
PyObject* new_index_array(std::size_t n, std::intptr_t*& data);

}  // namespace kelvara::py
