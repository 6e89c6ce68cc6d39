#include "drevan/angle.hpp"

#include "drevan/number_format.hpp"

namespace drevan {

namespace {
constexpr const char DEGREE_SIGN[] = "\xC2\xB0";  // U+00B0 in UTF-8
constexpr const char RADIANS_SUFFIX[] = " radians";

std::string shortest_with_suffix(double value, const char* suffix) {
    std::string s;
    s.reserve(32);
    append_number(s, value);
    s += suffix;
    return s;
}
}  // namespace

std::string AngleRadians::repr() const { return shortest_with_suffix(angle, RADIANS_SUFFIX); }

std::string AngleDegrees::repr() const { return shortest_with_suffix(angle, DEGREE_SIGN); }

}  // namespace drevan
