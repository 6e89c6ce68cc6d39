#pragma once
#include <cstddef>
#include <cstdint>

namespace drevan {

// SipHash-1-3 with the given keys over len bytes.
std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const unsigned char* data, std::size_t len);

// The same over n 64-bit words taken as 8 little-endian bytes each.
std::uint64_t siphash13_words(std::uint64_t k0, std::uint64_t k1, const std::uint64_t* words, std::size_t n);

// The bit pattern that represents a double in hashes: one canonical NaN, -0 folded into +0.
std::uint64_t canonical_bits(double value);

}  // namespace drevan
