#include "platform/corefoundation.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(CoreFoundation, NumbersAreCountedAndConvertBothWidths) {
    int32_t small = -7;
    CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &small);
    EXPECT_EQ(CFGetRetainCount(number), 1);
    EXPECT_EQ(CFRetain(number), number);
    EXPECT_EQ(CFGetRetainCount(number), 2);
    CFRelease(number);

    int64_t wide = 0;
    EXPECT_TRUE(CFNumberGetValue(number, kCFNumberSInt64Type, &wide));
    EXPECT_EQ(wide, -7);
    CFRelease(number);

    int64_t big = int64_t(1) << 40;
    number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &big);
    int32_t narrowed = 0;
    EXPECT_FALSE(CFNumberGetValue(number, kCFNumberSInt32Type, &narrowed)) << "value lost";
    CFRelease(number);
}

TEST(CoreFoundation, StringsAndUUIDsAreInternedAndNeverFreed) {
    EXPECT_EQ(CFSTR("idVendor"), CFSTR("idVendor"));
    EXPECT_NE(CFSTR("idVendor"), CFSTR("idProduct"));
    EXPECT_STREQ(CFStringGetCStringPtrUTF8(CFSTR("idVendor")), "idVendor");
    CFIndex constant = CFGetRetainCount(CFSTR("idVendor"));
    CFRelease(CFSTR("idVendor"));
    EXPECT_EQ(CFGetRetainCount(CFSTR("idVendor")), constant);

    CFUUIDRef a = CFUUIDGetConstantUUIDWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13,
                                                 14, 15, 16);
    CFUUIDRef b = CFUUIDGetConstantUUIDWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13,
                                                 14, 15, 16);
    CFUUIDRef c = CFUUIDGetConstantUUIDWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13,
                                                 14, 15, 17);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_TRUE(CFUUIDBytesEqual(CFUUIDGetUUIDBytes(a), CFUUIDGetUUIDBytes(b)));
    EXPECT_FALSE(CFUUIDBytesEqual(CFUUIDGetUUIDBytes(a), CFUUIDGetUUIDBytes(c)));
    EXPECT_EQ(CFUUIDGetUUIDBytes(c).byte15, 17);
}

TEST(CoreFoundation, DictionaryRetainsValuesAndReleasesReplacedOnes) {
    int32_t one = 1, two = 2;
    CFNumberRef first = CFNumberCreate(nullptr, kCFNumberSInt32Type, &one);
    CFNumberRef second = CFNumberCreate(nullptr, kCFNumberSInt32Type, &two);
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(nullptr, 0);

    CFDictionarySetValue(dictionary, CFSTR("key"), first);
    EXPECT_EQ(CFGetRetainCount(first), 2);
    CFDictionarySetValue(dictionary, CFSTR("key"), second);
    EXPECT_EQ(CFGetRetainCount(first), 1) << "the replaced value is released";
    EXPECT_EQ(CFDictionaryGetValue(dictionary, CFSTR("key")), second);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, CFSTR("other")), nullptr);
    EXPECT_EQ(CFDictionaryGetCount(dictionary), 1);

    CFRelease(dictionary);
    EXPECT_EQ(CFGetRetainCount(second), 1) << "the dictionary let go of its value";
    CFRelease(first);
    CFRelease(second);
}

TEST(CoreFoundation, ReleasingNullIsHarmless) {
    CFRelease(nullptr);
    EXPECT_EQ(CFRetain(nullptr), nullptr);
    EXPECT_EQ(CFGetRetainCount(nullptr), 0);
}

} // namespace
