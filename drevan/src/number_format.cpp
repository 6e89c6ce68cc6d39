#include "drevan/number_format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace drevan {

namespace {
char* special(char* out, double value) {
    if (std::isnan(value)) {
        std::memcpy(out, "NaN", 3);
        return out + 3;
    }
    if (std::signbit(value)) *out++ = '-';
    std::memcpy(out, "inf", 3);
    return out + 3;
}
}  // namespace

char* format_number(char* out, double value) {
    if (!std::isfinite(value)) [[unlikely]]
        return special(out, value);
    // Shortest round-trip digits, positional; keeps the sign of -0.
    return std::to_chars(out, out + NUMBER_TEXT_MAX, value, std::chars_format::fixed).ptr;
}

char* format_number_fixed(char* out, double value, int precision) {
    if (!std::isfinite(value)) return special(out, value);
    if (precision < 0) precision = 0;
    if (precision > 60) precision = 60;
    return std::to_chars(out, out + NUMBER_TEXT_MAX + 64, value, std::chars_format::fixed, precision).ptr;
}

void append_number(std::string& out, double value) {
    char buf[NUMBER_TEXT_MAX];
    out.append(buf, format_number(buf, value));
}

void append_record(std::string& out, const char* name, std::initializer_list<double> values) {
    out += name;
    out += '(';
    bool first = true;
    for (double v : values) {
        if (!first) out += ", ";
        first = false;
        append_number(out, v);
    }
    out += ')';
}

std::string number_text(double value) {
    std::string s;
    append_number(s, value);
    return s;
}

}  // namespace drevan
