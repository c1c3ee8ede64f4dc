// Compression types, set-compression, image descriptions and timing, through the client calls
// of a digitizer opened on a simulated camera.
#include "platform/memory.h"
#include "support/digitizer.h"

#include <qorvanta/camera.h>

#include <gtest/gtest.h>

#include <algorithm>

using namespace qor;

namespace {

constexpr OSType kRaw = fourCharCode("raw ");
constexpr uint16_t kColour1280 = 0x01AC; // 1280 x 1024 Bayer
constexpr uint16_t kMono1280 = 0x00A1;   // 1280 x 1024 monochrome

class VdigCompression : public test::SimTest {
protected:
    test::SimDigitizer &open(uint16_t productID) {
        dig = std::make_unique<test::SimDigitizer>(test::runningCamera(productID));
        EXPECT_EQ(dig->openResult(), noErr);
        timeBase = NewTimeBase();
        return *dig;
    }
    void TearDown() override {
        dig.reset();
        if (timeBase) DisposeTimeBase(timeBase);
        test::SimTest::TearDown();
    }
    // The window the next set-compression programs.
    void setWindow(uint16_t width, uint16_t height) {
        CameraRecord &r = dig->record();
        r.windowLeft = r.windowTop = 0;
        r.imageWidth = width;
        r.imageHeight = height;
        r.subSampleX = r.subSampleY = 1;
        r.imageSettingsChanged = 1;
    }
    std::unique_ptr<test::SimDigitizer> dig;
    TimeBase timeBase = nullptr;
};

TEST_F(VdigCompression, OneRawCompressionTypeOfTheSensorsDepth) {
    for (auto [model, flags] : {std::pair{kColour1280, 0x20}, std::pair{kMono1280, 0x08}}) {
        open(model);
        auto list = reinterpret_cast<VDCompressionListHandle>(NewHandle(0));
        ASSERT_EQ(VDGetCompressionTypes(dig->vdig(), list), noErr);
        EXPECT_EQ(GetHandleSize(reinterpret_cast<Handle>(list)), Size(sizeof(VDCompressionList)));
        const VDCompressionList &entry = **list;
        EXPECT_EQ(entry.cType, kRaw);
        EXPECT_EQ(entry.codec, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(entry.typeName), 14),
                  "\rQorvanta None");
        EXPECT_EQ(std::memcmp(entry.typeName, entry.name, 14), 0);
        EXPECT_EQ(entry.formatFlags, flags);
        EXPECT_EQ(entry.compressFlags, flags);
        EXPECT_EQ(entry.reserved, 0);
        DisposeHandle(reinterpret_cast<Handle>(list));
        dig.reset();
        DisposeTimeBase(timeBase);
        timeBase = nullptr;
    }
}

TEST_F(VdigCompression, RefusesWithoutTimeBaseAndWrongTypeOrDepth) {
    open(kColour1280);
    VideoDigitizerComponent vdig = dig->vdig();
    EXPECT_EQ(VDSetCompression(vdig, kRaw, 32, nullptr, 0, 0, 0), badCallOrderErr);
    EXPECT_EQ(VDSetTimeBase(vdig, nullptr), qtParamErr);
    ASSERT_EQ(VDSetTimeBase(vdig, timeBase), noErr);
    EXPECT_EQ(VDSetCompression(vdig, fourCharCode("jpeg"), 32, nullptr, 0, 0, 0), noCodecErr);
    EXPECT_EQ(VDSetCompression(vdig, kRaw, 24, nullptr, 0, 0, 0), badDepthErr);
    EXPECT_EQ(VDSetCompression(vdig, kRaw, 8, nullptr, 0, 0, 0), badDepthErr);
    // Nothing was built by the refused requests.
    EXPECT_EQ(dig->record().frameSlotBlock, nullptr);
    EXPECT_EQ(dig->record().imageDescription, nullptr);
    EXPECT_EQ(VDSetCompression(vdig, 0, 0, nullptr, 0, 0, 0), noErr);
    EXPECT_NE(dig->record().frameSlotBlock, nullptr);
}

TEST_F(VdigCompression, FullSizeFramesOfColourAndMonochromeSensors) {
    struct Case {
        uint16_t model;
        int16_t depth;
        uint32_t rowBytes, frameBytes;
    };
    for (Case c : {Case{kColour1280, 32, 5120, 5242880}, Case{kMono1280, 8, 1280, 1310720}}) {
        open(c.model);
        setWindow(1280, 1024);
        ASSERT_EQ(VDSetTimeBase(dig->vdig(), timeBase), noErr);
        ASSERT_EQ(VDSetCompression(dig->vdig(), kRaw, c.depth, nullptr, 0, 0, 0), noErr);
        const CameraRecord &r = dig->record();
        EXPECT_EQ(r.rawWidth, 1280u);
        EXPECT_EQ(r.rawHeight, 1024u);
        EXPECT_EQ(r.destRowBytes, c.rowBytes);
        EXPECT_EQ(r.compressedFrameBytes, c.frameBytes);
        // Ten page-aligned slots, one after the other, inside the one block.
        const long page = sysconf(_SC_PAGESIZE);
        auto *block = static_cast<uint8_t *>(r.frameSlotBlock);
        for (int i = 0; i < kFrameSlotCount; ++i) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(r.frameSlots[i]) % page, 0u);
            if (i) {
                EXPECT_GE(r.frameSlots[i], r.frameSlots[i - 1] + c.frameBytes);
            }
            EXPECT_LE(r.frameSlots[i] + c.frameBytes, block + 10 * c.frameBytes + 11 * page);
        }
        // The camera runs at its highest rate unless slow frames are allowed.
        EXPECT_EQ(r.dataRateKB, r.dataRateTable[r.dataRateCount - 1]);
        EXPECT_FLOAT_EQ(r.frameRate, float(r.dataRateKB) * 1024.0f / (1280.0f * 1024.0f));
        uint16_t width = 0, height = 0;
        EXPECT_EQ(QORAReadTwoCameraRegister(dig->camera(), 0x100C, &width, &height), 0);
        EXPECT_EQ(width, 1280);
        EXPECT_EQ(height, 1024);
        dig.reset();
        DisposeTimeBase(timeBase);
        timeBase = nullptr;
    }
}

TEST_F(VdigCompression, ImageDescriptionOfAColourCamera) {
    open(kColour1280);
    ASSERT_EQ(VDSetTimeBase(dig->vdig(), timeBase), noErr);
    auto desc = reinterpret_cast<ImageDescriptionHandle>(NewHandle(0));
    EXPECT_EQ(VDGetImageDescription(dig->vdig(), desc), badCallOrderErr);
    EXPECT_EQ(VDGetImageDescription(dig->vdig(), nullptr), qtParamErr);
    ASSERT_EQ(VDSetCompression(dig->vdig(), kRaw, 32, nullptr, 0, 0, 0), noErr);
    ASSERT_EQ(VDGetImageDescription(dig->vdig(), desc), noErr);
    ASSERT_EQ(GetHandleSize(reinterpret_cast<Handle>(desc)), 86);
    const ImageDescription &d = **desc;
    const CameraRecord &r = dig->record();
    EXPECT_EQ(d.idSize, 86);
    EXPECT_EQ(d.cType, kRaw);
    EXPECT_EQ(d.version, 1);
    EXPECT_EQ(d.revisionLevel, 1);
    EXPECT_EQ(OSType(d.vendor), fourCharCode("appl"));
    EXPECT_EQ(d.temporalQuality, 0u);
    EXPECT_EQ(d.spatialQuality, 0x400u);
    EXPECT_EQ(d.width, int16_t(r.rawWidth));
    EXPECT_EQ(d.height, int16_t(r.rawHeight));
    EXPECT_EQ(d.hRes, 72 << 16);
    EXPECT_EQ(d.vRes, 72 << 16);
    EXPECT_EQ(d.dataSize, int32_t(r.compressedFrameBytes));
    EXPECT_EQ(d.frameCount, 1);
    EXPECT_EQ(d.name[0], 0);
    EXPECT_EQ(d.depth, 32);
    EXPECT_EQ(d.clutID, -1);
    DisposeHandle(reinterpret_cast<Handle>(desc));
}

TEST_F(VdigCompression, MonochromeDescriptionCarriesAGreyRampMarkedRedWhenSaturated) {
    for (uint8_t mark : {0, 1}) {
        open(kMono1280);
        dig->record().saturationMarkOn = mark;
        ASSERT_EQ(VDSetTimeBase(dig->vdig(), timeBase), noErr);
        ASSERT_EQ(VDSetCompression(dig->vdig(), kRaw, 8, nullptr, 0, 0, 0), noErr);
        auto desc = reinterpret_cast<ImageDescriptionHandle>(NewHandle(0));
        ASSERT_EQ(VDGetImageDescription(dig->vdig(), desc), noErr);
        EXPECT_EQ((*desc)->depth, 8);
        EXPECT_EQ((*desc)->clutID, 0);
        CTabHandle table = nullptr;
        ASSERT_EQ(GetImageDescriptionCTable(desc, &table), noErr);
        ASSERT_NE(table, nullptr);
        EXPECT_EQ((*table)->ctSize, 255);
        EXPECT_EQ((*table)->ctFlags, 0);
        EXPECT_GT((*table)->ctSeed, 1024);
        for (int i = 0; i < 256; ++i) {
            const ColorSpec &e = (*table)->ctTable[i];
            EXPECT_EQ(e.value, i);
            const uint16_t grey = uint16_t(i * 0x0101);
            if (mark && i >= 240) {
                EXPECT_EQ(e.rgb.red, 0xFFFF);
                EXPECT_EQ(e.rgb.green, 0);
                EXPECT_EQ(e.rgb.blue, 0);
            } else {
                EXPECT_EQ(e.rgb.red, grey);
                EXPECT_EQ(e.rgb.green, grey);
                EXPECT_EQ(e.rgb.blue, grey);
            }
        }
        DisposeHandle(reinterpret_cast<Handle>(table));
        DisposeHandle(reinterpret_cast<Handle>(desc));
        dig.reset();
        DisposeTimeBase(timeBase);
        timeBase = nullptr;
    }
}

TEST_F(VdigCompression, IdempotentWhileNothingChangedAndRebuiltOnANewSize) {
    open(0x01A8);
    VideoDigitizerComponent vdig = dig->vdig();
    CameraRecord &r = dig->record();
    ASSERT_EQ(VDSetTimeBase(vdig, timeBase), noErr);
    ASSERT_EQ(VDSetCompression(vdig, kRaw, 32, nullptr, 0, 0, 0), noErr);
    ASSERT_EQ(VDCaptureStateChanging(vdig, vdFlagCaptureStarting), noErr);
    ASSERT_EQ(atomicField(r.streaming).load(), 1);
    void *block = r.frameSlotBlock;
    dig->sim().clearTransferLog();
    EXPECT_EQ(VDSetCompression(vdig, kRaw, 32, nullptr, 0, 0, 0), noErr);
    EXPECT_EQ(atomicField(r.streaming).load(), 1);
    EXPECT_EQ(r.frameSlotBlock, block);
    EXPECT_TRUE(test::registerWrites(dig->sim().transferLog()).empty());

    // A new window size stops the stream and rebuilds everything for the new size.
    r.imageWidth = 320;
    r.imageHeight = 240;
    EXPECT_EQ(VDSetCompression(vdig, kRaw, 32, nullptr, 0, 0, 0), noErr);
    EXPECT_EQ(atomicField(r.streaming).load(), 0);
    EXPECT_EQ(r.rawBufferMap, nullptr);
    EXPECT_EQ(r.rawWidth, 320u);
    EXPECT_EQ(r.rawHeight, 240u);
    EXPECT_EQ(r.compressedFrameBytes, 320u * 240 * 4);
    EXPECT_EQ(r.readSlot, kNoSlot);
    EXPECT_EQ(r.lastFilledSlot, kNoSlot);
    EXPECT_EQ(r.writeSlot, 0u);
    EXPECT_EQ(r.framesReady, 0u);
    EXPECT_EQ(r.framesWanted, 0u);
    auto desc = reinterpret_cast<ImageDescriptionHandle>(NewHandle(0));
    ASSERT_EQ(VDGetImageDescription(vdig, desc), noErr);
    EXPECT_EQ((*desc)->width, 320);
    EXPECT_EQ((*desc)->height, 240);
    DisposeHandle(reinterpret_cast<Handle>(desc));
}

TEST_F(VdigCompression, ExposureIsHeldOffDuringTheChangeAndComesBackWithinTheFramePeriod) {
    open(0x01A8);
    CameraRecord &r = dig->record();
    ASSERT_EQ(VDSetTimeBase(dig->vdig(), timeBase), noErr);
    struct Case {
        uint32_t exposure;
        bool clamped;
    };
    for (Case c : {Case{2000, false}, Case{3000000, true}}) {
        ASSERT_EQ(QORASetVideoControlValue(dig->camera(), 0x04A0, 4, c.exposure), 0);
        r.imageSettingsChanged = 1;
        dig->sim().clearTransferLog();
        ASSERT_EQ(VDSetCompression(dig->vdig(), kRaw, 32, nullptr, 0, 0, 0), noErr);
        const auto writes = test::registerWrites(dig->sim().transferLog());
        auto at = [&](uint16_t reg) {
            return std::find_if(writes.begin(), writes.end(),
                                [reg](const auto &w) { return w.reg == reg; });
        };
        auto heldOff = at(0x04A4);
        auto window = at(0x100C);
        ASSERT_NE(heldOff, writes.end());
        ASSERT_NE(window, writes.end());
        EXPECT_EQ(heldOff->value(), 0u);
        EXPECT_LT(heldOff, window);
        auto restored =
            std::find_if(window, writes.end(), [](const auto &w) { return w.reg == 0x04A4; });
        ASSERT_NE(restored, writes.end());
        const uint32_t expected = c.clamped ? r.framePeriodUs : c.exposure;
        EXPECT_EQ(restored->value(), expected);
        EXPECT_EQ(uint32_t(r.framePeriodMs * 1000.0), r.framePeriodUs);
        uint32_t exposure = 0;
        ASSERT_EQ(QORAGetVideoControlValue(dig->camera(), 0x04A0, 4, &exposure), 0);
        EXPECT_LE(exposure, r.framePeriodUs);
    }
}

// An exposure that could not be read is not held off, so it cannot be lost; one that was held
// off comes back also when a later step fails. The record's copy follows the camera's value.
TEST_F(VdigCompression, ExposureSurvivesAFailedReadAndEveryFailingStep) {
    open(0x01A8);
    CameraRecord &r = dig->record();
    ASSERT_EQ(VDSetTimeBase(dig->vdig(), timeBase), noErr);
    ASSERT_EQ(VDSetCompression(dig->vdig(), kRaw, 32, nullptr, 0, 0, 0), noErr);
    const uint32_t exposure = r.framePeriodUs / 2;
    ASSERT_EQ(QORASetVideoControlValue(dig->camera(), 0x04A0, 4, exposure), 0);
    r.exposure = exposure;

    r.imageSettingsChanged = 1;
    dig->sim().clearTransferLog();
    dig->sim().failRegister(0x04A4, sim::Direction::Read, kIOReturnNotResponding, 1);
    EXPECT_EQ(VDSetCompression(dig->vdig(), kRaw, 32, nullptr, 0, 0, 0), noErr);
    for (const test::RegisterWrite &w : test::registerWrites(dig->sim().transferLog()))
        EXPECT_NE(w.reg, 0x04A4) << "written " << w.value();
    EXPECT_EQ(dig->sim().peekRegister(0x04A4), exposure);
    EXPECT_EQ(r.exposure, exposure);

    // The window write, then the rate list's reset and count reads fail after the hold-off.
    struct Step {
        uint16_t reg;
        sim::Direction direction;
    };
    for (Step step : {Step{0x100C, sim::Direction::Write}, Step{0x1040, sim::Direction::Read},
                      Step{0x104C, sim::Direction::Read}}) {
        r.imageSettingsChanged = 1;
        dig->sim().clearTransferLog();
        dig->sim().failRegister(step.reg, step.direction, kIOReturnNotResponding, 1);
        EXPECT_EQ(VDSetCompression(dig->vdig(), kRaw, 32, nullptr, 0, 0, 0), kIOReturnNotResponding)
            << std::hex << step.reg;
        EXPECT_EQ(dig->sim().peekRegister(0x04A4), exposure) << std::hex << step.reg;
        EXPECT_EQ(r.exposure, exposure);
        std::vector<uint32_t> exposureWrites;
        for (const test::RegisterWrite &w : test::registerWrites(dig->sim().transferLog()))
            if (w.reg == 0x04A4) exposureWrites.push_back(w.value());
        EXPECT_EQ(exposureWrites, (std::vector<uint32_t>{0, exposure})) << std::hex << step.reg;
    }

    // An exposure longer than the new frame period comes back clamped, in the record too.
    ASSERT_EQ(QORASetVideoControlValue(dig->camera(), 0x04A0, 4, 3000000), 0);
    r.exposure = 3000000;
    r.imageSettingsChanged = 1;
    ASSERT_EQ(VDSetCompression(dig->vdig(), kRaw, 32, nullptr, 0, 0, 0), noErr);
    EXPECT_EQ(dig->sim().peekRegister(0x04A4), r.framePeriodUs);
    EXPECT_EQ(r.exposure, r.framePeriodUs);
}

TEST_F(VdigCompression, CameraErrorsStopAtTheFailingStepWithTheRingEmpty) {
    open(0x01A8);
    ASSERT_EQ(VDSetTimeBase(dig->vdig(), timeBase), noErr);
    dig->record().imageSettingsChanged = 1;
    dig->sim().failRegister(0x100C, sim::Direction::Write, kIOReturnNotResponding, 1);
    EXPECT_NE(VDSetCompression(dig->vdig(), kRaw, 32, nullptr, 0, 0, 0), noErr);
    EXPECT_EQ(dig->record().frameSlotBlock, nullptr);
    EXPECT_EQ(dig->record().imageDescription, nullptr);
    // The next attempt builds everything.
    EXPECT_EQ(VDSetCompression(dig->vdig(), kRaw, 32, nullptr, 0, 0, 0), noErr);
    EXPECT_NE(dig->record().imageDescription, nullptr);
}

TEST_F(VdigCompression, SlowFramesChooseTheLowestRateAndMayExceedHalfASecond) {
    open(0x019A); // 4096 x 4096 at 5000 KB/s is slower than two frames a second
    CameraRecord &r = dig->record();
    ASSERT_EQ(VDSetTimeBase(dig->vdig(), timeBase), noErr);
    setWindow(4096, 4096);
    r.allowSlowFrames = 1;
    ASSERT_EQ(VDSetCompression(dig->vdig(), kRaw, 0, nullptr, 0, 0, 0), noErr);
    EXPECT_EQ(r.dataRateKB, r.dataRateTable[0]);
    EXPECT_NEAR(r.framePeriodMs, 4096.0 * 4096.0 / (r.dataRateKB * 1024.0) * 1000.0, 0.1);
    EXPECT_GT(r.framePeriodMs, 500.0);
    r.allowSlowFrames = 0;
    r.imageSettingsChanged = 1;
    ASSERT_EQ(VDSetCompression(dig->vdig(), kRaw, 0, nullptr, 0, 0, 0), noErr);
    EXPECT_EQ(r.dataRateKB, r.dataRateTable[r.dataRateCount - 1]);
    EXPECT_NEAR(r.framePeriodMs, 4096.0 * 4096.0 / (r.dataRateKB * 1024.0) * 1000.0, 0.1);
    EXPECT_LE(r.framePeriodMs, 500.0);
}

TEST_F(VdigCompression, FrameRateThrottleAndDataRate) {
    open(0x01A8);
    CameraRecord &r = dig->record();
    VideoDigitizerComponent vdig = dig->vdig();
    r.frameRate = 80.0f;
    r.dataRateKB = 24000;
    EXPECT_EQ(VDSetFrameRate(vdig, 15 << 16), noErr);
    EXPECT_EQ(r.throttleDuration, 666u);
    EXPECT_EQ(r.frameIntervalUs, 66600u);
    for (Fixed none : {Fixed(0), Fixed(-1), Fixed(80 << 16), Fixed(120 << 16)}) {
        r.throttleDuration = 1;
        EXPECT_EQ(VDSetFrameRate(vdig, none), noErr);
        EXPECT_EQ(r.throttleDuration, 0u) << none;
    }
    long msPerFrame = 0, bytesPerSecond = 0;
    Fixed fps = 0;
    EXPECT_EQ(VDGetDataRate(vdig, &msPerFrame, &fps, &bytesPerSecond), noErr);
    EXPECT_EQ(msPerFrame, 12);
    EXPECT_EQ(fps, 80 << 16);
    EXPECT_EQ(bytesPerSecond, 24000 * 1024);
    EXPECT_EQ(VDGetDataRate(vdig, nullptr, nullptr, nullptr), noErr);
    TimeScale scale = 0;
    EXPECT_EQ(VDGetPreferredTimeScale(vdig, &scale), noErr);
    EXPECT_EQ(scale, 10000);
}

TEST_F(VdigCompression, SixHundredFortyByFourEightyAtTwentyFourMegabytesIsEightyFramesASecond) {
    open(0x009E); // fastest rate 24000 KB/s
    CameraRecord &r = dig->record();
    ASSERT_EQ(VDSetTimeBase(dig->vdig(), timeBase), noErr);
    setWindow(640, 480);
    ASSERT_EQ(QORASetVideoControlValue(dig->camera(), 0x04A0, 4, 20000), 0);
    ASSERT_EQ(VDSetCompression(dig->vdig(), kRaw, 32, nullptr, 0, 0, 0), noErr);
    EXPECT_EQ(r.dataRateKB, 24000);
    EXPECT_FLOAT_EQ(r.frameRate, 80.0f);
    EXPECT_DOUBLE_EQ(r.framePeriodMs, 12.5);
    uint32_t exposure = 0;
    ASSERT_EQ(QORAGetVideoControlValue(dig->camera(), 0x04A0, 4, &exposure), 0);
    EXPECT_EQ(exposure, 12500u);
}

TEST_F(VdigCompression, TimeCodeBeforeAnyRecordedFrame) {
    open(0x01A8);
    CameraRecord &r = dig->record();
    TimeRecord at{};
    TimeCodeDef def{};
    TimeCodeTime tc{};
    EXPECT_EQ(VDGetTimeCode(dig->vdig(), &at, &def, &tc),
              r.timeCodeSupported ? badCallOrderErr : digiUnimpErr);
    ASSERT_EQ(VDSetTimeBase(dig->vdig(), timeBase), noErr);
    r.timeCodeSupported = 1;
    EXPECT_EQ(VDGetTimeCode(dig->vdig(), nullptr, &def, &tc), qtParamErr);
    std::memset(&at, 0xAA, sizeof at);
    std::memset(&def, 0xAA, sizeof def);
    std::memset(&tc, 0xAA, sizeof tc);
    ASSERT_EQ(VDGetTimeCode(dig->vdig(), &at, &def, &tc), noErr);
    EXPECT_EQ(at.value.hi, 0);
    EXPECT_EQ(at.value.lo, 0u);
    EXPECT_EQ(at.scale, 0);
    EXPECT_EQ(def.numFrames, 0);
    EXPECT_EQ(def.fTimeScale, 0);
    EXPECT_EQ(tc.hours + tc.minutes + tc.seconds + tc.frames, 0);
    r.timeCodeSupported = 0;
    EXPECT_EQ(VDGetTimeCode(dig->vdig(), &at, &def, &tc), digiUnimpErr);
}

} // namespace
