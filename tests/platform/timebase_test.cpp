#include "platform/corefoundation.h"
#include "platform/timebase.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <thread>

namespace {

int64_t wideValue(const wide &w) {
    return int64_t(uint64_t(uint32_t(w.hi)) << 32 | w.lo);
}

wide makeWide(int64_t v) {
    return {int32_t(uint32_t(uint64_t(v) >> 32)), uint32_t(uint64_t(v))};
}

// Runs the time bases on a clock the test moves by hand.
class TimeBaseClock : public ::testing::Test {
protected:
    void SetUp() override {
        qor::platform::setTimeBaseClockForTests([this] { return nowUs.load(); });
    }
    void TearDown() override { qor::platform::setTimeBaseClockForTests({}); }
    void advanceUs(uint64_t us) { nowUs += us; }

    std::atomic<uint64_t> nowUs{5'000'000'000};
};

} // namespace

TEST_F(TimeBaseClock, NewBaseIsStoppedAtZero) {
    TimeBase tb = NewTimeBase();
    ASSERT_NE(tb, nullptr);
    EXPECT_EQ(GetTimeBaseRate(tb), 0);
    advanceUs(3'000'000);
    TimeRecord tr{{7, 7}, 0, nullptr};
    EXPECT_EQ(GetTimeBaseTime(tb, 600, &tr), 0);
    EXPECT_EQ(wideValue(tr.value), 0);
    EXPECT_EQ(tr.scale, 600);
    EXPECT_EQ(tr.base, tb);
    DisposeTimeBase(tb);
}

TEST_F(TimeBaseClock, RunsAtItsRateAndKeepsTimeAcrossRateChanges) {
    TimeBase tb = NewTimeBase();
    SetTimeBaseRate(tb, fixedFromInt(1));
    EXPECT_EQ(GetTimeBaseRate(tb), 0x10000);
    advanceUs(2'500'000);
    EXPECT_EQ(GetTimeBaseTime(tb, 1000, nullptr), 2500);

    SetTimeBaseRate(tb, fixedFromInt(2)); // continues from 2.5 s
    advanceUs(1'000'000);
    EXPECT_EQ(GetTimeBaseTime(tb, 1000, nullptr), 4500);

    SetTimeBaseRate(tb, 0x8000); // half speed
    advanceUs(1'000'000);
    EXPECT_EQ(GetTimeBaseTime(tb, 1000, nullptr), 5000);

    SetTimeBaseRate(tb, 0); // stopped: time holds
    advanceUs(10'000'000);
    EXPECT_EQ(GetTimeBaseTime(tb, 1000, nullptr), 5000);
    EXPECT_EQ(GetTimeBaseRate(tb), 0);

    SetTimeBaseRate(tb, -fixedFromInt(1)); // backwards
    advanceUs(1'000'000);
    EXPECT_EQ(GetTimeBaseTime(tb, 1000, nullptr), 4000);
    DisposeTimeBase(tb);
}

TEST_F(TimeBaseClock, ScalesAgreeOnTheSameInstant) {
    TimeBase tb = NewTimeBase();
    SetTimeBaseRate(tb, fixedFromInt(1));
    advanceUs(1'234'567);
    // 1.234567 s: 740.74 units at 600, 12345.67 at 10000, both rounded down.
    EXPECT_EQ(GetTimeBaseTime(tb, 600, nullptr), 740);
    EXPECT_EQ(GetTimeBaseTime(tb, 10000, nullptr), 12345);
    EXPECT_EQ(GetTimeBaseTime(tb, 1000000, nullptr), 1234567);

    SetTimeBaseRate(tb, 0);
    SetTimeBaseValue(tb, 300, 600); // half a second
    EXPECT_EQ(GetTimeBaseTime(tb, 600, nullptr), 300);
    EXPECT_EQ(GetTimeBaseTime(tb, 10000, nullptr), 5000);
    EXPECT_EQ(GetTimeBaseTime(tb, 1, nullptr), 0);
    DisposeTimeBase(tb);
}

TEST_F(TimeBaseClock, SetValueMovesTheCurrentTime) {
    TimeBase tb = NewTimeBase();
    SetTimeBaseRate(tb, fixedFromInt(1));
    advanceUs(9'000'000);
    SetTimeBaseValue(tb, 20000, 10000); // 2 s, still running
    EXPECT_EQ(GetTimeBaseTime(tb, 10000, nullptr), 20000);
    advanceUs(500'000);
    EXPECT_EQ(GetTimeBaseTime(tb, 10000, nullptr), 25000);
    EXPECT_EQ(GetTimeBaseTime(tb, 600, nullptr), 1500);

    SetTimeBaseValue(tb, -600, 600); // before zero
    TimeRecord tr{};
    EXPECT_EQ(GetTimeBaseTime(tb, 600, &tr), -600);
    EXPECT_EQ(wideValue(tr.value), -600);
    DisposeTimeBase(tb);
}

TEST_F(TimeBaseClock, RecordHoldsTheFull64BitValue) {
    TimeBase tb = NewTimeBase();
    SetTimeBaseRate(tb, fixedFromInt(1));
    // Five seconds at a scale of 10^9 does not fit in 32 bits.
    advanceUs(uint64_t(5) * 1'000'000);
    TimeRecord tr{};
    const TimeScale scale = 1'000'000'000;
    TimeValue low = GetTimeBaseTime(tb, scale, &tr);
    EXPECT_EQ(wideValue(tr.value), int64_t(5'000'000'000));
    EXPECT_EQ(tr.value.hi, 1);
    EXPECT_EQ(low, TimeValue(uint32_t(5'000'000'000 & 0xFFFFFFFF)));
    DisposeTimeBase(tb);
}

TEST_F(TimeBaseClock, BadArgumentsAreHarmless) {
    TimeRecord tr{{1, 2}, 3, nullptr};
    EXPECT_EQ(GetTimeBaseTime(nullptr, 600, &tr), 0);
    EXPECT_EQ(tr.scale, 3);
    EXPECT_EQ(GetTimeBaseRate(nullptr), 0);
    SetTimeBaseRate(nullptr, 0x10000);
    SetTimeBaseValue(nullptr, 1, 600);
    DisposeTimeBase(nullptr);
    TimeBase tb = NewTimeBase();
    EXPECT_EQ(GetTimeBaseTime(tb, 0, &tr), 0);
    EXPECT_EQ(tr.scale, 3);
    SetTimeBaseValue(tb, 100, 0); // ignored
    EXPECT_EQ(GetTimeBaseTime(tb, 600, nullptr), 0);
    DisposeTimeBase(tb);
}

TEST(TimeBaseRealClock, StoppedHoldsAndRunningAdvancesMonotonically) {
    TimeBase tb = NewTimeBase();
    SetTimeBaseValue(tb, 1000, 600);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(GetTimeBaseTime(tb, 600, nullptr), 1000);

    SetTimeBaseRate(tb, fixedFromInt(1));
    TimeValue previous = GetTimeBaseTime(tb, 10000, nullptr);
    EXPECT_GE(previous, 1000 * 10000 / 600);
    for (int i = 0; i < 1000; ++i) {
        TimeValue now = GetTimeBaseTime(tb, 10000, nullptr);
        ASSERT_GE(now, previous);
        previous = now;
    }
    auto start = std::chrono::steady_clock::now();
    TimeValue before = GetTimeBaseTime(tb, 10000, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    TimeValue after = GetTimeBaseTime(tb, 10000, nullptr);
    auto elapsedUnits = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count() /
                        100;
    EXPECT_GE(after - before, 500);               // at least the 50 ms slept
    EXPECT_LE(after - before, elapsedUnits + 10); // never faster than real time

    SetTimeBaseRate(tb, fixedFromInt(2));
    before = GetTimeBaseTime(tb, 10000, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    after = GetTimeBaseTime(tb, 10000, nullptr);
    EXPECT_GE(after - before, 1000); // twice the 50 ms slept

    SetTimeBaseRate(tb, 0);
    before = GetTimeBaseTime(tb, 10000, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(GetTimeBaseTime(tb, 10000, nullptr), before);
    DisposeTimeBase(tb);
}

TEST(TimeBaseRealClock, ConcurrentReadersAndRateChangesAreSafe) {
    TimeBase tb = NewTimeBase();
    SetTimeBaseRate(tb, fixedFromInt(1));
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        TimeValue previous = 0;
        while (!stop) {
            TimeValue now = GetTimeBaseTime(tb, 600, nullptr);
            EXPECT_GE(now, previous); // rates stay non-negative here
            previous = now;
        }
    });
    for (int i = 0; i < 2000; ++i) SetTimeBaseRate(tb, (i % 3) * 0x8000);
    stop = true;
    reader.join();
    DisposeTimeBase(tb);
}

TEST(TimeBaseWideAdd, AddsAsSigned64Bit) {
    struct Case {
        int64_t a, b;
    };
    const Case cases[] = {
        {0xFFFFFFFF, 1},               // carry out of the low word
        {0x1FFFFFFFF, 0xFFFFFFFF},     // carry with both low words full
        {5, -7},                       // result goes negative
        {-1, 1},                       // borrow back to zero
        {-0x100000000, -1},            // borrow across the low word
        {-0x123456789A, 0x0FEDCBA987}, // mixed signs, both words busy
        {int64_t(1) << 40, -(int64_t(1) << 40)},
    };
    for (const Case &c : cases) {
        wide dst = makeWide(c.a);
        const wide src = makeWide(c.b);
        WideAdd(&dst, &src);
        EXPECT_EQ(wideValue(dst), c.a + c.b) << c.a << " + " << c.b;
        EXPECT_EQ(wideValue(src), c.b);
    }
    wide dst{0, 0xFFFFFFFF};
    const wide one{0, 1};
    WideAdd(&dst, &one);
    EXPECT_EQ(dst.hi, 1);
    EXPECT_EQ(dst.lo, 0u);
    WideAdd(nullptr, &one);
    WideAdd(&dst, nullptr);
    EXPECT_EQ(dst.hi, 1);
}

TEST(GregorianDate, KnownAbsoluteTimes) {
    CFGregorianDate d = CFAbsoluteTimeGetGregorianDate(0, nullptr);
    EXPECT_EQ(d.year, 2001);
    EXPECT_EQ(d.month, 1);
    EXPECT_EQ(d.day, 1);
    EXPECT_EQ(d.hour, 0);
    EXPECT_EQ(d.minute, 0);
    EXPECT_EQ(d.second, 0.0);

    d = CFAbsoluteTimeGetGregorianDate(86400.0 * 365 + 3661.5, nullptr);
    EXPECT_EQ(d.year, 2002);
    EXPECT_EQ(d.month, 1);
    EXPECT_EQ(d.day, 1);
    EXPECT_EQ(d.hour, 1);
    EXPECT_EQ(d.minute, 1);
    EXPECT_DOUBLE_EQ(d.second, 1.5);

    // 2004-02-29 23:59:59.25: a leap day, the last second of it.
    d = CFAbsoluteTimeGetGregorianDate(86400.0 * (365 * 3 + 31 + 28) + 86399.25, nullptr);
    EXPECT_EQ(d.year, 2004);
    EXPECT_EQ(d.month, 2);
    EXPECT_EQ(d.day, 29);
    EXPECT_EQ(d.hour, 23);
    EXPECT_EQ(d.minute, 59);
    EXPECT_DOUBLE_EQ(d.second, 59.25);

    // Half a second before the reference date: 2000-12-31 23:59:59.5.
    d = CFAbsoluteTimeGetGregorianDate(-0.5, nullptr);
    EXPECT_EQ(d.year, 2000);
    EXPECT_EQ(d.month, 12);
    EXPECT_EQ(d.day, 31);
    EXPECT_EQ(d.hour, 23);
    EXPECT_EQ(d.minute, 59);
    EXPECT_DOUBLE_EQ(d.second, 59.5);

    // 1970-01-01 00:00:00, the Unix epoch.
    d = CFAbsoluteTimeGetGregorianDate(-kCFAbsoluteTimeIntervalSince1970, nullptr);
    EXPECT_EQ(d.year, 1970);
    EXPECT_EQ(d.month, 1);
    EXPECT_EQ(d.day, 1);
    EXPECT_EQ(d.hour, 0);

    // 2100 is not a leap year: the day after 2100-02-28 is 2100-03-01.
    // Days from 2001-01-01 to 2100-03-01: 99 years (24 leap days) plus Jan and Feb.
    d = CFAbsoluteTimeGetGregorianDate(86400.0 * (99 * 365 + 24 + 31 + 28), nullptr);
    EXPECT_EQ(d.year, 2100);
    EXPECT_EQ(d.month, 3);
    EXPECT_EQ(d.day, 1);
}

TEST(GregorianDate, CurrentTimeMatchesTheSystemClock) {
    double expected = double(std::time(nullptr)) - 978307200.0;
    CFAbsoluteTime now = CFAbsoluteTimeGetCurrent();
    EXPECT_LT(std::fabs(now - expected), 86400.0);
    CFGregorianDate d = CFAbsoluteTimeGetGregorianDate(now, nullptr);
    std::time_t t = std::time(nullptr);
    std::tm gmt{};
    gmtime_r(&t, &gmt);
    EXPECT_EQ(d.year, gmt.tm_year + 1900);
    EXPECT_GE(d.second, 0.0);
    EXPECT_LT(d.second, 60.0);
}
