// Binding of call arguments to parameter names, by position or keyword,
// with the interpreter's usual messages for missing, repeated or unknown ones.
#pragma once

#include "python/py_ref.hpp"

#include <array>
#include <span>
#include <cstddef>
#include <string_view>

namespace kelvara::py {

struct Signature {
    const char* function;  // for messages: "{function}() missing required argument ..."
    std::span<const char* const> names;
    std::size_t required;  // the first `required` names have no default
};

// Vectorcall form. `bound` receives borrowed references, nullptr where an
// optional argument was not given. Returns false with TypeError set.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> bound);

// Tuple-and-dict form (constructors).
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound);

}  // namespace kelvara::py
