#include "python/convert.hpp"

#include <cstdint>
#include <cstring>

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
            PyErr_Clear();
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

    bool usable() const { return usable_; }
    bool complex_items() const { return is_complex(code_); }
    Py_ssize_t size() const { return view_.shape[0]; }

    Complex item(Py_ssize_t i) const {
        const char* at = static_cast<const char*>(view_.buf) + i * view_.strides[0];
        if (code_ == "Zd") return {load<double>(at), load<double>(at + sizeof(double))};
        if (code_ == "Zf") return {load<float>(at), load<float>(at + sizeof(float))};
        return {real_item(at), 0.0};
    }

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

    template <class T>
    static double load(const char* at) {
        T value;
        std::memcpy(&value, at, sizeof value);
        return static_cast<double>(value);
    }

    double real_item(const char* at) const {
        switch (code_[0]) {
            case 'd': return load<double>(at);
            case 'f': return load<float>(at);
            case '?': return load<bool>(at);
            case 'b': return load<signed char>(at);
            case 'B': return load<unsigned char>(at);
            case 'h': return load<short>(at);
            case 'H': return load<unsigned short>(at);
            case 'i': return load<int>(at);
            case 'I': return load<unsigned int>(at);
            case 'l': return load<long>(at);
            case 'L': return load<unsigned long>(at);
            case 'q': return load<long long>(at);
            case 'Q': return load<unsigned long long>(at);
            case 'n': return load<Py_ssize_t>(at);
            case 'N': return load<std::size_t>(at);
            default: return 0.0;
        }
    }

    Py_buffer view_{};
    bool held_ = false;
    bool usable_ = false;
    std::string code_;
};

bool check_sequence(PyObject* object) {
    if (PyUnicode_Check(object)) {
        raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) {
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

bool to_double_vector(PyObject* object, std::vector<double>& out) {
    out.clear();
    if (!check_sequence(object)) return false;
    {
        const NumericBuffer buffer(object);
        if (buffer.usable() && !buffer.complex_items()) {
            out.resize(static_cast<std::size_t>(buffer.size()));
            for (Py_ssize_t i = 0; i < buffer.size(); ++i) out[static_cast<std::size_t>(i)] = buffer.item(i).re;
            return true;
        }
    }
    return convert_items(object, out, item_to_double);
}

bool to_complex_vector(PyObject* object, std::vector<Complex>& out) {
    out.clear();
    if (!check_sequence(object)) return false;
    {
        const NumericBuffer buffer(object);
        if (buffer.usable()) {
            out.resize(static_cast<std::size_t>(buffer.size()));
            for (Py_ssize_t i = 0; i < buffer.size(); ++i) out[static_cast<std::size_t>(i)] = buffer.item(i);
            return true;
        }
    }
    return convert_items(object, out, item_to_complex);
}

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
