#pragma once
// Vectors of doubles for the functions that take several arguments at once (trig.cpp, atan.cpp):
// GCC and clang vector extensions, N lanes, every operation an IEEE operation on each lane alone.
// Two lanes are SSE2 on x86-64 (one instruction per lane elsewhere); four are built only inside
// functions compiled for AVX2, which run where the processor has it (avx2()). (Eight lanes on
// AVX-512 were tried: the same bits, but twice as slow as four on a Xeon of 2023, the selections
// going through mask registers and back.)
#include <bit>

#include "drevan/cpu.hpp"

namespace drevan::lanes {

// A size that depends on a template parameter is not taken, hence one specialisation per width.
template <int N>
struct VectorOf;
template <>
struct VectorOf<2> {
    using V = double __attribute__((vector_size(16)));
    using M = long long __attribute__((vector_size(16)));
};
template <>
struct VectorOf<4> {
    using V = double __attribute__((vector_size(32)));
    using M = long long __attribute__((vector_size(32)));
};

#ifdef DREVAN_VECTOR_BUILDS
#define DREVAN_LANES_AVX2 1
// Whether this process runs the AVX2 build or a wider one (drevan/cpu.hpp: the processor has it,
// the system saves its registers and OSTRILO_SIMD does not ask for the baseline).
bool avx2() noexcept;
#endif

}  // namespace drevan::lanes
