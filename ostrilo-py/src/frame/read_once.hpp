#pragma once
// One read of memory that another thread may write meanwhile (the policy is in frame/rows.hpp).
// Plain C++, no interpreter: the cores that read lent memory include it too.
#include <cstring>

namespace ostrilo {

// A copy of *src read exactly once: the compiler may not go back to the source for a later use
// of the copy (the empty statement takes the copy's memory as something it reads and changes),
// so every decision made on the copy holds for every later use of it.
template <class T>
inline T read_once(const T* src) noexcept {
    T v;
    std::memcpy(static_cast<void*>(&v), src, sizeof v);
    asm volatile("" : "+m"(v));
    return v;
}

}  // namespace ostrilo
