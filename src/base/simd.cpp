#include "base/simd.h"

namespace tarnwick::base::simd {

bool supports(Isa isa) {
    __builtin_cpu_init();
    switch (isa) {
        case Isa::Sse2:
            return true;
        case Isa::Avx2:
            return __builtin_cpu_supports("avx2");
        case Isa::Avx512:
            return __builtin_cpu_supports("avx512f");
    }
    return false;
}

Isa widest_isa() {
    static const Isa widest = supports(Isa::Avx512) ? Isa::Avx512 : supports(Isa::Avx2) ? Isa::Avx2 : Isa::Sse2;
    return widest;
}

}  // namespace tarnwick::base::simd
