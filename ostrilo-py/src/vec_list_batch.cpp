// The element-wise operations of VecList, as jobs on the pool (the loops: list_loops.hpp).
#include "vec_list_batch.hpp"

#include <cmath>

#include "drevan/panic.hpp"
#include "list_kernels.hpp"
#include "list_loops.hpp"

namespace ostrilo::batch {
namespace {

template <Results Kind = Results::computed, class F>
VecList map_vectors(const VecList& l, F f, pool::Grain grain) {
    const std::size_t n = l.items.size();
    VecArray out = uninitialised(n);
    map_job<Kind>(f, l.items.data(), out.data(), n, grain);
    return VecList{std::move(out)};
}

template <class F>
PyList<double> map_floats(const VecList& l, F f, pool::Grain grain) {
    const std::size_t n = l.items.size();
    Scratch<double> out(n);
    map_job(f, l.items.data(), out.data, n, grain);
    return float_list(out.data, n);
}

template <class F>
PyList<bool> map_bools(const VecList& l, F f, pool::Grain grain) {
    const std::size_t n = l.items.size();
    Scratch<unsigned char> out(n);
    map_job([f](const Vec3d& e) -> unsigned char { return f(e) ? 1 : 0; }, l.items.data(), out.data, n, grain);
    return bool_list(out.data, n);
}

template <std::size_t Axis>
VecList collapse_axis(const VecList& l) {
    // Only a copy with one component zeroed: the other two keep their bits, NaN payloads included.
    return map_vectors<Results::copied>(l, [](const Vec3d& e) { return e.collapse(Axis); }, kArithmetic);
}

}  // namespace

VecList add(const VecList& l, const Vec3d& o) {
    return map_vectors(l, [o](const Vec3d& e) { return e + o; }, kArithmetic);
}
VecList sub(const VecList& l, const Vec3d& o) {
    return map_vectors(l, [o](const Vec3d& e) { return e - o; }, kArithmetic);
}
VecList mul(const VecList& l, double s) {
    return map_vectors(l, [s](const Vec3d& e) { return e * s; }, kArithmetic);
}
VecList rmul(const VecList& l, double s) {
    return map_vectors(l, [s](const Vec3d& e) { return s * e; }, kArithmetic);
}
// Dividing is the one slow operation of the cheap ones: a division has several times the
// throughput cost of a product, three per element. Dividing by a power of two whose reciprocal is
// a normal double is multiplying by that reciprocal, exactly: both are the one rounding of the same
// real quotient (subnormal and infinite results, signed zeros included), so the product runs
// instead and gives the same bits. Any other divisor goes to kernels::divide, which the wide builds
// answer from the reciprocal with two fused corrections, again the same bits (list_kernels.hpp).
static bool has_exact_reciprocal(double s) noexcept {
    int exponent = 0;
    const double mantissa = std::frexp(s, &exponent);  // s = mantissa * 2^exponent, |mantissa| in [0.5, 1)
    // s = +-2^(exponent - 1); its reciprocal 2^(1 - exponent) is normal for exponents in [-1021, 1023].
    return (mantissa == 0.5 || mantissa == -0.5) && exponent >= -1021 && exponent <= 1023;
}

VecList truediv(const VecList& l, double s) {
    if (has_exact_reciprocal(s)) {
        const double r = 1.0 / s;  // exact
        return map_vectors(l, [r](const Vec3d& e) { return e * r; }, kArithmetic);
    }
    const std::size_t n = l.items.size();
    VecArray out = uninitialised(n);
    // The components as one array of doubles (no member access: data() is null for an empty list).
    const auto* in = reinterpret_cast<const double*>(l.items.data());
    auto* to = reinterpret_cast<double*>(out.data());
    pool::for_blocks(
        n, [in, to, s](std::size_t b, std::size_t e) { kernels::divide(in + 3 * b, to + 3 * b, 3 * (e - b), s); },
        kArithmetic);
    return VecList{std::move(out)};
}

PyList<double> dot(const VecList& l, const Vec3d& o) {
    return map_floats(l, [o](const Vec3d& e) { return e.dot(o); }, kArithmetic);
}
VecList cross(const VecList& l, const Vec3d& o) {
    return map_vectors(l, [o](const Vec3d& e) { return e.cross(o); }, kArithmetic);
}
PyList<double> distance_to(const VecList& l, const Vec3d& o) {
    return map_floats(l, [o](const Vec3d& e) { return e.distance_to(o); }, kCostly);
}
PyList<double> distance_squared(const VecList& l, const Vec3d& o) {
    return map_floats(l, [o](const Vec3d& e) { return e.distance_squared(o); }, kArithmetic);
}
PyList<double> magnitude(const VecList& l) {
    return map_floats(l, [](const Vec3d& e) { return e.magnitude(); }, kCostly);
}
PyList<bool> is_unit(const VecList& l) {
    return map_bools(l, [](const Vec3d& e) { return e.is_unit(); }, kCostly);
}
VecList normalize(const VecList& l) {
    return map_vectors(l, [](const Vec3d& e) { return e.normalize(); }, kCostly);
}

VecList collapse(const VecList& l, std::size_t axis) {
    DREVAN_ASSERT(axis <= 2);  // before any work
    return axis == 0 ? collapse_axis<0>(l) : axis == 1 ? collapse_axis<1>(l) : collapse_axis<2>(l);
}

// Each element is replaced in place. The element function is plain arithmetic that cannot fail,
// and the list is held exclusively for the whole call, so no caller sees it half rotated; in
// place, the operation allocates nothing and touches each element's memory once.
void rotate(VecList& l, const Quat& q) {
    Vec3d* data = l.items.data();
    pool::for_blocks(
        l.items.size(), [data, &q](std::size_t b, std::size_t e) { kernels::rotate(data + b, e - b, q); }, kCostly);
}

}  // namespace ostrilo::batch
