// The raw frame buffers: layout of the mapping, replacement and release.
#include "stream/stream_internal.h"

#include <qorvanta/status.h>
#include <qorvanta/stream.h>

#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>

namespace {

class CameraBuffers : public ::testing::Test {
protected:
    void TearDown() override {
        QORADisposeCameraBuffers(camera);
        DisposeHandle(camera);
    }
    CameraHandle camera = newCameraHandle();
    CameraRecord &r = *cameraRecord(camera);
};

TEST_F(CameraBuffers, ThreePageAlignedBuffersWithSlackBetween) {
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    r.rawWidth = 640;
    r.rawHeight = 480;
    ASSERT_EQ(QORACreateCameraBuffers(camera), 0);
    EXPECT_EQ(r.buffersAllocated, 1);
    EXPECT_EQ(r.rawFrameBytes, 307200u);
    EXPECT_EQ(r.rawBufferMapSize, 3 * (page + 307200) + 2 * page);
    const auto base = reinterpret_cast<uintptr_t>(r.rawBufferMap);
    if (page == 4096) {
        EXPECT_EQ(r.rawBufferMapSize, 942080u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(r.rawBuffers[1]) - base, 311296u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(r.rawBuffers[2]) - base, 622592u);
    }
    EXPECT_EQ(reinterpret_cast<uintptr_t>(r.rawBuffers[0]), base);
    for (int i = 0; i < kRawBufferCount; ++i) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(r.rawBuffers[i]) % page, 0u) << i;
        std::memset(r.rawBuffers[i], i + 1, r.rawFrameBytes);
    }
    for (int i = 0; i + 1 < kRawBufferCount; ++i)
        EXPECT_GE(r.rawBuffers[i + 1] - r.rawBuffers[i], ptrdiff_t(r.rawFrameBytes + page)) << i;
    EXPECT_EQ(r.rawBuffers[0][r.rawFrameBytes - 1], 1);
    std::memset(r.lineBuffer, 0, 640 + 16);
}

TEST_F(CameraBuffers, CreatingAgainReplacesThemAndReleaseClearsEveryField) {
    r.rawWidth = 64;
    r.rawHeight = 48;
    ASSERT_EQ(QORACreateCameraBuffers(camera), 0);
    r.rawWidth = 1280;
    r.rawHeight = 1024;
    ASSERT_EQ(QORACreateCameraBuffers(camera), 0);
    std::memset(r.rawBuffers[2], 0, 1280 * 1024);
    for (int pass = 0; pass < 2; ++pass) { // the second finds nothing to release
        EXPECT_EQ(QORACameraStopVideo(camera, 1), 0);
        EXPECT_EQ(r.buffersAllocated, 0);
        EXPECT_EQ(r.rawBufferMap, nullptr);
        EXPECT_EQ(r.rawBufferMapSize, 0u);
        EXPECT_EQ(r.lineBuffer, nullptr);
        for (uint8_t *buffer : r.rawBuffers) EXPECT_EQ(buffer, nullptr);
    }
    // Null handles are refused; a record never opened has no interface to stream from.
    EXPECT_EQ(QORACreateCameraBuffers(nullptr), kIOReturnNoDevice);
    EXPECT_EQ(QORADisposeCameraBuffers(nullptr), kIOReturnNoDevice);
    EXPECT_EQ(QORACameraStartVideo(nullptr, 1), kIOReturnNoDevice);
    EXPECT_EQ(QORACameraStopVideo(nullptr, 1), kIOReturnNoDevice);
    EXPECT_EQ(QORUSBStartQuedAsynchBulkReads(nullptr, 1), kIOReturnNoDevice);
    QORUSBStopQuedAsynchBulkReads(nullptr);
    myQueBulKPipeDataCallBackFunction(nullptr, 0, nullptr);
    EXPECT_EQ(QORACameraStartVideo(camera, 0), kIOReturnNoDevice);
    EXPECT_EQ(r.streaming, 0);
    EXPECT_EQ(r.streamThread, 0u);
}

} // namespace
