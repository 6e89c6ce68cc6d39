#pragma once
// The Python classes AngleRadians and AngleDegrees over the core angles (angle.cpp).
#include "drevan/angle.hpp"
#include "frame/borrow.hpp"

namespace ostrilo {
template <>
struct Bound<drevan::AngleRadians> : BoundAs<"AngleRadians"> {
    static PyTypeObject* create();
};
template <>
struct Bound<drevan::AngleDegrees> : BoundAs<"AngleDegrees"> {
    static PyTypeObject* create();
};
}  // namespace ostrilo
