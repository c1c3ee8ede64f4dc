// The transport's four exported transfers, through the IOKit layer to a simulated camera.
#include "support/sim_camera.h"
#include "usb/transport.h"

#include <qorvanta/camera.h>
#include <qorvanta/usb.h>

#include <gtest/gtest.h>

using namespace qor;
using qor::test::OpenCamera;
using qor::test::runningCamera;

namespace {

constexpr uint8_t kBulkIn = 0x86;

class PipeOperations : public qor::test::SimTest {};

TEST_F(PipeOperations, ControlWriteWithoutDataStageIsSentButNullDataWithLengthIsRefused) {
    OpenCamera cam(runningCamera(0x00A1));
    EXPECT_EQ(QORUSBWriteControlPipe(cam.handle(), nullptr, 4, 0x12, 0, 0x0214), -1);
    EXPECT_TRUE(test::controlTransfers(cam.sim().transferLog()).empty());

    QORUSBWriteControlPipe(cam.handle(), nullptr, 0, 0x55, 7, 9);
    auto log = test::controlTransfers(cam.sim().transferLog());
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].bmRequestType, 0x40);
    EXPECT_EQ(log[0].bRequest, 0x55);
    EXPECT_EQ(log[0].wValue, 7);
    EXPECT_EQ(log[0].wIndex, 9);
    EXPECT_EQ(log[0].wLength, 0);
}

TEST_F(PipeOperations, NullCameraIsRefused) {
    uint8_t data[4] = {};
    uint32_t count = 4;
    EXPECT_EQ(QORUSBWriteControlPipe(nullptr, data, 4, 0x12, 0, 0), -1);
    EXPECT_EQ(QORUSBReadControlPipe(nullptr, data, 4, 0x12, 0, 0), -1);
    EXPECT_EQ(QORUSBWriteBulkPipe(nullptr, 1, data, 4), -1);
    EXPECT_EQ(QORUSBReadBulkPipe(nullptr, 1, data, &count), -1);
}

TEST_F(PipeOperations, ControlReadReturnsDataAndRefusesShortAnswers) {
    OpenCamera cam(runningCamera(0x00A1));
    const auto &model = cam.sim().model();
    uint8_t data[4] = {};
    ASSERT_EQ(QORUSBReadControlPipe(cam.handle(), data, 4, 0x12, 0, 0x1000), 0);
    EXPECT_EQ(data[0] | data[1] << 8, model.sensorWidth);
    EXPECT_EQ(data[2] | data[3] << 8, model.sensorHeight);

    cam.sim().shortRegisterRead(0x1000, 2);
    EXPECT_EQ(QORUSBReadControlPipe(cam.handle(), data, 4, 0x12, 0, 0x1000), -1);

    cam.sim().failRegister(0x1000, sim::Direction::Read, kIOReturnOverrun);
    EXPECT_EQ(QORUSBReadControlPipe(cam.handle(), data, 4, 0x12, 0, 0x1000), 0);
}

TEST_F(PipeOperations, FailedControlWriteClearsTheBulkInStallButAnOverrunDoesNot) {
    OpenCamera cam(runningCamera(0x00A1));
    cam.record().bulkInPipe = 1;
    uint8_t value[4] = {0x80, 0, 0, 0};

    cam.sim().failRegister(0x0214, sim::Direction::Write, kIOReturnOverrun);
    EXPECT_EQ(QORUSBWriteControlPipe(cam.handle(), value, 4, 0x12, 0, 0x0214), kIOReturnOverrun);
    EXPECT_TRUE(test::clearedEndpoints(cam.sim().transferLog()).empty());

    EXPECT_TRUE(test::abortedEndpoints(cam.sim().transferLog()).empty());

    // A stall, and a request the camera leaves unanswered until the time-out: the stall on the
    // bulk-in pipe is cleared and the default pipe aborted before the error is returned.
    for (IOReturn failure : {kIOUSBPipeStalled, kIOUSBTransactionTimeout}) {
        cam.sim().clearTransferLog();
        cam.sim().failRegister(0x0214, sim::Direction::Write, failure);
        EXPECT_EQ(QORUSBWriteControlPipe(cam.handle(), value, 4, 0x12, 0, 0x0214), failure);
        auto log = cam.sim().transferLog();
        EXPECT_EQ(test::clearedEndpoints(log), std::vector<uint8_t>{kBulkIn});
        EXPECT_EQ(test::abortedEndpoints(log), std::vector<uint8_t>{0});
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().kind, sim::Transfer::Kind::Abort) << "the abort comes last";
    }

    // A failing read is returned as it came, without recovery.
    for (IOReturn failure : {kIOUSBPipeStalled, kIOUSBTransactionTimeout}) {
        cam.sim().clearTransferLog();
        cam.sim().failRegister(0x1000, sim::Direction::Read, failure);
        EXPECT_EQ(QORUSBReadControlPipe(cam.handle(), value, 4, 0x12, 0, 0x1000), failure);
        EXPECT_TRUE(test::clearedEndpoints(cam.sim().transferLog()).empty());
        EXPECT_TRUE(test::abortedEndpoints(cam.sim().transferLog()).empty());
    }
}

TEST_F(PipeOperations, EveryTransferCarriesItsTimeOuts) {
    OpenCamera cam(runningCamera(0x00A1, "timeouts"), 1);
    uint8_t value[4] = {0, 0, 0, 0};
    ASSERT_EQ(QORUSBWriteControlPipe(cam.handle(), value, 4, 0x12, 0, 0x0214), 0);
    ASSERT_EQ(QORUSBReadControlPipe(cam.handle(), value, 4, 0x12, 0, 0x1000), 0);
    auto controls = test::controlTransfers(cam.sim().transferLog());
    ASSERT_EQ(controls.size(), 2u);
    EXPECT_EQ(controls[0].noDataTimeout, 5000u);
    EXPECT_EQ(controls[0].completionTimeout, 0u) << "a write has no completion time-out";
    EXPECT_EQ(controls[1].noDataTimeout, 5000u);
    EXPECT_EQ(controls[1].completionTimeout, 5000u);

    // Bulk transfers wait for data as long as the size asks, and have no completion time-out.
    std::vector<uint8_t> data(1000, 0x5A);
    cam.sim().clearTransferLog();
    ASSERT_EQ(QORUSBWriteBulkPipe(cam.handle(), 1, data.data(), uint32_t(data.size())), 0);
    auto log = cam.sim().transferLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].kind, sim::Transfer::Kind::BulkOut);
    EXPECT_EQ(log[0].noDataTimeout, usb::bulkTimeoutMs(uint32_t(data.size())));
    EXPECT_EQ(log[0].completionTimeout, 0u);
}

TEST_F(PipeOperations, BulkReadThatTimesOutRecoversThenReports) {
    OpenCamera cam(runningCamera(0x00A1));
    cam.record().bulkInPipe = 1;
    const uint32_t frame = uint32_t(cam.sim().model().sensorWidth) * cam.sim().model().sensorHeight;
    std::vector<uint8_t> buffer(frame);
    uint32_t count = frame;
    cam.sim().failBulk(kBulkIn, kIOUSBTransactionTimeout);
    ASSERT_EQ(QORAWriteOneCameraRegister(cam.handle(), 0x0214, 0x80), 0); // frames flow
    cam.sim().clearTransferLog();
    testing::internal::CaptureStderr();
    int32_t result = QORUSBReadBulkPipe(cam.handle(), 1, buffer.data(), &count);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, kIOUSBTransactionTimeout);
    EXPECT_EQ(err, "myUSBReadBulkPipe ReadPipeTO failed 0xE0004051 -536854447\n");
    auto log = cam.sim().transferLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].kind, sim::Transfer::Kind::BulkIn);
    EXPECT_EQ(log[0].result, kIOUSBTransactionTimeout);
    EXPECT_EQ(log[0].noDataTimeout, usb::bulkTimeoutMs(frame));
    EXPECT_EQ(test::clearedEndpoints(log), std::vector<uint8_t>{kBulkIn});
    EXPECT_EQ(test::abortedEndpoints(log), std::vector<uint8_t>{kBulkIn});

    // Once recovered, the pipe carries the next frame.
    count = frame;
    EXPECT_EQ(QORUSBReadBulkPipe(cam.handle(), 1, buffer.data(), &count), 0);
    EXPECT_EQ(count, frame);
}

TEST_F(PipeOperations, FailedBulkWriteRecoversThenReports) {
    // Alternate setting 1 of an ordinary model carries the bitstream pipe (bulk out, pipe 1).
    OpenCamera cam(runningCamera(0x00A1, "bulk"), 1);
    std::vector<uint8_t> data(1000, 0x5A);

    cam.sim().failBulk(0x02, kIOUSBPipeStalled);
    cam.record().bulkInPipe = 1;
    testing::internal::CaptureStderr();
    int32_t result = QORUSBWriteBulkPipe(cam.handle(), 1, data.data(), uint32_t(data.size()));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, kIOUSBPipeStalled);
    EXPECT_EQ(err, "myUSBReadBulkPipe WritePipeTO failed 0xE000404F -536854449\n");
    auto log = cam.sim().transferLog();
    EXPECT_EQ(test::clearedEndpoints(log), std::vector<uint8_t>{0x02});
    EXPECT_EQ(test::abortedEndpoints(log), std::vector<uint8_t>{0x02});

    // Once recovered, the pipe carries data again.
    cam.sim().clearTransferLog();
    EXPECT_EQ(QORUSBWriteBulkPipe(cam.handle(), 1, data.data(), uint32_t(data.size())), 0);
}

TEST_F(PipeOperations, BulkOverrunIsSuccessWithoutRecovery) {
    OpenCamera cam(runningCamera(0x00A1));
    cam.record().bulkInPipe = 1;
    std::vector<uint8_t> buffer(512);
    uint32_t count = uint32_t(buffer.size());
    cam.sim().failBulk(kBulkIn, kIOReturnOverrun);
    ASSERT_EQ(QORAWriteOneCameraRegister(cam.handle(), 0x0214, 0x80), 0); // frames flow
    cam.sim().clearTransferLog();
    EXPECT_EQ(QORUSBReadBulkPipe(cam.handle(), 1, buffer.data(), &count), kIOReturnOverrun);
    EXPECT_TRUE(test::clearedEndpoints(cam.sim().transferLog()).empty());
    EXPECT_TRUE(test::abortedEndpoints(cam.sim().transferLog()).empty());
}

TEST_F(PipeOperations, BulkTransferOnAMissingPipeReportsThePipeStatus) {
    OpenCamera cam(runningCamera(0x00A1));
    uint8_t data[16] = {};
    testing::internal::CaptureStderr();
    int32_t result = QORUSBWriteBulkPipe(cam.handle(), 5, data, sizeof data);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(result, 0);
    EXPECT_EQ(err.rfind("myUSBReadBulkPipe GetPipeStatus failed 0x", 0), 0u) << err;
    EXPECT_TRUE(cam.sim().transferLog().empty() ||
                test::controlTransfers(cam.sim().transferLog()).empty());
}

TEST_F(PipeOperations, ClosedRecordAnswersNoDeviceInsteadOfCrashing) {
    CameraHandle camera = newCameraHandle();
    uint8_t data[4] = {};
    uint32_t count = 4;
    EXPECT_EQ(QORUSBWriteControlPipe(camera, data, 4, 0x12, 0, 0), kIOReturnNoDevice);
    EXPECT_EQ(QORUSBReadControlPipe(camera, data, 4, 0x12, 0, 0), kIOReturnNoDevice);
    EXPECT_EQ(QORUSBWriteBulkPipe(camera, 1, data, 4), kIOReturnNoDevice);
    EXPECT_EQ(QORUSBReadBulkPipe(camera, 1, data, &count), kIOReturnNoDevice);
    EXPECT_EQ(QORUSBCloseCamera(camera), 0);
    DisposeHandle(camera);
}

TEST(BulkTimeout, IsFiveSecondsForEveryFrameTheCameraCanSend) {
    EXPECT_EQ(usb::bulkTimeoutMs(1), 5000u);
    EXPECT_EQ(usb::bulkTimeoutMs(3888u * 3120u), 5000u);
    // Only transfers beyond two gigabytes get more: four times the slowest transfer time.
    EXPECT_EQ(usb::bulkTimeoutMs(0xFFFFFFFFu), 4u * 8947u);
}

} // namespace
