#pragma once
// The Python class Circle over the core circle (circle.cpp).
#include "drevan/geometry/circle.hpp"
#include "frame/borrow.hpp"

namespace ostrilo {
template <>
struct Bound<drevan::geometry::Circle> : BoundAs<"Circle"> {
    static PyTypeObject* create();
};
}  // namespace ostrilo
