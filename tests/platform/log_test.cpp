// The log function: the threshold, the sink and standard error, QORVANTA_DEBUG, several threads
// at once, and the driver's own lines arriving at their levels.
#include "platform/log.h"

#include "support/log_capture.h"
#include "usb/loader_support.h"

#include <qorvanta/usb.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <limits.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace qor;
using platform::LogLevel;

namespace {

constexpr LogLevel kLevels[] = {LogLevel::Error, LogLevel::Warning, LogLevel::Info,
                                LogLevel::Debug};

// The cases that check what a lowered threshold drops assume that the variable does not raise
// it; the variable's own cases run in child processes.
#define SKIP_UNDER_QORVANTA_DEBUG()                                                                \
    if (std::getenv("QORVANTA_DEBUG")) GTEST_SKIP() << "QORVANTA_DEBUG is set"

TEST(Log, LinesAboveTheThresholdAreDropped) {
    SKIP_UNDER_QORVANTA_DEBUG();
    for (LogLevel threshold : kLevels) {
        SCOPED_TRACE(platform::logLevelName(threshold));
        test::LogCapture log(threshold);
        EXPECT_EQ(platform::logThreshold(), threshold);
        for (LogLevel level : kLevels)
            platform::log(level, "a line at %s", platform::logLevelName(level));
        std::vector<test::LogLine> expected;
        for (LogLevel level : kLevels)
            if (level <= threshold)
                expected.push_back(
                    {level, std::string("a line at ") + platform::logLevelName(level)});
        EXPECT_EQ(log.lines(), expected);
    }
}

TEST(Log, TheSinkGetsTheLevelAndTheLineWithoutItsNewline) {
    test::LogCapture log(LogLevel::Info);
    platform::log(LogLevel::Warning, "camera %s at %d%%\n", "A", 5);
    platform::log(LogLevel::Error, "camera %s at %d%%", "B", 6);
    platform::log(LogLevel::Info, "two newlines\n\n");
    const std::string longText(5000, 'x');
    platform::log(LogLevel::Info, "%s|", longText.c_str());
    const std::vector<test::LogLine> expected = {{LogLevel::Warning, "camera A at 5%"},
                                                 {LogLevel::Error, "camera B at 6%"},
                                                 {LogLevel::Info, "two newlines"},
                                                 {LogLevel::Info, longText + "|"}};
    EXPECT_EQ(log.lines(), expected);
}

TEST(Log, AnEmptySinkRestoresStandardError) {
    SKIP_UNDER_QORVANTA_DEBUG();
    test::LogCapture log(LogLevel::Warning);
    int called = 0;
    platform::setLogSink([&called](LogLevel, const std::string &) { ++called; });
    // The previous sink comes back from the call that replaces it.
    const platform::LogSink mine = platform::setLogSink({});
    ASSERT_TRUE(mine);
    mine(LogLevel::Error, "direct");
    EXPECT_EQ(called, 1);

    testing::internal::CaptureStderr();
    platform::log(LogLevel::Warning, "to standard error: %d", 7);
    platform::log(LogLevel::Info, "below the threshold");
    platform::log(LogLevel::Error, "with its own newline\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "to standard error: 7\nwith its own newline\n");
    EXPECT_EQ(called, 1);
    EXPECT_TRUE(log.lines().empty());
}

// Lines logged from several threads while others change the sink and the threshold: each line
// reaches exactly one sink, whole and once. The sinks keep no lock of their own: they are never
// called from two threads at once.
TEST(Log, LinesFromSeveralThreadsArriveWholeAndOnce) {
    test::LogCapture restore(LogLevel::Info);
    constexpr int kThreads = 4, kLines = 500;
    std::map<std::string, int> first, second;
    auto sinkInto = [](std::map<std::string, int> &seen) {
        return [&seen](LogLevel level, const std::string &text) {
            if (level == LogLevel::Info) ++seen[text];
        };
    };
    platform::setLogSink(sinkInto(first));
    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (int i = 0; !done.load(); ++i) {
            platform::setLogSink(sinkInto(i % 2 ? first : second));
            platform::setLogThreshold(i % 2 ? LogLevel::Debug : LogLevel::Info);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                platform::log(LogLevel::Info, "thread %d line %d", t, i);
        });
    for (std::thread &writer : writers) writer.join();
    done.store(true);
    changer.join();
    platform::setLogSink(sinkInto(first)); // the changer's last sink may be either

    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kLines; ++i) {
            const std::string line = "thread " + std::to_string(t) + " line " + std::to_string(i);
            const int count =
                (first.count(line) ? first[line] : 0) + (second.count(line) ? second[line] : 0);
            ASSERT_EQ(count, 1) << line;
        }
    EXPECT_EQ(first.size() + second.size(), size_t(kThreads * kLines));
}

// QORVANTA_DEBUG is read once per process, so each value is tried in a child: this test binary
// run again on the case below, with the variable set and the level the child must find.
constexpr const char *kExpectedVariable = "QORVANTA_LOG_TEST_EXPECT";

std::string selfPath() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, size_t(length)) : std::string();
}

// Runs the child case with the variable's value (nullptr: unset); its output, and whether it
// passed.
bool runChild(const char *value, const char *expected, std::string *output) {
    const std::string self = selfPath();
    if (self.empty()) return false;
    std::vector<std::string> environment;
    for (char **entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (text.rfind("QORVANTA_DEBUG=", 0) != 0 &&
            text.rfind(std::string(kExpectedVariable) + "=", 0) != 0)
            environment.push_back(text);
    }
    if (value) environment.push_back(std::string("QORVANTA_DEBUG=") + value);
    environment.push_back(std::string(kExpectedVariable) + "=" + expected);
    std::vector<char *> envp;
    for (std::string &text : environment) envp.push_back(text.data());
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=LogChild.LevelInForce";
    char *argv[] = {const_cast<char *>(self.c_str()), filter.data(), nullptr};

    int out[2];
    if (::pipe(out) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    pid_t child = 0;
    const int spawned = ::posix_spawn(&child, self.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        return false;
    }
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) output->append(buffer, size_t(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           output->find("[       OK ] LogChild.LevelInForce") != std::string::npos;
}

TEST(LogEnvironment, QorvantaDebugRaisesALoweredThreshold) {
    const struct {
        const char *value;
        const char *expected; // after the program lowers the threshold to warnings
    } cases[] = {
        {nullptr, "warning"}, {"", "warning"}, {"0", "warning"},        {"1", "info"},
        {"info", "info"},     {"2", "info"},   {"3", "debug"},          {"debug", "debug"},
        {"DEBUG", "debug"},   {"yes", "info"}, {"nonsense", "warning"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        std::string output;
        EXPECT_TRUE(runChild(c.value, c.expected, &output)) << output;
    }
}

// Only in the child that the case above starts.
TEST(LogChild, LevelInForce) {
    const char *expectedName = std::getenv(kExpectedVariable);
    if (!expectedName) GTEST_SKIP() << "run by LogEnvironment.QorvantaDebugRaisesALoweredThreshold";
    LogLevel expected = LogLevel::Error;
    for (LogLevel level : kLevels)
        if (std::string(platform::logLevelName(level)) == expectedName) expected = level;

    // A program that shows only warnings, as a capture tool does without -v.
    test::LogCapture log(LogLevel::Warning);
    EXPECT_EQ(platform::logThreshold(), expected);
    for (LogLevel level : kLevels) platform::log(level, "%s", platform::logLevelName(level));
    std::vector<std::string> received;
    for (const test::LogLine &line : log.lines()) received.push_back(line.text);
    std::vector<std::string> wanted;
    for (LogLevel level : kLevels)
        if (level <= expected) wanted.push_back(platform::logLevelName(level));
    EXPECT_EQ(received, wanted);

    // A program that asks for more than the variable gets it.
    platform::setLogThreshold(LogLevel::Debug);
    EXPECT_EQ(platform::logThreshold(), LogLevel::Debug);
}

// The loader's chatter while it brings up a camera arrives as information, each line without
// its newline, and a camera it cannot load reports errors; nothing bypasses the sink.
using DriverLog = test::LoaderTest;

TEST_F(DriverLog, BringUpChatterIsInformationAndFailuresAreErrors) {
    sim::CameraOptions good;
    good.productID = 0x01A5;
    good.serial = "GOOD";
    good.reenumerationDelay = std::chrono::milliseconds(100);
    sim::CameraOptions unknown = good;
    unknown.serial = "NOFW";
    unknown.releaseNumber = 3; // no firmware file for this release
    auto cam = sim::attachCamera(good);
    auto lost = sim::attachCamera(unknown);

    test::LogCapture log(LogLevel::Debug);
    testing::internal::CaptureStderr();
    EXPECT_EQ(QORUSBInitializeLoader(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(test::registeredDigitizers().count(test::cameraName(*cam)), 1u);

    EXPECT_EQ(log.at(LogLevel::Error),
              (std::vector<std::string>{"myOpenFirmWareFile() can't match FW for the IDs",
                                        "unable to download to device: -43 ffffffd5"}));
    EXPECT_TRUE(log.at(LogLevel::Warning).empty());
    const std::vector<std::string> info = log.at(LogLevel::Info);
    auto has = [&info](const std::string &start) {
        return std::any_of(info.begin(), info.end(),
                           [&start](const std::string &line) { return line.rfind(start, 0) == 0; });
    };
    for (const char *line :
         {"myOpenFirmWareFile() locate FW for PID 81a5 DID 0",
          "myOpenFirmWareFile() locate FW for PID 81a5 DID 3",
          "myOpenFirmWareFile() FW should be in cam08/firm0.HEX",
          "myOpenFirmWareFile(): Found Firmware at ",
          "myAnchorFX2WriteFirmWare reset FX2 successfully",
          "myAnchorFX2DownLoadFirmwareFile successed writing Firmware",
          "myAnchorFX2WriteFirmWare set FX2 as vendor mode successfully",
          "FW was downloaded to device", "myOpenFPGAFileBuffer() locate FPGA for PID 1a5 DID ",
          "myOpenFPGAFileBuffer() found FPGA in ", "myOpenFPGAFileBuffer() buffered FPGA "})
        EXPECT_TRUE(has(line)) << line;
    for (const test::LogLine &line : log.lines()) {
        EXPECT_FALSE(line.text.empty());
        EXPECT_EQ(line.text.find('\n'), std::string::npos) << line.text;
        EXPECT_NE(line.text.back(), ' ') << line.text;
    }
}

} // namespace
