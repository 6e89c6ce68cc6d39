#pragma once
// Angles read through atan2, accurate at every size (accurate.cpp).
#include <utility>

#include "shared.hpp"

namespace ostrilo::ext {

// The axis and angle in [0, pi] that from_axis_angle turns back into q (or -q): the angle is
// 2 atan2(|(i, j, k)|, |w|). The identity gives the x axis and 0. ValueError for zero.
std::pair<drevan::Vec3d, drevan::AngleRadians> axis_angle(const drevan::Quat& q);
// atan2(|a x b|, a . b): exactly 0 for parallel and pi for antiparallel vectors.
drevan::AngleRadians angle_between(const drevan::Vec3d& a, const drevan::Vec3d& b);

}  // namespace ostrilo::ext
