// The sequence grabber stand-in driving the digitizers of simulated cameras as a capture client.
#include "platform/seqgrab.h"

#include "platform/memory.h"
#include "stream/streaming_camera.h"
#include "support/digitizer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

using namespace qor;

namespace {

struct Frame {
    SGChannel channel;
    long size;
    TimeValue time;
};

struct Delivered {
    std::vector<Frame> frames;
    OSErr answer = noErr;
};

OSErr collect(SGChannel c, Ptr p, long len, long *offset, long chRefCon, TimeValue time,
              short writeType, long refCon) {
    auto *delivered = reinterpret_cast<Delivered *>(refCon);
    EXPECT_NE(p, nullptr);
    EXPECT_NE(offset, nullptr);
    EXPECT_EQ(chRefCon, 0);
    EXPECT_EQ(writeType, 0);
    delivered->frames.push_back({c, len, time});
    return delivered->answer;
}

class SequenceGrabber : public test::SimTest {
protected:
    void SetUp() override {
        test::SimTest::SetUp();
        grabber = OpenDefaultSequenceGrabber();
        ASSERT_NE(grabber, nullptr);
        ASSERT_EQ(SGInitialize(grabber), noErr);
        ASSERT_EQ(SGSetDataProc(grabber, collect, reinterpret_cast<long>(&delivered)), noErr);
    }
    void TearDown() override {
        if (grabber) {
            EXPECT_EQ(CloseSequenceGrabber(grabber), noErr);
        }
        digitizers.clear();
        test::SimTest::TearDown();
    }
    test::SimDigitizer &addCamera(uint16_t productID, const std::string &serial = {}) {
        digitizers.push_back(
            std::make_unique<test::SimDigitizer>(test::runningCamera(productID, serial), false));
        return *digitizers.back();
    }
    SGChannel newChannel(const std::string &device = {}) {
        SGChannel c = nullptr;
        EXPECT_EQ(SGNewChannel(grabber, VideoMediaType, &c), noErr);
        if (!device.empty()) {
            Str255 name;
            CopyCStringToPascal(device.c_str(), name);
            EXPECT_EQ(SGSetChannelDevice(c, name), noErr);
        }
        return c;
    }
    // Idles until `count` frames arrived in all; false when the time is up.
    bool idleUntil(size_t count) {
        return test::eventually([&] {
            EXPECT_EQ(SGIdle(grabber), noErr);
            return delivered.frames.size() >= count;
        });
    }
    static CameraRecord &recordOf(SGChannel c) {
        return *cameraRecord(GetComponentInstanceStorage(SGGetVideoDigitizerComponent(c)));
    }

    SeqGrabComponent grabber = nullptr;
    Delivered delivered;
    std::vector<std::unique_ptr<test::SimDigitizer>> digitizers;
};

TEST_F(SequenceGrabber, PreviewHandsEveryFrameToTheDataProcWithRisingTimes) {
    addCamera(0x01A8);
    SGChannel c = newChannel();
    ASSERT_EQ(SGStartPreview(grabber), noErr);
    EXPECT_EQ(SGStartRecord(grabber), cantDoThatInCurrentMode);
    ASSERT_TRUE(idleUntil(4));
    ASSERT_EQ(SGStop(grabber), noErr);

    auto desc = reinterpret_cast<ImageDescriptionHandle>(NewHandle(0));
    ASSERT_EQ(SGGetChannelSampleDescription(c, reinterpret_cast<Handle>(desc)), noErr);
    EXPECT_EQ((*desc)->depth, 32);
    const long frameBytes = long((*desc)->width) * (*desc)->height * 4;
    EXPECT_EQ((*desc)->dataSize, frameBytes);
    DisposeHandle(reinterpret_cast<Handle>(desc));
    TimeScale scale = 0;
    ASSERT_EQ(SGGetChannelTimeScale(c, &scale), noErr);
    EXPECT_EQ(scale, 10000);
    for (size_t i = 0; i < delivered.frames.size(); ++i) {
        EXPECT_EQ(delivered.frames[i].channel, c);
        EXPECT_EQ(delivered.frames[i].size, frameBytes);
        if (i) {
            EXPECT_GE(delivered.frames[i].time, delivered.frames[i - 1].time);
        }
    }
    const CameraRecord &r = recordOf(c);
    EXPECT_EQ(r.recording, 0);
    // Stopped: the camera still streams, but nobody asks for frames.
    EXPECT_EQ(atomicField(r.framesWanted).load(), 0u);
    const size_t count = delivered.frames.size();
    EXPECT_EQ(SGIdle(grabber), noErr);
    EXPECT_EQ(delivered.frames.size(), count);
}

TEST_F(SequenceGrabber, RecordTimesCountFromTheStartOfTheRecording) {
    addCamera(0x00A1);
    SGChannel c = newChannel();
    ASSERT_EQ(SGSetChannelUsage(c, seqGrabRecord), noErr);
    // A channel not used for preview does not take part in one.
    EXPECT_EQ(SGStartPreview(grabber), noDeviceForChannel);
    ASSERT_EQ(SGStartRecord(grabber), noErr);
    ASSERT_TRUE(idleUntil(5));
    SGStop(grabber);
    EXPECT_EQ(recordOf(c).recording, 1);
    // Each frame is later than the one before, by its own frame time.
    for (size_t i = 1; i < delivered.frames.size(); ++i)
        EXPECT_GT(delivered.frames[i].time, delivered.frames[i - 1].time);
    EXPECT_LT(delivered.frames.front().time, 10000); // within the first second
    auto desc = reinterpret_cast<ImageDescriptionHandle>(NewHandle(0));
    ASSERT_EQ(SGGetChannelSampleDescription(c, reinterpret_cast<Handle>(desc)), noErr);
    EXPECT_EQ((*desc)->depth, 8); // a monochrome camera's grey frames
    DisposeHandle(reinterpret_cast<Handle>(desc));
}

TEST_F(SequenceGrabber, DeviceChosenByNameAmongTwoCamerasOfOneModel) {
    addCamera(0x01A8, "A1");
    test::SimDigitizer &second = addCamera(0x01A8, "B2");
    SGChannel c = newChannel(second.name());
    EXPECT_EQ(CountComponentInstances(digitizers[0]->component()), 0);
    EXPECT_EQ(CountComponentInstances(second.component()), 1);
    EXPECT_EQ(recordOf(c).locationID, second.sim().locationID());

    Str255 missing;
    CopyCStringToPascal("no such camera", missing);
    SGChannel other = nullptr;
    ASSERT_EQ(SGNewChannel(grabber, VideoMediaType, &other), noErr);
    EXPECT_EQ(SGSetChannelDevice(other, missing), noDeviceForChannel);
    EXPECT_EQ(SGGetVideoDigitizerComponent(other), nullptr);
    EXPECT_EQ(SGDisposeChannel(grabber, other), noErr);
}

TEST_F(SequenceGrabber, NoDigitizerMeansNoCapture) {
    SGChannel c = nullptr;
    EXPECT_EQ(SGNewChannel(grabber, fourCharCode("soun"), &c), couldntGetRequiredComponent);
    ASSERT_EQ(SGNewChannel(grabber, VideoMediaType, &c), noErr);
    EXPECT_EQ(SGStartPreview(grabber), couldntGetRequiredComponent);
    EXPECT_EQ(SGIdle(grabber), noErr);
    EXPECT_TRUE(delivered.frames.empty());
}

TEST_F(SequenceGrabber, PausedChannelsHandOutNothing) {
    addCamera(0x01A8);
    SGChannel c = newChannel();
    ASSERT_EQ(SGStartPreview(grabber), noErr);
    ASSERT_TRUE(idleUntil(1));
    ASSERT_EQ(SGPause(grabber, seqGrabPause), noErr);
    Byte paused = 0;
    ASSERT_EQ(SGGetPause(grabber, &paused), noErr);
    EXPECT_EQ(paused, seqGrabPause);
    const size_t count = delivered.frames.size();
    CameraRecord &r = recordOf(c);
    ASSERT_TRUE(test::eventually([&] { return atomicField(r.framesReady).load() > 0; }));
    EXPECT_EQ(SGIdle(grabber), noErr);
    EXPECT_EQ(SGIdle(c), noErr);
    EXPECT_EQ(delivered.frames.size(), count);
    ASSERT_EQ(SGPause(grabber, seqGrabUnpause), noErr);
    ASSERT_EQ(SGPause(c, seqGrabPause), noErr);
    EXPECT_EQ(SGIdle(c), noErr);
    EXPECT_EQ(delivered.frames.size(), count);
    ASSERT_EQ(SGPause(c, seqGrabUnpause), noErr);
    ASSERT_TRUE(test::eventually([&] {
        EXPECT_EQ(SGIdle(c), noErr);
        return delivered.frames.size() > count;
    }));
}

TEST_F(SequenceGrabber, ReQueryAfterASizeChangeCarriesOnAtTheNewSize) {
    addCamera(0x01A8);
    SGChannel c = newChannel();
    ASSERT_EQ(SGStartPreview(grabber), noErr);
    ASSERT_TRUE(idleUntil(1));
    CameraRecord &r = recordOf(c);
    r.imageWidth = 320;
    r.imageHeight = 240;
    r.imageSettingsChanged = 1;
    ASSERT_EQ(SGVideoDigitizerChanged(c), noErr);
    delivered.frames.clear();
    ASSERT_TRUE(idleUntil(3));
    for (const Frame &f : delivered.frames) EXPECT_EQ(f.size, 320 * 240 * 4);
    auto desc = reinterpret_cast<ImageDescriptionHandle>(NewHandle(0));
    ASSERT_EQ(SGGetChannelSampleDescription(c, reinterpret_cast<Handle>(desc)), noErr);
    EXPECT_EQ((*desc)->width, 320);
    EXPECT_EQ((*desc)->height, 240);
    DisposeHandle(reinterpret_cast<Handle>(desc));
}

TEST_F(SequenceGrabber, DataProcErrorEndsTheIdleWithIt) {
    addCamera(0x01A8);
    newChannel();
    ASSERT_EQ(SGStartPreview(grabber), noErr);
    delivered.answer = -50;
    ComponentResult result = noErr;
    ASSERT_TRUE(test::eventually([&] { return (result = SGIdle(grabber)) != noErr; }));
    EXPECT_EQ(result, -50);
    EXPECT_EQ(delivered.frames.size(), 1u);
}

TEST_F(SequenceGrabber, UnpluggedCameraEndsTheCaptureAndTheGrabberStillCloses) {
    test::SimDigitizer &dig = addCamera(0x01A8);
    SGChannel c = newChannel();
    ASSERT_EQ(SGStartRecord(grabber), noErr);
    ASSERT_TRUE(idleUntil(1));
    dig.sim().unplug();
    CameraRecord &r = recordOf(c);
    for (int i = 0; i < 50 && atomicField(r.cameraRemoved).load() == 0; ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, false);
    EXPECT_EQ(SGIdle(grabber), ComponentResult(kIOReturnNoDevice));
    EXPECT_EQ(SGStop(grabber), noErr);
}

} // namespace
