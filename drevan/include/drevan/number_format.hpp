#pragma once
// The one text form of a double: shortest round-trip digits in plain positional notation,
// integral values without a decimal point, "-0" for negative zero, "NaN", "inf", "-inf".
#include <cstddef>
#include <string>

namespace drevan {

// Largest text a double can take in this form (1.7976931348623157e308 written out in full).
inline constexpr std::size_t NUMBER_TEXT_MAX = 400;

// Writes the text of value at out (room for NUMBER_TEXT_MAX chars); returns the end.
char* format_number(char* out, double value);
// Fixed precision: exactly `precision` digits after the point.
char* format_number_fixed(char* out, double value, int precision);

void append_number(std::string& out, double value);
std::string number_text(double value);

}  // namespace drevan
