// Data-rate list, rate selection, cooling set-points and the image-property read with its probe.
#include "support/sim_camera.h"

#include <qorvanta/camera.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

using namespace qor;

namespace {

class DataRates : public test::SimTest {};

// A model whose profile lists `count` rates.
const sim::ModelProfile *modelWithRates(size_t count) {
    for (const auto &m : sim::modelProfiles())
        if (m.dataRates.size() == count && m.hasFpga) return &m;
    return nullptr;
}

TEST_F(DataRates, FiveRatesAreReadWithThreeReadsOfTheListPort) {
    const sim::ModelProfile *model = modelWithRates(5);
    ASSERT_NE(model, nullptr);
    test::OpenCamera cam(test::runningCamera(model->productID));
    ASSERT_EQ(QORAGetSupportedKBPSRates(cam.handle()), 0);
    ASSERT_EQ(cam.record().dataRateCount, 5u);
    EXPECT_TRUE(
        std::equal(model->dataRates.begin(), model->dataRates.end(), cam.record().dataRateTable));
    auto reads = test::registerReads(cam.sim().transferLog());
    EXPECT_EQ(reads, (std::vector<uint16_t>{0x1040, 0x104C, 0x1050, 0x1050, 0x1050}));

    // An index beyond the list selects the last rate.
    cam.sim().clearTransferLog();
    ASSERT_EQ(QORASetKBPSRateIndex(cam.handle(), 17), 0);
    auto writes = test::registerWrites(cam.sim().transferLog());
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].reg, 0x1048);
    EXPECT_EQ(writes[0].value(), model->dataRates.back());
}

TEST_F(DataRates, FailedReadLeavesNoTableAndEmptyListSelectsNothing) {
    test::OpenCamera cam(test::runningCamera(0x01A5));
    ASSERT_EQ(QORAGetSupportedKBPSRates(cam.handle()), 0);
    cam.sim().failRegister(0x1050, sim::Direction::Read, kIOUSBPipeStalled);
    EXPECT_EQ(QORAGetSupportedKBPSRates(cam.handle()), kIOUSBPipeStalled);
    EXPECT_EQ(cam.record().dataRateTable, nullptr);
    EXPECT_EQ(cam.record().dataRateCount, 0u);

    cam.sim().clearTransferLog();
    EXPECT_NE(QORASetKBPSRateIndex(cam.handle(), 0), 0);
    EXPECT_TRUE(test::registerWrites(cam.sim().transferLog()).empty());

    cam.sim().pokeRegister(0x104C, 0);
    EXPECT_EQ(QORAGetSupportedKBPSRates(cam.handle()), -1);
    EXPECT_EQ(cam.record().dataRateTable, nullptr);
}

class Cooling : public test::SimTest {
protected:
    const sim::ModelProfile *cooledModel() {
        for (const auto &m : sim::modelProfiles())
            if (m.cooled && m.fan && m.coolerLowMilliKelvin == 253000 &&
                m.coolerHighMilliKelvin == 303000)
                return &m;
        return nullptr;
    }
    uint32_t setPointWritten(const std::vector<sim::Transfer> &log) {
        for (const auto &w : test::registerWrites(log))
            if (w.reg == 0x0694) return w.value();
        return 0;
    }
};

TEST_F(Cooling, SetPointInsideTheRangeIsKeptOutsideFallsToTheLowest) {
    const sim::ModelProfile *model = cooledModel();
    ASSERT_NE(model, nullptr);
    test::OpenCamera cam(test::runningCamera(model->productID));
    cam.record().coolingSupported = 1;
    cam.record().fanSupported = 1;

    QORASetCameraCooling(cam.handle(), 1, -15.0);
    EXPECT_EQ(setPointWritten(cam.sim().transferLog()), 258000u);
    EXPECT_TRUE(cam.sim().peekRegister(0x0690) & 0x8000);
    EXPECT_TRUE(cam.sim().peekRegister(0x0730) & 0x8000);
    EXPECT_EQ(cam.record().coolingOn, 1);

    cam.sim().clearTransferLog();
    QORASetCameraCooling(cam.handle(), 1, 40.0);
    EXPECT_EQ(setPointWritten(cam.sim().transferLog()), 253000u);
}

TEST_F(Cooling, OffStillProgramsTheSetPointThenStopsTheFan) {
    const sim::ModelProfile *model = cooledModel();
    ASSERT_NE(model, nullptr);
    test::OpenCamera cam(test::runningCamera(model->productID));
    cam.record().coolingSupported = 1;
    cam.record().fanSupported = 1;
    QORASetCameraCooling(cam.handle(), 1, -10.0);
    cam.sim().clearTransferLog();

    QORASetCameraCooling(cam.handle(), 0, 0.0);
    auto writes = test::registerWrites(cam.sim().transferLog());
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].reg, 0x0690);
    EXPECT_FALSE(writes[0].value() & 0x8000);
    EXPECT_EQ(writes[1].reg, 0x0694);
    EXPECT_EQ(writes[1].value(), 273000u);
    EXPECT_EQ(writes[2].reg, 0x0730);
    EXPECT_FALSE(writes[2].value() & 0x8000);
}

TEST_F(Cooling, FanFollowsEvenWhenTheCoolerCannotBeReached) {
    const sim::ModelProfile *model = cooledModel();
    ASSERT_NE(model, nullptr);
    test::OpenCamera cam(test::runningCamera(model->productID));
    cam.record().coolingSupported = 1;
    cam.record().fanSupported = 1;
    cam.sim().failRegister(0x0690, sim::Direction::Read, kIOUSBPipeStalled);
    QORASetCameraCooling(cam.handle(), 1, -15.0);
    auto writes = test::registerWrites(cam.sim().transferLog());
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].reg, 0x0730);
    EXPECT_TRUE(writes[0].value() & 0x8000);
}

TEST_F(Cooling, UncooledCameraIsLeftAlone) {
    test::OpenCamera cam(test::runningCamera(0x01A5));
    cam.record().coolingSupported = 0;
    QORASetCameraCooling(cam.handle(), 1, -15.0);
    EXPECT_TRUE(test::controlTransfers(cam.sim().transferLog()).empty());
    EXPECT_EQ(cam.record().coolingOn, 0);
    QORASetCameraCooling(nullptr, 1, -15.0);
}

class ImageProperties : public test::SimTest {
protected:
    struct Props {
        uint16_t maxW, maxH, stepW, stepH, left, top, w, h, subX, subY;
        uint32_t format;
        uint8_t color, subsample;
    };
    int32_t read(test::OpenCamera &cam, Props &p) {
        return QORAGetCameraImageProperties(cam.handle(), &p.maxW, &p.maxH, &p.stepW, &p.stepH,
                                            &p.left, &p.top, &p.w, &p.h, &p.subX, &p.subY,
                                            &p.format, &p.color, &p.subsample);
    }
};

TEST_F(ImageProperties, ReadsTheSensorAndProbesSubsampling) {
    for (const auto &model : sim::modelProfiles()) {
        SCOPED_TRACE(model.productName);
        test::OpenCamera cam(test::runningCamera(model.productID));
        Props p{};
        ASSERT_EQ(read(cam, p), 0);
        EXPECT_EQ(p.maxW, model.sensorWidth);
        EXPECT_EQ(p.maxH, model.sensorHeight);
        EXPECT_EQ(p.stepW, model.widthStep);
        EXPECT_EQ(p.stepH, model.heightStep);
        EXPECT_EQ(p.color, model.sensorCode >= 8 ? 1 : 0);
        bool probed = model.subsampleLevel >= 2 && model.windowResetRegister;
        EXPECT_EQ(p.subsample, probed && model.formatSurvivesSubsampling ? 1 : 0);
        auto writes = test::registerWrites(cam.sim().transferLog());
        if (!probed) {
            EXPECT_TRUE(writes.empty());
        } else {
            ASSERT_EQ(writes.size(), 3u);
            EXPECT_EQ(writes[0].reg, 0x1010);
            EXPECT_EQ(writes[1].reg, 0x1018);
            EXPECT_EQ(writes[1].value(), 0x00020002u);
            // The subsampling found at the start is put back.
            EXPECT_EQ(writes[2].reg, 0x1018);
            EXPECT_EQ(writes[2].value(), uint32_t(p.subY) << 16 | p.subX);
        }
    }
}

TEST_F(ImageProperties, UnknownSensorCodeIsRefused) {
    test::OpenCamera cam(test::runningCamera(0x01A5));
    cam.sim().pokeRegister(0x1014, 7);
    Props p{};
    EXPECT_EQ(read(cam, p), badDepthErr);
}

TEST_F(ImageProperties, WriteProgramsTheGroupInOrderAndStopsAtTheFirstFailure) {
    test::OpenCamera cam(test::runningCamera(0x01A5));
    const auto &m = cam.sim().model();
    uint16_t w = uint16_t(m.widthStep * 8), h = uint16_t(m.heightStep * 8);
    ASSERT_EQ(QORASetCameraImageProperties(cam.handle(), 0, 0, w, h, 1, 1,
                                           cam.sim().peekRegister(0x1010)),
              0);
    auto writes = test::registerWrites(cam.sim().transferLog());
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0].reg, 0x1008);
    EXPECT_EQ(writes[1].reg, 0x100C);
    EXPECT_EQ(writes[1].value(), uint32_t(h) << 16 | w);
    EXPECT_EQ(writes[2].reg, 0x1018);
    EXPECT_EQ(writes[3].reg, 0x1010);

    cam.sim().clearTransferLog();
    cam.sim().failRegister(0x100C, sim::Direction::Write, kIOReturnOverrun);
    EXPECT_EQ(QORASetCameraImageProperties(cam.handle(), 0, 0, w, h, 1, 1, 8), kIOReturnOverrun);
    EXPECT_EQ(test::registerWrites(cam.sim().transferLog()).size(), 2u);
}

} // namespace
