#include <qorvanta/camera.h>
#include <qorvanta/status.h>

#include <gtest/gtest.h>

TEST(ImageFormatToQTFormat, EverySensorCodeOfTheFamilyMapsToItsClass) {
    struct Case {
        uint32_t code, formatClass;
    };
    const Case cases[] = {{0, 0},  {5, 0},  {6, 0},  {8, 1},  {12, 1}, {24, 1}, {9, 2}, {13, 2},
                          {25, 2}, {10, 3}, {14, 3}, {26, 3}, {11, 4}, {15, 4}, {27, 4}};
    for (const Case &c : cases) {
        uint32_t formatClass = 99, bits = 0;
        EXPECT_EQ(QORAImageFormatToQTFormat(c.code, &formatClass, &bits), noErr) << c.code;
        EXPECT_EQ(formatClass, c.formatClass) << c.code;
        EXPECT_EQ(bits, 8u);
    }
}

TEST(ImageFormatToQTFormat, UnknownCodeIsRefusedAndLeavesTheClass) {
    for (uint32_t code : {1u, 4u, 7u, 16u, 23u, 28u, 0xFFFFFFFFu}) {
        uint32_t formatClass = 42, bits = 0;
        EXPECT_EQ(QORAImageFormatToQTFormat(code, &formatClass, &bits), badDepthErr) << code;
        EXPECT_EQ(formatClass, 42u);
        EXPECT_EQ(bits, 8u);
    }
}
