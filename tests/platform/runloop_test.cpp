#include "platform/runloop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A source whose perform runs a test's function and counts its runs and threads.
struct Probe {
    std::function<void()> onPerform;
    std::atomic<int> performs{0};
    std::atomic<int> released{0};
    std::thread::id performedOn;

    CFRunLoopSourceRef makeSource(CFIndex order = 0) {
        CFRunLoopSourceContext context{0, this, nullptr, release, perform};
        return CFRunLoopSourceCreate(kCFAllocatorDefault, order, &context);
    }
    static void perform(void *info) {
        auto *probe = static_cast<Probe *>(info);
        probe->performedOn = std::this_thread::get_id();
        ++probe->performs;
        if (probe->onPerform) probe->onPerform();
    }
    static void release(const void *info) {
        ++static_cast<Probe *>(const_cast<void *>(info))->released;
    }
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Each test runs on a fresh thread, so it starts with a fresh run loop.
void onOwnThread(std::function<void()> body) {
    std::thread(std::move(body)).join();
}

TEST(RunLoop, SignalFromAnotherThreadPerformsOnTheLoopsThread) {
    onOwnThread([] {
        Probe probe;
        CFRunLoopSourceRef source = probe.makeSource();
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        std::thread signaller([source] {
            std::this_thread::sleep_for(20ms);
            CFRunLoopSourceSignal(source);
        });
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5.0, true), kCFRunLoopRunHandledSource);
        signaller.join();
        EXPECT_EQ(probe.performs, 1);
        EXPECT_EQ(probe.performedOn, std::this_thread::get_id());
        CFRunLoopSourceInvalidate(source);
        CFRelease(source);
        EXPECT_EQ(probe.released, 1);
    });
}

TEST(RunLoop, RunInModeWaitsTheWholeTimeEvenWithoutSources) {
    onOwnThread([] {
        auto start = Clock::now();
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, false), kCFRunLoopRunTimedOut);
        EXPECT_GE(secondsSince(start), 0.1);
    });
}

TEST(RunLoop, RunInModeKeepsHandlingSourcesUntilTheTimeIsUp) {
    onOwnThread([] {
        Probe probe;
        CFRunLoopSourceRef source = probe.makeSource();
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopCommonModes);
        EXPECT_TRUE(CFRunLoopContainsSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode))
            << "the common modes are the default mode";
        std::thread signaller([&probe, source] {
            for (int i = 1; i <= 3; ++i) {
                CFRunLoopSourceSignal(source);
                while (probe.performs < i) std::this_thread::sleep_for(1ms);
            }
        });
        auto start = Clock::now();
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.3, false), kCFRunLoopRunTimedOut);
        EXPECT_GE(secondsSince(start), 0.3);
        signaller.join();
        EXPECT_EQ(probe.performs, 3);
        CFRunLoopRemoveSource(CFRunLoopGetCurrent(), source, kCFRunLoopCommonModes);
        CFRelease(source);
    });
}

TEST(RunLoop, StopBeforeRunIsRememberedByTheNextRun) {
    onOwnThread([] {
        Probe probe;
        CFRunLoopSourceRef source = probe.makeSource();
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);

        CFRunLoopStop(CFRunLoopGetCurrent());
        auto start = Clock::now();
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10.0, false), kCFRunLoopRunStopped);
        EXPECT_LT(secondsSince(start), 1.0);
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, false), kCFRunLoopRunTimedOut)
            << "one stop ends one run";

        CFRunLoopStop(CFRunLoopGetCurrent());
        CFRunLoopRun(); // holds a source, so only the stop ends it
        CFRunLoopRemoveSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        CFRelease(source);
    });
}

TEST(RunLoop, StopFromAnotherThreadEndsARunningLoop) {
    std::promise<CFRunLoopRef> started;
    std::thread streaming([&] {
        Probe probe;
        CFRunLoopSourceRef source = probe.makeSource();
        CFRunLoopRef loop = CFRunLoopGetCurrent();
        CFRunLoopAddSource(loop, source, kCFRunLoopDefaultMode);
        CFRetain(loop);
        started.set_value(loop);
        CFRunLoopRun();
        CFRunLoopRemoveSource(loop, source, kCFRunLoopDefaultMode);
        CFRelease(source);
    });
    CFRunLoopRef loop = started.get_future().get();
    std::this_thread::sleep_for(20ms);
    CFRunLoopStop(loop);
    streaming.join();
    EXPECT_EQ(CFGetRetainCount(loop), 1) << "the thread has let go of its loop";
    CFRunLoopWakeUp(loop); // still a valid object while retained
    CFRelease(loop);
}

TEST(RunLoop, RunWithoutAnySourceFinishesAtOnce) {
    onOwnThread([] {
        auto start = Clock::now();
        CFRunLoopRun();
        EXPECT_LT(secondsSince(start), 1.0);
    });
}

TEST(RunLoop, RemovedAndInvalidatedSourcesNoLongerPerform) {
    onOwnThread([] {
        CFRunLoopRef loop = CFRunLoopGetCurrent();
        Probe removed, invalidated;
        CFRunLoopSourceRef a = removed.makeSource();
        CFRunLoopSourceRef b = invalidated.makeSource();
        CFRunLoopAddSource(loop, a, kCFRunLoopDefaultMode);
        CFRunLoopAddSource(loop, b, kCFRunLoopDefaultMode);
        EXPECT_EQ(CFGetRetainCount(a), 2) << "the loop holds its sources";

        CFRunLoopSourceSignal(a);
        CFRunLoopSourceSignal(b);
        CFRunLoopRemoveSource(loop, a, kCFRunLoopDefaultMode);
        CFRunLoopSourceInvalidate(b);
        EXPECT_EQ(CFGetRetainCount(a), 1);
        EXPECT_FALSE(CFRunLoopContainsSource(loop, b, kCFRunLoopDefaultMode));
        CFRunLoopAddSource(loop, b, kCFRunLoopDefaultMode);
        EXPECT_FALSE(CFRunLoopContainsSource(loop, b, kCFRunLoopDefaultMode))
            << "an invalid source cannot be added again";

        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, true), kCFRunLoopRunTimedOut);
        EXPECT_EQ(removed.performs, 0);
        EXPECT_EQ(invalidated.performs, 0);
        CFRelease(a);
        CFRelease(b);
    });
}

TEST(RunLoop, SourcesOfOtherModesWaitForTheirMode) {
    onOwnThread([] {
        Probe probe;
        CFRunLoopSourceRef source = probe.makeSource();
        CFStringRef panelMode = CFSTR("PanelTrackingMode");
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, panelMode);
        CFRunLoopSourceSignal(source);
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.02, true), kCFRunLoopRunTimedOut);
        EXPECT_EQ(CFRunLoopRunInMode(panelMode, 0.02, true), kCFRunLoopRunHandledSource);
        EXPECT_EQ(probe.performs, 1);
        CFRunLoopSourceInvalidate(source);
        CFRelease(source);
    });
}

TEST(RunLoop, PerformMayRunTheLoopAgainAndOrderDecides) {
    onOwnThread([] {
        CFRunLoopRef loop = CFRunLoopGetCurrent();
        Probe outer, inner, later;
        CFRunLoopSourceRef outerSource = outer.makeSource(0);
        CFRunLoopSourceRef innerSource = inner.makeSource(1);
        CFRunLoopSourceRef laterSource = later.makeSource(2);
        std::vector<int> order;
        outer.onPerform = [&] {
            order.push_back(0);
            CFRunLoopSourceSignal(innerSource);
            EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0, true),
                      kCFRunLoopRunHandledSource);
        };
        inner.onPerform = [&] { order.push_back(1); };
        later.onPerform = [&] { order.push_back(2); };
        for (auto source : {laterSource, innerSource, outerSource})
            CFRunLoopAddSource(loop, source, kCFRunLoopDefaultMode);

        CFRunLoopSourceSignal(laterSource);
        CFRunLoopSourceSignal(outerSource);
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0, true), kCFRunLoopRunHandledSource);
        EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
        for (auto source : {laterSource, innerSource, outerSource}) {
            CFRunLoopSourceInvalidate(source);
            CFRelease(source);
        }
    });
}

TEST(RunLoop, LoopsAreOnePerThreadAndOutliveTheirThreadWhenRetained) {
    CFRunLoopRef here = CFRunLoopGetCurrent();
    EXPECT_EQ(CFRunLoopGetCurrent(), here);
    CFRunLoopRef there = nullptr;
    std::thread([&] {
        there = CFRunLoopGetCurrent();
        CFRetain(there);
    }).join();
    EXPECT_NE(there, here);
    EXPECT_EQ(CFGetRetainCount(there), 1);
    CFRunLoopStop(there);
    CFRelease(there);
}

} // namespace
