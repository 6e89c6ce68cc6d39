#include "drevan/vec3d.hpp"

#include "drevan/number_format.hpp"

namespace drevan {

std::string Vec3d::repr() const {
    std::string s;
    s.reserve(32);
    append_repr(s);
    return s;
}

void Vec3d::append_repr(std::string& out) const { append_record(out, "Vec3d", {x, y, z}); }

}  // namespace drevan
