#include "platform/corefoundation.h"

#include <chrono>
#include <cmath>
#include <mutex>

namespace {

constexpr double kSecondsPerDay = 86400.0;
// Days from 1970-01-01 to 2001-01-01.
constexpr int64_t kDaysTo2001 = 11323;

// The civil date of a day count from 1970-01-01 (proleptic Gregorian calendar).
void civilFromDays(int64_t z, int32_t &year, int &month, int &day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = int(doy - (153 * mp + 2) / 5 + 1);
    month = int(mp < 10 ? mp + 3 : mp - 9);
    year = int32_t(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

std::mutex gAbsoluteTimeLock;
std::function<CFAbsoluteTime()> gAbsoluteTimeClock;

} // namespace

CFAbsoluteTime CFAbsoluteTimeGetCurrent() {
    std::function<CFAbsoluteTime()> clock;
    {
        std::lock_guard guard(gAbsoluteTimeLock);
        clock = gAbsoluteTimeClock;
    }
    if (clock) return clock();
    using namespace std::chrono;
    auto sinceEpoch = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    return double(sinceEpoch) / 1e6 - kCFAbsoluteTimeIntervalSince1970;
}

CFGregorianDate CFAbsoluteTimeGetGregorianDate(CFAbsoluteTime at, CFTimeZoneRef) {
    if (!std::isfinite(at) || std::fabs(at) > 1e15) return {2001, 1, 1, 0, 0, 0.0};
    double days = std::floor(at / kSecondsPerDay);
    double rest = at - days * kSecondsPerDay;
    // Rounding can leave the remainder a hair outside one day.
    if (rest < 0) {
        days -= 1;
        rest += kSecondsPerDay;
    } else if (rest >= kSecondsPerDay) {
        days += 1;
        rest -= kSecondsPerDay;
    }
    int32_t year;
    int month, day;
    civilFromDays(int64_t(days) + kDaysTo2001, year, month, day);
    int hour = int(rest / 3600.0);
    if (hour > 23) hour = 23;
    int minute = int((rest - hour * 3600.0) / 60.0);
    if (minute > 59) minute = 59;
    double second = rest - hour * 3600.0 - minute * 60.0;
    return {year, int8_t(month), int8_t(day), int8_t(hour), int8_t(minute), second};
}

namespace qor::platform {

void setAbsoluteTimeForTests(std::function<CFAbsoluteTime()> clock) {
    std::lock_guard guard(gAbsoluteTimeLock);
    gAbsoluteTimeClock = std::move(clock);
}

} // namespace qor::platform
