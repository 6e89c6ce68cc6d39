#pragma once
// SipHash-1-3 over whole 64-bit words (each taken as 8 little-endian bytes), and the canonical
// bit pattern of a double that hashes feed it.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace drevan {

namespace detail {
constexpr std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
    std::uint64_t v0, v1, v2, v3;
    constexpr void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }
    constexpr void block(std::uint64_t m) {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};
}  // namespace detail

// SipHash-1-3 with keys k0, k1 over n words: one compression round per block, three
// finalisation rounds, the message length in bytes in the top byte of the final block.
constexpr std::uint64_t siphash13_words(std::uint64_t k0, std::uint64_t k1, const std::uint64_t* words, std::size_t n) {
    detail::SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
                       k1 ^ 0x7465646279746573ULL};
    for (std::size_t i = 0; i < n; ++i) s.block(words[i]);
    s.block(std::uint64_t((8 * n) & 0xff) << 56);
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// One NaN pattern for every NaN; negative zero hashes like zero.
inline std::uint64_t canonical_bits(double value) {
    if (std::isnan(value)) return 0x7ff8000000000000ULL;
    return std::bit_cast<std::uint64_t>(value + 0.0);
}

}  // namespace drevan
