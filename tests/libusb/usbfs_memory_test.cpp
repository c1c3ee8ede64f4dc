// The usbfs memory limit: reading it, and the advice once the reads in flight need more.
#include "libusb/usbfs_memory.h"

#include "libusb/capture_file.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace qor::libusb {
namespace {

using testing::CaptureFile;
using testing::occurrences;

class UsbfsLimitFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("qor-usbfs-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string write(const std::string &text) {
        const auto path = dir_ / "usbfs_memory_mb";
        std::ofstream(path) << text;
        return path.string();
    }
    std::filesystem::path dir_;
};

TEST_F(UsbfsLimitFile, ReadsTheLimitInMegabytes) {
    EXPECT_EQ(usbfsMemoryLimitMB(write("16\n").c_str()), 16u);
    EXPECT_EQ(usbfsMemoryLimitMB(write("1000").c_str()), 1000u);
}

TEST_F(UsbfsLimitFile, ZeroMeansNoLimit) {
    EXPECT_EQ(usbfsMemoryLimitMB(write("0\n").c_str()), 0u);
}

TEST_F(UsbfsLimitFile, MissingOrUnreadableMeansUnknown) {
    EXPECT_EQ(usbfsMemoryLimitMB((dir_ / "absent").c_str()), std::nullopt);
    EXPECT_EQ(usbfsMemoryLimitMB(write("").c_str()), std::nullopt);
    EXPECT_EQ(usbfsMemoryLimitMB(write("lots\n").c_str()), std::nullopt);
    EXPECT_EQ(usbfsMemoryLimitMB(write("-1\n").c_str()), std::nullopt);
}

constexpr uint64_t kMB = uint64_t(1) << 20;

TEST(UsbfsMemoryWatch, AdvisesOnceWhenTheReadsInFlightExceedTheLimit) {
    CaptureFile out;
    UsbfsMemoryWatch watch(2u, out.file());
    watch.readSubmitted(kMB);
    watch.readSubmitted(kMB); // exactly the limit
    EXPECT_EQ(out.text(), "");
    watch.readSubmitted(kMB / 2);
    const std::string text = out.text();
    EXPECT_NE(text.find("Streaming needs 3 MB of USB buffers but the kernel allows 2 MB"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("usbcore.usbfs_memory_mb=0"), std::string::npos) << text;
    watch.readSubmitted(4 * kMB);
    EXPECT_EQ(occurrences(out.text(), "Streaming needs"), 1u);
}

TEST(UsbfsMemoryWatch, ReadsThatEndedNoLongerCount) {
    CaptureFile out;
    UsbfsMemoryWatch watch(2u, out.file());
    for (int i = 0; i < 10; ++i) {
        watch.readSubmitted(kMB);
        watch.readSubmitted(kMB);
        watch.readEnded(kMB);
        watch.readEnded(kMB);
    }
    EXPECT_EQ(out.text(), "");
}

TEST(UsbfsMemoryWatch, WithoutAKnownLimitNothingIsAdvised) {
    CaptureFile none, unknown;
    UsbfsMemoryWatch unlimited(0u, none.file()), unread(std::nullopt, unknown.file());
    for (auto *watch : {&unlimited, &unread}) {
        watch->readSubmitted(1024 * kMB);
        watch->readRefused(kMB);
    }
    EXPECT_EQ(none.text(), "");
    EXPECT_EQ(unknown.text(), "");
}

TEST(UsbfsMemoryWatch, ARefusedReadBringsTheAdviceEvenUnderTheLimit) {
    // Other programs' transfers count against the same limit.
    CaptureFile out;
    UsbfsMemoryWatch watch(16u, out.file());
    watch.readSubmitted(kMB);
    watch.readRefused(kMB / 2);
    EXPECT_NE(out.text().find("Streaming needs 2 MB of USB buffers but the kernel allows 16 MB"),
              std::string::npos)
        << out.text();
}

TEST(UsbfsMemoryWatch, WithoutAFileTheAdviceIsAWarningOfTheDriverLog) {
    test::LogCapture log(platform::LogLevel::Warning);
    UsbfsMemoryWatch watch(1u);
    watch.readSubmitted(2 * kMB);
    const std::vector<std::string> warnings = log.at(platform::LogLevel::Warning);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(
        warnings[0].rfind("Streaming needs 2 MB of USB buffers but the kernel allows 1 MB", 0), 0u)
        << warnings[0];
    EXPECT_EQ(warnings[0].back(), '.') << "the line ends with its sentence, not a newline";
    EXPECT_EQ(log.lines().size(), 1u);
}

} // namespace
} // namespace qor::libusb
