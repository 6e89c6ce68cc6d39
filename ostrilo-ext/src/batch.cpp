// rotate_each (batch.hpp). Rotations given as Quat objects are copied out of them on the calling
// thread first; rows in a buffer (a NumPy array) are read where they are, by the pool, while the
// buffer is held. The pool fills the new list in blocks whose boundaries depend on the length
// alone, and each element is computed on its own, so the bits never depend on the thread count.
//
// NaN. Every number the loop computes is the bits Quat.rotate gives: additions and products are
// correctly rounded and commutative, whatever operand order or vector width the compiler picks.
// A NaN is the exception: an operation on two NaNs returns one of them, and which one depends on
// that operand order, different in the vectorised loop, in its scalar tail and in Quat.rotate's
// own build. So the loop notes whether any component came out infinite or NaN, and then the
// elements with a NaN are computed again on the calling thread by Quat.rotate itself, whose NaN
// they then are, payload and sign included. Lists without NaN pay a vectorised test of the results' bits (3 to 6 % of
// the loop's time); each element with a NaN costs a call of Quat.rotate, about 45 ns.
#include "batch.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ostrilo::ext {

using drevan::Quat;
using drevan::Vec3d;

namespace {

// A sequence whose first item is a Quat (a sequence of rows otherwise).
bool rows_of_quats(PyObject* o) {
    PyObject* first = PySequence_GetItem(o, 0);
    if (first == nullptr) {
        PyErr_Clear();
        return true;
    }
    const bool quat = is_instance<Quat>(first);
    Py_DECREF(first);
    return quat;
}

std::vector<Quat> read_quats(PyObject* o) {
    std::vector<Quat> out;
    PyObject* seq = PySequence_Fast(o, "argument 'rotations': must be a sequence of Quat or an (n, 4) array");
    if (seq == nullptr) throw_pyerr();
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        Shared<Quat> item;
        if (!item.acquire(PySequence_Fast_GET_ITEM(seq, k))) {
            Py_DECREF(seq);
            add_argument_prefix("rotations");
            throw_pyerr();
        }
        out.push_back(item.get());
    }
    Py_DECREF(seq);
    return out;
}

// The rows of an (n, 4) buffer of float64 or float32, held for the guard's lifetime.
struct Rows4 {
    Py_buffer b{};
    bool held = false;
    Rows4() = default;
    Rows4(const Rows4&) = delete;
    Rows4& operator=(const Rows4&) = delete;
    ~Rows4() {
        if (held) PyBuffer_Release(&b);
    }
    // False (nothing set) when o exports no buffer; throws for a buffer of another shape or type.
    bool take(PyObject* o) {
        if (!PyObject_CheckBuffer(o)) return false;
        if (PyObject_GetBuffer(o, &b, PyBUF_STRIDES | PyBUF_FORMAT) < 0) throw_pyerr();
        held = true;
        const char* f = b.format ? b.format : "B";
        if (*f == '@' || *f == '=' || *f == '<') ++f;
        const bool dbl = f[0] == 'd' && f[1] == '\0' && b.itemsize == 8;
        const bool flt = f[0] == 'f' && f[1] == '\0' && b.itemsize == 4;
        if (!dbl && !flt) {
            PyErr_SetString(PyExc_TypeError, "argument 'rotations': must hold float64 or float32 numbers");
            throw_pyerr();
        }
        if (b.ndim != 2 || b.shape[1] != 4) {
            PyErr_SetString(PyExc_ValueError, "argument 'rotations': must have the shape (n, 4)");
            throw_pyerr();
        }
        return true;
    }
    std::size_t rows() const { return static_cast<std::size_t>(b.shape[0]); }
    Quat at(std::size_t r) const {
        const char* row = static_cast<const char*>(b.buf) + static_cast<Py_ssize_t>(r) * b.strides[0];
        const Py_ssize_t s = b.strides[1];
        double c[4];
        for (int k = 0; k < 4; ++k) {
            if (b.itemsize == 8) {
                std::memcpy(&c[k], row + k * s, 8);
            } else {
                float f;
                std::memcpy(&f, row + k * s, 4);
                c[k] = static_cast<double>(f);
            }
        }
        return {c[0], c[1], c[2], c[3]};
    }
    // Contiguous float64 rows: the quaternions as they lie.
    const Quat* packed() const {
        return b.itemsize == 8 && b.strides[1] == 8 && b.strides[0] == 32 ? static_cast<const Quat*>(b.buf) : nullptr;
    }
};

static_assert(sizeof(Quat) == 32 && alignof(Quat) <= 8, "a row of four doubles is a Quat");

[[noreturn, gnu::cold]] void length_mismatch(std::size_t n, std::size_t m) {
    PyErr_Format(PyExc_ValueError, "rotate_each(): %zu vectors but %zu rotations", n, m);
    throw_pyerr();
}

constexpr std::size_t kGrain = 4096;

inline bool has_nan(const Vec3d& v) { return (v.x != v.x) | (v.y != v.y) | (v.z != v.z); }

// Whether a component of out[b, e) is infinite or NaN, tested on the bits so that the loop
// vectorises (a test of x != x does not: inside the rotation loop it made rotate_each 50 to 75 %
// slower). The sign is masked off and the exponent field incremented: it carries into the top bit
// exactly when it is all ones. Infinite results only cost the search for NaNs that then finds none.
inline bool nonfinite(const Vec3d* out, std::size_t b, std::size_t e) {
    const auto* c = reinterpret_cast<const unsigned char*>(out + b);
    std::uint64_t any = 0;
    for (std::size_t i = 0; i < 3 * (e - b); ++i) {
        std::uint64_t bits;
        std::memcpy(&bits, c + 8 * i, 8);
        any |= (bits & 0x7ff0'0000'0000'0000ULL) + 0x0010'0000'0000'0000ULL;
    }
    return (any >> 63) != 0;
}

// rotate(i) for i in [b, e) into out, in runs of kRun elements each tested by nonfinite while it is
// still in the first-level cache (one test over the whole block, read back from the second level,
// cost 9 % of the loop's time, a run of 64 elements 3 to 6 %); sets *flag if one is.
constexpr std::size_t kRun = 64;
template <class Rotate>
[[gnu::always_inline]] inline void rotate_block(Rotate rotate, Vec3d* out, std::size_t b, std::size_t e,
                                                std::atomic<bool>* flag) {
    bool odd = false;
    for (std::size_t r = b; r < e; r += kRun) {
        const std::size_t re = e - r < kRun ? e : r + kRun;
        for (std::size_t i = r; i < re; ++i) out[i] = rotate(i);
        odd |= nonfinite(out, r, re);
    }
    if (odd) flag->store(true, std::memory_order_relaxed);
}

// ostrilo_py's Quat.rotate, called through its class for one element at a time: two instances
// of our own that nothing else sees carry the operands from call to call.
class QuatRotate {
  public:
    QuatRotate() = default;
    QuatRotate(const QuatRotate&) = delete;
    QuatRotate& operator=(const QuatRotate&) = delete;
    ~QuatRotate() {
        Py_XDECREF(method_);
        Py_XDECREF(q_);
        Py_XDECREF(v_);
    }
    Vec3d operator()(const Quat& q, const Vec3d& v) {
        if (method_ == nullptr) {
            PyTypeObject* type = class_object<Quat>.get();
            if (type == nullptr) throw_pyerr();
            method_ = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "rotate");
            if (method_ == nullptr || (q_ = to_py(q)) == nullptr || (v_ = to_py(v)) == nullptr) throw_pyerr();
        }
        as_obj<Quat>(q_)->value = q;
        as_obj<Vec3d>(v_)->value = v;
        PyObject* args[] = {q_, v_};
        PyObject* r = PyObject_Vectorcall(method_, args, 2, nullptr);
        if (r == nullptr) throw_pyerr();
        const Vec3d out = as_obj<Vec3d>(r)->value;  // Quat.rotate returns a Vec3d
        Py_DECREF(r);
        return out;
    }

  private:
    PyObject* method_ = nullptr;
    PyObject* q_ = nullptr;
    PyObject* v_ = nullptr;
};

}  // namespace

VecList rotate_each(const VecList& vectors, Quats rotations) {
    const std::size_t n = vectors.items.size();
    const Vec3d* in = vectors.items.data();
    VecList out;
    Rows4 rows;
    std::vector<Quat> copied;
    const Quat* rot = nullptr;  // the rotations, when they lie as an array of Quat
    if (rows.take(rotations.o)) {
        if (rows.rows() != n) length_mismatch(n, rows.rows());
        rot = rows.packed();
    } else {
        if (is_batch(rotations.o) && !rows_of_quats(rotations.o)) {  // nested sequences of numbers
            const std::vector<double> r = read_rows(rotations.o, 4, "argument 'rotations':");
            copied.resize(r.size() / 4);
            std::memcpy(static_cast<void*>(copied.data()), r.data(), r.size() * sizeof(double));
        } else {
            copied = read_quats(rotations.o);
        }
        if (copied.size() != n) length_mismatch(n, copied.size());
        rot = copied.data();
    }
    out.items.resize(n);  // left uninitialised by the allocator; every element is written below
    Vec3d* dst = out.items.data();
    std::atomic<bool> any_nan{false};  // the pool's hand-back orders the stores before the load
    std::atomic<bool>* const flag = &any_nan;
    const Rows4* const src = &rows;
    if (rot != nullptr) {
        for_blocks(
            n,
            [=](std::size_t b, std::size_t e) noexcept {
                rotate_block([=](std::size_t i) { return rot[i].rotate(in[i]); }, dst, b, e, flag);
            },
            kGrain);
    } else {  // strided or float32 rows: read in place
        for_blocks(
            n,
            [=](std::size_t b, std::size_t e) noexcept {
                rotate_block([=](std::size_t i) { return src->at(i).rotate(in[i]); }, dst, b, e, flag);
            },
            kGrain);
    }
    if (any_nan.load(std::memory_order_relaxed)) {
        QuatRotate quat_rotate;
        for (std::size_t i = 0; i < n; ++i)
            if (has_nan(dst[i])) dst[i] = quat_rotate(rot != nullptr ? rot[i] : src->at(i), in[i]);
    }
    return out;
}

}  // namespace ostrilo::ext
