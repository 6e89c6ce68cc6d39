#pragma once
// The class SpatialIndex of ostrilo_ext (spatial.cpp): the exact index of spatial_index.hpp over a
// snapshot of points, bound on the frame's class table.
#include "arrays.hpp"
#include "shared.hpp"
#include "spatial_index.hpp"

namespace ostrilo {

template <>
struct Bound<spatial::SpatialIndex> : BoundAs<"SpatialIndex"> {
    static PyTypeObject* create();
};

}  // namespace ostrilo
