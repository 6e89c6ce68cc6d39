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

// Written with indices and characters only, no pointer tests: the sanitizer builds instrument
// those, and an instrumented test is no longer a constant expression.
// Whether two texts are equal, at compile time.
constexpr bool same_text(const char* a, const char* b) {
    std::size_t i = 0;
    while (a[i] != 0 && a[i] == b[i]) ++i;
    return a[i] == b[i];
}

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

}  // namespace ostrilo
