#pragma once
// Which build of a vector loop this process runs on x86-64: the widest of AVX-512 (F, DQ, VL, with
// 512-bit registers), AVX2 (with fused multiply-add) and the baseline (SSE2) that the processor has
// and the operating system saves on a thread switch, capped by OSTRILO_SIMD ("baseline", "avx2"
// or "avx512"; anything else, or nothing, means the widest). Read once, by the same code under
// every compiler (the compilers' __builtin_cpu_supports needs their run-time library, which a
// Windows build with clang-cl does not link). Every loop build gives the same bits; the choice
// only decides speed, and the tests use the cap to check each build.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define DREVAN_VECTOR_BUILDS 1

namespace drevan::cpu {

enum class VectorBuild { baseline, avx2, avx512 };

// The build this process runs (decided on the first call).
VectorBuild vector_build() noexcept;

}  // namespace drevan::cpu
#endif
