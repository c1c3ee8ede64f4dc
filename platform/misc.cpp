#include "platform/misc.h"

#include <qorvanta/status.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>

namespace {

// QuickTime 7.6.0, the version the digitizer's time-code support was last checked against.
constexpr long kQuickTimeVersion = 0x07608000;

struct GestaltTable {
    std::mutex lock;
    std::map<OSType, std::optional<long>> answers;
};

GestaltTable &gestaltTable() {
    static GestaltTable table;
    return table;
}

std::map<OSType, std::optional<long>> builtInAnswers() {
    return {{gestaltQuickTime, kQuickTimeVersion}};
}

} // namespace

OSErr Gestalt(OSType selector, long *response) {
    if (!response) return paramErr;
    std::lock_guard guard(gestaltTable().lock);
    auto &answers = gestaltTable().answers;
    if (answers.empty()) answers = builtInAnswers();
    auto it = answers.find(selector);
    if (it == answers.end() || !it->second) return gestaltUndefSelectorErr;
    *response = *it->second;
    return noErr;
}

namespace {

std::mutex gMicrosecondsLock;
std::function<uint64_t()> gMicrosecondsClock;

} // namespace

void Microseconds(UnsignedWide *microTickCount) {
    if (!microTickCount) return;
    std::function<uint64_t()> clock;
    {
        std::lock_guard guard(gMicrosecondsLock);
        clock = gMicrosecondsClock;
    }
    *microTickCount = uint64ToWide(clock ? clock() : qor::platform::microseconds());
}

void CopyCStringToPascal(const char *src, Str255 dst) {
    if (!dst) return;
    size_t length = src ? strnlen(src, 255) : 0;
    if (length) std::memmove(dst + 1, src, length);
    dst[0] = static_cast<unsigned char>(length);
}

namespace qor::platform {

uint64_t microseconds() {
    using namespace std::chrono;
    return uint64_t(
        duration_cast<std::chrono::microseconds>(steady_clock::now().time_since_epoch()).count());
}

void setMicrosecondsForTests(std::function<uint64_t()> clock) {
    std::lock_guard guard(gMicrosecondsLock);
    gMicrosecondsClock = std::move(clock);
}

void setGestaltAnswer(OSType selector, std::optional<long> answer) {
    std::lock_guard guard(gestaltTable().lock);
    auto &answers = gestaltTable().answers;
    if (answers.empty()) answers = builtInAnswers();
    answers[selector] = answer;
}

void resetGestalt() {
    std::lock_guard guard(gestaltTable().lock);
    gestaltTable().answers = builtInAnswers();
}

} // namespace qor::platform

namespace {
std::atomic<unsigned> gSysBeeps{0};
}

void SysBeep(short) {
    gSysBeeps.fetch_add(1, std::memory_order_relaxed);
}

unsigned qor::platform::sysBeepCount() {
    return gSysBeeps.load(std::memory_order_relaxed);
}
