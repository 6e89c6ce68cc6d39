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
    bool first = true;
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
