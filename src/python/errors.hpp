// Raising exceptions with the module's message conventions.
#pragma once

#include "python/py_ref.hpp"

#include <initializer_list>
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

// Clears the pending exception when it is one of `kinds`, the answers that
// mean "absent" or "not of this form" at the call site, and returns true.
// Anything else (KeyboardInterrupt, MemoryError, an error raised by the
// caller's own code) stays set, and the result is false.
bool clear_if_one_of(std::initializer_list<PyObject*> kinds);

// What a failed item lookup frame[key] may mean when the key is simply not
// there: any Exception but MemoryError. KeyboardInterrupt and SystemExit
// (not Exceptions) stay set.
bool clear_missing_key();

// What a failed conversion of a value to numbers raises: TypeError,
// ValueError, OverflowError, BufferError.
bool clear_not_numeric();

// The type's name as Python shows it (tp_name without its module).
std::string type_name(PyObject* object);

}  // namespace kelvara::py
