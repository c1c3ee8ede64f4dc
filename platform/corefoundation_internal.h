// The reference-counted base every CoreFoundation object of the platform layer derives from,
// so CFRetain, CFRelease and CFGetRetainCount work on numbers, dictionaries and run-loop
// objects alike.
#pragma once

#include "platform/corefoundation.h"

#include <atomic>

namespace qor::cf {

class Object {
public:
    // Constant strings and UUIDs are immortal: retain and release leave them alone.
    explicit Object(bool immortal = false) : refs_(immortal ? kImmortal : 1) {}
    virtual ~Object() = default;
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;

    void retain() {
        if (refs_.load(std::memory_order_relaxed) != kImmortal)
            refs_.fetch_add(1, std::memory_order_relaxed);
    }
    // True when this dropped the last reference; the caller then deletes the object.
    bool release() {
        if (refs_.load(std::memory_order_relaxed) == kImmortal) return false;
        return refs_.fetch_sub(1, std::memory_order_acq_rel) == 1;
    }
    CFIndex retainCount() const { return refs_.load(std::memory_order_relaxed); }

    static constexpr CFIndex kImmortal = 0x0FFFFFFF;

private:
    std::atomic<CFIndex> refs_;
};

} // namespace qor::cf
