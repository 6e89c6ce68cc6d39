#include "drevan/number_format.hpp"

#include <algorithm>
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

// From 2**53 on every double is an integer, and the fixed form writes the exact digits of its
// binary value (1e23 as 99999999999999991611392), which are more than the shortest ones. The
// scientific form gives the shortest digits with their exponent; they are written out with zeros.
// At that magnitude the exponent is never below the number of digits after the first, so the
// text is always an integer.
[[gnu::noinline]] char* large_integral(char* out, double value) {
    char sci[32];
    const char* const end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    const char* p = sci;
    if (*p == '-') *out++ = *p++;
    const char* const e = std::find(p, end, 'e');
    int exponent = 0;
    std::from_chars(e + 1 + (e[1] == '+'), end, exponent);
    int fraction_digits = 0;
    for (; p != e; ++p) {
        if (*p == '.') continue;
        *out++ = *p;
        fraction_digits += 1;
    }
    fraction_digits -= 1;  // the leading digit stands before the point
    std::memset(out, '0', static_cast<std::size_t>(exponent - fraction_digits));
    return out + (exponent - fraction_digits);
}
}  // namespace

char* format_number(char* out, double value) {
    if (!std::isfinite(value)) [[unlikely]]
        return special(out, value);
    if (std::fabs(value) >= 0x1p53) [[unlikely]]
        return large_integral(out, value);
    // Shortest round-trip digits, positional; keeps the sign of -0.
    return std::to_chars(out, out + NUMBER_TEXT_MAX, value, std::chars_format::fixed).ptr;
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

}  // namespace drevan
