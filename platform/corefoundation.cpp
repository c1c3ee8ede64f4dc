#include "platform/corefoundation.h"

#include "platform/corefoundation_internal.h"

#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

using qor::cf::Object;

struct __CFString : Object {
    explicit __CFString(std::string t) : Object(true), text(std::move(t)) {}
    const std::string text;
};

struct __CFNumber : Object {
    explicit __CFNumber(int64_t v) : value(v) {}
    const int64_t value;
};

// Keys are interned strings, so a key is found by its address.
struct __CFDictionary : Object {
    ~__CFDictionary() override {
        for (auto &entry : entries) CFRelease(entry.second);
    }
    std::vector<std::pair<CFStringRef, CFTypeRef>> entries;
};

struct __CFUUID : Object {
    explicit __CFUUID(const CFUUIDBytes &b) : Object(true), bytes(b) {}
    const CFUUIDBytes bytes;
};

namespace {

const Object *object(CFTypeRef ref) {
    return static_cast<const Object *>(ref);
}

// The interned constants, made once and kept for the life of the process.
template <class Key, class Value> struct InternTable {
    std::mutex lock;
    std::map<Key, std::unique_ptr<Value>> values;

    template <class Make> const Value *intern(const Key &key, Make make) {
        std::lock_guard guard(lock);
        auto &slot = values[key];
        if (!slot) slot = make();
        return slot.get();
    }
};

InternTable<std::string, __CFString> &strings() {
    static auto *table = new InternTable<std::string, __CFString>;
    return *table;
}

using UUIDKey = std::array<uint8_t, 16>;

InternTable<UUIDKey, __CFUUID> &uuids() {
    static auto *table = new InternTable<UUIDKey, __CFUUID>;
    return *table;
}

} // namespace

CFTypeRef CFRetain(CFTypeRef ref) {
    if (ref) const_cast<Object *>(object(ref))->retain();
    return ref;
}

void CFRelease(CFTypeRef ref) {
    if (!ref) return;
    auto *o = const_cast<Object *>(object(ref));
    if (o->release()) delete o;
}

CFIndex CFGetRetainCount(CFTypeRef ref) {
    return ref ? object(ref)->retainCount() : 0;
}

CFStringRef CFSTR(const char *text) {
    std::string key = text ? text : "";
    return strings().intern(key, [&] { return std::make_unique<__CFString>(key); });
}

const char *CFStringGetCStringPtrUTF8(CFStringRef string) {
    return string ? string->text.c_str() : nullptr;
}

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType type, const void *valuePtr) {
    if (!valuePtr) return nullptr;
    switch (type) {
    case kCFNumberSInt32Type:
        return new __CFNumber(*static_cast<const int32_t *>(valuePtr));
    case kCFNumberSInt64Type:
        return new __CFNumber(*static_cast<const int64_t *>(valuePtr));
    }
    return nullptr;
}

// Stores the value converted to the type; false when the conversion loses it.
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void *valuePtr) {
    if (!number || !valuePtr) return false;
    switch (type) {
    case kCFNumberSInt32Type: {
        auto narrow = int32_t(number->value);
        std::memcpy(valuePtr, &narrow, sizeof narrow);
        return narrow == number->value;
    }
    case kCFNumberSInt64Type:
        std::memcpy(valuePtr, &number->value, sizeof number->value);
        return true;
    }
    return false;
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex) {
    return new __CFDictionary;
}

void CFDictionarySetValue(CFMutableDictionaryRef dictionary, CFStringRef key, CFTypeRef value) {
    if (!dictionary || !key) return;
    CFRetain(value);
    for (auto &entry : dictionary->entries) {
        if (entry.first == key) {
            CFRelease(std::exchange(entry.second, value));
            return;
        }
    }
    dictionary->entries.emplace_back(key, value);
}

CFTypeRef CFDictionaryGetValue(CFDictionaryRef dictionary, CFStringRef key) {
    if (!dictionary) return nullptr;
    for (auto &entry : dictionary->entries)
        if (entry.first == key) return entry.second;
    return nullptr;
}

CFIndex CFDictionaryGetCount(CFDictionaryRef dictionary) {
    return dictionary ? CFIndex(dictionary->entries.size()) : 0;
}

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, uint8_t b0, uint8_t b1, uint8_t b2,
                                         uint8_t b3, uint8_t b4, uint8_t b5, uint8_t b6, uint8_t b7,
                                         uint8_t b8, uint8_t b9, uint8_t b10, uint8_t b11,
                                         uint8_t b12, uint8_t b13, uint8_t b14, uint8_t b15) {
    UUIDKey key{b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15};
    return uuids().intern(key, [&] {
        CFUUIDBytes bytes;
        std::memcpy(&bytes, key.data(), sizeof bytes);
        return std::make_unique<__CFUUID>(bytes);
    });
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) {
    return uuid ? uuid->bytes : CFUUIDBytes{};
}

Boolean CFUUIDBytesEqual(const CFUUIDBytes &a, const CFUUIDBytes &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}
