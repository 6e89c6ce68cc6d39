#pragma once
// The Python classes VecList and VecListIterator (vec_list.cpp) and the value records behind
// them: one contiguous array of core vectors (vec_array.hpp).
#include <cstddef>

#include "frame/borrow.hpp"
#include "vec_array.hpp"

namespace ostrilo {

// Both records are aligned like the vector of doubles they hold, on every platform, so that in
// an instance the borrow flag that follows the record always ends 8 bytes before the end.
struct alignas(8) VecList {
    VecArray items;
};

// A snapshot of a list's elements and the position of the next one to hand out. The array is
// released as soon as the last element has been handed out.
struct alignas(8) VecListIterator {
    VecArray items;
    std::size_t cursor = 0;
};

template <>
struct Bound<VecList> : BoundAs<"VecList"> {
    static PyTypeObject* create();
};
template <>
struct Bound<VecListIterator> : BoundAs<"VecListIterator"> {
    static PyTypeObject* create();
};

}  // namespace ostrilo
