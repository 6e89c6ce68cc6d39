#pragma once
// Compile-time strings: names in template arguments and the text signatures built from them.
#include <cstddef>

namespace ostrilo {

template <std::size_t N>
struct fixed_string {
    char data[N]{};
    static constexpr std::size_t size = N - 1;
    constexpr fixed_string() = default;
    constexpr fixed_string(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) data[i] = s[i];
    }
};

// "name($self, a, b)\n--\n\n" for methods, "name(a, b)\n--\n\n" otherwise.
template <fixed_string Name, bool Self, fixed_string... Params>
constexpr auto signature_text() {
    constexpr std::size_t n_params = sizeof...(Params);
    constexpr std::size_t params_len = (std::size_t{0} + ... + Params.size);
    constexpr std::size_t seps = (n_params + (Self ? 1 : 0)) > 0 ? (n_params + (Self ? 1 : 0) - 1) * 2 : 0;
    constexpr std::size_t len = Name.size + 1 + (Self ? 5 : 0) + params_len + seps + 1 + 5;
    fixed_string<len + 1> out{};
    std::size_t at = 0;
    auto put = [&](const char* s) {
        while (*s) out.data[at++] = *s++;
    };
    put(Name.data);
    put("(");
    [[maybe_unused]] bool first = true;
    if (Self) {
        put("$self");
        first = false;
    }
    (
        [&] {
            if (!first) put(", ");
            first = false;
            put(Params.data);
        }(),
        ...);
    put(")\n--\n\n");
    out.data[at] = '\0';
    return out;
}

}  // namespace ostrilo

namespace ostrilo {

// A text built at compile time (annotations and interface descriptions).
template <std::size_t Cap>
struct ctext {
    char data[Cap]{};
    std::size_t size = 0;
    constexpr void add(char c) { data[size++] = c; }
    constexpr void add(const char* s) {
        while (*s) data[size++] = *s++;
    }
    template <std::size_t C>
    constexpr void add(const ctext<C>& o) {
        for (std::size_t i = 0; i < o.size; ++i) data[size++] = o.data[i];
    }
};

// A Python annotation expression, e.g. "list[list[float]]" or "tuple[Vec3d, AngleRadians]".
using Ann = ctext<160>;

constexpr Ann ann(const char* s) {
    Ann a;
    a.add(s);
    return a;
}

}  // namespace ostrilo
