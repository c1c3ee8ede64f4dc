#include "platform/memory.h"

#include <qorvanta/status.h>

#include <gtest/gtest.h>

#include <cstring>

TEST(Memory, ClearedHandleIsZeroAndSized) {
    Handle h = NewHandleClear(1000);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(GetHandleSize(h), 1000);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ((*h)[i], 0) << i;
    DisposeHandle(h);
    EXPECT_EQ(MemError(), noErr);
}

TEST(Memory, ResizingKeepsContentsAndZeroesTheGrowth) {
    Handle h = NewHandle(4);
    std::memcpy(*h, "abcd", 4);
    SetHandleSize(h, 64);
    ASSERT_EQ(MemError(), noErr);
    EXPECT_EQ(GetHandleSize(h), 64);
    EXPECT_EQ(std::memcmp(*h, "abcd", 4), 0);
    for (int i = 4; i < 64; ++i) ASSERT_EQ((*h)[i], 0);
    SetHandleSize(h, 2);
    EXPECT_EQ(GetHandleSize(h), 2);
    EXPECT_EQ(std::memcmp(*h, "ab", 2), 0);
    DisposeHandle(h);
}

TEST(Memory, LockedBlockShrinksInPlaceButDoesNotGrow) {
    Handle h = NewHandleClear(16);
    HLock(h);
    char *block = *h;
    SetHandleSize(h, 4096);
    EXPECT_EQ(MemError(), memLockedErr);
    EXPECT_EQ(GetHandleSize(h), 16);
    SetHandleSize(h, 8);
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(*h, block);
    HUnlock(h);
    SetHandleSize(h, 4096);
    EXPECT_EQ(MemError(), noErr);
    DisposeHandle(h);
}

TEST(Memory, BadRequestsReportAnErrorAndChangeNothing) {
    EXPECT_EQ(NewHandle(-1), nullptr);
    EXPECT_EQ(MemError(), paramErr);
    EXPECT_EQ(GetHandleSize(nullptr), 0);
    EXPECT_EQ(MemError(), nilHandleErr);
    DisposeHandle(nullptr);
    EXPECT_EQ(MemError(), noErr);
    Handle h = NewHandleClear(8);
    SetHandleSize(h, -5);
    EXPECT_EQ(MemError(), paramErr);
    EXPECT_EQ(GetHandleSize(h), 8);
    DisposeHandle(h);
    // Empty blocks are still real blocks.
    Handle empty = NewHandle(0);
    ASSERT_NE(empty, nullptr);
    EXPECT_NE(*empty, nullptr);
    EXPECT_EQ(GetHandleSize(empty), 0);
    DisposeHandle(empty);
}
