#include "drevan/vec3d.hpp"

#include "drevan/hash.hpp"
#include "drevan/number_format.hpp"

#include <cstdio>

namespace drevan {

void panic(const char* message, const char* file, int line) { throw Panic(message, file, line); }

std::string Vec3d::repr() const {
    std::string s;
    s.reserve(32);
    append_repr(s);
    return s;
}

void Vec3d::append_repr(std::string& out) const { append_record(out, "Vec3d", {x, y, z}); }

}  // namespace drevan
