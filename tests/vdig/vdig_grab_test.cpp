// The frame grab path through the client calls: hand-out order, throttle, time stamps, capture
// state, and capture from a streaming simulated camera until it is unplugged.
#include "platform/corefoundation.h"
#include "platform/memory.h"
#include "platform/misc.h"
#include "stream/ring_gate.h"
#include "stream/streaming_camera.h"
#include "support/digitizer.h"

#include <qorvanta/imaging.h>
#include <qorvanta/stream.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using namespace qor;

namespace {

constexpr OSType kRaw = fourCharCode("raw ");

struct Handout {
    ComponentResult result;
    uint8_t queued;
    Ptr data;
    long size;
    TimeRecord time;
};

class VdigGrab : public test::SimTest {
protected:
    void SetUp() override {
        test::SimTest::SetUp();
        platform::setTimeBaseClockForTests([this] { return clockUs.load(); });
        platform::setMicrosecondsForTests([this] { return clockUs.load(); });
    }
    void TearDown() override {
        dig.reset();
        if (timeBase) DisposeTimeBase(timeBase);
        platform::setMicrosecondsForTests({});
        platform::setTimeBaseClockForTests({});
        platform::setAbsoluteTimeForTests({});
        test::SimTest::TearDown();
    }
    // A colour camera at 320 x 240, its ring built, the time base running.
    VideoDigitizerComponent open(uint16_t productID = 0x01A8) {
        dig = std::make_unique<test::SimDigitizer>(test::runningCamera(productID));
        EXPECT_EQ(dig->openResult(), noErr);
        CameraRecord &r = dig->record();
        r.imageWidth = 320;
        r.imageHeight = 240;
        r.imageSettingsChanged = 1;
        timeBase = NewTimeBase();
        SetTimeBaseRate(timeBase, fixedFromInt(1));
        EXPECT_EQ(VDSetTimeBase(dig->vdig(), timeBase), noErr);
        EXPECT_EQ(VDSetCompression(dig->vdig(), kRaw, 0, nullptr, 0, 0, 0), noErr);
        return dig->vdig();
    }
    CameraRecord &record() { return dig->record(); }
    // Frames in slots first..first+count-1 as the frame path leaves them, at the given times.
    void fillRing(uint32_t first, std::initializer_list<double> frameMs) {
        CameraRecord &r = record();
        uint32_t slot = first;
        for (double ms : frameMs) {
            r.slotFrameMs[slot] = ms;
            r.lastFilledSlot = slot;
            slot = (slot + 1) % kFrameSlotCount;
        }
        r.writeSlot = slot;
        r.readSlot = first;
        r.framesReady = uint32_t(frameMs.size());
    }
    Handout compressDone() {
        Handout h{};
        uint8_t similarity = 7;
        h.result = VDCompressDone(dig->vdig(), &h.queued, &h.data, &h.size, &similarity, &h.time);
        EXPECT_EQ(similarity, 0);
        return h;
    }
    Ptr slot(uint32_t i) { return reinterpret_cast<Ptr>(record().frameSlots[i]); }
    static int64_t value(const TimeRecord &t) { return int64_t(t.value.hi) << 32 | t.value.lo; }

    std::atomic<uint64_t> clockUs{7'000'000'000};
    std::unique_ptr<test::SimDigitizer> dig;
    TimeBase timeBase = nullptr;
};

TEST_F(VdigGrab, TwoReadyFramesAreHandedOutInOrder) {
    VideoDigitizerComponent vdig = open();
    ASSERT_EQ(VDCompressOneFrameAsync(vdig), noErr);
    fillRing(0, {0.0, 12.5});
    const int64_t now = GetTimeBaseTime(timeBase, 10000, nullptr);

    Handout first = compressDone();
    EXPECT_EQ(first.result, noErr);
    EXPECT_EQ(first.data, slot(0));
    EXPECT_EQ(first.queued, 2);
    EXPECT_EQ(first.size, long(record().compressedFrameBytes));
    EXPECT_EQ(value(first.time), now);
    EXPECT_EQ(first.time.scale, 10000);
    EXPECT_EQ(first.time.base, timeBase);
    EXPECT_EQ(VDReleaseCompressBuffer(vdig, first.data), noErr);
    EXPECT_EQ(record().readSlot, 1u);

    Handout second = compressDone();
    EXPECT_EQ(second.data, slot(1));
    EXPECT_EQ(second.queued, 1);
    EXPECT_EQ(record().framesReady, 0u);
    EXPECT_EQ(VDReleaseCompressBuffer(vdig, second.data), noErr);
    EXPECT_EQ(record().readSlot, kNoSlot);

    Handout none = compressDone();
    EXPECT_EQ(none.result, noErr);
    EXPECT_EQ(none.data, nullptr);
    EXPECT_EQ(none.size, 0);
    EXPECT_EQ(none.queued, 0);
}

TEST_F(VdigGrab, RequestsOutOfOrderAreRefused) {
    dig = std::make_unique<test::SimDigitizer>(test::runningCamera(0x01A8));
    VideoDigitizerComponent vdig = dig->vdig();
    Handout h{};
    // No time base yet.
    EXPECT_EQ(VDCompressOneFrameAsync(vdig), badCallOrderErr);
    EXPECT_EQ(VDReleaseCompressBuffer(vdig, nullptr), badCallOrderErr);
    EXPECT_EQ(VDCompressDone(vdig, &h.queued, &h.data, &h.size, nullptr, &h.time), badCallOrderErr);
    EXPECT_EQ(VDResetCompressSequence(vdig), noErr);
    dig.reset();

    vdig = open();
    // A capture started, but no frame asked for yet.
    ASSERT_EQ(VDCaptureStateChanging(vdig, vdFlagCaptureStarting | vdFlagCaptureIsForPreview),
              noErr);
    EXPECT_EQ(atomicField(record().streaming).load(), 1);
    EXPECT_EQ(compressDone().result, badCallOrderErr);
    EXPECT_EQ(VDCompressDone(vdig, nullptr, &h.data, &h.size, nullptr, &h.time), qtParamErr);
    ASSERT_EQ(VDCompressOneFrameAsync(vdig), noErr);
    ASSERT_EQ(VDCompressOneFrameAsync(vdig), noErr);
    EXPECT_EQ(record().framesWanted, 1u);
}

TEST_F(VdigGrab, ThrottleHoldsFramesUntilTheIntervalHasPassed) {
    VideoDigitizerComponent vdig = open();
    ASSERT_GT(record().frameRate, 10.0f);
    ASSERT_EQ(VDSetFrameRate(vdig, fixedFromInt(10)), noErr);
    ASSERT_EQ(record().frameIntervalUs, 100000u);
    ASSERT_EQ(VDCompressOneFrameAsync(vdig), noErr);
    fillRing(0, {0, 10, 20, 30, 40, 50});

    const uint64_t t0 = clockUs;
    auto handedOutAt = [&](uint64_t offset) {
        clockUs = t0 + offset;
        Handout h = compressDone();
        EXPECT_EQ(h.result, noErr);
        if (h.data) VDReleaseCompressBuffer(vdig, h.data);
        return h.data != nullptr;
    };
    EXPECT_TRUE(handedOutAt(0));
    EXPECT_EQ(record().nextFrameDueUs, t0 + 100000);
    EXPECT_FALSE(handedOutAt(50000));
    EXPECT_FALSE(handedOutAt(100000));
    EXPECT_FALSE(handedOutAt(199999));
    EXPECT_TRUE(handedOutAt(200000));
    EXPECT_EQ(record().nextFrameDueUs, t0 + 200000);
    EXPECT_FALSE(handedOutAt(299999));
    EXPECT_TRUE(handedOutAt(300000));
    // Held-back frames stayed in the ring.
    EXPECT_EQ(record().framesReady, 3u);

    // A stopped time base is not throttled.
    SetTimeBaseRate(timeBase, 0);
    EXPECT_TRUE(handedOutAt(300001));
}

TEST_F(VdigGrab, RecordingStampsFramesFromTheRecordingStart) {
    VideoDigitizerComponent vdig = open();
    record().timeCodeSupported = 1;
    ASSERT_EQ(VDCaptureStateChanging(vdig, vdFlagCaptureIsForRecord), noErr);
    EXPECT_EQ(record().recording, 1);
    EXPECT_EQ(record().firstRecordFramePending, 1);
    ASSERT_EQ(VDCompressOneFrameAsync(vdig), noErr);
    record().frameRate = 300.0f;
    fillRing(4, {1000.0, 1500.0, 1520.0});

    clockUs += 12345;
    const int64_t start = GetTimeBaseTime(timeBase, 10000, nullptr);
    Handout first = compressDone();
    ASSERT_EQ(first.data, slot(4));
    EXPECT_EQ(value(first.time), start);
    EXPECT_EQ(value(record().recordStartTime), start);
    EXPECT_EQ(record().firstRecordFramePending, 0);

    // The time code of the recording's start.
    TimeRecord at{};
    TimeCodeDef def{};
    TimeCodeTime tc{};
    ASSERT_EQ(VDGetTimeCode(vdig, &at, &def, &tc), noErr);
    EXPECT_EQ(value(at), start);
    EXPECT_EQ(at.base, timeBase);
    EXPECT_EQ(def.fTimeScale, 10000);
    EXPECT_EQ(def.frameDuration, 33);
    EXPECT_EQ(def.numFrames, 255);
    EXPECT_LT(tc.hours, 24);
    EXPECT_LT(tc.minutes, 60);
    EXPECT_LT(tc.seconds, 61);
    EXPECT_LT(tc.frames, 255);

    // Later frames are stamped by their frame time, whatever the clock says now.
    clockUs += 9'000'000;
    ASSERT_EQ(VDReleaseCompressBuffer(vdig, first.data), noErr);
    Handout second = compressDone();
    ASSERT_EQ(second.data, slot(5));
    EXPECT_EQ(value(second.time), start + 5000);

    // The same frame a second time is dropped.
    Handout again = compressDone();
    EXPECT_EQ(again.result, noErr);
    EXPECT_EQ(again.data, nullptr);
    EXPECT_EQ(again.size, 0);
    EXPECT_EQ(again.queued, 0);
    EXPECT_EQ(record().readSlot, kNoSlot);
    EXPECT_EQ(record().framesReady, 0u);
}

// The frame number of the time code counts frames within the second, so it stays below the
// frames per second also when the camera is faster than the byte can count.
TEST_F(VdigGrab, TimeCodeFrameStaysWithinTheSecond) {
    VideoDigitizerComponent vdig = open();
    record().timeCodeSupported = 1;
    // Seven eighths into second 40 of minute 16 of the first day.
    platform::setAbsoluteTimeForTests([] { return 1000.875; });
    struct Case {
        float rate;
        uint8_t framesPerSecond, frame;
    };
    for (Case c : {Case{80.0f, 80, 70}, Case{300.0f, 255, 254}, Case{2000.0f, 255, 254}}) {
        ASSERT_EQ(VDCaptureStateChanging(vdig, vdFlagCaptureIsForRecord), noErr);
        ASSERT_EQ(VDCompressOneFrameAsync(vdig), noErr);
        record().frameRate = c.rate;
        fillRing(0, {100.0});
        Handout first = compressDone();
        ASSERT_NE(first.data, nullptr);
        TimeRecord at{};
        TimeCodeDef def{};
        TimeCodeTime tc{};
        ASSERT_EQ(VDGetTimeCode(vdig, &at, &def, &tc), noErr);
        EXPECT_EQ(def.numFrames, c.framesPerSecond) << c.rate;
        EXPECT_EQ(tc.frames, c.frame) << c.rate;
        EXPECT_EQ(tc.hours, 0);
        EXPECT_EQ(tc.minutes, 16);
        EXPECT_EQ(tc.seconds, 40);
        ASSERT_EQ(VDReleaseCompressBuffer(vdig, first.data), noErr);
    }
}

TEST_F(VdigGrab, CaptureStateFlags) {
    VideoDigitizerComponent vdig = open();
    CameraRecord &r = record();
    ASSERT_EQ(VDCaptureStateChanging(vdig, vdFlagCaptureStarting | vdFlagCaptureIsForRecord),
              noErr);
    EXPECT_EQ(test::load(r.streaming), 1);
    EXPECT_EQ(r.recording, 1);
    ASSERT_EQ(VDCompressOneFrameAsync(vdig), noErr);
    ASSERT_TRUE(test::eventually([&] { return atomicField(r.framesReady).load() > 0; }));

    // Stop: processing off, read position forgotten, the camera still streaming.
    ASSERT_EQ(VDCaptureStateChanging(vdig, vdFlagCaptureStopping), noErr);
    EXPECT_EQ(test::load(r.streaming), 1);
    EXPECT_EQ(atomicField(r.framesWanted).load(), 0u);
    EXPECT_EQ(atomicField(r.readSlot).load(), kNoSlot);
    EXPECT_EQ(r.nextFrameDueUs, 0u);

    // Start and stop together are refused, but the preview flag still applies.
    const uint32_t writeSlot = atomicField(r.writeSlot).load();
    EXPECT_EQ(VDCaptureStateChanging(vdig, vdFlagCaptureStarting | vdFlagCaptureStopping |
                                               vdFlagCaptureIsForPreview),
              qtParamErr);
    EXPECT_EQ(r.recording, 0);
    EXPECT_EQ(r.firstRecordFramePending, 0);
    // Both flags: record wins.
    EXPECT_EQ(VDCaptureStateChanging(vdig, vdFlagCaptureIsForPreview | vdFlagCaptureIsForRecord),
              noErr);
    EXPECT_EQ(r.recording, 1);
    // A new start resets the hand-out state but not the write position.
    ASSERT_EQ(VDCaptureStateChanging(vdig, vdFlagCaptureStarting), noErr);
    EXPECT_EQ(atomicField(r.framesReady).load(), 0u);
    EXPECT_EQ(atomicField(r.writeSlot).load(), writeSlot);
    EXPECT_EQ(atomicField(r.lastFrameMs).load(), -1.0);
}

TEST_F(VdigGrab, CompressionOnOffStartsVideoAndOffLeavesItRunning) {
    VideoDigitizerComponent vdig = open();
    CameraRecord &r = record();
    ASSERT_EQ(VDSetCompressionOnOff(vdig, 1), noErr);
    EXPECT_EQ(test::load(r.streaming), 1);
    EXPECT_NE(r.rawBufferMap, nullptr);
    ASSERT_EQ(VDSetCompressionOnOff(vdig, 0), noErr);
    EXPECT_EQ(test::load(r.streaming), 1);
    EXPECT_EQ(test::load(r.framesWanted), 0u);
    EXPECT_EQ(test::load(r.readSlot), kNoSlot);
}

// A client's loop against the real stream: every frame handed out is the decode of a raw frame
// the camera sent, and time moves forward.
TEST_F(VdigGrab, StreamingCaptureHandsOutDecodedFramesOfTheCamera) {
    platform::setMicrosecondsForTests({});
    platform::setTimeBaseClockForTests({});
    VideoDigitizerComponent vdig = open(0x04A2);
    CameraRecord &r = record();
    r.flipHorizontal = 1;
    ASSERT_EQ(VDCaptureStateChanging(vdig, vdFlagCaptureStarting | vdFlagCaptureIsForRecord),
              noErr);
    ASSERT_EQ(VDCompressOneFrameAsync(vdig), noErr);
    std::vector<std::vector<uint8_t>> frames;
    std::vector<int64_t> times;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (frames.size() < 5 && std::chrono::steady_clock::now() < giveUp) {
        Handout h = compressDone();
        ASSERT_EQ(h.result, noErr);
        if (!h.data) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        ASSERT_EQ(h.size, long(r.compressedFrameBytes));
        frames.emplace_back(h.data, h.data + h.size);
        times.push_back(value(h.time));
        ASSERT_EQ(VDReleaseCompressBuffer(vdig, h.data), noErr);
    }
    ASSERT_EQ(frames.size(), 5u);
    ASSERT_EQ(VDCaptureStateChanging(vdig, vdFlagCaptureStopping), noErr);
    ASSERT_EQ(QORACameraStopVideo(dig->camera(), 0), 0);
    for (size_t i = 1; i < times.size(); ++i) EXPECT_GT(times[i], times[i - 1]);

    // The reference: each raw frame the camera sent, flipped and decoded as the record says.
    std::vector<std::vector<uint8_t>> decoded;
    const uint32_t w = r.rawWidth, h = r.rawHeight;
    std::vector<uint8_t> line(w);
    for (const sim::Transfer &t : dig->sim().transferLog()) {
        if (t.kind != sim::Transfer::Kind::AsyncBulkIn || t.data.size() != w * h) continue;
        std::vector<uint8_t> raw = t.data, slot(r.compressedFrameBytes);
        QORAFlipHorizontalImage8Bit(raw.data(), w, h, 1);
        QORRAWImageDecodeToImageBuffer(raw.data(), slot.data(), r.bayerPattern, r.decodeMethod,
                                       r.outputFormat, r.destRowBytes, w, h);
        auto *pixels = reinterpret_cast<uint32_t *>(slot.data());
        if (r.colorMatrixIndex)
            QORAApplyRGBMatrixToRGBImage(pixels, r.colorMatrix, r.outputFormat, r.destRowBytes, w,
                                         h);
        if (r.saturationMarkOn)
            QORARedSaturateRGBImage(pixels, r.outputFormat, r.destRowBytes, w, h);
        decoded.push_back(std::move(slot));
    }
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_NE(std::find(decoded.begin(), decoded.end(), frames[i]), decoded.end())
            << "frame " << i;
}

// After a bad transfer the camera's video does not start again: the stream ends, the client's
// compress-done reports the error once the ring is empty, and the next capture start streams.
TEST_F(VdigGrab, VideoThatDoesNotStartAgainEndsTheStreamAndTheNextCaptureRestartsIt) {
    VideoDigitizerComponent vdig = open();
    CameraRecord &r = record();
    ASSERT_EQ(VDCaptureStateChanging(vdig, vdFlagCaptureStarting), noErr);
    ASSERT_EQ(VDCompressOneFrameAsync(vdig), noErr);
    ASSERT_TRUE(test::eventually([&] { return atomicField(r.framesReady).load() > 0; }));

    dig->sim().clearTransferLog();
    testing::internal::CaptureStderr();
    // The video stop and every try of the video start after the bad transfer fail.
    dig->sim().failRegister(0x0214, sim::Direction::Write, kIOReturnNotResponding, 4);
    dig->sim().shortBulk(0x86, r.rawFrameBytes - 1);
    ComponentResult answer = noErr;
    const bool told = test::eventually([&] {
        Handout h = compressDone();
        if (h.data) VDReleaseCompressBuffer(vdig, h.data);
        answer = h.result;
        return answer != noErr;
    });
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(told);
    EXPECT_EQ(answer, kIOReturnNotResponding);
    EXPECT_EQ(test::load(r.streaming), 0);
    std::vector<uint32_t> video;
    for (const test::RegisterWrite &w : test::registerWrites(dig->sim().transferLog()))
        if (w.reg == 0x0214) video.push_back(w.value());
    EXPECT_EQ(video, (std::vector<uint32_t>{0, 0x80, 0x80, 0x80}));

    ASSERT_EQ(VDCaptureStateChanging(vdig, vdFlagCaptureStarting), noErr);
    EXPECT_EQ(test::load(r.streaming), 1);
    ASSERT_EQ(VDCompressOneFrameAsync(vdig), noErr);
    EXPECT_TRUE(test::eventually([&] {
        Handout h = compressDone();
        EXPECT_EQ(h.result, noErr);
        if (h.data) VDReleaseCompressBuffer(vdig, h.data);
        return h.data != nullptr;
    }));
}

// The client gives its newest frame back while the frame path is publishing the next one, after
// the frame path found the read position taken: that next frame is the one handed out next.
TEST_F(VdigGrab, AFrameFilledWhileTheNewestIsGivenBackIsHandedOutNext) {
    VideoDigitizerComponent vdig = open();
    CameraRecord &r = record();
    test::RingGate gate;
    ASSERT_EQ(VDCaptureStateChanging(vdig, vdFlagCaptureStarting), noErr);
    ASSERT_EQ(VDCompressOneFrameAsync(vdig), noErr);
    ASSERT_TRUE(gate.waitForArrivals(1));
    gate.letOneThrough();
    // The second frame waits at the gate while the client takes the first and gives it back.
    ASSERT_TRUE(gate.waitForArrivals(2));
    Handout first = compressDone();
    ASSERT_EQ(first.data, slot(0));
    ASSERT_EQ(VDReleaseCompressBuffer(vdig, first.data), noErr);
    gate.letOneThrough();
    // Once the third frame reaches the gate, the second is in the ring.
    ASSERT_TRUE(gate.waitForArrivals(3));
    EXPECT_EQ(atomicField(r.lastFilledSlot).load(), 1u);
    EXPECT_EQ(atomicField(r.readSlot).load(), 1u);
    Handout second = compressDone();
    EXPECT_EQ(second.data, slot(1));
    EXPECT_EQ(second.queued, 1);
    gate.open();
}

// A completion that does not return while set-compression stops the stream: the request answers
// after a bounded wait with the error, and the ring and buffers the completion writes stay; once
// the completion has returned, set-compression rebuilds everything.
TEST_F(VdigGrab, SetCompressionGivesUpOnACompletionThatDoesNotReturnAndKeepsTheRing) {
    VideoDigitizerComponent vdig = open();
    CameraRecord &r = record();
    test::RingGate gate;
    ASSERT_EQ(VDCaptureStateChanging(vdig, vdFlagCaptureStarting), noErr);
    ASSERT_EQ(VDCompressOneFrameAsync(vdig), noErr);
    ASSERT_TRUE(gate.waitForArrivals(1));
    void *const slots = r.frameSlotBlock;

    r.imageSettingsChanged = 1;
    testing::internal::CaptureStderr();
    auto answer = std::async(std::launch::async,
                             [&] { return VDSetCompression(vdig, kRaw, 0, nullptr, 0, 0, 0); });
    if (answer.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        gate.open();
        answer.wait();
        testing::internal::GetCapturedStderr();
        FAIL() << "set-compression waited for as long as the completion ran";
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(answer.get(), kIOReturnTimeout);
    EXPECT_EQ(r.frameSlotBlock, slots);
    EXPECT_NE(r.rawBufferMap, nullptr);
    EXPECT_NE(r.imageDescription, nullptr);

    gate.open();
    EXPECT_EQ(VDSetCompression(vdig, kRaw, 0, nullptr, 0, 0, 0), noErr);
    EXPECT_EQ(r.streamThread, 0u);
    EXPECT_EQ(r.rawBufferMap, nullptr);
    EXPECT_NE(r.frameSlotBlock, nullptr);
}

TEST_F(VdigGrab, UnpluggedWhileStreamingEveryRequestAnswersNoDeviceAndCloseSucceeds) {
    platform::setMicrosecondsForTests({});
    VideoDigitizerComponent vdig = open();
    CameraRecord &r = record();
    ASSERT_EQ(VDCaptureStateChanging(vdig, vdFlagCaptureStarting), noErr);
    ASSERT_EQ(VDCompressOneFrameAsync(vdig), noErr);
    ASSERT_TRUE(test::eventually([&] { return atomicField(r.framesReady).load() > 0; }));
    dig->sim().unplug();
    for (int i = 0; i < 50 && atomicField(r.cameraRemoved).load() == 0; ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, false);
    ASSERT_EQ(atomicField(r.cameraRemoved).load(), 1);
    EXPECT_EQ(test::load(r.streaming), 0);
    EXPECT_EQ(r.rawBufferMap, nullptr);

    const ComponentResult gone = kIOReturnNoDevice;
    Handout h{};
    Rect rect{};
    long value = 0;
    Fixed fps = 0;
    TimeScale scale = 0;
    TimeRecord at{};
    TimeCodeDef def{};
    TimeCodeTime tc{};
    auto desc = reinterpret_cast<ImageDescriptionHandle>(NewHandle(0));
    auto list = reinterpret_cast<VDCompressionListHandle>(NewHandle(0));
    EXPECT_EQ(VDSetCompression(vdig, kRaw, 0, nullptr, 0, 0, 0), gone);
    EXPECT_EQ(VDCompressOneFrameAsync(vdig), gone);
    EXPECT_EQ(VDCompressDone(vdig, &h.queued, &h.data, &h.size, nullptr, &h.time), gone);
    EXPECT_EQ(VDReleaseCompressBuffer(vdig, nullptr), gone);
    EXPECT_EQ(VDGetImageDescription(vdig, desc), gone);
    EXPECT_EQ(VDResetCompressSequence(vdig), gone);
    EXPECT_EQ(VDSetCompressionOnOff(vdig, 1), gone);
    EXPECT_EQ(VDGetCompressionTypes(vdig, list), gone);
    EXPECT_EQ(VDSetTimeBase(vdig, timeBase), gone);
    EXPECT_EQ(VDSetFrameRate(vdig, 0), gone);
    EXPECT_EQ(VDGetDataRate(vdig, &value, &fps, &value), gone);
    EXPECT_EQ(VDGetPreferredTimeScale(vdig, &scale), gone);
    EXPECT_EQ(VDGetTimeCode(vdig, &at, &def, &tc), gone);
    EXPECT_EQ(VDCaptureStateChanging(vdig, vdFlagCaptureStarting), gone);
    EXPECT_EQ(VDGetMaxSrcRect(vdig, 0, &rect), gone);
    EXPECT_EQ(VDSetDigitizerRect(vdig, &rect), gone);
    EXPECT_EQ(test::load(r.streaming), 0);
    DisposeHandle(reinterpret_cast<Handle>(desc));
    DisposeHandle(reinterpret_cast<Handle>(list));
    EXPECT_EQ(dig->close(), noErr);
}

} // namespace
