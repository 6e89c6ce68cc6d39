#include "drevan/angle.hpp"

#include "drevan/number_format.hpp"

namespace drevan {

namespace {
constexpr const char DEGREE_SIGN[] = "\xC2\xB0";  // U+00B0 in UTF-8
constexpr const char RADIANS_SUFFIX[] = " radians";

std::string fixed_with_suffix(double value, int precision, const char* suffix) {
    char buf[NUMBER_TEXT_MAX + 64];  // room for the widest fixed form format_number_fixed writes
    std::string s(buf, format_number_fixed(buf, value, precision));
    s += suffix;
    return s;
}

std::string shortest_with_suffix(double value, const char* suffix) {
    std::string s;
    s.reserve(32);
    append_number(s, value);
    s += suffix;
    return s;
}
}  // namespace

std::string AngleRadians::repr() const { return shortest_with_suffix(angle, RADIANS_SUFFIX); }
std::string AngleRadians::text(int precision) const { return fixed_with_suffix(angle, precision, RADIANS_SUFFIX); }

std::string AngleDegrees::repr() const { return shortest_with_suffix(angle, DEGREE_SIGN); }
std::string AngleDegrees::text(int precision) const { return fixed_with_suffix(angle, precision, DEGREE_SIGN); }

}  // namespace drevan
