#include "platform/imagecompression.h"
#include "platform/memory.h"

#include <qorvanta/status.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

constexpr Size kDescriptionBytes = 86;

ImageDescriptionHandle newDescription() {
    auto desc = reinterpret_cast<ImageDescriptionHandle>(NewHandleClear(kDescriptionBytes));
    (*desc)->idSize = int32_t(kDescriptionBytes);
    (*desc)->cType = fourCharCode("raw ");
    (*desc)->width = 640;
    (*desc)->height = 480;
    (*desc)->depth = 40;
    return desc;
}

// A grey ramp with a recognisable seed and flags.
CTabHandle greyTable(int entries, int32_t seed) {
    CTabHandle table = NewColorTable(entries);
    (*table)->ctSeed = seed;
    (*table)->ctFlags = 0x4000;
    for (int i = 0; i < entries; ++i) {
        auto level = uint16_t(i * 0x0101);
        (*table)->ctTable[i] = {int16_t(i), {level, level, level}};
    }
    return table;
}

Size handleSize(void *h) {
    return GetHandleSize(static_cast<Handle>(h));
}

void dispose(void *h) {
    DisposeHandle(static_cast<Handle>(h));
}

std::vector<char> bytesOf(CTabHandle table) {
    const char *p = reinterpret_cast<const char *>(*table);
    return {p, p + handleSize(table)};
}

std::vector<char> storedBytes(ImageDescriptionHandle desc) {
    const char *p = reinterpret_cast<const char *>(*desc);
    return {p + kDescriptionBytes, p + handleSize(desc)};
}

} // namespace

TEST(ImageDescriptionCTable, NewColorTableIsZeroedAndSized) {
    CTabHandle table = NewColorTable(256);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(handleSize(table), 8 + 256 * 8);
    EXPECT_EQ((*table)->ctSize, 255);
    EXPECT_EQ((*table)->ctSeed, 0);
    EXPECT_EQ((*table)->ctFlags, 0);
    EXPECT_EQ((*table)->ctTable[255].rgb.blue, 0);
    EXPECT_EQ(offsetof(ColorTable, ctTable), 8u);
    dispose(table);
    CTabHandle empty = NewColorTable(0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ((*empty)->ctSize, -1);
    EXPECT_EQ(handleSize(empty), 8);
    dispose(empty);
    EXPECT_EQ(NewColorTable(-1), nullptr);
}

TEST(ImageDescriptionCTable, AttachReplaceAndRemove) {
    ImageDescriptionHandle desc = newDescription();
    CTabHandle none = reinterpret_cast<CTabHandle>(1);
    ASSERT_EQ(GetImageDescriptionCTable(desc, &none), noErr);
    EXPECT_EQ(none, nullptr);

    // Attach: the copy follows the description, idSize covers both.
    CTabHandle grey = greyTable(256, 2000);
    ASSERT_EQ(SetImageDescriptionCTable(desc, grey), noErr);
    EXPECT_EQ((*desc)->idSize, 86 + 8 + 256 * 8);
    EXPECT_EQ(handleSize(desc), (*desc)->idSize);
    EXPECT_EQ(storedBytes(desc), bytesOf(grey));
    EXPECT_EQ((*desc)->width, 640); // the description itself is untouched
    EXPECT_EQ((*desc)->depth, 40);
    EXPECT_EQ((*desc)->cType, fourCharCode("raw "));

    // The stored table is a copy, not the caller's handle.
    (*grey)->ctTable[10].rgb.red = 0xFFFF;
    CTabHandle back = nullptr;
    ASSERT_EQ(GetImageDescriptionCTable(desc, &back), noErr);
    ASSERT_NE(back, nullptr);
    ASSERT_NE(back, grey);
    EXPECT_EQ(handleSize(back), 8 + 256 * 8);
    EXPECT_EQ((*back)->ctSeed, 2000);
    EXPECT_EQ((*back)->ctFlags, 0x4000);
    EXPECT_EQ((*back)->ctSize, 255);
    EXPECT_EQ((*back)->ctTable[10].rgb.red, 0x0A0A);
    EXPECT_EQ((*back)->ctTable[255].value, 255);
    EXPECT_EQ((*back)->ctTable[255].rgb.green, 0xFFFF);
    // ... and the one handed back is a copy too.
    (*back)->ctTable[0].rgb.red = 0x1234;
    EXPECT_EQ(
        reinterpret_cast<ColorTable *>(*reinterpret_cast<char **>(desc) + 86)->ctTable[0].rgb.red,
        0);
    dispose(back);

    // Replace with a smaller table: no trace of the old one remains.
    CTabHandle small = greyTable(4, 3000);
    ASSERT_EQ(SetImageDescriptionCTable(desc, small), noErr);
    EXPECT_EQ((*desc)->idSize, 86 + 8 + 4 * 8);
    EXPECT_EQ(handleSize(desc), (*desc)->idSize);
    EXPECT_EQ(storedBytes(desc), bytesOf(small));
    ASSERT_EQ(GetImageDescriptionCTable(desc, &back), noErr);
    EXPECT_EQ(bytesOf(back), bytesOf(small));
    dispose(back);

    // Replace with a bigger one again.
    ASSERT_EQ(SetImageDescriptionCTable(desc, grey), noErr);
    EXPECT_EQ(handleSize(desc), 86 + 8 + 256 * 8);
    EXPECT_EQ(storedBytes(desc), bytesOf(grey));

    // Remove.
    ASSERT_EQ(SetImageDescriptionCTable(desc, nullptr), noErr);
    EXPECT_EQ((*desc)->idSize, 86);
    EXPECT_EQ(handleSize(desc), 86);
    back = reinterpret_cast<CTabHandle>(1);
    ASSERT_EQ(GetImageDescriptionCTable(desc, &back), noErr);
    EXPECT_EQ(back, nullptr);
    EXPECT_EQ((*desc)->height, 480);

    dispose(grey);
    dispose(small);
    dispose(desc);
}

TEST(ImageDescriptionCTable, RejectsBadArguments) {
    ImageDescriptionHandle desc = newDescription();
    CTabHandle grey = greyTable(16, 1);
    EXPECT_EQ(SetImageDescriptionCTable(nullptr, grey), nilHandleErr);
    EXPECT_EQ(GetImageDescriptionCTable(desc, nullptr), paramErr);
    CTabHandle out = grey;
    EXPECT_EQ(GetImageDescriptionCTable(nullptr, &out), nilHandleErr);
    EXPECT_EQ(out, nullptr);

    // A table whose handle is shorter than its ctSize claims is refused, and nothing changes.
    (*grey)->ctSize = 200;
    EXPECT_EQ(SetImageDescriptionCTable(desc, grey), paramErr);
    EXPECT_EQ(handleSize(desc), 86);
    EXPECT_EQ((*desc)->idSize, 86);
    (*grey)->ctSize = 15;

    // A description shorter than 86 bytes is refused.
    auto shortDesc = reinterpret_cast<ImageDescriptionHandle>(NewHandleClear(40));
    EXPECT_EQ(SetImageDescriptionCTable(shortDesc, grey), paramErr);
    EXPECT_EQ(handleSize(shortDesc), 40);

    // An idSize that does not match a table behind it is reported, not read past.
    ASSERT_EQ(SetImageDescriptionCTable(desc, grey), noErr);
    (*desc)->idSize = int32_t(handleSize(desc) + 8);
    EXPECT_EQ(GetImageDescriptionCTable(desc, &out), paramErr);
    EXPECT_EQ(out, nullptr);
    (*desc)->idSize = 86 + 4;
    EXPECT_EQ(GetImageDescriptionCTable(desc, &out), paramErr);

    // A locked description cannot grow.
    ASSERT_EQ(SetImageDescriptionCTable(desc, nullptr), noErr);
    HLock(reinterpret_cast<Handle>(desc));
    EXPECT_EQ(SetImageDescriptionCTable(desc, grey), memLockedErr);
    EXPECT_EQ((*desc)->idSize, 86);
    HUnlock(reinterpret_cast<Handle>(desc));

    dispose(shortDesc);
    dispose(grey);
    dispose(desc);
}

TEST(ImageDescriptionCTable, SeedsAreUniqueAndIncreasing) {
    long previous = GetCTSeed();
    EXPECT_GT(previous, 1024);
    for (int i = 0; i < 100; ++i) {
        long seed = GetCTSeed();
        ASSERT_GT(seed, previous);
        previous = seed;
    }
}
