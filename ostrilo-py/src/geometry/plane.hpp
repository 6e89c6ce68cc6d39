#pragma once
// The Python class Plane over the core plane (plane.cpp).
#include "drevan/geometry/plane.hpp"
#include "frame/borrow.hpp"

namespace ostrilo {
template <>
struct Bound<drevan::geometry::Plane> : BoundAs<"Plane"> {
    static PyTypeObject* create();
};
}  // namespace ostrilo
