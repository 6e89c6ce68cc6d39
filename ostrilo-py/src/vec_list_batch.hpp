#pragma once
// The element-wise operations of VecList (vec_list_batch.cpp): each applies the core Vec3d (or
// Quat) function to every element on the pool, into an output allocated in full first.
#include <cstddef>

#include "drevan/quat.hpp"
#include "py_lists.hpp"
#include "vec_list.hpp"

namespace ostrilo::batch {

using drevan::Quat;
using drevan::Vec3d;

VecList add(const VecList& l, const Vec3d& o);
VecList sub(const VecList& l, const Vec3d& o);
VecList mul(const VecList& l, double s);
VecList rmul(const VecList& l, double s);
VecList truediv(const VecList& l, double s);
PyList<double> dot(const VecList& l, const Vec3d& o);
VecList cross(const VecList& l, const Vec3d& o);
PyList<double> distance_to(const VecList& l, const Vec3d& o);
PyList<double> distance_squared(const VecList& l, const Vec3d& o);
PyList<double> magnitude(const VecList& l);
PyList<bool> is_unit(const VecList& l);
VecList normalize(const VecList& l);
VecList collapse(const VecList& l, std::size_t axis);
void rotate(VecList& l, const Quat& q);

}  // namespace ostrilo::batch
