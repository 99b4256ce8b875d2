// Python objects to the core's records and back. Each converter returns
// false with a Python exception set on failure.
#pragma once

#include "python/py_ref.hpp"

#include <span>
#include <string>
#include <vector>
#include <cstdint>

#include "elements/complex.hpp"

namespace kelvara::py {

// A sequence other than str whose items convert through __float__ or
// __index__. One-dimensional buffers of native numbers (NumPy arrays,
// array.array) are read directly, with the same values as the item path.
bool to_double_vector(PyObject* object, std::vector<double>& out);

// As above with each item converted like complex(): a complex as is, else
// __complex__, else its float value.
bool to_complex_vector(PyObject* object, std::vector<Complex>& out);

// Numbers read from Python: a view of the caller's own memory when it is
// already a contiguous buffer of float64 (complex128), otherwise an owned
// copy. The view keeps the buffer exported (so the array cannot be resized)
// until the holder goes away. Never written through.
template <class T>
class NumberArray {
public:
    NumberArray() = default;
    NumberArray(const NumberArray&) = delete;
    NumberArray& operator=(const NumberArray&) = delete;
    ~NumberArray() { release(); }

    std::span<const T> view() const { return held_ ? view_ : std::span<const T>(owned_); }
    std::size_t size() const { return view().size(); }
    std::vector<T> to_vector() const { return std::vector<T>(view().begin(), view().end()); }

    void own(std::vector<T> values) {
        release();
        owned_ = std::move(values);
    }
    // Takes over an exported buffer whose items are laid out as T.
    void hold(Py_buffer& buffer) {
        release();
        buffer_ = buffer;
        held_ = true;
        view_ = std::span<const T>(static_cast<const T*>(buffer_.buf), static_cast<std::size_t>(buffer_.shape[0]));
    }

private:
    void release() {
        if (held_) PyBuffer_Release(&buffer_);
        held_ = false;
    }

    std::vector<T> owned_;
    Py_buffer buffer_{};
    bool held_ = false;
    std::span<const T> view_;
};

// As to_double_vector / to_complex_vector, without a copy where possible.
bool to_double_array(PyObject* object, NumberArray<double>& out);
bool to_complex_array(PyObject* object, NumberArray<Complex>& out);

// A str (or subclass) as UTF-8; anything else is a TypeError naming 'PyString'.
bool to_utf8(PyObject* object, std::string& out);

PyObject* to_str(std::string_view text);
PyObject* to_float_list(std::span<const double> values);
PyObject* to_str_list(const std::vector<std::string>& texts);

}  // namespace kelvara::py
