#include "nn/simd.hpp"

namespace kelvara {

bool use_avx2_fma() {
#if KELVARA_NN_X86
    // Reads the cpuid results cached by the runtime (which also checks that
    // the OS saves the wide registers); static: asked once per process.
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }();
    return supported;
#else
    return false;
#endif
}

}  // namespace kelvara
