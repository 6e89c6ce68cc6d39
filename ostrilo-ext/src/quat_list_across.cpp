// Across a list of rotations (quat_list.hpp): the mean rotation and the rotation that best aligns
// two sets of vectors, both as the eigenvector of the largest eigenvalue of a symmetric 4 x 4
// matrix (Markley's and Horn's methods, as scipy uses them).
//
// Sums over many elements are taken in chunks of a fixed size, each summed in order by one
// thread, and the chunks' sums then added in order: the same bits at every thread count.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "quat_list.hpp"
#include "rotations.hpp"

namespace ostrilo::ext {

using drevan::Quat;
using drevan::Vec3d;

namespace {

constexpr std::size_t kChunk = 1024;

// sum over i of f(i, acc), acc being K numbers, in chunks (see above).
template <std::size_t K, class F>
std::array<double, K> chunked_sum(std::size_t n, F f) {
    const std::size_t chunks = (n + kChunk - 1) / kChunk;
    std::vector<std::array<double, K>> partial(chunks);
    auto* part = partial.data();
    for_blocks(
        chunks,
        [&f, part, n](std::size_t b, std::size_t e) noexcept {
            for (std::size_t c = b; c < e; ++c) {
                std::array<double, K> acc{};
                const std::size_t end = std::min(n, (c + 1) * kChunk);
                for (std::size_t i = c * kChunk; i < end; ++i) f(i, acc.data());
                part[c] = acc;
            }
        },
        4);
    std::array<double, K> total{};
    for (const auto& p : partial)
        for (std::size_t k = 0; k < K; ++k) total[k] += p[k];
    return total;
}

// The eigenvector (unit length) of the largest eigenvalue of the symmetric matrix a, by cyclic
// Jacobi rotations (square roots and divisions only: the same bits everywhere), and the two
// largest eigenvalues.
struct Eigen {
    double vector[4];
    double largest, second;
};
Eigen largest_eigenvector(double (&a)[4][4]) {
    double v[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
    for (int sweep = 0; sweep < 64; ++sweep) {
        double off = 0.0;
        for (int p = 0; p < 4; ++p)
            for (int q = p + 1; q < 4; ++q) off += std::fabs(a[p][q]);
        if (off == 0.0) break;
        for (int p = 0; p < 4; ++p)
            for (int q = p + 1; q < 4; ++q) {
                if (a[p][q] == 0.0) continue;
                const double theta = (a[q][q] - a[p][p]) / (2.0 * a[p][q]);
                // t = tan of the rotation angle, the smaller root of t^2 + 2 theta t - 1 = 0.
                const double t = std::fabs(theta) > 1e150 ? 0.5 / theta
                                                          : (theta >= 0.0 ? 1.0 : -1.0) /
                                                                (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (int k = 0; k < 4; ++k) {  // columns p and q
                    const double akp = a[k][p], akq = a[k][q];
                    a[k][p] = c * akp - s * akq;
                    a[k][q] = s * akp + c * akq;
                }
                for (int k = 0; k < 4; ++k) {  // rows p and q
                    const double apk = a[p][k], aqk = a[q][k];
                    a[p][k] = c * apk - s * aqk;
                    a[q][k] = s * apk + c * aqk;
                }
                a[p][q] = a[q][p] = 0.0;
                for (int k = 0; k < 4; ++k) {
                    const double vkp = v[k][p], vkq = v[k][q];
                    v[k][p] = c * vkp - s * vkq;
                    v[k][q] = s * vkp + c * vkq;
                }
            }
    }
    int best = 0;
    for (int k = 1; k < 4; ++k)
        if (a[k][k] > a[best][best]) best = k;
    double second = -HUGE_VAL;
    for (int k = 0; k < 4; ++k)
        if (k != best && a[k][k] > second) second = a[k][k];
    Eigen out{{v[0][best], v[1][best], v[2][best], v[3][best]}, a[best][best], second};
    const double len =
        std::sqrt(((out.vector[0] * out.vector[0] + out.vector[1] * out.vector[1]) + out.vector[2] * out.vector[2]) +
                  out.vector[3] * out.vector[3]);
    for (double& x : out.vector) x /= len;
    return out;
}

// Weights: none (all 1), or n numbers >= 0 and finite.
std::vector<double> read_weights(PyObject* o, std::size_t n, const char* fn) {
    std::vector<double> w;
    if (o == nullptr) return w;
    if (!read_numbers(o, w, kAnyCount, "argument 'weights':")) throw_pyerr();
    if (w.size() != n) {
        PyErr_Format(PyExc_ValueError, "%s: %zu weights for %zu items", fn, w.size(), n);
        throw_pyerr();
    }
    for (double x : w)
        if (!(x >= 0.0) || !std::isfinite(x)) {
            PyErr_Format(PyExc_ValueError, "%s: the weights must be finite numbers >= 0", fn);
            throw_pyerr();
        }
    return w;
}

}  // namespace

// Markley's mean: the unit quaternion q that maximises sum w_i (q . q_i)^2, the eigenvector of
// the largest eigenvalue of sum w_i q_i q_i^T. It does not depend on the sign of any q_i (q_i and
// -q_i are the same rotation). The stored components are used as they are: unit quaternions
// give scipy's mean.
Quat mean(const QuatList& l, Weights weights) {
    const std::size_t n = l.items.size();
    const std::vector<double> w = read_weights(weights.o, n, "QuatList.mean()");
    const Quat* q = l.items.data();
    const double* wp = w.empty() ? nullptr : w.data();
    const auto s = chunked_sum<10>(n, [q, wp](std::size_t i, double* acc) {
        const double c[4] = {q[i].w, q[i].i, q[i].j, q[i].k};
        const double wi = wp ? wp[i] : 1.0;
        int k = 0;
        for (int r = 0; r < 4; ++r)
            for (int t = r; t < 4; ++t) acc[k++] += wi * (c[r] * c[t]);
    });
    double m[4][4];
    int k = 0;
    for (int r = 0; r < 4; ++r)
        for (int t = r; t < 4; ++t) m[r][t] = m[t][r] = s[static_cast<std::size_t>(k++)];
    for (const auto& row : m)
        for (double x : row)
            if (!std::isfinite(x)) value_error("QuatList.mean(): a rotation has a non-finite component");
    if (m[0][0] + m[1][1] + m[2][2] + m[3][3] == 0.0)
        value_error("QuatList.mean(): there is no rotation to average (an empty list, or all weights 0)");
    const Eigen e = largest_eigenvector(m);
    Quat out{e.vector[0], e.vector[1], e.vector[2], e.vector[3]};
    if (out.w < 0.0) out = {-out.w, -out.i, -out.j, -out.k};
    return out;
}

namespace {

// Vectors of an argument, x, y, z one after another: a VecList's own, held under a shared borrow
// for the call, or our one copy of rows of three numbers (each vector is read twice below, so a
// buffer is copied first and not read where it lies: the policy in frame/rows.hpp).
struct VectorsArg {
    Shared<VecList> list;
    RowsIn rows;
    const double* xyz = nullptr;
    std::size_t count = 0;

    VectorsArg(PyObject* o, const char* what) {
        if (is_instance<VecList>(o)) {
            if (!list.acquire(o)) throw_pyerr();
            count = list.get().items.size();
            xyz = reinterpret_cast<const double*>(list.get().items.data());
            return;
        }
        read_rows(rows, o, 3, what, {});
        count = rows.count();
        xyz = rows.values();
    }
};

}  // namespace

// Horn's method: the unit quaternion (common convention) of the rotation R that maximises
// sum w_i a_i . (R b_i) is the eigenvector of the largest eigenvalue of N, built from the sums
// S_xy = sum w_i b_ix a_iy. One pair is answered exactly, by from_two_vectors.
Object align_vectors(VectorsIn a_o, VectorsIn b_o, Weights weights_o) {
    constexpr const char* fn = "align_vectors()";
    const VectorsArg a(a_o.o, "argument 'a':");
    const VectorsArg b(b_o.o, "argument 'b':");
    const std::size_t n = a.count;
    if (b.count != n) {
        PyErr_Format(PyExc_ValueError, "%s: %zu vectors in a but %zu in b", fn, n, b.count);
        throw_pyerr();
    }
    if (n == 0) value_error("align_vectors(): no vectors to align");
    const std::vector<double> w = read_weights(weights_o.o, n, fn);
    const double* pa = a.xyz;
    const double* pb = b.xyz;
    const double* pw = w.empty() ? nullptr : w.data();
    Quat q;
    if (n == 1) {
        q = from_two_vectors(Vec3d{pb[0], pb[1], pb[2]}, Vec3d{pa[0], pa[1], pa[2]});
    } else {
        const auto s = chunked_sum<9>(n, [pa, pb, pw](std::size_t i, double* acc) {
            const double wi = pw ? pw[i] : 1.0;
            const double *bv = pb + 3 * i, *av = pa + 3 * i;
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 3; ++c) acc[3 * r + c] += wi * (bv[r] * av[c]);
        });
        for (double x : s)
            if (!std::isfinite(x)) value_error("align_vectors(): a vector or weight is not finite");
        const double sxx = s[0], sxy = s[1], sxz = s[2], syx = s[3], syy = s[4], syz = s[5], szx = s[6], szy = s[7],
                     szz = s[8];
        double m[4][4] = {
            {(sxx + syy) + szz, syz - szy, szx - sxz, sxy - syx},
            {syz - szy, (sxx - syy) - szz, sxy + syx, szx + sxz},
            {szx - sxz, sxy + syx, (syy - sxx) - szz, syz + szy},
            {sxy - syx, szx + sxz, syz + szy, (szz - sxx) - syy},
        };
        double scale = 0.0;
        for (const auto& row : m)
            for (double x : row) scale = std::fmax(scale, std::fabs(x));
        const Eigen e = largest_eigenvector(m);
        // Two equal largest eigenvalues: every rotation about some line is as good (all vectors
        // on one line, or no weight at all), and the answer would be an accident of rounding.
        if (!(e.largest - e.second > 1e-12 * scale))
            value_error(
                "align_vectors(): the rotation is not determined: the weighted vectors lie on one line (or weigh "
                "nothing); align one pair for the shortest rotation");
        q = {e.vector[0], -e.vector[1], -e.vector[2], -e.vector[3]};  // stored: the conjugate
        if (q.w < 0.0) q = {-q.w, -q.i, -q.j, -q.k};
    }
    const Quat* pq = &q;
    const auto d = chunked_sum<1>(n, [pa, pb, pw, pq](std::size_t i, double* acc) {
        const Vec3d r = pq->rotate(Vec3d{pb[3 * i], pb[3 * i + 1], pb[3 * i + 2]});
        const double dx = pa[3 * i] - r.x, dy = pa[3 * i + 1] - r.y, dz = pa[3 * i + 2] - r.z;
        acc[0] += (pw ? pw[i] : 1.0) * ((dx * dx + dy * dy) + dz * dz);
    });
    return Object{to_py(std::pair<Quat, double>{q, std::sqrt(d[0])})};
}

}  // namespace ostrilo::ext
