#pragma once
// The Python classes AngleRadians and AngleDegrees over the core angles (angle.cpp).
#include "drevan/angle.hpp"
#include "frame/free_list.hpp"

namespace ostrilo {
template <>
struct Bound<drevan::AngleRadians> : BoundAs<"AngleRadians"> {
    static PyTypeObject* create();
};
template <>
struct Bound<drevan::AngleDegrees> : BoundAs<"AngleDegrees"> {
    static PyTypeObject* create();
};
template <>
struct InstanceStorage<drevan::AngleRadians> : FreeListStorage<drevan::AngleRadians> {};
template <>
struct InstanceStorage<drevan::AngleDegrees> : FreeListStorage<drevan::AngleDegrees> {};
}  // namespace ostrilo
