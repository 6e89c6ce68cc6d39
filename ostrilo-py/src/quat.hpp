#pragma once
// The Python class Quat over the core quaternion (quat.cpp).
#include "drevan/quat.hpp"
#include "frame/free_list.hpp"

namespace ostrilo {
template <>
struct Bound<drevan::Quat> : BoundAs<"Quat"> {
    static PyTypeObject* create();
};
template <>
struct InstanceStorage<drevan::Quat> : FreeListStorage<drevan::Quat> {};
}  // namespace ostrilo
