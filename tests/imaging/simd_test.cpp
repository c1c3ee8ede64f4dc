#include "imaging/simd.h"

#include <gtest/gtest.h>

namespace {

using qor::imaging::activeSimdLevel;
using qor::imaging::detectedSimdLevel;
using qor::imaging::setActiveSimdLevel;
using qor::imaging::SimdLevel;

// The tests compare every kernel path with the portable one by pinning levels: the portable
// level and the CPU's own must pin, and a level of the other architecture must be refused by
// handing back the level actually put in use.
TEST(SimdLevels, ScalarAndTheCpusLevelPinAndForeignLevelsAreRefused) {
    const SimdLevel saved = activeSimdLevel();
    EXPECT_EQ(setActiveSimdLevel(SimdLevel::Scalar), SimdLevel::Scalar);
    EXPECT_EQ(activeSimdLevel(), SimdLevel::Scalar);
    EXPECT_EQ(setActiveSimdLevel(detectedSimdLevel()), detectedSimdLevel());
#if defined(__aarch64__)
    EXPECT_EQ(detectedSimdLevel(), SimdLevel::Neon);
    const SimdLevel foreign[] = {SimdLevel::Sse2, SimdLevel::Avx2};
#else
    EXPECT_NE(detectedSimdLevel(), SimdLevel::Neon);
    const SimdLevel foreign[] = {SimdLevel::Neon};
#endif
    for (SimdLevel level : foreign) {
        setActiveSimdLevel(SimdLevel::Scalar);
        const SimdLevel given = setActiveSimdLevel(level);
        EXPECT_NE(given, level) << int(level);
        EXPECT_EQ(given, detectedSimdLevel()) << int(level);
        EXPECT_EQ(activeSimdLevel(), given) << int(level);
    }
    setActiveSimdLevel(saved);
}

} // namespace
