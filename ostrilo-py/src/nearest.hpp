#pragma once
// The nearest-element search of VecList (nearest.cpp).
#include <cstddef>
#include <utility>

#include "vec_list.hpp"

namespace ostrilo {

// (index, distance) of the element of l nearest to o: every stride-th element first, then the
// window around the winner. Panics on a zero stride and on an empty list.
std::pair<std::size_t, double> minimum_distance_to(const VecList& l, const drevan::Vec3d& o, std::size_t stride);

}  // namespace ostrilo
