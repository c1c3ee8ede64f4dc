// Which vector instruction set the pixel kernels use: the best one this CPU has, unless a
// test pins a lower one to compare every path with the portable scalar code.
#pragma once

namespace qor::imaging {

enum class SimdLevel { Scalar = 0, Sse2 = 1, Avx2 = 2, Neon = 3 };

SimdLevel detectedSimdLevel();
SimdLevel activeSimdLevel();
// A level this CPU does not offer gives its best one instead; returns the level now in use.
SimdLevel setActiveSimdLevel(SimdLevel level);

} // namespace qor::imaging
