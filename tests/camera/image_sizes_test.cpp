// Window fitting, the image-size table and the selector mapping.
#include "camera/image_sizes.h"
#include "support/sim_camera.h"

#include <qorvanta/camera.h>

#include <gtest/gtest.h>

using namespace qor;

namespace {

class ImageSizes : public test::SimTest {
protected:
    // Fills the record's sensor fields from the camera, as the open does.
    void readProperties(test::OpenCamera &cam) {
        CameraRecord &r = cam.record();
        ASSERT_EQ(QORAGetCameraImageProperties(
                      cam.handle(), &r.maxWidth, &r.maxHeight, &r.widthStep, &r.heightStep,
                      &r.windowLeft, &r.windowTop, &r.imageWidth, &r.imageHeight, &r.subSampleX,
                      &r.subSampleY, &r.sensorType, &r.colorSensor, &r.subsampleSupported),
                  0);
        r.windowResetRequired = cam.sim().model().windowResetRegister ? 1 : 0;
        cam.sim().clearTransferLog();
    }
    const sim::ModelProfile *model(uint16_t width, uint16_t height) {
        for (const auto &m : sim::modelProfiles())
            if (m.sensorWidth == width && m.sensorHeight == height) return &m;
        return nullptr;
    }
};

TEST_F(ImageSizes, TooLargeRequestProgramsTheWholeSensor) {
    const sim::ModelProfile *m = model(2048, 1536);
    ASSERT_NE(m, nullptr);
    test::OpenCamera cam(test::runningCamera(m->productID));
    readProperties(cam);
    uint16_t w = 4000, h = 3000;
    ASSERT_EQ(myVerifyCameraDimensions(cam.handle(), &w, &h, 1), 1);
    EXPECT_EQ(w, 2048);
    EXPECT_EQ(h, 1536);
    auto writes = test::registerWrites(cam.sim().transferLog());
    ASSERT_GE(writes.size(), 4u);
    EXPECT_EQ(writes[0].reg, 0x1008);
    EXPECT_EQ(writes[0].value(), 0u);
    EXPECT_EQ(writes[1].value(), uint32_t(1536) << 16 | 2048);
    EXPECT_EQ(writes[2].value(), 0x00010001u);
    EXPECT_EQ(writes[3].reg, 0x1010);
    EXPECT_EQ(writes[3].value(), cam.record().sensorType);
    // The window reset follows only on cameras that have the register.
    EXPECT_EQ(writes.size(), cam.record().windowResetRequired ? 5u : 4u);
}

TEST_F(ImageSizes, QuotientTiesRoundToEvenAndTheWindowIsCentredOnEvenOffsets) {
    const sim::ModelProfile *m = model(2048, 1536);
    ASSERT_NE(m, nullptr);
    test::OpenCamera cam(test::runningCamera(m->productID));
    readProperties(cam);
    // Steps 16 and 8: 1000/16 = 62.5 -> 62, 700/8 = 87.5 -> 88.
    cam.record().widthStep = 16;
    cam.record().heightStep = 8;
    cam.sim().pokeRegister(0x1004, 8u << 16 | 16u);
    uint16_t w = 1000, h = 700;
    ASSERT_EQ(myVerifyCameraDimensions(cam.handle(), &w, &h, 1), 1);
    EXPECT_EQ(w, 992);
    EXPECT_EQ(h, 704);
    auto writes = test::registerWrites(cam.sim().transferLog());
    // (2048 - 992) / 2 = 528, (1536 - 704) / 2 = 416: both even already.
    EXPECT_EQ(writes[0].value(), uint32_t(416) << 16 | 528);
}

TEST_F(ImageSizes, OddCentreOffsetsAreMadeEven) {
    const sim::ModelProfile *m = model(1392, 1040);
    ASSERT_NE(m, nullptr);
    test::OpenCamera cam(test::runningCamera(m->productID));
    readProperties(cam);
    uint16_t w = 640, h = 480;
    ASSERT_EQ(myVerifyCameraDimensions(cam.handle(), &w, &h, 1), 1);
    auto writes = test::registerWrites(cam.sim().transferLog());
    // (1392 - 640) / 2 = 376 is even; (1040 - 480) / 2 = 280.
    EXPECT_EQ(writes[0].value(), uint32_t(280) << 16 | 376);

    // With steps of 2, a 1382 x 1034 window would start at (5, 3): moved on to (6, 4).
    cam.sim().clearTransferLog();
    cam.record().widthStep = 2;
    cam.record().heightStep = 2;
    cam.sim().pokeRegister(0x1004, 2u << 16 | 2u);
    w = 1382;
    h = 1034;
    ASSERT_EQ(myVerifyCameraDimensions(cam.handle(), &w, &h, 1), 1);
    EXPECT_EQ(test::registerWrites(cam.sim().transferLog())[0].value(), 4u << 16 | 6u);
}

TEST_F(ImageSizes, RefusedWindowReportsZeroAndKeepsTheRequest) {
    const sim::ModelProfile *m = model(2048, 1536);
    ASSERT_NE(m, nullptr);
    test::OpenCamera cam(test::runningCamera(m->productID));
    readProperties(cam);
    cam.sim().failRegister(0x100C, sim::Direction::Write, kIOReturnOverrun);
    uint16_t w = 640, h = 480;
    EXPECT_EQ(myVerifyCameraDimensions(cam.handle(), &w, &h, 1), 0);
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
    EXPECT_EQ(test::registerWrites(cam.sim().transferLog()).size(), 2u);
}

TEST_F(ImageSizes, TableOfTheSensorWithoutSubsampling) {
    const sim::ModelProfile *m = model(1392, 1040);
    ASSERT_NE(m, nullptr);
    ASSERT_FALSE(m->formatSurvivesSubsampling && m->subsampleLevel >= 2 && m->windowResetRegister);
    test::OpenCamera cam(test::runningCamera(m->productID));
    readProperties(cam);
    myFillInWidthHeightSubSampleArray(cam.handle());
    const CameraRecord &r = cam.record();
    const uint16_t widths[] = {1392, 1280, 1024, 800, 640, 320};
    const uint16_t heights[] = {1040, 1024, 768, 600, 480, 240};
    ASSERT_EQ(r.imageSizeCount, 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(r.imageSizeWidths[i], widths[i]) << i;
        EXPECT_EQ(r.imageSizeHeights[i], heights[i]) << i;
        EXPECT_EQ(r.imageSizeSubsampled[i], 0) << i;
    }
}

TEST_F(ImageSizes, SubsampledEntriesFollowTheirFullResolutionTwins) {
    const sim::ModelProfile *m = nullptr;
    for (const auto &p : sim::modelProfiles())
        if (p.formatSurvivesSubsampling && p.subsampleLevel >= 2 && p.windowResetRegister &&
            p.sensorWidth >= 2048)
            m = &p;
    ASSERT_NE(m, nullptr);
    test::OpenCamera cam(test::runningCamera(m->productID));
    readProperties(cam);
    ASSERT_EQ(cam.record().subsampleSupported, 1);
    myFillInWidthHeightSubSampleArray(cam.handle());
    const CameraRecord &r = cam.record();
    ASSERT_GT(r.imageSizeCount, 2);
    EXPECT_LE(r.imageSizeCount, 21);
    EXPECT_EQ(r.imageSizeWidths[0], m->sensorWidth);
    // Each subsampled entry is half the nominal size it was programmed at, and comes right after
    // the full-resolution entry of the same output size when that one exists.
    for (int i = 1; i < r.imageSizeCount; ++i) {
        EXPECT_LT(r.imageSizeWidths[i], m->sensorWidth);
        if (r.imageSizeSubsampled[i]) {
            EXPECT_LT(2 * r.imageSizeWidths[i], m->sensorWidth);
            EXPECT_EQ(r.imageSizeSubsampled[i - 1], 0);
        }
    }

    // Selectors: first entry of the kind that fits, else 0; beyond the table, the last entry.
    uint32_t w = 0, h = 0;
    uint8_t sub = 9;
    QORASelectorToImageSizeSubSample(cam.handle(), 1000, &w, &h, &sub);
    EXPECT_EQ(w, r.imageSizeWidths[r.imageSizeCount - 1]);
    EXPECT_EQ(h, r.imageSizeHeights[r.imageSizeCount - 1]);
    EXPECT_EQ(QORAImageSizeSubSampleToSelector(cam.handle(), 10, 10, 0), 0u);
    uint32_t sel = QORAImageSizeSubSampleToSelector(cam.handle(), 640, 480, 1);
    ASSERT_NE(sel, 0u);
    EXPECT_EQ(r.imageSizeSubsampled[sel], 1);
    EXPECT_LE(r.imageSizeWidths[sel], 640);
    QORASelectorToImageSizeSubSample(cam.handle(), sel, &w, &h, &sub);
    EXPECT_EQ(sub, 1);
}

TEST(ImageSizeSelectors, EmptyTableIsNeverIndexed) {
    CameraHandle camera = newCameraHandle();
    uint32_t w = 9, h = 9;
    uint8_t sub = 9;
    QORASelectorToImageSizeSubSample(camera, 5, &w, &h, &sub);
    EXPECT_EQ(w, 0u);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(sub, 0);
    EXPECT_EQ(QORAImageSizeSubSampleToSelector(camera, 640, 480, 0), 0u);
    QORASelectorToImageSizeSubSample(nullptr, 0, &w, &h, &sub);
    DisposeHandle(camera);
}

} // namespace
