#include "python/convert.hpp"

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "python/errors.hpp"

namespace kelvara::py {
namespace {

// A one-dimensional buffer of a native numeric type, read without a Python
// call per item.
class NumericBuffer {
public:
    explicit NumericBuffer(PyObject* object) {
        if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object) ||
            !PyObject_CheckBuffer(object)) {
            return;
        }
        if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) != 0) {
            failed_ = !clear_not_numeric();
            return;
        }
        held_ = true;
        if (view_.ndim != 1 || view_.format == nullptr) return;
        const char* format = view_.format;
        if (*format == '@' || *format == '=' || (*format == '<' && little_endian())) ++format;
        code_ = format;
        usable_ = is_real(code_) || is_complex(code_);
    }
    NumericBuffer(const NumericBuffer&) = delete;
    NumericBuffer& operator=(const NumericBuffer&) = delete;
    ~NumericBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool held() const { return held_; }
    // The buffer request raised something other than "no buffer here"; it is still set.
    bool failed() const { return failed_; }
    int ndim() const { return view_.ndim; }
    bool usable() const { return usable_; }
    bool complex_items() const { return is_complex(code_); }
    Py_ssize_t size() const { return view_.shape[0]; }

    // Copies every item into `out` (reals only when `T` is double), with one
    // format dispatch for the whole buffer.
    template <class T>
    void copy_to(std::vector<T>& out) const {
        out.resize(static_cast<std::size_t>(size()));
        switch (code_[0]) {
            case 'd': return copy_as<double>(out);
            case 'f': return copy_as<float>(out);
            case '?': return copy_as<bool>(out);
            case 'b': return copy_as<signed char>(out);
            case 'B': return copy_as<unsigned char>(out);
            case 'h': return copy_as<short>(out);
            case 'H': return copy_as<unsigned short>(out);
            case 'i': return copy_as<int>(out);
            case 'I': return copy_as<unsigned int>(out);
            case 'l': return copy_as<long>(out);
            case 'L': return copy_as<unsigned long>(out);
            case 'q': return copy_as<long long>(out);
            case 'Q': return copy_as<unsigned long long>(out);
            case 'n': return copy_as<Py_ssize_t>(out);
            case 'N': return copy_as<std::size_t>(out);
            case 'Z':
                if constexpr (std::is_same_v<T, Complex>) {
                    return code_[1] == 'd' ? copy_complex_as<double>(out) : copy_complex_as<float>(out);
                }
                return;
            default: return;
        }
    }

    static bool native_little() { return little_endian(); }

private:
    static bool little_endian() {
        const std::uint16_t probe = 1;
        unsigned char first;
        std::memcpy(&first, &probe, 1);
        return first == 1;
    }
    static bool is_real(const std::string& c) {
        return c == "d" || c == "f" || c == "?" || c == "b" || c == "B" || c == "h" || c == "H" || c == "i" ||
               c == "I" || c == "l" || c == "L" || c == "q" || c == "Q" || c == "n" || c == "N";
    }
    static bool is_complex(const std::string& c) { return c == "Zd" || c == "Zf"; }

    template <class S>
    static double load(const char* at) {
        S value;
        std::memcpy(&value, at, sizeof value);
        return static_cast<double>(value);
    }

    template <class S, class T>
    void copy_as(std::vector<T>& out) const {
        const char* base = static_cast<const char*>(view_.buf);
        const Py_ssize_t stride = view_.strides[0];
        for (std::size_t i = 0; i < out.size(); ++i) {
            const double value = load<S>(base + static_cast<Py_ssize_t>(i) * stride);
            if constexpr (std::is_same_v<T, Complex>) {
                out[i] = Complex{value, 0.0};
            } else {
                out[i] = value;
            }
        }
    }

    template <class S>
    void copy_complex_as(std::vector<Complex>& out) const {
        const char* base = static_cast<const char*>(view_.buf);
        const Py_ssize_t stride = view_.strides[0];
        for (std::size_t i = 0; i < out.size(); ++i) {
            const char* at = base + static_cast<Py_ssize_t>(i) * stride;
            out[i] = Complex{load<S>(at), load<S>(at + sizeof(S))};
        }
    }

    Py_buffer view_{};
    bool held_ = false;
    bool failed_ = false;
    bool usable_ = false;
    std::string code_;
};

bool check_sequence(PyObject* object) {
    if (PyUnicode_Check(object)) {
        raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    // Bytes are sequences of small integers, never measured data.
    if (PyBytes_Check(object) || PyByteArray_Check(object) || !PySequence_Check(object)) {
        raise_cannot_convert(object, "Sequence");
        return false;
    }
    return true;
}

// Applies `convert` to every item of a sequence, in order.
template <class T, class Convert>
bool convert_items(PyObject* object, std::vector<T>& out, Convert&& convert) {
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(object);
        out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            // A list may shrink while an item's conversion runs Python code.
            if (i >= PySequence_Fast_GET_SIZE(object)) break;
            Ref item = Ref::borrowed(PySequence_Fast_GET_ITEM(object, i));
            T value;
            if (!convert(item.get(), value)) return false;
            out.push_back(value);
        }
        return true;
    }
    const Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) return false;
    out.reserve(static_cast<std::size_t>(hint));
    Ref iterator(PyObject_GetIter(object));
    if (!iterator) return false;
    while (Ref item{PyIter_Next(iterator.get())}) {
        T value;
        if (!convert(item.get(), value)) return false;
        out.push_back(value);
    }
    return !PyErr_Occurred();
}

bool item_to_double(PyObject* item, double& out) {
    out = PyFloat_AsDouble(item);
    return !(out == -1.0 && PyErr_Occurred());
}

bool item_to_complex(PyObject* item, Complex& out) {
    const Py_complex value = PyComplex_AsCComplex(item);
    if (value.real == -1.0 && PyErr_Occurred()) return false;
    out = {value.real, value.imag};
    return true;
}

}  // namespace

namespace {

bool reject_dimensions(int ndim) {
    PyErr_Format(PyExc_TypeError, "expected a one-dimensional sequence, got an array of %d dimensions", ndim);
    return false;
}

// NumPy-like objects that are not buffers of a native type (pandas and
// polars columns, float16 or long double arrays): one vectorised conversion
// to float64 or complex128, which widens or rounds each item exactly as its
// own float()/complex() would. Empty when the object is not array-like or
// its items are not numbers (those take the item path).
Ref as_native_array(PyObject* object, bool complex_target) {
    if (PyList_Check(object) || PyTuple_Check(object) || !PyObject_HasAttrString(object, "__array__")) return Ref();
    // A failure that only says "not a numeric array" leaves the item path;
    // anything else stays set for the caller to report.
    Ref array(PyObject_CallMethod(object, "__array__", nullptr));
    if (!array) {
        clear_not_numeric();
        return Ref();
    }
    Ref dtype(PyObject_GetAttrString(array.get(), "dtype"));
    Ref kind(dtype ? PyObject_GetAttrString(dtype.get(), "kind") : nullptr);
    if (!kind || !PyUnicode_Check(kind.get())) {
        if (PyErr_Occurred()) clear_missing_key();
        return Ref();
    }
    const char* kind_text = PyUnicode_AsUTF8(kind.get());
    if (kind_text == nullptr) {
        clear_not_numeric();
        return Ref();
    }
    const std::string code = kind_text;
    const bool real = code == "b" || code == "i" || code == "u" || code == "f";
    if (!real && !(complex_target && code == "c")) return Ref();
    Ref converted(PyObject_CallMethod(array.get(), "astype", "s", complex_target ? "complex128" : "float64"));
    if (!converted) clear_not_numeric();
    return converted;
}

template <class T>
bool convert_sequence(PyObject* object, std::vector<T>& out) {
    constexpr bool complex_target = std::is_same_v<T, Complex>;
    out.clear();
    if (!check_sequence(object)) return false;
    {
        const NumericBuffer buffer(object);
        if (buffer.failed()) return false;
        if (buffer.held() && buffer.ndim() != 1) return reject_dimensions(buffer.ndim());
        if (buffer.usable() && (complex_target || !buffer.complex_items())) {
            buffer.copy_to(out);
            return true;
        }
    }
    Ref array = as_native_array(object, complex_target);
    if (PyErr_Occurred()) return false;
    if (array) {
        const NumericBuffer buffer(array.get());
        if (buffer.failed()) return false;
        if (buffer.held() && buffer.ndim() != 1) return reject_dimensions(buffer.ndim());
        if (buffer.usable() && (complex_target || !buffer.complex_items())) {
            buffer.copy_to(out);
            return true;
        }
    }
    if constexpr (complex_target) {
        return convert_items(object, out, item_to_complex);
    } else {
        return convert_items(object, out, item_to_double);
    }
}

}  // namespace

bool to_double_vector(PyObject* object, std::vector<double>& out) { return convert_sequence(object, out); }

namespace {

// A contiguous, aligned one-dimensional buffer whose items are exactly T
// ("d" for double, "Zd" for complex): taken over by `out` without a copy.
template <class T>
bool try_view(PyObject* object, NumberArray<T>& out) {
    if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object) ||
        !PyObject_CheckBuffer(object)) {
        return false;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) != 0) {
        clear_not_numeric();  // anything else stays set; to_array checks
        return false;
    }
    std::string format = view.format ? view.format : "B";
    if (!format.empty() && (format[0] == '@' || format[0] == '=' || (format[0] == '<' && NumericBuffer::native_little()))) {
        format.erase(0, 1);
    }
    const bool exact = std::is_same_v<T, Complex> ? format == "Zd" : format == "d";
    const bool fits = view.ndim == 1 && exact && view.strides[0] == static_cast<Py_ssize_t>(sizeof(T)) &&
                      reinterpret_cast<std::uintptr_t>(view.buf) % alignof(double) == 0;
    if (!fits) {
        PyBuffer_Release(&view);
        return false;
    }
    out.hold(view);
    return true;
}

template <class T>
bool to_array(PyObject* object, NumberArray<T>& out) {
    if (!check_sequence(object)) return false;
    if (try_view(object, out)) return true;
    if (PyErr_Occurred()) return false;
    std::vector<T> values;
    if (!convert_sequence(object, values)) return false;
    out.own(std::move(values));
    return true;
}

}  // namespace

bool to_double_array(PyObject* object, NumberArray<double>& out) { return to_array(object, out); }

bool to_complex_array(PyObject* object, NumberArray<Complex>& out) { return to_array(object, out); }

bool to_complex_vector(PyObject* object, std::vector<Complex>& out) { return convert_sequence(object, out); }

bool to_utf8(PyObject* object, std::string& out) {
    if (!PyUnicode_Check(object)) {
        raise_cannot_convert(object, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

PyObject* to_str(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* to_float_list(std::span<const double> values) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* to_str_list(const std::vector<std::string>& texts) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyObject* item = to_str(texts[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace kelvara::py
