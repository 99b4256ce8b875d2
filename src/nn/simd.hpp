// Which vector code the inference kernels may run on this processor. The
// kernels come in an AVX2 + FMA version and a portable one; the choice is
// made once per process from the processor's (and OS's) reported support.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KELVARA_NN_X86 1
#define KELVARA_NN_AVX2 __attribute__((target("avx2,fma")))
#else
#define KELVARA_NN_X86 0
#define KELVARA_NN_AVX2
#endif

namespace kelvara {

bool use_avx2_fma();

}  // namespace kelvara
