#include "imaging/simd.h"

#include <atomic>

namespace qor::imaging {

namespace {

SimdLevel probe() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return SimdLevel::Avx2;
    if (__builtin_cpu_supports("sse2")) return SimdLevel::Sse2;
#elif defined(__aarch64__)
    return SimdLevel::Neon; // part of every aarch64 CPU
#endif
    return SimdLevel::Scalar;
}

// The x86 levels are ordered, each including the one below it; NEON stands alone.
bool offered(SimdLevel level) {
    if (level == SimdLevel::Scalar) return true;
#if defined(__aarch64__)
    return level == SimdLevel::Neon;
#else
    return level != SimdLevel::Neon && level <= detectedSimdLevel();
#endif
}

std::atomic<SimdLevel> &activeLevel() {
    static std::atomic<SimdLevel> level{detectedSimdLevel()};
    return level;
}

} // namespace

SimdLevel detectedSimdLevel() {
    static const SimdLevel level = probe();
    return level;
}

SimdLevel activeSimdLevel() {
    return activeLevel().load(std::memory_order_relaxed);
}

SimdLevel setActiveSimdLevel(SimdLevel level) {
    if (!offered(level)) level = detectedSimdLevel();
    activeLevel().store(level, std::memory_order_relaxed);
    return level;
}

} // namespace qor::imaging
