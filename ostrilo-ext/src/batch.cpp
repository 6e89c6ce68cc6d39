// rotate_each (batch.hpp). Rotations given as Quat objects or nested sequences are copied out on
// the calling thread first; rows in a buffer (a NumPy array) are read where they are, by the
// pool, while the buffer is held. The pool fills the new list in blocks whose boundaries depend on the length
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
#include <type_traits>
#include <vector>

namespace ostrilo::ext {

using drevan::Quat;
using drevan::Vec3d;

namespace {

constexpr const char* kWhat = "argument 'rotations':";

// Quat objects, copied out of them one by one.
bool read_quats(Items& items, std::vector<Quat>& out) {
    out.reserve(static_cast<std::size_t>(items.size()));
    return read_borrowed_items<Quat>(items, kWhat, "rotations",
                                     [&out](std::size_t, const Quat& q) { out.push_back(q); });
}

// The rotations as Quat values of our own, from a sequence of Quat or of rows of four numbers
// (as its first item says).
std::vector<Quat> read_sequence(PyObject* o) {
    Items items;
    const int opened = items.open(o);
    if (opened < 0) throw_pyerr();
    if (opened == 0) {
        PyErr_SetString(PyExc_TypeError, "argument 'rotations': must be a sequence of Quat or an (n, 4) array");
        throw_pyerr();
    }
    bool quats = true;
    if (items.size() > 0) {
        PyObject* first = items.hold(0, kWhat);
        if (first == nullptr) throw_pyerr();
        // Rows of numbers are sequences; anything else is taken for a Quat (and refused as one).
        quats = is_instance<Quat>(first) || !PySequence_Check(first) || PyUnicode_Check(first) || PyBytes_Check(first);
        Items::drop(first);
    }
    std::vector<Quat> out;
    if (quats) {
        if (!read_quats(items, out)) throw_pyerr();
        return out;
    }
    RowsIn rows;
    if (!rows.read_items(items, 4, kWhat, {})) throw_pyerr();
    out.resize(rows.count());
    if (rows.count() != 0) std::memcpy(static_cast<void*>(out.data()), rows.values(), rows.count() * sizeof(Quat));
    return out;
}

static_assert(sizeof(Quat) == 4 * sizeof(double) && alignof(Quat) == alignof(double) && std::is_standard_layout_v<Quat>,
              "a row of four doubles is a Quat");

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

// Rotation i of rows read in place.
static Quat strided_quat(const StridedRows* rows, std::size_t i) {
    double c[4];
    rows->row(i, c);
    return Quat{c[0], c[1], c[2], c[3]};
}

VecList rotate_each(const VecList& vectors, Quats rotations) {
    const std::size_t n = vectors.items.size();
    const Vec3d* in = vectors.items.data();
    VecList out;
    // An (n, 4) buffer is read where it lies (see frame/rows.hpp: each rotation is read by the
    // one element that uses it, for arithmetic only).
    RowsIn rows;
    const int lent = rows.read_buffer(rotations.o, 4, kWhat, {.in_place = true});
    if (lent < 0) throw_pyerr();
    std::vector<Quat> copied;
    const Quat* rot = nullptr;  // the rotations, when they lie as an array of Quat
    const StridedRows* strided = nullptr;
    if (lent > 0) {
        if (rows.count() != n) length_mismatch(n, rows.count());
        rot = reinterpret_cast<const Quat*>(rows.values());
        strided = rows.in_place();
    } else {
        copied = read_sequence(rotations.o);
        if (copied.size() != n) length_mismatch(n, copied.size());
        rot = copied.data();
    }
    out.items.resize(n);  // left uninitialised by the allocator; every element is written below
    Vec3d* dst = out.items.data();
    std::atomic<bool> any_nan{false};  // the pool's hand-back orders the stores before the load
    std::atomic<bool>* const flag = &any_nan;
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
                rotate_block([=](std::size_t i) { return strided_quat(strided, i).rotate(in[i]); }, dst, b, e, flag);
            },
            kGrain);
    }
    if (any_nan.load(std::memory_order_relaxed)) {
        QuatRotate quat_rotate;
        for (std::size_t i = 0; i < n; ++i)
            if (has_nan(dst[i])) dst[i] = quat_rotate(rot != nullptr ? rot[i] : strided_quat(strided, i), in[i]);
    }
    return out;
}

}  // namespace ostrilo::ext
