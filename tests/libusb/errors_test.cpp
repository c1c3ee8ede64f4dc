// How libusb's outcomes reach the driver: the IOReturn each error and transfer status becomes,
// and the log that names each kind of error once.
#include "libusb/errors.h"

#include "libusb/capture_file.h"
#include "support/log_capture.h"

#include <qorvanta/status.h>

#include "platform/usb.h"

#include <gtest/gtest.h>

namespace qor::libusb {
namespace {

using testing::CaptureFile;
using testing::occurrences;

TEST(LibusbErrors, MapToTheCodesTheDriverActsOn) {
    const struct {
        int error;
        IOReturn expected;
    } cases[] = {
        {LIBUSB_ERROR_NO_DEVICE, kIOReturnNoDevice},
        {LIBUSB_ERROR_PIPE, kIOUSBPipeStalled},
        {LIBUSB_ERROR_TIMEOUT, kIOUSBTransactionTimeout},
        {LIBUSB_ERROR_BUSY, kIOReturnExclusiveAccess},
        {LIBUSB_ERROR_ACCESS, kIOReturnExclusiveAccess},
        {LIBUSB_ERROR_INTERRUPTED, kIOReturnAborted},
        {LIBUSB_ERROR_OVERFLOW, kIOReturnOverrun},
        {LIBUSB_ERROR_NO_MEM, kIOReturnNoMemory},
        {LIBUSB_ERROR_INVALID_PARAM, kIOReturnBadArgument},
        {LIBUSB_ERROR_NOT_SUPPORTED, kIOReturnUnsupported},
        {LIBUSB_ERROR_IO, kIOReturnError},
        {LIBUSB_ERROR_OTHER, kIOReturnError},
        {-77, kIOReturnError}, // a code a later libusb may add
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(libusb_error_name(c.error));
        EXPECT_EQ(ioReturnFromError(c.error), c.expected);
    }
    // A call's non-negative answer (a count of bytes) is a success.
    EXPECT_EQ(ioReturnFromError(0), kIOReturnSuccess);
    EXPECT_EQ(ioReturnFromError(64), kIOReturnSuccess);
}

TEST(LibusbErrors, TransferStatusesMapLikeTheErrorsThatNameThem) {
    const struct {
        libusb_transfer_status status;
        IOReturn expected;
    } cases[] = {
        {LIBUSB_TRANSFER_COMPLETED, kIOReturnSuccess},
        {LIBUSB_TRANSFER_STALL, kIOUSBPipeStalled},
        {LIBUSB_TRANSFER_TIMED_OUT, kIOUSBTransactionTimeout},
        {LIBUSB_TRANSFER_NO_DEVICE, kIOReturnNoDevice},
        {LIBUSB_TRANSFER_OVERFLOW, kIOReturnOverrun},
        {LIBUSB_TRANSFER_CANCELLED, kIOReturnAborted},
        {LIBUSB_TRANSFER_ERROR, kIOReturnError},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(int(c.status));
        EXPECT_EQ(ioReturnFromTransferStatus(c.status), c.expected);
    }
}

TEST(LibusbErrorLog, NamesEachKindOfErrorOnceWhateverCallsFail) {
    CaptureFile out;
    ErrorLog log(out.file());
    log.note(LIBUSB_ERROR_PIPE, "control transfer");
    log.note(LIBUSB_ERROR_PIPE, "control transfer");
    log.note(LIBUSB_ERROR_PIPE, "bulk read");
    log.note(LIBUSB_ERROR_TIMEOUT, "bulk read");
    log.note(errorFromTransferStatus(LIBUSB_TRANSFER_STALL), "bulk read");
    log.note(0, "libusb_claim_interface");
    log.note(12, "libusb_control_transfer");
    const std::string text = out.text();
    EXPECT_EQ(occurrences(text, "LIBUSB_ERROR_PIPE ("), 1u) << text;
    EXPECT_EQ(occurrences(text, "LIBUSB_ERROR_TIMEOUT ("), 1u) << text;
    EXPECT_EQ(occurrences(text, "\n"), 2u) << text;
    EXPECT_NE(text.find("control transfer"), std::string::npos) << text;
}

TEST(LibusbErrorLog, EachLogStartsAfresh) {
    CaptureFile first, second;
    ErrorLog a(first.file()), b(second.file());
    a.note(LIBUSB_ERROR_NO_DEVICE, "libusb_open");
    b.note(LIBUSB_ERROR_NO_DEVICE, "libusb_open");
    EXPECT_EQ(occurrences(first.text(), "LIBUSB_ERROR_NO_DEVICE ("), 1u);
    EXPECT_EQ(occurrences(second.text(), "LIBUSB_ERROR_NO_DEVICE ("), 1u);
}

TEST(LibusbErrorLog, WithoutAFileEachKindIsAnErrorOfTheDriverLog) {
    test::LogCapture log(platform::LogLevel::Warning);
    ErrorLog errors;
    errors.note(LIBUSB_ERROR_PIPE, "bulk read");
    errors.note(LIBUSB_ERROR_PIPE, "bulk read");
    errors.note(LIBUSB_ERROR_TIMEOUT, "control transfer");
    const std::vector<std::string> lines = log.at(platform::LogLevel::Error);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string("libusb: bulk read failed: LIBUSB_ERROR_PIPE (") +
                            libusb_strerror(LIBUSB_ERROR_PIPE) +
                            "); later LIBUSB_ERROR_PIPE errors are not reported");
    EXPECT_EQ(lines[1].rfind("libusb: control transfer failed: LIBUSB_ERROR_TIMEOUT (", 0), 0u)
        << lines[1];
    EXPECT_EQ(log.lines().size(), 2u);
}

} // namespace
} // namespace qor::libusb
