// CoreFoundation as the driver uses it: reference-counted numbers, strings, dictionaries and
// UUIDs, enough to build IOKit matching dictionaries and name plug-in interfaces.
#pragma once

#include "platform/mac_types.h"

#include <functional>

using CFTypeRef = const void *;
using CFIndex = long;
struct __CFString;
struct __CFNumber;
struct __CFDictionary;
struct __CFUUID;
struct __CFAllocator;
using CFStringRef = const __CFString *;
using CFNumberRef = const __CFNumber *;
using CFDictionaryRef = const __CFDictionary *;
using CFMutableDictionaryRef = __CFDictionary *;
using CFUUIDRef = const __CFUUID *;
using CFAllocatorRef = const __CFAllocator *;
using CFTimeInterval = double;
using CFAbsoluteTime = double;

constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;

enum CFNumberType { kCFNumberSInt32Type = 3, kCFNumberSInt64Type = 4 };

struct CFUUIDBytes {
    uint8_t byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7;
    uint8_t byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15;
};
using REFIID = CFUUIDBytes;
using LPVOID = void *;
using HRESULT = int32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT E_NOINTERFACE = int32_t(0x80000004);

CFTypeRef CFRetain(CFTypeRef object);
void CFRelease(CFTypeRef object);
CFIndex CFGetRetainCount(CFTypeRef object);

// A constant string, interned: the same text gives the same object, never freed.
CFStringRef CFSTR(const char *text);
const char *CFStringGetCStringPtrUTF8(CFStringRef string);

CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType type, const void *valuePtr);
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void *valuePtr);

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity);
// Retains the value and releases the one it replaces.
void CFDictionarySetValue(CFMutableDictionaryRef dictionary, CFStringRef key, CFTypeRef value);
CFTypeRef CFDictionaryGetValue(CFDictionaryRef dictionary, CFStringRef key);
CFIndex CFDictionaryGetCount(CFDictionaryRef dictionary);

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef allocator, uint8_t b0, uint8_t b1,
                                         uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5, uint8_t b6,
                                         uint8_t b7, uint8_t b8, uint8_t b9, uint8_t b10,
                                         uint8_t b11, uint8_t b12, uint8_t b13, uint8_t b14,
                                         uint8_t b15);
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);
Boolean CFUUIDBytesEqual(const CFUUIDBytes &a, const CFUUIDBytes &b);

// Dates: seconds since 2001-01-01 00:00:00 GMT.
struct CFGregorianDate {
    int32_t year;
    int8_t month;
    int8_t day;
    int8_t hour;
    int8_t minute;
    double second;
};
struct __CFTimeZone;
using CFTimeZoneRef = const struct __CFTimeZone *;

// Seconds between 1970-01-01 and 2001-01-01.
constexpr CFTimeInterval kCFAbsoluteTimeIntervalSince1970 = 978307200.0;

// Now, from the system clock.
CFAbsoluteTime CFAbsoluteTimeGetCurrent();
// The calendar date of at. There are no time-zone objects here, so every zone (null included) is
// GMT. The seconds keep their fraction.
CFGregorianDate CFAbsoluteTimeGetGregorianDate(CFAbsoluteTime at, CFTimeZoneRef tz);

namespace qor::platform {

// Replaces the clock CFAbsoluteTimeGetCurrent reads; an empty function restores the system clock.
void setAbsoluteTimeForTests(std::function<CFAbsoluteTime()> clock);

} // namespace qor::platform
