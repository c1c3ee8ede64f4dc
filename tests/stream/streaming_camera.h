// Test support for the streaming layer: a simulated camera opened into a record and prepared
// the way the digitizer prepares one before it starts video.
#pragma once

#include "support/sim_camera.h"

#include <qorvanta/camera.h>
#include <qorvanta/imaging.h>
#include <qorvanta/stream.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

namespace qor::test {

constexpr uint16_t kColourModel = 0x04A2; // RGGB at the window origin
constexpr uint16_t kMonoModel = 0x03AD;
constexpr uint8_t kBulkInEndpoint = 0x86;

// Polls until the condition holds; false when the (generous) time is up.
inline bool eventually(const std::function<bool()> &condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline size_t threadCount() {
    auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return size_t(std::distance(begin(tasks), end(tasks)));
}

template <typename T> T load(T &field) {
    return atomicField(field).load();
}

// A 160 x 120 window, the record's geometry and decode fields set, a ten-slot ring of its own,
// a frame every `exposureUs`. Video is stopped and the buffers freed before the camera closes.
class StreamingCamera {
public:
    explicit StreamingCamera(uint16_t productID, uint32_t exposureUs = 5000, uint32_t padding = 0)
        : camera_(runningCamera(productID)) {
        CameraRecord &r = record();
        uint32_t sensorCode = 0, bits = 0;
        EXPECT_EQ(QORAWriteTwoCameraRegister(handle(), 0x1008, 0, 0), 0);
        EXPECT_EQ(QORAWriteTwoCameraRegister(handle(), 0x100C, kWidth, kHeight), 0);
        EXPECT_EQ(QORAWriteOneCameraRegister(handle(), 0x04A4, exposureUs), 0);
        EXPECT_EQ(QORAReadOneCameraRegister(handle(), 0x1014, &sensorCode), 0);
        EXPECT_EQ(QORAImageFormatToQTFormat(sensorCode, &r.bayerPattern, &bits), 0);
        r.rawWidth = kWidth;
        r.rawHeight = kHeight;
        r.rawFrameBytes = kWidth * kHeight;
        r.colorSensor = r.bayerPattern != 0;
        r.decodeMethod = r.outputFormat = 1;
        r.destRowBytes = (r.colorSensor ? 4 * kWidth : kWidth) + padding;
        r.compressedFrameBytes = r.destRowBytes * kHeight;
        for (int i = 0; i < kFrameSlotCount; ++i) {
            slots_[i].assign(r.compressedFrameBytes, 0);
            r.frameSlots[i] = slots_[i].data();
        }
        r.writeSlot = 0;
        r.readSlot = r.lastFilledSlot = kNoSlot;
        r.framesWanted = 1;
        sim().clearTransferLog();
    }
    ~StreamingCamera() { QORACameraStopVideo(handle(), 1); }

    CameraHandle handle() const { return camera_.handle(); }
    CameraRecord &record() const { return camera_.record(); }
    sim::SimCamera &sim() const { return camera_.sim(); }
    const std::vector<uint8_t> &slot(uint32_t i) const { return slots_[i]; }

    // What the frame path must make of a raw frame with the record's current settings.
    std::vector<uint8_t> expectedSlot(std::vector<uint8_t> raw) const {
        const CameraRecord &r = record();
        const uint32_t w = r.rawWidth, h = r.rawHeight, rowBytes = r.destRowBytes;
        std::vector<uint8_t> line(w + 16), slot(r.compressedFrameBytes, 0);
        if (r.flipHorizontal) QORAFlipHorizontalImage8Bit(raw.data(), w, h, r.bayerPattern != 0);
        if (r.flipVertical)
            QORAFlipVerticalImage8Bit(raw.data(), line.data(), w, h, r.bayerPattern != 0);
        QORRAWImageDecodeToImageBuffer(raw.data(), slot.data(), r.bayerPattern, r.decodeMethod,
                                       r.outputFormat, rowBytes, w, h);
        auto *pixels = reinterpret_cast<uint32_t *>(slot.data());
        if (r.colorSensor && r.colorMatrixIndex)
            QORAApplyRGBMatrixToRGBImage(pixels, r.colorMatrix, r.outputFormat, rowBytes, w, h);
        if (r.colorSensor && r.saturationMarkOn)
            QORARedSaturateRGBImage(pixels, r.outputFormat, rowBytes, w, h);
        return slot;
    }

    // After a stop without overwrites: slot i holds the i-th whole frame the camera sent.
    void expectSlotsHoldDeliveredFrames() const {
        const CameraRecord &r = record();
        std::vector<std::vector<uint8_t>> frames;
        for (const sim::Transfer &t : sim().transferLog())
            if (t.kind == sim::Transfer::Kind::AsyncBulkIn && t.result == 0 &&
                t.data.size() == r.rawFrameBytes)
                frames.push_back(t.data);
        ASSERT_EQ(r.framesOverwritten, 0u);
        ASSERT_NE(r.lastFilledSlot, kNoSlot);
        ASSERT_GE(frames.size(), r.lastFilledSlot + 1);
        for (uint32_t i = 0; i <= r.lastFilledSlot; ++i)
            EXPECT_TRUE(slot(i) == expectedSlot(frames[i])) << "slot " << i;
    }

    static constexpr uint16_t kWidth = 160, kHeight = 120;

private:
    OpenCamera camera_;
    std::vector<uint8_t> slots_[kFrameSlotCount];
};

} // namespace qor::test
