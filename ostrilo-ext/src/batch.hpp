#pragma once
// Element-wise work on whole lists, on ostrilo_py's worker pool (batch.cpp).
#include "arrays.hpp"
#include "shared.hpp"

namespace ostrilo::ext {

// A new list whose i-th element is rotations[i].rotate(vectors[i]), the same bits as that call.
// rotations: a sequence of Quat, or (n, 4) rows of the stored components (w, i, j, k).
VecList rotate_each(const VecList& vectors, Quats rotations);

}  // namespace ostrilo::ext
