// Loops built twice on x86-64 by GCC: for the baseline and for
// AVX2, chosen at run time by the processor. The same operations run in
// wider registers with three operands and no fused multiply-add, so every
// result is the same bit for bit on either. Elsewhere they are built once.
// TAPEDECODER_INTO_CLONE marks a helper inlined into each clone, so that it
// too is built for both.
#ifndef TAPEDECODER_BASE_VECTOR_CLONES_H_
#define TAPEDECODER_BASE_VECTOR_CLONES_H_

// Not under ThreadSanitizer: the resolvers that choose a clone run while
// the program is loaded, before its runtime is ready, and crash there.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define TAPEDECODER_AVX2_CLONE __attribute__((target_clones("avx2", "default")))
#define TAPEDECODER_INTO_CLONE __attribute__((always_inline))
#else
#define TAPEDECODER_AVX2_CLONE
#define TAPEDECODER_INTO_CLONE
#endif

// SSE2 intrinsics (every x86-64) where the processor has them; the scalar
// loops beside them give the same results elsewhere.
#if defined(__SSE2__)
#define TAPEDECODER_HAVE_SSE2 1
#include <emmintrin.h>
#else
#define TAPEDECODER_HAVE_SSE2 0
#endif

#endif  // TAPEDECODER_BASE_VECTOR_CLONES_H_
