// The one place where C++ exceptions become Python exceptions. The core
// reports its errors as values; what can still throw is the standard library
// (std::bad_alloc above all). Every function the interpreter calls is wrapped
// by `guarded<f>`, so that no exception unwinds into the interpreter's C
// frames: std::bad_alloc becomes MemoryError, anything else PanicException.
#pragma once

#include "python/py_ref.hpp"

#include <new>
#include <type_traits>

#include "python/errors.hpp"

namespace kelvara::py {

// Sets the Python exception for the C++ exception being handled.
void raise_current_exception() noexcept;

template <auto F>
struct Guarded;

template <class R, class... A, R (*F)(A...)>
struct Guarded<F> {
    static R call(A... args) noexcept {
        try {
            return F(args...);
        } catch (...) {
            raise_current_exception();
            if constexpr (std::is_pointer_v<R>) {
                return nullptr;
            } else if constexpr (!std::is_void_v<R>) {
                return R(-1);
            }
        }
    }
};

// `guarded<f>` has f's own signature.
template <auto F>
inline constexpr auto guarded = &Guarded<F>::call;

// For method tables, which store every entry as PyCFunction.
template <auto F>
PyCFunction guarded_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<F>));
}

}  // namespace kelvara::py
