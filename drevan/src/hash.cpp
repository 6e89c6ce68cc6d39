#include "drevan/hash.hpp"

#include <bit>
#include <cmath>
#include <cstring>

namespace drevan {

namespace {
constexpr std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
    std::uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    }
    void block(std::uint64_t m) {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};

std::uint64_t load_le(const unsigned char* p, std::size_t n) {
    std::uint64_t m = 0;
    for (std::size_t i = 0; i < n; ++i) m |= std::uint64_t(p[i]) << (8 * i);
    return m;
}
}  // namespace

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const unsigned char* data, std::size_t len) {
    SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
               k1 ^ 0x7465646279746573ULL};
    const std::size_t full = len / 8 * 8;
    for (std::size_t i = 0; i < full; i += 8) s.block(load_le(data + i, 8));
    const std::uint64_t last = (std::uint64_t(len & 0xff) << 56) | load_le(data + full, len - full);
    s.block(last);
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::uint64_t siphash13_words(std::uint64_t k0, std::uint64_t k1, const std::uint64_t* words, std::size_t n) {
    SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
               k1 ^ 0x7465646279746573ULL};
    for (std::size_t i = 0; i < n; ++i) s.block(words[i]);
    s.block(std::uint64_t((8 * n) & 0xff) << 56);
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::uint64_t canonical_bits(double value) {
    if (std::isnan(value)) return 0x7ff8000000000000ULL;
    return std::bit_cast<std::uint64_t>(value + 0.0);  // negative zero hashes like zero
}

}  // namespace drevan
