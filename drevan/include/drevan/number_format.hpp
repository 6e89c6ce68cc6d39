#pragma once
// The one text form of a double: shortest round-trip digits in plain positional notation,
// integral values without a decimal point, "-0" for negative zero, "NaN", "inf", "-inf".
#include <cstddef>
#include <initializer_list>
#include <string>

namespace drevan {

// Largest text a double can take in this form (1.7976931348623157e308 written out in full).
inline constexpr std::size_t NUMBER_TEXT_MAX = 400;

// Writes the text of value at out (room for NUMBER_TEXT_MAX chars); returns the end.
char* format_number(char* out, double value);

void append_number(std::string& out, double value);
// "Name(a, b, c)": a record's name and its numbers, each in the text form above.
void append_record(std::string& out, const char* name, std::initializer_list<double> values);

}  // namespace drevan
