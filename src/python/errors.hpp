// Raising exceptions with the module's message conventions.
#pragma once

#include "python/py_ref.hpp"

#include <string>
#include <string_view>

namespace kelvara::py {

// The module's PanicException class (a BaseException subclass) for internal
// invariant violations; created at module initialisation.
PyObject* panic_exception_type();
bool create_panic_exception_type();

// All return nullptr so a caller can `return raise_...(...)`.
std::nullptr_t raise(PyObject* type, std::string_view message);
std::nullptr_t raise_panic(std::string_view message);

// "'{type}' object cannot be converted to '{target}'" as a TypeError.
std::nullptr_t raise_cannot_convert(PyObject* object, std::string_view target);

// When the pending exception is exactly TypeError, replaces it with
// TypeError "argument '{name}': {message}" whose cause is the original.
// Other exceptions stay as they are.
void prefix_argument_error(std::string_view name);

// The type's name as Python shows it (tp_name without its module).
std::string type_name(PyObject* object);

}  // namespace kelvara::py
