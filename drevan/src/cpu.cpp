// The processor's vector builds (see drevan/cpu.hpp).
#include "drevan/cpu.hpp"

#ifdef DREVAN_VECTOR_BUILDS
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifdef __APPLE__
#include <sys/sysctl.h>
#endif

namespace drevan::cpu {

namespace {

// What the processor has and the operating system saves on a thread switch, read from CPUID and
// XGETBV by the same code under every compiler (the compilers' __builtin_cpu_supports needs their
// run-time library, which a Windows build with clang-cl does not link).
struct CpuidResult {
    std::uint32_t a, b, c, d;
};

CpuidResult cpuid(std::uint32_t leaf, std::uint32_t subleaf) {
    CpuidResult r;
    asm volatile("cpuid" : "=a"(r.a), "=b"(r.b), "=c"(r.c), "=d"(r.d) : "a"(leaf), "c"(subleaf));
    return r;
}

std::uint64_t enabled_state() {  // XCR0: the register state the system saves
    std::uint32_t low, high;
    asm volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (std::uint64_t{high} << 32) | low;
}

#ifdef __APPLE__
bool sysctl_flag(const char* name) {
    int value = 0;
    std::size_t size = sizeof value;
    return sysctlbyname(name, &value, &size, nullptr, 0) == 0 && value != 0;
}
#endif

VectorBuild widest_supported() {
    if (cpuid(0, 0).a < 7) return VectorBuild::baseline;
    const CpuidResult features = cpuid(1, 0);
    const bool osxsave = features.c >> 27 & 1, avx = features.c >> 28 & 1, fma = features.c >> 12 & 1;
    if (!osxsave || !avx || !fma) return VectorBuild::baseline;  // the AVX2 build uses fused multiply-add
    const std::uint64_t state = enabled_state();
    if ((state & 0x6) != 0x6) return VectorBuild::baseline;  // SSE and AVX registers
    const CpuidResult extended = cpuid(7, 0);
    if (!(extended.b >> 5 & 1)) return VectorBuild::baseline;                                        // AVX2
    const bool avx512 = (extended.b >> 16 & 1) && (extended.b >> 17 & 1) && (extended.b >> 31 & 1);  // F, DQ, VL
#ifdef __APPLE__
    // macOS turns the AVX-512 registers on for a thread only when it first uses them, so XCR0
    // does not show them yet; the kernel says whether it will.
    const bool saved = sysctl_flag("hw.optional.avx512f");
#else
    const bool saved = (state & 0xe0) == 0xe0;  // mask registers and all 32 of 512 bits
#endif
    return avx512 && saved ? VectorBuild::avx512 : VectorBuild::avx2;
}

}  // namespace

VectorBuild vector_build() noexcept {
    static const VectorBuild chosen = [] {
        const VectorBuild best = widest_supported();
        const char* want = std::getenv("OSTRILO_SIMD");
        VectorBuild cap = VectorBuild::avx512;
        if (want != nullptr && std::strcmp(want, "baseline") == 0) cap = VectorBuild::baseline;
        if (want != nullptr && std::strcmp(want, "avx2") == 0) cap = VectorBuild::avx2;
        return std::min(best, cap);
    }();
    return chosen;
}

}  // namespace drevan::cpu
#endif
