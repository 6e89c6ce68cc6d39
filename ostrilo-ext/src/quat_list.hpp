#pragma once
// The class QuatList of ostrilo_ext (quat_list.cpp): n rotations held as the stored components of
// ostrilo_py's Quat, in one contiguous array, worked on by the shared worker pool. Every element
// of every result is the bits of the single-rotation function it batches (quat_core.hpp).
#include <vector>

#include "arrays.hpp"
#include "quat_core.hpp"
#include "shared.hpp"

namespace ostrilo {
namespace ext {

using QuatArray = std::vector<drevan::Quat, RawAllocator<drevan::Quat>>;

// Every NaN that a list operation computes is this one (positive, quiet, zero payload), as in
// VecList's arithmetic: which NaN the hardware gives depends on the order of the operands, which
// the single functions leave to the compiler, so only one NaN for all keeps a list's bits the same
// for every loop build and thread count. Copies keep their bits.
inline double canonical(double x) { return x == x ? x : __builtin_nan(""); }
inline drevan::Quat canonical(const drevan::Quat& q) {
    return {canonical(q.w), canonical(q.i), canonical(q.j), canonical(q.k)};
}
inline drevan::Vec3d canonical(const drevan::Vec3d& v) { return {canonical(v.x), canonical(v.y), canonical(v.z)}; }

// Never changed after it is made (as scipy's Rotation): its buffer view needs no borrow, and any
// number of threads may read it at once.
struct alignas(8) QuatList {
    QuatArray items;
};

// The interpolator through key rotations at key times (quat_slerp.cpp), Slerp in Python.
struct alignas(8) KeySlerp {
    std::vector<double> times;
    QuatArray keys;
};

// Vectors read here (a VecList, rows, one Vec3d: the prose's signatures say which), which the
// records announce as a VecList.
struct VecListTag {
    static constexpr Json annotation() { return class_annotation("VecList"); }
};
using VectorsIn = In<VecListTag>;

// An optional argument whose default is None (weights): nullptr when left out or None.
struct Weights {
    PyObject* o;
};

// Helpers of the Euler functions (euler.cpp), shared with the lists.
core::EulerSequence parse_sequence(PyObject* seq, const char* fn);
void warn_gimbal_lock();

// The rotation that best maps the vectors b onto a (quat_list_across.cpp).
Object align_vectors(VectorsIn a, VectorsIn b, Weights weights);
// The mean rotation of a list (quat_list_across.cpp).
drevan::Quat mean(const QuatList& l, Weights weights);

}  // namespace ext

template <>
struct Caster<ext::Weights> {
    static constexpr const char* default_text = "None";
    using Holder = PyObject*;
    static bool from(PyObject* o, Holder& h) {
        h = o == Py_None ? nullptr : o;
        return true;
    }
    static ext::Weights get(Holder& h) { return ext::Weights{h}; }
    static constexpr Json annotation() { return sequence_of(builtin_annotation("float")); }
};

template <>
struct Bound<ext::QuatList> : BoundAs<"QuatList"> {
    static PyTypeObject* create();
};

template <>
struct Bound<ext::KeySlerp> : BoundAs<"Slerp"> {
    static PyTypeObject* create();
};

}  // namespace ostrilo
