// The model table: the properties the driver relies on hold for every profile, and the family
// covers the variants it has to handle.
#include "sim_test_support.h"

#include "sim/registers.h"
#include "usb/vendor_ids.h"

#include <algorithm>
#include <set>

namespace qor::sim::test {
namespace {

TEST(SimModels, TableListsTheDriversProductIdsInOrder) {
    const uint16_t ids[] = {0x00A1, 0x04A2, 0x00A3, 0x01AC, 0x01A2, 0x01A7, 0x01A4,
                            0x01A5, 0x01A8, 0x03AD, 0x008C, 0x018C, 0x0085, 0x0092,
                            0x0096, 0x019A, 0x018A, 0x009E, 0x0097, 0x0180, 0x008D,
                            0x01CD, 0x019B, 0x008B, 0x01C5, 0x01C8, 0x009A, 0x01AF};
    const auto models = modelProfiles();
    ASSERT_EQ(models.size(), std::size(ids));
    for (size_t i = 0; i < models.size(); ++i) {
        EXPECT_EQ(models[i].productID, ids[i]);
        EXPECT_EQ(models[i].vendorID, cameraVendorFor(ids[i]));
        EXPECT_EQ(findModel(ids[i] | 0x8000), &models[i]);
    }
    EXPECT_EQ(findModel(0x0001), nullptr);
}

TEST(SimModels, EveryProfileIsUsableByTheDriver) {
    for (const ModelProfile &m : modelProfiles()) {
        SCOPED_TRACE(testing::Message() << std::hex << m.productID);
        EXPECT_GE(formatClassOf(m.sensorCode), 0);
        EXPECT_EQ(m.sensorWidth % m.widthStep, 0);
        EXPECT_EQ(m.sensorHeight % m.heightStep, 0);
        EXPECT_GE(m.sensorWidth, 640);
        EXPECT_GE(m.sensorHeight, 480);
        EXPECT_GE(m.dataRates.size(), 1u);
        EXPECT_LE(m.dataRates.size(), 8u);
        EXPECT_TRUE(std::find(m.releases.begin(), m.releases.end(), m.defaultRelease) !=
                    m.releases.end());
        for (const ControlLimits *c : {&m.control0400, &m.exposure, &m.gain}) {
            EXPECT_TRUE(c->present);
            EXPECT_LE(c->minimum, c->initial);
            EXPECT_LE(c->initial, c->maximum);
        }
        const bool colour = formatClassOf(m.sensorCode) > 0;
        for (const ControlLimits *c : {&m.redGain, &m.green1Gain, &m.green2Gain, &m.blueGain})
            EXPECT_EQ(c->present, colour);
        if (m.cooled) {
            EXPECT_LT(m.coolerLowMilliKelvin, m.coolerHighMilliKelvin);
            EXPECT_LE(m.coolerLowMilliKelvin, 273000u)
                << "0 C, the set-point at close, is in reach";
            EXPECT_GE(m.coolerHighMilliKelvin, 273000u);
        }
        EXPECT_TRUE(!m.fan || m.cooled);
        EXPECT_EQ(m.hasFpga, m.productID != 0x03AD);
        EXPECT_EQ(m.sensorInitialisation, m.productID == 0x009A);
    }
}

TEST(SimModels, ReleasesFollowTheFirmwareFiles) {
    const std::pair<uint16_t, std::vector<uint16_t>> expected[] = {
        {0x01A2, {0, 0x10}}, {0x01A7, {0, 0x10}},
        {0x01A5, {0, 1, 2}}, {0x01A8, {0, 1, 2, 3, 4, 5}},
        {0x0092, {0, 1}},    {0x0096, {0, 1, 2, 3}},
        {0x009A, {0, 1}},    {0x018A, {0, 1}},
        {0x0097, {0, 1, 2}}, {0x01C8, {0, 1, 2, 3, 4, 5}},
    };
    for (const auto &[id, releases] : expected) EXPECT_EQ(findModel(id)->releases, releases);
    EXPECT_EQ(findModel(0x00A1)->releases, std::vector<uint16_t>{0});
}

TEST(SimModels, FamilyCoversTheVariantsTheDriverHandles) {
    std::set<int> codes;
    bool exact640 = false, wide1392 = false, large = false, fiveRates = false;
    int cooled = 0, uncooled = 0, tone = 0, noTone = 0, survives = 0, changes = 0, fans = 0;
    for (const ModelProfile &m : modelProfiles()) {
        codes.insert(m.sensorCode);
        exact640 |= m.sensorWidth == 640 && m.sensorHeight == 480;
        wide1392 |= m.sensorWidth == 1392 && m.sensorHeight == 1040 && m.subsampleLevel < 2;
        large |= m.sensorWidth > 3840 && m.sensorHeight > 3072;
        fiveRates |= m.dataRates.size() == 5;
        (m.cooled ? cooled : uncooled)++;
        fans += m.fan;
        (m.toneCurve ? tone : noTone)++;
        if (m.subsampleLevel >= 2 && m.windowResetRegister && formatClassOf(m.sensorCode) > 0)
            (m.formatSurvivesSubsampling ? survives : changes)++;
    }
    for (int code : {0, 5, 6, 8, 9, 10, 11, 12, 13, 14, 15, 24, 25, 26, 27})
        EXPECT_TRUE(codes.count(code)) << "sensor code " << code;
    EXPECT_TRUE(exact640);
    EXPECT_TRUE(wide1392);
    EXPECT_TRUE(large);
    EXPECT_TRUE(fiveRates);
    EXPECT_GT(cooled, 0);
    EXPECT_GT(uncooled, 0);
    EXPECT_GT(fans, 0);
    EXPECT_LT(fans, cooled) << "one cooled model without a fan";
    EXPECT_GT(tone, 0);
    EXPECT_GT(noTone, 0);
    EXPECT_GT(survives, 0);
    EXPECT_GT(changes, 0);
}

} // namespace
} // namespace qor::sim::test
