// The hand-written list loops (see list_kernels.hpp).
#include "list_kernels.hpp"

#include <cmath>

#ifdef OSTRILO_LOOP_VARIANTS
#include <immintrin.h>
#endif

namespace ostrilo::kernels {

using drevan::Quat;
using drevan::Vec3d;

namespace {

// The plain loops, which every build ends with (the elements after the last whole group).
inline void divide_plain(const double* in, double* out, std::size_t count, double s) noexcept {
    for (std::size_t i = 0; i < count; ++i) out[i] = canonical(in[i] / s);
}

inline void rotate_plain(Vec3d* data, std::size_t count, const Quat& q) noexcept {
    const Quat local = q;
    for (std::size_t i = 0; i < count; ++i) data[i] = canonical(local.rotate(data[i]));
}

}  // namespace

#ifdef OSTRILO_LOOP_VARIANTS

namespace {

// The range of magnitudes in which the quotient by the reciprocal needs no division.
constexpr double kQuotientLow = 0x1p-400;
constexpr double kQuotientHigh = 0x1p400;

bool quotient_by_reciprocal(double s) noexcept {
    const double m = std::fabs(s);
    return m >= kQuotientLow && m <= kQuotientHigh;  // false for NaN
}

}  // namespace

void divide_base(const double* in, double* out, std::size_t count, double s) noexcept {
    divide_plain(in, out, count, s);
}

void rotate_base(Vec3d* data, std::size_t count, const Quat& q) noexcept { rotate_plain(data, count, q); }

// ---------------------------------------------------------------------------
// AVX2 with fused multiply-add: four doubles a register.

using V4 = double __attribute__((vector_size(32)));

[[gnu::target("avx2,fma")]] void divide_avx2(const double* in, double* out, std::size_t count, double s) noexcept {
    std::size_t i = 0;
    if (quotient_by_reciprocal(s)) {
        const __m256d vs = _mm256_set1_pd(s), vy = _mm256_set1_pd(1.0 / s);
        const __m256d low = _mm256_set1_pd(kQuotientLow), high = _mm256_set1_pd(kQuotientHigh);
        const __m256d sign = _mm256_set1_pd(-0.0), zero = _mm256_setzero_pd();
        for (; i + 4 <= count; i += 4) {
            const __m256d a = _mm256_loadu_pd(in + i);
            const __m256d q0 = _mm256_mul_pd(a, vy);
            __m256d q = _mm256_fmadd_pd(_mm256_fnmadd_pd(q0, vs, a), vy, q0);
            q = _mm256_fmadd_pd(_mm256_fnmadd_pd(q, vs, a), vy, q);
            const __m256d m = _mm256_andnot_pd(sign, a);
            const __m256d inside = _mm256_and_pd(_mm256_cmp_pd(m, low, _CMP_GE_OQ), _mm256_cmp_pd(m, high, _CMP_LE_OQ));
            const __m256d is_zero = _mm256_cmp_pd(a, zero, _CMP_EQ_OQ);
            q = _mm256_blendv_pd(q, q0, is_zero);
            if (_mm256_movemask_pd(_mm256_or_pd(inside, is_zero)) != 0xf) {
                // Some component out of range: the division for those (rare).
                alignas(32) double lanes[4];
                _mm256_store_pd(lanes, q);
                const int taken = _mm256_movemask_pd(_mm256_or_pd(inside, is_zero));
                for (int l = 0; l < 4; ++l)
                    if (!(taken >> l & 1)) lanes[l] = canonical(in[i + l] / s);
                q = _mm256_load_pd(lanes);
            }
            _mm256_storeu_pd(out + i, q);
        }
    }
    divide_plain(in + i, out + i, count - i, s);
}

namespace {

// Four interleaved vectors (a = x0 y0 z0 x1, b = y1 z1 x2 y2, c = z2 x3 y3 z3) into their x, y
// and z components, and back.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void split4(const double* p, __m256d& x, __m256d& y,
                                                                   __m256d& z) {
    const __m256d a = _mm256_loadu_pd(p), b = _mm256_loadu_pd(p + 4), c = _mm256_loadu_pd(p + 8);
    // x = (a0, a3, b2, c1): blend to (a0, c1, b2, a3), then swap lanes 1 and 3.
    x = _mm256_permute4x64_pd(_mm256_blend_pd(_mm256_blend_pd(a, b, 0b0100), c, 0b0010), 0b01'10'11'00);
    // y = (a1, b0, b3, c2): blend to (b0, a1, c2, b3), then swap pairs.
    y = _mm256_permute4x64_pd(_mm256_blend_pd(_mm256_blend_pd(a, b, 0b1001), c, 0b0100), 0b10'11'00'01);
    // z = (a2, b1, c0, c3): blend to (c0, b1, a2, c3), then swap lanes 0 and 2.
    z = _mm256_permute4x64_pd(_mm256_blend_pd(_mm256_blend_pd(a, b, 0b0010), c, 0b1001), 0b11'00'01'10);
}

[[gnu::target("avx2,fma"), gnu::always_inline]] inline void join4(double* p, __m256d x, __m256d y, __m256d z) {
    // The inverse permutations first: px = (x0, x3, x2, x1) holds a0, c1, b2, a3; py = (y1, y0, y3,
    // y2) holds b0, a1, c2, b3; pz = (z2, z1, z0, z3) holds c0, b1, a2, c3.
    const __m256d px = _mm256_permute4x64_pd(x, 0b01'10'11'00);
    const __m256d py = _mm256_permute4x64_pd(y, 0b10'11'00'01);
    const __m256d pz = _mm256_permute4x64_pd(z, 0b11'00'01'10);
    _mm256_storeu_pd(p, _mm256_blend_pd(_mm256_blend_pd(px, py, 0b0010), pz, 0b0100));
    _mm256_storeu_pd(p + 4, _mm256_blend_pd(_mm256_blend_pd(py, pz, 0b0010), px, 0b0100));
    _mm256_storeu_pd(p + 8, _mm256_blend_pd(_mm256_blend_pd(pz, px, 0b0010), py, 0b0100));
}

[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256d canonical4(__m256d v) {
    return _mm256_blendv_pd(_mm256_set1_pd(kCanonicalNaN), v, _mm256_cmp_pd(v, v, _CMP_ORD_Q));
}

}  // namespace

[[gnu::target("avx2,fma")]] void rotate_avx2(Vec3d* data, std::size_t count, const Quat& q) noexcept {
    const Quat local = q;
    auto* p = reinterpret_cast<double*>(data);
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4, p += 12) {
        __m256d x, y, z;
        split4(p, x, y, z);
        V4 rx, ry, rz;
        local.rotate_components(V4(x), V4(y), V4(z), rx, ry, rz);
        join4(p, canonical4(__m256d(rx)), canonical4(__m256d(ry)), canonical4(__m256d(rz)));
    }
    rotate_plain(data + i, count - i, local);
}

// ---------------------------------------------------------------------------
// AVX-512: eight doubles a register.

using V8 = double __attribute__((vector_size(64)));

[[OSTRILO_AVX512_TARGET]] void divide_avx512(const double* in, double* out, std::size_t count, double s) noexcept {
    std::size_t i = 0;
    if (quotient_by_reciprocal(s)) {
        const __m512d vs = _mm512_set1_pd(s), vy = _mm512_set1_pd(1.0 / s);
        const __m512d low = _mm512_set1_pd(kQuotientLow), high = _mm512_set1_pd(kQuotientHigh);
        const __m512d nan = _mm512_set1_pd(kCanonicalNaN);
        for (; i + 8 <= count; i += 8) {
            const __m512d a = _mm512_loadu_pd(in + i);
            const __m512d q0 = _mm512_mul_pd(a, vy);
            __m512d q = _mm512_fmadd_pd(_mm512_fnmadd_pd(q0, vs, a), vy, q0);
            q = _mm512_fmadd_pd(_mm512_fnmadd_pd(q, vs, a), vy, q);
            const __m512d m = _mm512_abs_pd(a);
            const __mmask8 inside = _mm512_cmp_pd_mask(m, low, _CMP_GE_OQ) & _mm512_cmp_pd_mask(m, high, _CMP_LE_OQ);
            const __mmask8 is_zero = _mm512_cmp_pd_mask(a, _mm512_setzero_pd(), _CMP_EQ_OQ);
            q = _mm512_mask_mov_pd(q, is_zero, q0);
            const auto rest = static_cast<__mmask8>(~(inside | is_zero));
            if (rest != 0) {
                // Some component out of range: the division for those (rare).
                q = _mm512_mask_div_pd(q, rest, a, vs);
                q = _mm512_mask_mov_pd(q, _mm512_cmp_pd_mask(q, q, _CMP_UNORD_Q), nan);
            }
            _mm512_storeu_pd(out + i, q);
        }
    }
    divide_plain(in + i, out + i, count - i, s);
}

namespace {

// Eight interleaved vectors (24 doubles in three registers a, b, c) into their x, y and z
// components, and back: each component is two two-register permutations away.
[[OSTRILO_AVX512_TARGET, gnu::always_inline]] inline void split8(const double* p, __m512d& x, __m512d& y, __m512d& z) {
    const __m512d a = _mm512_loadu_pd(p), b = _mm512_loadu_pd(p + 8), c = _mm512_loadu_pd(p + 16);
    // Indices 0-7 pick from the first operand, 8-15 from the second.
    x = _mm512_permutex2var_pd(_mm512_permutex2var_pd(a, _mm512_setr_epi64(0, 3, 6, 9, 12, 15, 0, 0), b),
                               _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 10, 13), c);
    y = _mm512_permutex2var_pd(_mm512_permutex2var_pd(a, _mm512_setr_epi64(1, 4, 7, 10, 13, 0, 0, 0), b),
                               _mm512_setr_epi64(0, 1, 2, 3, 4, 8, 11, 14), c);
    z = _mm512_permutex2var_pd(_mm512_permutex2var_pd(a, _mm512_setr_epi64(2, 5, 8, 11, 14, 0, 0, 0), b),
                               _mm512_setr_epi64(0, 1, 2, 3, 4, 9, 12, 15), c);
}

[[OSTRILO_AVX512_TARGET, gnu::always_inline]] inline void join8(double* p, __m512d x, __m512d y, __m512d z) {
    // a = x0 y0 z0 x1 y1 z1 x2 y2, b = z2 x3 y3 z3 x4 y4 z4 x5, c = y5 z5 x6 y6 z6 x7 y7 z7.
    const __m512d xy_a = _mm512_permutex2var_pd(x, _mm512_setr_epi64(0, 8, 0, 1, 9, 0, 2, 10), y);
    _mm512_storeu_pd(p, _mm512_permutex2var_pd(xy_a, _mm512_setr_epi64(0, 1, 8, 3, 4, 9, 6, 7), z));
    const __m512d xy_b = _mm512_permutex2var_pd(x, _mm512_setr_epi64(0, 3, 11, 0, 4, 12, 0, 5), y);
    _mm512_storeu_pd(p + 8, _mm512_permutex2var_pd(xy_b, _mm512_setr_epi64(10, 1, 2, 11, 4, 5, 12, 7), z));
    const __m512d xy_c = _mm512_permutex2var_pd(x, _mm512_setr_epi64(13, 0, 6, 14, 0, 7, 15, 0), y);
    _mm512_storeu_pd(p + 16, _mm512_permutex2var_pd(xy_c, _mm512_setr_epi64(0, 13, 2, 3, 14, 5, 6, 15), z));
}

[[OSTRILO_AVX512_TARGET, gnu::always_inline]] inline __m512d canonical8(__m512d v) {
    return _mm512_mask_mov_pd(v, _mm512_cmp_pd_mask(v, v, _CMP_UNORD_Q), _mm512_set1_pd(kCanonicalNaN));
}

}  // namespace

[[OSTRILO_AVX512_TARGET]] void rotate_avx512(Vec3d* data, std::size_t count, const Quat& q) noexcept {
    const Quat local = q;
    auto* p = reinterpret_cast<double*>(data);
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8, p += 24) {
        __m512d x, y, z;
        split8(p, x, y, z);
        V8 rx, ry, rz;
        local.rotate_components(V8(x), V8(y), V8(z), rx, ry, rz);
        join8(p, canonical8(__m512d(rx)), canonical8(__m512d(ry)), canonical8(__m512d(rz)));
    }
    rotate_plain(data + i, count - i, local);
}

void divide(const double* in, double* out, std::size_t count, double s) noexcept {
    switch (loop_variant()) {
        case Loops::avx512:
            return divide_avx512(in, out, count, s);
        case Loops::avx2:
            return divide_avx2(in, out, count, s);
        default:
            return divide_base(in, out, count, s);
    }
}

void rotate(Vec3d* data, std::size_t count, const Quat& q) noexcept {
    switch (loop_variant()) {
        case Loops::avx512:
            return rotate_avx512(data, count, q);
        case Loops::avx2:
            return rotate_avx2(data, count, q);
        default:
            return rotate_base(data, count, q);
    }
}

#else

void divide(const double* in, double* out, std::size_t count, double s) noexcept { divide_plain(in, out, count, s); }

void rotate(Vec3d* data, std::size_t count, const Quat& q) noexcept { rotate_plain(data, count, q); }

#endif

}  // namespace ostrilo::kernels
