#pragma once
// The Python class Quat over the core quaternion (quat.cpp).
#include "drevan/quat.hpp"
#include "frame/borrow.hpp"

namespace ostrilo {
template <>
struct Bound<drevan::Quat> : BoundAs<"Quat"> {
    static PyTypeObject* create();
};
}  // namespace ostrilo
