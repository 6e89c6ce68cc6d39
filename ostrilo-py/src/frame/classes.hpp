#pragma once
// The classes of the module and the core value each instance holds.
#include "frame/frame.hpp"

namespace drevan {
struct Vec3d;
struct AngleRadians;
struct AngleDegrees;
struct Quat;
namespace geometry {
struct Plane;
struct Circle;
}  // namespace geometry
}  // namespace drevan

namespace ostrilo {

struct VecList;          // vec_list.cpp
struct VecListIterator;  // vec_list.cpp

extern ClassInfo vec3d_class;
extern ClassInfo angle_radians_class [[gnu::weak]];
extern ClassInfo angle_degrees_class [[gnu::weak]];
extern ClassInfo quat_class [[gnu::weak]];
extern ClassInfo vec_list_class [[gnu::weak]];
extern ClassInfo vec_list_iterator_class [[gnu::weak]];
extern ClassInfo plane_class [[gnu::weak]];
extern ClassInfo circle_class [[gnu::weak]];

#define OSTRILO_BIND_CLASS(T, info, class_name)         \
    template <>                                         \
    struct Bound<T> : std::true_type {                  \
        static constexpr const char* name = class_name; \
    };                                                  \
    template <>                                         \
    inline ClassInfo& class_of<T>() {                   \
        return info;                                    \
    }

OSTRILO_BIND_CLASS(drevan::Vec3d, vec3d_class, "Vec3d")
OSTRILO_BIND_CLASS(drevan::AngleRadians, angle_radians_class, "AngleRadians")
OSTRILO_BIND_CLASS(drevan::AngleDegrees, angle_degrees_class, "AngleDegrees")
OSTRILO_BIND_CLASS(drevan::Quat, quat_class, "Quat")
OSTRILO_BIND_CLASS(drevan::geometry::Plane, plane_class, "Plane")
OSTRILO_BIND_CLASS(drevan::geometry::Circle, circle_class, "Circle")
OSTRILO_BIND_CLASS(VecList, vec_list_class, "VecList")
OSTRILO_BIND_CLASS(VecListIterator, vec_list_iterator_class, "VecListIterator")

#undef OSTRILO_BIND_CLASS

// Registration of the geometry submodule's functions (geometry/intersection.cpp).
extern PyMethodDef* geometry_functions [[gnu::weak]];

}  // namespace ostrilo
