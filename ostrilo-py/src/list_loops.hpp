#pragma once
// The loops of the list jobs and the choice of their build.
//
// On x86-64 each loop is compiled three times, for the baseline (SSE2), for AVX2 and for AVX-512
// (F, DQ, VL, with 512-bit vectors), and the widest one the processor has runs. IEEE additions,
// multiplications, divisions and square roots are correctly rounded whatever the vector width,
// the lanes hold different elements (never parts of one element's sum), and the build never
// contracts a product and a sum into one fused operation, so every variant gives the same bits;
// the wider ones just do four or eight elements per instruction where the baseline does two.
// Other processors (32-bit ARM among them) compile the loops once, as they are.
//
// NaNs are the exception to "same bits" that the hardware leaves open: an operation on two NaNs
// returns one of them, which one depends on the operand order the compiler picked for that loop
// (it swaps the operands of additions and multiplications freely, differently per variant and
// per unrolled tail), and an invalid operation returns the processor's default NaN (sign bit set
// on x86, clear on ARM). So every NaN that list arithmetic computes leaves the loop as the one
// canonical NaN, kCanonicalNaN: positive, quiet, zero payload. Loops that only copy components
// (collapse) keep them as they are.
//
// OSTRILO_SIMD, read once, caps the choice: "baseline", "avx2" or "avx512" (anything else, or
// nothing, means the widest available). A variant the processor lacks is never run: asking for
// it gives the widest one below it. Tests use it to check the recorded results with each variant.
#include <bit>
#include <cstddef>
#include <cstdint>

#include "drevan/cpu.hpp"
#include "drevan/vec3d.hpp"
#include "worker_pool.hpp"

namespace ostrilo {

inline constexpr std::uint64_t kCanonicalNaNBits = 0x7ff8'0000'0000'0000ULL;
inline constexpr double kCanonicalNaN = std::bit_cast<double>(kCanonicalNaNBits);

// x, or the canonical NaN when x is a NaN: a compare and a select, which vectorise.
[[gnu::always_inline]] inline double canonical(double x) noexcept { return x == x ? x : kCanonicalNaN; }
[[gnu::always_inline]] inline drevan::Vec3d canonical(const drevan::Vec3d& v) noexcept {
    return {canonical(v.x), canonical(v.y), canonical(v.z)};
}
[[gnu::always_inline]] inline unsigned char canonical(unsigned char b) noexcept { return b; }

// Fewest elements per block, by cost per element (see pool::Grain), measured in cache with the
// AVX2 loops: adding, scaling, dividing, a dot or cross product ~0.2-0.7 ns; a square root with
// divisions or a rotation ~1.5-2 ns.
inline constexpr pool::Grain kArithmetic = pool::kCheapWork;
inline constexpr pool::Grain kCostly{4096};

#ifdef DREVAN_VECTOR_BUILDS
#define OSTRILO_LOOP_VARIANTS 1
using Loops = drevan::cpu::VectorBuild;

// The variant this process runs (decided once, drevan/cpu.hpp).
inline Loops loop_variant() noexcept { return drevan::cpu::vector_build(); }

// 512-bit vectors: GCC takes the preference in the target string; clang rejects it there (and
// then ignores the whole attribute, leaving a baseline build) and has an attribute of its own.
#ifdef __clang__
#define OSTRILO_AVX512_TARGET gnu::target("avx512f,avx512dq,avx512vl"), clang::min_vector_width(512)
#else
#define OSTRILO_AVX512_TARGET gnu::target("avx512f,avx512dq,avx512vl,prefer-vector-width=512")
#endif
template <class Body>
[[OSTRILO_AVX512_TARGET]] auto run_avx512(const Body& body, std::size_t b, std::size_t e) {
    return body(b, e);
}
template <class Body>
[[gnu::target("avx2")]] auto run_avx2(const Body& body, std::size_t b, std::size_t e) {
    return body(b, e);
}
template <class Body>
auto run_base(const Body& body, std::size_t b, std::size_t e) {
    return body(b, e);
}

// The variant of body(b, e) for this processor. The body is inlined into each variant.
template <class Body>
auto loops_for() {
    switch (loop_variant()) {
        case Loops::avx512:
            return &run_avx512<Body>;
        case Loops::avx2:
            return &run_avx2<Body>;
        default:
            return &run_base<Body>;
    }
}
#endif

// body(b, e) over the blocks of [0, n) on the pool.
template <class Body>
void run_blocks(std::size_t n, const Body& body, pool::Grain grain) {
#ifdef OSTRILO_LOOP_VARIANTS
    auto* const run = loops_for<Body>();
    pool::for_blocks(n, [&body, run](std::size_t b, std::size_t e) { run(body, b, e); }, grain);
#else
    pool::for_blocks(n, body, grain);
#endif
}

// The reduction of body(b, e) over the blocks of [0, n) on the pool, merged in index order.
template <class T, class Body, class Merge>
std::optional<T> reduce_blocks(std::size_t n, const Body& body, Merge merge, pool::Grain grain) {
#ifdef OSTRILO_LOOP_VARIANTS
    auto* const run = loops_for<Body>();
    return pool::reduce<T>(n, [&body, run](std::size_t b, std::size_t e) { return run(body, b, e); }, merge, grain);
#else
    return pool::reduce<T>(n, body, merge, grain);
#endif
}

// Whether a loop computes its results (NaNs made canonical) or only copies components.
enum class Results { computed, copied };

// out[i] = f(in[i]) for every element; in and out do not overlap.
template <Results Kind = Results::computed, class F, class In, class Out>
void map_job(const F& f, const In* in, Out* out, std::size_t n, pool::Grain grain) {
    run_blocks(
        n,
        [&f, in, out](std::size_t b, std::size_t e) __attribute__((always_inline)) {
            const F fn = f;  // a local copy of the operands: no store to the output can change them
            const In* __restrict src = in;
            Out* __restrict dst = out;
            if constexpr (Kind == Results::computed)
                for (std::size_t i = b; i < e; ++i) dst[i] = canonical(fn(src[i]));
            else
                for (std::size_t i = b; i < e; ++i) dst[i] = fn(src[i]);
        },
        grain);
}

}  // namespace ostrilo
