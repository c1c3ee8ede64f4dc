// Register access on the wire: request shape, byte order, success rules, stall recovery.
#include "camera/registers.h"
#include "support/sim_camera.h"

#include <qorvanta/camera.h>

#include <gtest/gtest.h>

using namespace qor;

namespace {

class Registers : public test::SimTest {};

TEST_F(Registers, TwoHalfWriteGoesLittleEndianOnTheWire) {
    test::OpenCamera cam(test::runningCamera(0x01A5));
    ASSERT_EQ(QORAWriteTwoCameraRegister(cam.handle(), 0x1018, 2, 2), 0);
    auto log = test::controlTransfers(cam.sim().transferLog());
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].bmRequestType, 0x40);
    EXPECT_EQ(log[0].bRequest, 0x12);
    EXPECT_EQ(log[0].wValue, 0);
    EXPECT_EQ(log[0].wIndex, 0x1018);
    EXPECT_EQ(log[0].wLength, 4);
    EXPECT_EQ(log[0].data, (std::vector<uint8_t>{0x02, 0x00, 0x02, 0x00}));

    ASSERT_EQ(QORAWriteOneCameraRegister(cam.handle(), 0x0694, 258000), 0);
    EXPECT_EQ(test::registerWrites(cam.sim().transferLog()).back().data,
              (std::vector<uint8_t>{0xD0, 0xEF, 0x03, 0x00}));
}

TEST_F(Registers, TwoHalfReadSplitsLowAndHighHalves) {
    test::OpenCamera cam(test::runningCamera(0x01A5));
    cam.sim().pokeRegister(0x100C, 0x01E00280); // bytes 80 02 E0 01
    uint16_t first = 0, second = 0;
    ASSERT_EQ(QORAReadTwoCameraRegister(cam.handle(), 0x100C, &first, &second), 0);
    EXPECT_EQ(first, 640);
    EXPECT_EQ(second, 480);
    uint32_t value = 0;
    ASSERT_EQ(QORAReadOneCameraRegister(cam.handle(), 0x100C, &value), 0);
    EXPECT_EQ(value, 0x01E00280u);
    auto reads = test::controlTransfers(cam.sim().transferLog());
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].bmRequestType, 0xC0);
    EXPECT_EQ(reads[0].wValue, 0);
    EXPECT_EQ(reads[0].wLength, 4);
}

TEST_F(Registers, ReadsWaitFiveSecondsInAllAndWritesFiveSecondsForData) {
    test::OpenCamera cam(test::runningCamera(0x01A5));
    uint32_t value = 0;
    uint16_t first = 0, second = 0;
    ASSERT_EQ(QORAReadOneCameraRegister(cam.handle(), 0x100C, &value), 0);
    ASSERT_EQ(QORAReadTwoCameraRegister(cam.handle(), 0x100C, &first, &second), 0);
    ASSERT_EQ(QORAWriteOneCameraRegister(cam.handle(), 0x1048, 100), 0);
    ASSERT_EQ(QORAWriteTwoCameraRegister(cam.handle(), 0x1018, 1, 1), 0);
    auto log = test::controlTransfers(cam.sim().transferLog());
    ASSERT_EQ(log.size(), 4u);
    for (size_t i = 0; i < log.size(); ++i) {
        const bool read = i < 2;
        EXPECT_EQ(log[i].bmRequestType, read ? 0xC0 : 0x40) << i;
        EXPECT_EQ(log[i].noDataTimeout, 5000u) << i;
        EXPECT_EQ(log[i].completionTimeout, read ? 5000u : 0u) << i;
    }
}

TEST_F(Registers, OverrunOnReadIsSuccessAndShortReadIsNot) {
    test::OpenCamera cam(test::runningCamera(0x01A5));
    cam.sim().pokeRegister(0x100C, 0x01E00280);
    cam.sim().failRegister(0x100C, sim::Direction::Read, kIOReturnOverrun);
    uint32_t value = 0;
    EXPECT_EQ(QORAReadOneCameraRegister(cam.handle(), 0x100C, &value), 0);
    EXPECT_EQ(value, 0x01E00280u);

    cam.sim().shortRegisterRead(0x100C, 2);
    uint16_t first = 9, second = 9;
    EXPECT_EQ(QORAReadTwoCameraRegister(cam.handle(), 0x100C, &first, &second), -1);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);
}

TEST_F(Registers, WriteErrorsRecoverUnlessOverrun) {
    test::OpenCamera cam(test::runningCamera(0x01A5));
    cam.record().bulkInPipe = 1;
    cam.sim().failRegister(0x1048, sim::Direction::Write, kIOReturnOverrun);
    EXPECT_EQ(QORAWriteOneCameraRegister(cam.handle(), 0x1048, 100), kIOReturnOverrun);
    EXPECT_TRUE(test::clearedEndpoints(cam.sim().transferLog()).empty());

    EXPECT_TRUE(test::abortedEndpoints(cam.sim().transferLog()).empty());

    // A stalled write, and one the camera never answers: the bulk-in stall is cleared, then
    // the default pipe aborted, before the error is returned.
    for (IOReturn failure : {kIOUSBPipeStalled, kIOUSBTransactionTimeout}) {
        cam.sim().clearTransferLog();
        cam.sim().failRegister(0x1048, sim::Direction::Write, failure);
        EXPECT_EQ(QORAWriteOneCameraRegister(cam.handle(), 0x1048, 100), failure);
        auto log = cam.sim().transferLog();
        EXPECT_EQ(test::clearedEndpoints(log), std::vector<uint8_t>{0x86});
        EXPECT_EQ(test::abortedEndpoints(log), std::vector<uint8_t>{0});
        ASSERT_EQ(log.size(), 3u);
        EXPECT_EQ(log[0].result, failure);
        EXPECT_EQ(log[0].noDataTimeout, 5000u);
        EXPECT_EQ(log[2].kind, sim::Transfer::Kind::Abort);
    }

    // A failing read is passed on without touching any pipe.
    for (IOReturn failure : {kIOUSBPipeStalled, kIOUSBTransactionTimeout}) {
        cam.sim().clearTransferLog();
        cam.sim().failRegister(0x1000, sim::Direction::Read, failure);
        uint32_t value = 7;
        EXPECT_EQ(QORAReadOneCameraRegister(cam.handle(), 0x1000, &value), failure);
        EXPECT_EQ(value, 0u);
        EXPECT_TRUE(test::clearedEndpoints(cam.sim().transferLog()).empty());
        EXPECT_TRUE(test::abortedEndpoints(cam.sim().transferLog()).empty());
    }
}

TEST_F(Registers, NullOrClosedCameraAnswersNoDevice) {
    uint32_t value = 5;
    uint16_t a = 5, b = 5;
    EXPECT_EQ(QORAReadOneCameraRegister(nullptr, 0x1000, &value), kIOReturnNoDevice);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(QORAReadTwoCameraRegister(nullptr, 0x1000, &a, &b), kIOReturnNoDevice);
    EXPECT_EQ(a + b, 0);
    EXPECT_EQ(QORAWriteOneCameraRegister(nullptr, 0x1000, 1), kIOReturnNoDevice);
    EXPECT_EQ(QORAWriteTwoCameraRegister(nullptr, 0x1000, 1, 2), kIOReturnNoDevice);
    CameraHandle closed = newCameraHandle();
    EXPECT_EQ(QORAWriteOneCameraRegister(closed, 0x1000, 1), kIOReturnNoDevice);
    DisposeHandle(closed);
}

TEST_F(Registers, ReadModifyWriteChangesOnlyItsBit) {
    test::OpenCamera cam(test::runningCamera(0x01A5));
    cam.sim().pokeRegister(0x0730, 0x80000000u | 0x0100);
    ASSERT_EQ(camera::writeRegisterBit(cam.handle(), 0x0730, 0x8000, true), 0);
    auto writes = test::registerWrites(cam.sim().transferLog());
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].value(), 0x80008100u);

    cam.sim().failRegister(0x0730, sim::Direction::Read, kIOUSBPipeStalled);
    cam.sim().clearTransferLog();
    EXPECT_EQ(camera::writeRegisterBit(cam.handle(), 0x0730, 0x8000, false), kIOUSBPipeStalled);
    EXPECT_TRUE(test::registerWrites(cam.sim().transferLog()).empty());
}

} // namespace
