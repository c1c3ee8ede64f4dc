// Runs a test body once per vector instruction set this CPU has, so every kernel path is
// compared with the portable one.
#pragma once

#include "imaging/simd.h"

#include <gtest/gtest.h>

namespace qor::imaging::testing {

// Pins each level the CPU offers in turn, then restores the level that was active.
template <typename Body> void forEachSimdLevel(Body body) {
    const SimdLevel saved = activeSimdLevel();
    for (SimdLevel level : {SimdLevel::Scalar, SimdLevel::Sse2, SimdLevel::Avx2, SimdLevel::Neon}) {
        if (setActiveSimdLevel(level) != level) continue;
        SCOPED_TRACE(::testing::Message() << "SIMD level " << int(level));
        body();
    }
    setActiveSimdLevel(saved);
}

} // namespace qor::imaging::testing
