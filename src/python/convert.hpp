// Python objects to the core's records and back. Each converter returns
// false with a Python exception set on failure.
#pragma once

#include "python/py_ref.hpp"

#include <span>
#include <string>
#include <vector>

#include "elements/complex.hpp"

namespace kelvara::py {

// A sequence other than str whose items convert through __float__ or
// __index__. One-dimensional buffers of native numbers (NumPy arrays,
// array.array) are read directly, with the same values as the item path.
bool to_double_vector(PyObject* object, std::vector<double>& out);

// As above with each item converted like complex(): a complex as is, else
// __complex__, else its float value.
bool to_complex_vector(PyObject* object, std::vector<Complex>& out);

// A str (or subclass) as UTF-8; anything else is a TypeError naming 'PyString'.
bool to_utf8(PyObject* object, std::string& out);

PyObject* to_str(std::string_view text);
PyObject* to_float_list(std::span<const double> values);
PyObject* to_str_list(const std::vector<std::string>& texts);

}  // namespace kelvara::py
