#pragma once
// The Python class Vec3d over the core vector (vec3d.cpp).
#include "drevan/vec3d.hpp"
#include "frame/free_list.hpp"

namespace ostrilo {
template <>
struct Bound<drevan::Vec3d> : BoundAs<"Vec3d"> {
    static PyTypeObject* create();
};
template <>
struct InstanceStorage<drevan::Vec3d> : FreeListStorage<drevan::Vec3d> {};
}  // namespace ostrilo
