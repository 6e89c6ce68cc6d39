// QuatList (quat_list.hpp): making one, reading it, and the element-wise operations. Arguments
// are read on the calling thread, through the frame's reader, into arrays of our own; the worker
// pool then computes each element on its own, in blocks whose boundaries depend only on the
// length, so the bits never depend on the number of threads. An element that has no answer (a
// zero quaternion to invert, say) is found by the pool and reported afterwards, with the lowest
// such index, so the error is the same at every thread count too.
#include "quat_list.hpp"

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>

#include "drevan/angle.hpp"
#include "drevan/trig.hpp"
#include "ostrilo_ext_prose.hpp"

namespace ostrilo {

using drevan::Quat;
using drevan::Vec3d;

namespace ext {

static_assert(sizeof(Quat) == 4 * sizeof(double) && alignof(Quat) == alignof(double) && std::is_standard_layout_v<Quat>,
              "a row of four doubles is a Quat");

struct QuatListTag {
    static constexpr Json annotation() { return class_annotation("QuatList"); }
};
// Arguments read here: the records name the main form, the prose's signatures every form.
using QuatsIn = In<QuatListTag>;  // a Quat or a QuatList
struct IndexTag {
    static constexpr Json annotation() { return builtin_annotation("int"); }
};
using IndexIn = In<IndexTag>;  // an integer or a slice
struct MatricesTag {
    static constexpr Json annotation() { return sequence_of(sequence_of(sequence_of(builtin_annotation("float")))); }
};
using MatricesIn = In<MatricesTag>;

}  // namespace ext

namespace ext {
namespace {

constexpr double PI = drevan::PI;
constexpr std::size_t kGrain = 2048;

[[noreturn, gnu::cold]] void fail(PyObject* type, const char* text) {
    PyErr_SetString(type, text);
    throw_pyerr();
}

// The lowest index at which an element had no answer (n: none), whichever thread found it.
struct FirstFault {
    std::atomic<std::size_t> index;
    explicit FirstFault(std::size_t n) : index(n) {}
    void note(std::size_t i) noexcept {
        std::size_t cur = index.load(std::memory_order_relaxed);
        while (i < cur && !index.compare_exchange_weak(cur, i, std::memory_order_relaxed)) {
        }
    }
    std::size_t get() const noexcept { return index.load(std::memory_order_relaxed); }
};

[[noreturn, gnu::cold]] void element_error(const char* fn, std::size_t i, const char* what) {
    PyErr_Format(PyExc_ValueError, "QuatList.%s(): element %zu %s", fn, i, what);
    throw_pyerr();
}

QuatArray uninitialised(std::size_t n) {
    QuatArray a;
    if (n > a.max_size()) throw std::bad_alloc();  // MemoryError, as for any size that cannot be had
    a.resize(n);                                   // default-initialised by RawAllocator: no writes
    return a;
}

// Runs f(i) for every i in [0, n) on the pool.
template <class F>
void each(std::size_t n, F f, std::size_t grain = kGrain) {
    for_blocks(
        n,
        [&f](std::size_t b, std::size_t e) noexcept {
            for (std::size_t i = b; i < e; ++i) f(i);
        },
        grain);
}

// ---------------------------------------------------------------------------------------------
// Arguments

// Quat objects from a sequence, each copied out under a momentary shared borrow.
bool read_quat_items(Items& items, QuatArray& out, const char* what, const char* arg) {
    out = uninitialised(static_cast<std::size_t>(items.size()));
    Quat* dst = out.data();
    return read_borrowed_items<Quat>(items, what, arg, [dst](std::size_t k, const Quat& q) { dst[k] = q; });
}

// Rows of `width` numbers, any form the reader takes. A buffer is read where it lies: each row by
// the one element that uses it, once, into numbers of its own, for arithmetic only (the policy in
// frame/rows.hpp), so no copy of the whole array is made first.
struct RowsArg {
    RowsIn rows;
    const double* packed = nullptr;
    const StridedRows* strided = nullptr;
    std::size_t count = 0;
    std::size_t width;
    RowsArg(PyObject* o, std::size_t w, const char* what) : width(w) {
        read_rows(rows, o, w, what, {.in_place = true});
        count = rows.count();
        packed = rows.values();
        if (packed == nullptr) strided = rows.in_place();
    }
    // Row i into out (W == width), copied with a size the compiler sees: a few moves, not a call.
    template <std::size_t W>
    void row(std::size_t i, double (&out)[W]) const noexcept {
        if (packed != nullptr)
            std::memcpy(out, packed + i * W, sizeof out);
        else
            strided->row(i, out);
    }
};

// The rotations of a QuatList, a sequence of Quat, or rows of the four stored components.
QuatArray read_rotations(PyObject* o, const char* what, const char* arg) {
    if (is_instance<QuatList>(o)) {
        Shared<QuatList> l;
        if (!l.acquire(o)) throw_pyerr();
        QuatArray out = uninitialised(l.get().items.size());
        if (!out.empty()) std::memcpy(static_cast<void*>(out.data()), l.get().items.data(), out.size() * sizeof(Quat));
        return out;
    }
    RowsIn rows;
    const int lent = rows.read_buffer(o, 4, what, {.in_place = true});
    if (lent < 0) throw_pyerr();
    QuatArray out;
    if (lent == 0) {
        Items items;
        const int opened = items.open(o);
        if (opened < 0) throw_pyerr();
        if (opened == 0) {
            PyErr_Format(PyExc_TypeError, "%s must be a QuatList, a sequence of Quat or an (n, 4) array, not '%s'",
                         what, Py_TYPE(o)->tp_name);
            throw_pyerr();
        }
        bool quats = true;
        if (items.size() > 0) {
            PyObject* first = items.hold(0, what);
            if (first == nullptr) throw_pyerr();
            // Rows of numbers are sequences; anything else is taken for a Quat (and refused as one).
            quats =
                is_instance<Quat>(first) || !PySequence_Check(first) || PyUnicode_Check(first) || PyBytes_Check(first);
            Items::drop(first);
        }
        if (quats) {
            if (!read_quat_items(items, out, what, arg)) throw_pyerr();
            return out;
        }
        if (!rows.read_items(items, 4, what, {})) throw_pyerr();
    }
    out = uninitialised(rows.count());
    auto* dst = reinterpret_cast<double*>(out.data());
    if (out.empty()) return out;
    if (rows.values() != nullptr) {  // our own copy of a sequence, or contiguous doubles lent
        std::memcpy(dst, rows.values(), out.size() * sizeof(Quat));
    } else {  // other strides or floats, copied where they lie, each element once
        const StridedRows* src = rows.in_place();
        for_blocks(out.size(), [=](std::size_t b, std::size_t e) noexcept { src->copy(b, e, dst); }, 16384);
    }
    return out;
}

// One Quat, or the rotations of a QuatList held under a shared borrow for the call.
struct Operand {
    Quat one{};
    Shared<QuatList> list;
    const Quat* data = nullptr;
    std::size_t count = 0;
    bool single = false;

    Operand(PyObject* o, const char* arg) {
        if (is_instance<Quat>(o)) {
            Shared<Quat> q;
            if (!q.acquire(o)) throw_pyerr();
            one = q.get();
            data = &one;
            count = 1;
            single = true;
            return;
        }
        if (!is_instance<QuatList>(o)) {
            PyErr_Format(PyExc_TypeError, "argument '%s': must be a Quat or a QuatList, not '%s'", arg,
                         Py_TYPE(o)->tp_name);
            throw_pyerr();
        }
        if (!list.acquire(o)) throw_pyerr();
        data = list.get().items.data();
        count = list.get().items.size();
    }
    const Quat& at(std::size_t i) const { return single ? one : data[i]; }
};

// The length of an element-wise result of a list (or one Quat) of length na and one of nb.
std::size_t paired_length(const char* fn, std::size_t na, bool single_a, std::size_t nb, bool single_b) {
    if (single_a) return nb;
    if (single_b || na == nb) return na;
    PyErr_Format(PyExc_ValueError, "%s: %zu and %zu rotations (the lengths must agree, or one be a single Quat)", fn,
                 na, nb);
    throw_pyerr();
}

// ---------------------------------------------------------------------------------------------
// Making one

QuatList make(Quats rotations) { return QuatList{read_rotations(rotations.o, "argument 'rotations':", "rotations")}; }

QuatList from_order(PyObject* o, bool scalar_first, const char* what) {
    const RowsArg c(o, 4, what);
    const std::size_t n = c.count;
    QuatList out{uninitialised(n)};
    Quat* dst = out.items.data();
    const RowsArg* src = &c;
    each(n, [=](std::size_t i) {
        double r[4];
        src->row(i, r);
        dst[i] = canonical(core::from_common(r, scalar_first));
    });
    return out;
}
QuatList from_wxyz(Rows components) { return from_order(components.o, true, "QuatList.from_wxyz(): components"); }
QuatList from_xyzw(Rows components) { return from_order(components.o, false, "QuatList.from_xyzw(): components"); }

QuatList from_euler(Str seq_o, Rows angles, Opt<bool, "False"> degrees) {
    const core::EulerSequence seq = parse_sequence(seq_o.o, "QuatList.from_euler");
    const RowsArg a(angles.o, 3, "QuatList.from_euler(): angles");
    const std::size_t n = a.count;
    QuatList out{uninitialised(n)};
    Quat* dst = out.items.data();
    const RowsArg* src = &a;
    const bool deg = degrees;
    // A few dozen rows at a time, for the sines and cosines of all their angles at once.
    for_blocks(
        n,
        [=](std::size_t b, std::size_t e) noexcept {
            double rows[3 * core::kEulerChunk];
            for (std::size_t i = b; i < e; i += core::kEulerChunk) {
                const std::size_t m = e - i < core::kEulerChunk ? e - i : core::kEulerChunk;
                const double* at = src->packed != nullptr ? src->packed + 3 * i : rows;
                if (src->packed == nullptr)
                    for (std::size_t k = 0; k < m; ++k) {
                        double three[3];
                        src->row(i + k, three);
                        std::memcpy(rows + 3 * k, three, sizeof three);
                    }
                core::from_euler_n(seq, at, m, deg, dst + i);
                for (std::size_t k = i; k < i + m; ++k) dst[k] = canonical(dst[k]);
            }
        },
        512);
    return out;
}

[[noreturn, gnu::cold]] void matrix_error(core::MatrixFault f, std::size_t i, double worst) {
    switch (f) {
        case core::MatrixFault::NonFinite:
            PyErr_Format(PyExc_ValueError, "QuatList.from_matrix(): matrix %zu has a non-finite entry", i);
            break;
        case core::MatrixFault::Reflection:
            PyErr_Format(PyExc_ValueError,
                         "QuatList.from_matrix(): matrix %zu is not a rotation matrix: its determinant is -1 (a "
                         "reflection)",
                         i);
            break;
        default: {
            char text[200];
            std::snprintf(text, sizeof text,
                          "QuatList.from_matrix(): matrix %zu is not a rotation matrix: m @ m.T differs from the "
                          "identity by %.3g (tolerance %.0e)",
                          i, worst, core::kMatrixTolerance);
            PyErr_SetString(PyExc_ValueError, text);
        }
    }
    throw_pyerr();
}

// Matrices as an (n, 3, 3) array, or a sequence of 3 x 3 matrices (each as from_matrix takes it).
std::vector<double> read_matrices(PyObject* o) {
    constexpr const char* what = "QuatList.from_matrix(): matrices";
    std::vector<double> out;
    BufferView view;
    const int lent = view.acquire(o);
    if (lent < 0) throw_pyerr();
    if (lent > 0 && view.ndim() == 3) {
        if (view.element() == Element::Other)
            fail(PyExc_TypeError, "QuatList.from_matrix(): matrices must hold float64 or float32 numbers");
        if (view.dim(1) != 3 || view.dim(2) != 3)
            fail(PyExc_ValueError, "QuatList.from_matrix(): matrices must have the shape (n, 3, 3)");
        // Copied out once, element by element, whatever the strides (see frame/rows.hpp).
        const auto n = static_cast<std::size_t>(view.dim(0));
        const Py_ssize_t s0 = view.stride(0), s1 = view.stride(1), s2 = view.stride(2);
        const char* base = view.data();
        const bool dbl = view.element() == Element::Double;
        out.resize(n * 9);
        if (dbl && s2 == 8 && s1 == 24 && s0 == 72) {  // C-contiguous doubles: one copy
            if (n != 0) std::memcpy(out.data(), base, n * 9 * sizeof(double));
            return out;
        }
        for (std::size_t i = 0; i < n; ++i)
            for (Py_ssize_t r = 0; r < 3; ++r)
                for (Py_ssize_t c = 0; c < 3; ++c) {
                    const char* p = base + static_cast<Py_ssize_t>(i) * s0 + r * s1 + c * s2;
                    double& dst = out[9 * i + static_cast<std::size_t>(3 * r + c)];
                    if (dbl) {
                        std::memcpy(&dst, p, sizeof(double));
                    } else {
                        float f;
                        std::memcpy(&f, p, sizeof f);
                        dst = static_cast<double>(f);
                    }
                }
        return out;
    }
    if (lent > 0) fail(PyExc_ValueError, "QuatList.from_matrix(): matrices must have the shape (n, 3, 3)");
    Items items;
    const int opened = items.open(o);
    if (opened < 0) throw_pyerr();
    if (opened == 0)
        fail(PyExc_TypeError,
             "QuatList.from_matrix(): matrices must be an (n, 3, 3) array or a sequence of 3 x 3 matrices");
    out.resize(static_cast<std::size_t>(items.size()) * 9);
    for (Py_ssize_t k = 0; k < items.size(); ++k) {
        PyObject* m = items.get(k, what);
        if (m == nullptr) throw_pyerr();
        RowsIn rows;
        const bool ok = rows.read(m, 3, what, {.rows = 3});
        Py_DECREF(m);
        if (!ok) throw_pyerr();
        std::memcpy(out.data() + 9 * static_cast<std::size_t>(k), rows.values(), 9 * sizeof(double));
    }
    if (!items.finish(what)) throw_pyerr();
    return out;
}

QuatList from_matrix(MatricesIn matrices) {
    const std::vector<double> m = read_matrices(matrices.o);
    const std::size_t n = m.size() / 9;
    QuatList out{uninitialised(n)};
    Quat* dst = out.items.data();
    const double* src = m.data();
    FirstFault fault(n);
    each(n, [=, &fault](std::size_t i) {
        double a[3][3];
        std::memcpy(a, src + 9 * i, sizeof a);
        double worst;
        if (core::from_matrix(a, dst[i], worst) != core::MatrixFault::None) fault.note(i);
        dst[i] = canonical(dst[i]);
    });
    if (const std::size_t i = fault.get(); i < n) {
        double a[3][3];
        std::memcpy(a, src + 9 * i, sizeof a);
        Quat q;
        double worst;
        matrix_error(core::from_matrix(a, q, worst), i, worst);
    }
    return out;
}

// Two doubles, one element's value in each lane (GCC and clang vector extensions: one SSE2
// instruction per operation on x86-64). Additions, multiplications, divisions and square roots
// round every lane as the scalar operation would, so a lane holds the scalar code's bits; only
// the number of instructions changes.
using V2 = double __attribute__((vector_size(16)));
using M2 = long long __attribute__((vector_size(16)));
inline V2 pick(M2 mask, V2 a, V2 b) {
    return std::bit_cast<V2>((std::bit_cast<M2>(a) & mask) | (std::bit_cast<M2>(b) & ~mask));
}
inline V2 abs2(V2 v) {
    constexpr long long sign = static_cast<long long>(0x8000000000000000ull);
    return std::bit_cast<V2>(std::bit_cast<M2>(v) & ~M2{sign, sign});
}
inline V2 larger(V2 a, V2 b) { return pick(a > b, a, b); }

// The unit axes u and the half angles h of Quat::from_axis_angle for two rotation vectors
// (x, y, z): |v| = m |v / m| for the largest magnitude m of the components, which neither
// overflows nor underflows. zero: the lanes of the zero vector, whose h is 0.5 (a sine on the
// quick path, never used).
inline void axes_and_half_angles(V2 x, V2 y, V2 z, V2 (&u)[3], V2& h, M2& zero) {
    zero = (x == 0.0) & (y == 0.0) & (z == 0.0);
    const V2 m = larger(abs2(x), larger(abs2(y), abs2(z)));
    const V2 sx = x / m, sy = y / m, sz = z / m;
    const V2 squares = (sx * sx + sy * sy) + sz * sz;
    const V2 angle = m * V2{std::sqrt(squares[0]), std::sqrt(squares[1])};
    u[0] = x / angle, u[1] = y / angle, u[2] = z / angle;
    h = pick(zero, V2{0.5, 0.5}, angle * -0.5);
}

// The rotations of rotation vectors (radians, or degrees when asked): each from_axis_angle(v / |v|,
// |v|), the identity for the zero vector. A NaN component makes the rotation NaN whatever the
// others are (a NaN beside zeros once gave the identity: the largest magnitude passed over it).
// In stages over a few dozen rows at a time, so that the divisions and square roots of many rows
// overlap rather than wait for each other: the axes and half angles two rows at a time, then all
// the sines and cosines together (sin_cos_n), then from_axis_angle's products.
QuatList from_rotvec(Rows rotvecs, Opt<bool, "False"> degrees) {
    const RowsArg v(rotvecs.o, 3, "QuatList.from_rotvec(): rotvecs");
    const std::size_t n = v.count;
    QuatList out{uninitialised(n)};
    Quat* dst = out.items.data();
    const RowsArg* src = &v;
    const bool deg = degrees;
    for_blocks(
        n,
        [=](std::size_t b, std::size_t e) noexcept {
            constexpr std::size_t kChunk = 64;
            double u[3][kChunk], half[kChunk], sn[kChunk], cs[kChunk];
            bool zero[kChunk];
            for (std::size_t c = b; c < e; c += kChunk) {
                const std::size_t m = e - c < kChunk ? e - c : kChunk;
                for (std::size_t k = 0; k < m; k += 2) {
                    // Two rows (the second the zero vector past the end).
                    double r[2][3] = {};
                    const double* p0 = r[0];
                    const double* p1 = r[1];
                    if (src->packed != nullptr) {
                        p0 = src->packed + 3 * (c + k);
                        if (k + 1 < m) p1 = p0 + 3;
                    } else {
                        src->row(c + k, r[0]);
                        if (k + 1 < m) src->row(c + k + 1, r[1]);
                    }
                    V2 x{p0[0], p1[0]}, y{p0[1], p1[1]}, z{p0[2], p1[2]};
                    if (deg) x = (x * PI) / 180.0, y = (y * PI) / 180.0, z = (z * PI) / 180.0;
                    V2 axis[3], h;
                    M2 none;
                    axes_and_half_angles(x, y, z, axis, h, none);
                    for (int l = 0; l < 2; ++l) {
                        u[0][k + l] = axis[0][l], u[1][k + l] = axis[1][l], u[2][k + l] = axis[2][l];
                        half[k + l] = h[l];
                        zero[k + l] = none[l] != 0;
                    }
                }
                drevan::trig::sin_cos_n(half, sn, cs, m);
                for (std::size_t k = 0; k < m; ++k)
                    dst[c + k] = zero[k] ? Quat::identity()
                                         : canonical(Quat{cs[k], sn[k] * u[0][k], sn[k] * u[1][k], sn[k] * u[2][k]});
            }
        },
        512);
    return out;
}

QuatList from_axis_angle(Rows axes, Floats angles) {
    const RowsArg ax(axes.o, 3, "QuatList.from_axis_angle(): axes");
    const std::size_t n = ax.count;
    std::vector<double> an;
    if (is_one_number(angles.o)) {
        an.assign(1, read_double(angles.o, "QuatList.from_axis_angle(): angles"));
    } else {
        if (!read_numbers(angles.o, an, kAnyCount, "QuatList.from_axis_angle(): angles")) throw_pyerr();
        if (an.size() != n) {
            PyErr_Format(PyExc_ValueError, "QuatList.from_axis_angle(): %zu axes but %zu angles", n, an.size());
            throw_pyerr();
        }
    }
    QuatList out{uninitialised(n)};
    Quat* dst = out.items.data();
    const RowsArg* a = &ax;
    const double* t = an.data();
    const bool one = an.size() == 1 && n != 1;
    each(
        n,
        [=](std::size_t i) {
            double r[3];
            a->row(i, r);
            dst[i] = canonical(Quat::from_axis_angle(Vec3d{r[0], r[1], r[2]}, t[one ? 0 : i]));
        },
        512);
    return out;
}

QuatList identity(std::size_t n) {
    QuatList out{uninitialised(n)};
    Quat* dst = out.items.data();
    each(n, [=](std::size_t i) { dst[i] = Quat::identity(); });
    return out;
}

// Random rotations: a counter-based generator (the numbers of element i depend on the seed and i
// alone, never on the thread that draws them), and Shoemake's map of three uniform numbers onto
// the unit quaternions, uniform over rotations. Square roots and the correctly rounded sine and
// cosine make them the same bits on every platform.
std::uint64_t mix64(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}
double uniform(std::uint64_t key, std::uint64_t counter) {
    const std::uint64_t bits = mix64(key + (counter + 1) * 0x9E3779B97F4A7C15ull);
    return static_cast<double>(bits >> 11) * 0x1p-53;  // [0, 1), every value a multiple of 2^-53
}

QuatList random(std::size_t n, std::size_t seed) {
    QuatList out{uninitialised(n)};
    Quat* dst = out.items.data();
    const std::uint64_t key = mix64(static_cast<std::uint64_t>(seed) ^ 0x6F737472696C6Full);
    // In stages over a few dozen rotations at a time: the numbers and square roots, then all the
    // sines and cosines at once (sin_cos_n), then the products.
    for_blocks(
        n,
        [=](std::size_t b, std::size_t e) noexcept {
            constexpr std::size_t kChunk = 64;
            double r1[kChunk], r2[kChunk], arg[2 * kChunk], sn[2 * kChunk], cs[2 * kChunk];
            for (std::size_t i = b; i < e; i += kChunk) {
                const std::size_t m = e - i < kChunk ? e - i : kChunk;
                for (std::size_t k = 0; k < m; ++k) {
                    const std::uint64_t c = 3 * static_cast<std::uint64_t>(i + k);
                    const double u1 = uniform(key, c), u2 = uniform(key, c + 1), u3 = uniform(key, c + 2);
                    r1[k] = std::sqrt(1.0 - u1), r2[k] = std::sqrt(u1);
                    arg[2 * k] = (2.0 * PI) * u2, arg[2 * k + 1] = (2.0 * PI) * u3;
                }
                drevan::trig::sin_cos_n(arg, sn, cs, 2 * m);
                for (std::size_t k = 0; k < m; ++k) {
                    const double s1 = sn[2 * k], c1 = cs[2 * k], s2 = sn[2 * k + 1], c2 = cs[2 * k + 1];
                    // The common quaternion (x, y, z, w) = (r1 s1, r1 c1, r2 s2, r2 c2); stored: its conjugate.
                    dst[i + k] = Quat{r2[k] * c2, -(r1[k] * s1), -(r1[k] * c1), -(r2[k] * s2)};
                }
            }
        },
        512);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Reading it

std::size_t length(const QuatList& l) { return l.items.size(); }

Object item(const QuatList& l, IndexIn key) {
    const auto n = static_cast<Py_ssize_t>(l.items.size());
    if (PySlice_Check(key.o)) {
        Py_ssize_t start, stop, step;
        if (PySlice_Unpack(key.o, &start, &stop, &step) < 0) throw_pyerr();
        // The list never changes, so the slice may be fixed after __index__ ran.
        const Py_ssize_t count = PySlice_AdjustIndices(n, &start, &stop, step);
        QuatList out{uninitialised(static_cast<std::size_t>(count))};
        for (Py_ssize_t k = 0; k < count; ++k)
            out.items[static_cast<std::size_t>(k)] = l.items[static_cast<std::size_t>(start + k * step)];
        return Object{to_py(std::move(out))};
    }
    if (!PyIndex_Check(key.o)) {
        PyErr_Format(PyExc_TypeError, "QuatList indices must be integers or slices, not %.200s",
                     Py_TYPE(key.o)->tp_name);
        throw_pyerr();
    }
    Py_ssize_t i = PyNumber_AsSsize_t(key.o, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) throw_pyerr();
    if (i < 0) i += n;
    if (i < 0 || i >= n) fail(PyExc_IndexError, "QuatList index out of range");
    return Object{to_py(l.items[static_cast<std::size_t>(i)])};
}

PyObject* repr(const QuatList& l) {
    const std::size_t n = l.items.size();
    std::string s = "QuatList([";
    const bool cut = n > 8;
    for (std::size_t i = 0; i < n; ++i) {
        if (cut && i == 3) {
            s += "..., ";
            i = n - 3;
        }
        s += l.items[i].repr();
        if (i + 1 < n) s += ", ";
    }
    s += "])";
    if (cut) s += " (" + std::to_string(n) + " rotations)";
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

Object to_order(const QuatList& l, bool scalar_first) {
    const std::size_t n = l.items.size();
    NewArray out({n, 4}, "float64");
    double* dst = out.data<double>();
    const Quat* src = l.items.data();
    each(n, [=](std::size_t i) {
        core::put_common(src[i], scalar_first, dst + 4 * i);
        for (int k = 0; k < 4; ++k) dst[4 * i + k] = canonical(dst[4 * i + k]);
    });
    return Object{out.release()};
}
Object to_wxyz(const QuatList& l) { return to_order(l, true); }
Object to_xyzw(const QuatList& l) { return to_order(l, false); }

Object to_euler(const QuatList& l, Str seq_o, Opt<bool, "False"> degrees) {
    const core::EulerSequence seq = parse_sequence(seq_o.o, "QuatList.to_euler");
    const std::size_t n = l.items.size();
    NewArray out({n, 3}, "float64");
    double* dst = out.data<double>();
    const Quat* src = l.items.data();
    const bool deg = degrees;
    FirstFault bad(n);
    std::atomic<bool> locked{false};
    for_blocks(
        n,
        [=, &bad, &locked](std::size_t b, std::size_t e) noexcept {
            double a[core::kEulerChunk][3];
            int lock[core::kEulerChunk];
            for (std::size_t i = b; i < e; i += core::kEulerChunk) {
                const std::size_t count = e - i < core::kEulerChunk ? e - i : core::kEulerChunk;
                core::to_euler_n(src + i, count, seq, deg, a, lock);
                for (std::size_t r = 0; r < count; ++r) {
                    if (lock[r] < 0) {
                        bad.note(i + r);
                        continue;
                    }
                    if (lock[r] != 0) locked.store(true, std::memory_order_relaxed);
                    double* out = dst + 3 * (i + r);
                    out[0] = canonical(a[r][0]), out[1] = canonical(a[r][1]), out[2] = canonical(a[r][2]);
                }
            }
        },
        512);
    if (bad.get() < n) element_error("to_euler", bad.get(), "has a zero or non-finite length");
    if (locked.load()) warn_gimbal_lock();  // once for the list, as scipy warns
    return Object{out.release()};
}

// The matrix m with m @ v == q.rotate(v): the transpose of Quat.to_rotation_matrix().
Object to_matrix(const QuatList& l) {
    const std::size_t n = l.items.size();
    NewArray out({n, 3, 3}, "float64");
    double* dst = out.data<double>();
    const Quat* src = l.items.data();
    each(n, [=](std::size_t i) {
        const auto r = src[i].to_rotation_matrix();
        double* m = dst + 9 * i;
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b)
                m[3 * a + b] = canonical(r[static_cast<std::size_t>(b)][static_cast<std::size_t>(a)]);
    });
    return Object{out.release()};
}

Object to_rotvec(const QuatList& l, Opt<bool, "False"> degrees) {
    const std::size_t n = l.items.size();
    NewArray out({n, 3}, "float64");
    double* dst = out.data<double>();
    const Quat* src = l.items.data();
    const bool deg = degrees;
    FirstFault bad(n);
    each(
        n,
        [=, &bad](std::size_t i) {
            Vec3d axis;
            double angle;
            if (!core::axis_angle(src[i], axis, angle)) {
                bad.note(i);
                return;
            }
            if (deg) angle = (angle * 180.0) / PI;
            dst[3 * i] = canonical(axis.x * angle), dst[3 * i + 1] = canonical(axis.y * angle),
                    dst[3 * i + 2] = canonical(axis.z * angle);
        },
        512);
    if (bad.get() < n) element_error("to_rotvec", bad.get(), "is the zero quaternion, which is no rotation");
    return Object{out.release()};
}

Object magnitude(const QuatList& l) {
    const std::size_t n = l.items.size();
    NewArray out({n}, "float64");
    double* dst = out.data<double>();
    const Quat* src = l.items.data();
    FirstFault bad(n);
    // A few dozen at a time, for their arctangents on the vector units together.
    for_blocks(
        n,
        [=, &bad](std::size_t b, std::size_t e) noexcept {
            double angle[core::kAnglesChunk];
            for (std::size_t i = b; i < e; i += core::kAnglesChunk) {
                const std::size_t m = e - i < core::kAnglesChunk ? e - i : core::kAnglesChunk;
                if (!core::rotation_angles(src + i, m, angle)) {
                    for (std::size_t k = 0; k < m; ++k) {
                        Vec3d axis;
                        double one;
                        if (!core::axis_angle(src[i + k], axis, one)) bad.note(i + k);
                    }
                }
                for (std::size_t k = 0; k < m; ++k) dst[i + k] = canonical(angle[k]);
            }
        },
        512);
    if (bad.get() < n) element_error("magnitude", bad.get(), "is the zero quaternion, which is no rotation");
    return Object{out.release()};
}

// ---------------------------------------------------------------------------------------------
// Working with it

QuatList compose(QuatsIn first, QuatsIn second) {
    const Operand a(first.o, "first"), b(second.o, "second");
    const std::size_t n = paired_length("QuatList.compose()", a.count, a.single, b.count, b.single);
    QuatList out{uninitialised(n)};
    Quat* dst = out.items.data();
    const Operand* pa = &a;
    const Operand* pb = &b;
    each(n, [=](std::size_t i) { dst[i] = canonical(core::hamilton_product(pa->at(i), pb->at(i))); });
    return out;
}

QuatList inverse(const QuatList& l) {
    const std::size_t n = l.items.size();
    QuatList out{uninitialised(n)};
    Quat* dst = out.items.data();
    const Quat* src = l.items.data();
    FirstFault bad(n);
    each(n, [=, &bad](std::size_t i) {
        if (!core::inverse(src[i], dst[i])) bad.note(i);
        dst[i] = canonical(dst[i]);
    });
    if (bad.get() < n) element_error("inverse", bad.get(), "is the zero quaternion, which has no inverse");
    return out;
}

QuatList normalize(const QuatList& l) {
    const std::size_t n = l.items.size();
    QuatList out{uninitialised(n)};
    Quat* dst = out.items.data();
    const Quat* src = l.items.data();
    each(n, [=](std::size_t i) { dst[i] = canonical(src[i].normalize()); });
    return out;
}

VecList apply(const QuatList& l, VectorsIn vectors) {
    const std::size_t nq = l.items.size();
    Vec3d one{};
    Shared<VecList> list;
    const Vec3d* in = &one;
    std::size_t nv = 1;
    bool single = true;
    if (is_instance<Vec3d>(vectors.o)) {
        Shared<Vec3d> v;
        if (!v.acquire(vectors.o)) throw_pyerr();
        one = v.get();
    } else if (is_instance<VecList>(vectors.o)) {
        if (!list.acquire(vectors.o)) throw_pyerr();
        in = list.get().items.data();
        nv = list.get().items.size();
        single = false;
    } else {
        PyErr_Format(PyExc_TypeError, "argument 'vectors': must be a Vec3d or a VecList, not '%s'",
                     Py_TYPE(vectors.o)->tp_name);
        throw_pyerr();
    }
    const bool one_rotation = nq == 1 && !single;
    if (!single && !one_rotation && nv != nq) {
        PyErr_Format(PyExc_ValueError, "QuatList.apply(): %zu rotations but %zu vectors", nq, nv);
        throw_pyerr();
    }
    const std::size_t n = single ? nq : nv;
    VecList out;
    out.items.resize(n);  // left uninitialised; every element is written below
    Vec3d* dst = out.items.data();
    const Quat* rot = l.items.data();
    each(n, [=](std::size_t i) { dst[i] = canonical(rot[one_rotation ? 0 : i].rotate(in[single ? 0 : i])); }, 4096);
    return out;
}

// Whether each pair is the same rotation within atol radians: the angle of the rotation that
// takes one to the other, axis_angle(compose(inverse(a), b)), below atol (as scipy's approx_equal).
Object approx_equal(const QuatList& l, QuatsIn other, Opt<double, "1e-08"> atol) {
    const Operand b(other.o, "other");
    const std::size_t n = paired_length("QuatList.approx_equal()", l.items.size(), false, b.count, b.single);
    NewArray out({n}, "bool");
    auto* dst = out.data<unsigned char>();
    const Quat* src = l.items.data();
    const Operand* pb = &b;
    const double tol = atol;
    each(n, [=](std::size_t i) {
        Quat inv;
        Vec3d axis;
        double angle;
        dst[i] = core::inverse(src[i], inv) && core::axis_angle(core::hamilton_product(inv, pb->at(i)), axis, angle) &&
                 angle < tol;
    });
    return Object{out.release()};
}

// ---------------------------------------------------------------------------------------------
// The buffer: a read-only (n, 4) view of the stored components (the list never changes, so the
// view needs no borrow).

struct ViewShape {
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};
alignas(double) const unsigned char empty_storage[sizeof(double)] = {};

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    if (view == nullptr) {
        PyErr_SetString(PyExc_BufferError, "a buffer request needs a view");
        return -1;
    }
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "QuatList buffers are read-only");
        return -1;
    }
    const QuatArray& items = as_obj<QuatList>(self)->value.items;
    const auto n = static_cast<Py_ssize_t>(items.size());
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && n > 1) {
        PyErr_SetString(PyExc_BufferError, "the array is C-contiguous, not Fortran-contiguous");
        return -1;
    }
    auto* info = static_cast<ViewShape*>(PyMem_Malloc(sizeof(ViewShape)));
    if (info == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    *info = {{n, 4}, {static_cast<Py_ssize_t>(sizeof(Quat)), static_cast<Py_ssize_t>(sizeof(double))}};
    view->buf =
        n == 0 ? const_cast<unsigned char*>(empty_storage) : static_cast<void*>(const_cast<Quat*>(items.data()));
    view->obj = Py_NewRef(self);
    view->len = n * static_cast<Py_ssize_t>(sizeof(Quat));
    view->readonly = 1;
    view->suboffsets = nullptr;
    view->internal = info;
    if ((flags & PyBUF_ND) == PyBUF_ND) {
        view->itemsize = sizeof(double);
        view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("d") : nullptr;
        view->ndim = 2;
        view->shape = info->shape;
        view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? info->strides : nullptr;
    } else {
        view->itemsize = 1;
        view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("B") : nullptr;
        view->ndim = 1;
        view->shape = nullptr;
        view->strides = nullptr;
    }
    return 0;
}

void release_buffer(PyObject*, Py_buffer* view) { PyMem_Free(view->internal); }

using Doc = Documented<kProse>;

// clang-format off
using QuatListClass = ClassTable<QuatList,
    // Construction
    Doc::Ctor<make, "rotations">,
    Doc::Static<"from_wxyz",       from_wxyz,       "components">,
    Doc::Static<"from_xyzw",       from_xyzw,       "components">,
    Doc::Static<"from_euler",      from_euler,      "seq", "angles", "degrees">,
    Doc::Static<"from_matrix",     from_matrix,     "matrices">,
    Doc::Static<"from_rotvec",     from_rotvec,     "rotvecs", "degrees">,
    Doc::Static<"from_axis_angle", from_axis_angle, "axes", "angles">,
    Doc::Static<"identity",        identity,        "n">,
    Doc::Static<"random",          random,          "n", "seed">,
    // Reading it
    Doc::Method<"to_wxyz",         to_wxyz>,
    Doc::Method<"to_xyzw",         to_xyzw>,
    Doc::Method<"to_euler",        to_euler,        "seq", "degrees">,
    Doc::Method<"to_matrix",       to_matrix>,
    Doc::Method<"to_rotvec",       to_rotvec,       "degrees">,
    Doc::Method<"magnitude",       magnitude>,
    // Working with it
    Doc::Static<"compose",         compose,         "first", "second">,
    Doc::Method<"inverse",         inverse>,
    Doc::Method<"apply",           apply,           "vectors">,
    Doc::Method<"normalize",       normalize>,
    Doc::Method<"approx_equal",    approx_equal,    "other", "atol">,
    Doc::Method<"mean",            mean,            "weights">,
    // Pickling
    Pickled<"quat_list">,
    // Protocol slots
    Item<item>,
    Len<length>,
    Repr<repr>,
    Slot<Py_bf_getbuffer,     get_buffer>,
    Slot<Py_bf_releasebuffer, release_buffer>,
    CompareByIdentity,
    Unhashable>;
// clang-format on

}  // namespace
}  // namespace ext

PyTypeObject* Bound<ext::QuatList>::create() { return ext::QuatListClass::create(); }

}  // namespace ostrilo
