#pragma once
// Compile-time text: names in template arguments, text signatures, and the JSON of the interface
// records.
#include <cstddef>
#include <cstdint>

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

// A text of at most Cap characters built at compile time.
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
    constexpr void add_decimal(std::uint64_t v) {
        char digits[20];
        std::size_t n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (n > 0) add(digits[--n]);
    }
    constexpr bool empty() const { return size == 0; }
};

// FNV-1a, 64 bits: the identifiers and record numbers of the interface.
template <class... Parts>
constexpr std::uint64_t fnv1a64(const Parts&... parts) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    auto feed = [&h](const char* s) {
        for (; *s; ++s) h = (h ^ static_cast<unsigned char>(*s)) * 0x100000001b3ULL;
    };
    (feed(parts), ...);
    return h;
}

// "name($self, a, b)\n--\n\n" for methods, "name(a, b)\n--\n\n" otherwise.
template <fixed_string Name, bool Self, fixed_string... Params>
constexpr auto signature_text() {
    constexpr std::size_t n = sizeof...(Params) + (Self ? 1 : 0);
    constexpr std::size_t len =
        Name.size + 1 + (Self ? 5 : 0) + (std::size_t{0} + ... + Params.size) + (n > 0 ? (n - 1) * 2 : 0) + 1 + 5;
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
