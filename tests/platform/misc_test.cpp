#include "platform/misc.h"

#include <qorvanta/status.h>

#include <gtest/gtest.h>

#include <string>

TEST(Gestalt, AnswersCanBeSetAndMadeToFail) {
    long response = 0;
    ASSERT_EQ(Gestalt(gestaltQuickTime, &response), noErr);
    EXPECT_GE(uint32_t(response) >> 16, 0x0700u);
    qor::platform::setGestaltAnswer(gestaltQuickTime, 0x06508000);
    ASSERT_EQ(Gestalt(gestaltQuickTime, &response), noErr);
    EXPECT_EQ(response, 0x06508000);
    qor::platform::setGestaltAnswer(gestaltQuickTime, std::nullopt);
    response = 5;
    EXPECT_EQ(Gestalt(gestaltQuickTime, &response), gestaltUndefSelectorErr);
    EXPECT_EQ(response, 5);
    EXPECT_EQ(Gestalt(fourCharCode("none"), &response), gestaltUndefSelectorErr);
    EXPECT_EQ(Gestalt(gestaltQuickTime, nullptr), paramErr);
    qor::platform::resetGestalt();
    EXPECT_EQ(Gestalt(gestaltQuickTime, &response), noErr);
}

TEST(Microseconds, NeverGoesBackwards) {
    UnsignedWide previous;
    Microseconds(&previous);
    for (int i = 0; i < 1000; ++i) {
        UnsignedWide now;
        Microseconds(&now);
        ASSERT_GE(wideToUInt64(now), wideToUInt64(previous));
        previous = now;
    }
}

TEST(CopyCStringToPascal, CopiesAndCutsAt255) {
    Str255 out;
    CopyCStringToPascal("camera", out);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out + 1), out[0]), "camera");
    std::string longName(300, 'q');
    CopyCStringToPascal(longName.c_str(), out);
    EXPECT_EQ(out[0], 255);
    CopyCStringToPascal(nullptr, out);
    EXPECT_EQ(out[0], 0);
}
