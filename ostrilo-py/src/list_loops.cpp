// The choice of the loop build (see list_loops.hpp).
#include "list_loops.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace ostrilo {

#ifdef OSTRILO_LOOP_VARIANTS
Loops loop_variant() {
    static const Loops chosen = [] {
        __builtin_cpu_init();
        Loops best = Loops::baseline;
        if (__builtin_cpu_supports("avx2")) best = Loops::avx2;
        if (best == Loops::avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
            __builtin_cpu_supports("avx512vl"))
            best = Loops::avx512;
        const char* want = std::getenv("OSTRILO_SIMD");
        Loops cap = Loops::avx512;
        if (want != nullptr && std::strcmp(want, "baseline") == 0) cap = Loops::baseline;
        if (want != nullptr && std::strcmp(want, "avx2") == 0) cap = Loops::avx2;
        return std::min(best, cap);
    }();
    return chosen;
}
#endif

}  // namespace ostrilo
