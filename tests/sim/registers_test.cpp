// The register map of the simulated camera as the driver reaches it over request 0x12.
#include "sim_test_support.h"

namespace qor::sim::test {
namespace {

using SimRegisters = SimFixture;

TEST_F(SimRegisters, ValuesTravelLittleEndianAsTwoHalves) {
    auto device = openRunning(0x01A5);
    uint8_t bytes[4] = {};
    uint32_t moved = 0;
    ASSERT_EQ(device->controlTransfer({0xC0, 0x12, 0, 0x1000, 4}, bytes, kTimeouts, moved), 0);
    EXPECT_EQ(moved, 4u);
    // 1392 x 1040: first half the width, second the height, each least significant byte first.
    const uint8_t expected[4] = {0x70, 0x05, 0x10, 0x04};
    EXPECT_TRUE(std::equal(bytes, bytes + 4, expected));
    ASSERT_EQ(writeTwo(*device, 0x1008, 96, 32), 0);
    EXPECT_EQ(readRegister(*device, 0x1008), (32u << 16) | 96u);
}

TEST_F(SimRegisters, RegisterRequestsOfAnyOtherShapeStallAndChangeNothing) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x01A5, &camera);
    const uint32_t before = camera->peekRegister(0x1008);
    // A register request carries no value and exactly one 4-byte register.
    const usb::SetupPacket refused[] = {
        {0xC0, 0x12, 1, 0x1000, 4}, {0xC0, 0x12, 0x8000, 0x1000, 4},
        {0xC0, 0x12, 0, 0x1000, 2}, {0xC0, 0x12, 0, 0x1000, 8},
        {0x40, 0x12, 1, 0x1008, 4}, {0x40, 0x12, 0x0100, 0x1008, 4},
        {0x40, 0x12, 0, 0x1008, 2}, {0x40, 0x12, 0, 0x1008, 8},
    };
    for (const usb::SetupPacket &setup : refused) {
        uint8_t bytes[8] = {0x20, 0, 0x10, 0};
        uint32_t moved = 99;
        EXPECT_EQ(device->controlTransfer(setup, bytes, kTimeouts, moved), kIOUSBPipeStalled)
            << "request 0x" << std::hex << int(setup.bRequest) << " wValue 0x" << setup.wValue
            << " wLength " << std::dec << setup.wLength;
        EXPECT_EQ(moved, 0u);
    }
    EXPECT_EQ(camera->peekRegister(0x1008), before);
    EXPECT_EQ(readRegister(*device, 0x1008), before) << "the well-formed request still works";
}

TEST_F(SimRegisters, SensorPropertiesMatchTheModel) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x0096, &camera);
    const ModelProfile &m = camera->model();
    EXPECT_EQ(readRegister(*device, 0x1004), uint32_t(m.heightStep) << 16 | m.widthStep);
    EXPECT_EQ(readRegister(*device, 0x1014), 24u);
    EXPECT_EQ(readRegister(*device, 0x1010), 8u) << "sensor code 24 is the RGGB format";
    EXPECT_EQ(readRegister(*device, 0x101C) & 0xFF, 2u);
    EXPECT_EQ(readRegister(*device, 0x0010) & 1, 1u);
    EXPECT_EQ(readRegister(*device, 0x4FF8) & 1, 1u);
    EXPECT_EQ(readRegister(*device, 0x000C), 0x02020000u);
}

TEST_F(SimRegisters, VideoControlBlocksDescribeAndClampTheirValue) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x00A3, &camera);
    const ControlLimits &gain = camera->model().gain;
    const uint32_t status = readRegister(*device, 0x04F0);
    EXPECT_TRUE(status & 0x80000000u);
    EXPECT_TRUE(status & 0x40000000u);
    EXPECT_FALSE(status & 0x4000u);
    EXPECT_EQ(readRegister(*device, 0x04F8), gain.minimum);
    EXPECT_EQ(readRegister(*device, 0x04FC), gain.maximum);
    EXPECT_EQ(readRegister(*device, 0x04F4), gain.initial);

    ASSERT_EQ(writeRegister(*device, 0x04F4, gain.maximum + 1000), 0);
    EXPECT_EQ(readRegister(*device, 0x04F4), gain.maximum);
    ASSERT_EQ(writeRegister(*device, 0x04F4, 0), 0);
    EXPECT_EQ(readRegister(*device, 0x04F4), gain.minimum);
    EXPECT_EQ(writeRegister(*device, 0x04FC, 5), kIOUSBPipeStalled) << "limits are read-only";

    ASSERT_EQ(writeRegister(*device, 0x04F0, status | 0x4000), 0);
    EXPECT_EQ(readRegister(*device, 0x04F0), status | 0x4000);
    ASSERT_EQ(writeRegister(*device, 0x04F0, 0), 0);
    EXPECT_EQ(readRegister(*device, 0x04F0), status) << "only the automatic flag is written";
}

TEST_F(SimRegisters, BlocksFollowTheirStatusAndLimitsAsHeld) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x01A5, &camera);
    camera->pokeRegister(0x04A0, 0xC0000000u); // automatic mode now offered
    ASSERT_EQ(writeRegister(*device, 0x04A0, 0x4000), 0);
    EXPECT_EQ(readRegister(*device, 0x04A0), 0xC0004000u);
    camera->pokeRegister(0x04AC, 50000);
    ASSERT_EQ(writeRegister(*device, 0x04A4, 60000), 0);
    EXPECT_EQ(readRegister(*device, 0x04A4), 50000u);
    camera->pokeRegister(0x04A0, 0);
    EXPECT_EQ(writeRegister(*device, 0x04A4, 1000), kIOUSBPipeStalled) << "control absent";
}

// The frame period in microseconds of a window of width x height bytes at a data rate in KB/s.
uint32_t framePeriodUs(uint32_t width, uint32_t height, uint32_t rateKB) {
    return uint32_t(uint64_t(width) * height * 1'000'000 / (uint64_t(rateKB) * 1024));
}

TEST_F(SimRegisters, ExposureMaximumIsTheFramePeriodOfWindowAndDataRate) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x00A1, &camera); // 1280 x 1024, rates 12000 to 36000 KB/s
    const ModelProfile &m = camera->model();
    const uint32_t fastest = m.dataRates.back(), slowest = m.dataRates.front();
    const uint32_t full = framePeriodUs(m.sensorWidth, m.sensorHeight, fastest);
    EXPECT_NEAR(readRegister(*device, 0x04AC), full, 1);
    ASSERT_EQ(writeRegister(*device, 0x1048, slowest), 0);
    const uint32_t slow = framePeriodUs(m.sensorWidth, m.sensorHeight, slowest);
    EXPECT_NEAR(readRegister(*device, 0x04AC), slow, 1);
    ASSERT_EQ(writeTwo(*device, 0x100C, 640, 512), 0);
    ASSERT_EQ(writeTwo(*device, 0x1018, 2, 2), 0);
    const uint32_t small = framePeriodUs(320, 256, slowest);
    EXPECT_NEAR(readRegister(*device, 0x04AC), small, 1);

    // A longer exposure is held to the frame period; a shorter one is taken as it is.
    ASSERT_EQ(writeRegister(*device, 0x04A4, slow), 0);
    EXPECT_EQ(readRegister(*device, 0x04A4), readRegister(*device, 0x04AC));
    ASSERT_EQ(writeRegister(*device, 0x04A4, small / 2), 0);
    EXPECT_EQ(readRegister(*device, 0x04A4), small / 2);

    // The exposure counter's own limit still bounds it, and the minimum stands.
    camera->pokeRegister(0x04AC, small / 4);
    EXPECT_EQ(readRegister(*device, 0x04AC), small / 4);
    camera->pokeRegister(0x04AC, 0);
    EXPECT_EQ(readRegister(*device, 0x04AC), m.exposure.minimum);
}

TEST_F(SimRegisters, AutomaticFlagStaysOffWhereNotOffered) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x01A5, &camera); // cooled: long exposures, no automatic mode
    const uint32_t status = readRegister(*device, 0x04A0);
    EXPECT_TRUE(status & 0x80000000u);
    EXPECT_FALSE(status & 0x40000000u);
    ASSERT_EQ(writeRegister(*device, 0x04A0, 0xFFFFFFFF), 0);
    EXPECT_EQ(readRegister(*device, 0x04A0), status);
}

TEST_F(SimRegisters, MonochromeCameraHasNoColourGains) {
    auto device = openRunning(0x01A7);
    for (uint16_t base : {0x0500, 0x0510, 0x0520, 0x0530}) {
        EXPECT_EQ(readRegister(*device, base), 0u) << std::hex << base;
        EXPECT_EQ(writeRegister(*device, base + 4, 64), kIOUSBPipeStalled);
    }
    EXPECT_TRUE(readRegister(*device, 0x04A0) & 0x80000000u);
}

TEST_F(SimRegisters, RateListPortReturnsTwoRatesPerReadAndRewinds) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x00A3, &camera);
    const std::vector<uint16_t> &rates = camera->model().dataRates;
    ASSERT_EQ(rates.size(), 5u);
    for (int pass = 0; pass < 2; ++pass) {
        readRegister(*device, 0x1040);
        ASSERT_EQ(readRegister(*device, 0x104C), 5u);
        std::vector<uint16_t> read;
        for (int i = 0; i < 3; ++i) {
            const uint32_t word = readRegister(*device, 0x1050);
            read.push_back(uint16_t(word));
            read.push_back(uint16_t(word >> 16));
        }
        EXPECT_EQ(read[5], 0) << "nothing after the last rate";
        read.pop_back();
        EXPECT_EQ(read, rates) << "pass " << pass;
    }
}

TEST_F(SimRegisters, DataRateStartsAtTheFastestAndTakesAnyNonZeroRate) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x00A3, &camera);
    EXPECT_EQ(readRegister(*device, 0x1048), camera->model().dataRates.back());
    EXPECT_EQ(writeRegister(*device, 0x1048, camera->model().dataRates[1]), 0);
    EXPECT_EQ(camera->peekRegister(0x1048), camera->model().dataRates[1]);
    EXPECT_EQ(writeRegister(*device, 0x1048, 0), kIOUSBPipeStalled);
    EXPECT_EQ(camera->peekRegister(0x1048), camera->model().dataRates[1]);
}

TEST_F(SimRegisters, RateCountAsHeldLimitsTheList) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x00A3, &camera);
    camera->pokeRegister(0x104C, 1);
    readRegister(*device, 0x1040);
    EXPECT_EQ(readRegister(*device, 0x104C), 1u);
    EXPECT_EQ(readRegister(*device, 0x1050), uint32_t(camera->model().dataRates[0]));
}

TEST_F(SimRegisters, WindowWritesAreCheckedAgainstSensorAndSteps) {
    auto device = openRunning(0x01A5); // 1392 x 1040, steps 16 x 8
    EXPECT_EQ(writeTwo(*device, 0x100C, 640, 480), 0);
    EXPECT_EQ(writeTwo(*device, 0x100C, 1392, 1040), 0) << "the full sensor is always allowed";
    EXPECT_EQ(writeTwo(*device, 0x100C, 650, 480), kIOUSBPipeStalled);
    EXPECT_EQ(writeTwo(*device, 0x100C, 640, 484), kIOUSBPipeStalled);
    EXPECT_EQ(writeTwo(*device, 0x100C, 1408, 1040), kIOUSBPipeStalled);
    EXPECT_EQ(writeTwo(*device, 0x100C, 0, 480), kIOUSBPipeStalled);
    EXPECT_EQ(writeTwo(*device, 0x1008, 376, 280), 0);
    EXPECT_EQ(writeTwo(*device, 0x1008, 1392, 0), kIOUSBPipeStalled);
    EXPECT_EQ(readRegister(*device, 0x100C), (1040u << 16) | 1392u)
        << "stalled writes change nothing";
    EXPECT_EQ(readRegister(*device, 0x1008), (280u << 16) | 376u);
}

TEST_F(SimRegisters, SubsamplingIsOneOrTwo) {
    auto device = openRunning(0x04A2);
    EXPECT_EQ(writeTwo(*device, 0x1018, 2, 2), 0);
    EXPECT_EQ(writeTwo(*device, 0x1018, 3, 3), kIOUSBPipeStalled);
    EXPECT_EQ(writeTwo(*device, 0x1018, 0, 1), kIOUSBPipeStalled);
    EXPECT_EQ(readRegister(*device, 0x1018), 0x00020002u);
}

TEST_F(SimRegisters, FormatProbeSeesWhetherTheFormatSurvivesSubsampling) {
    struct Case {
        uint16_t productID;
        uint32_t format;
        bool survives;
    };
    for (const Case c : {Case{0x04A2, 8, true}, Case{0x00A3, 9, false}, Case{0x01C5, 10, false},
                         Case{0x01CD, 9, true}}) {
        SCOPED_TRACE(testing::Message() << std::hex << c.productID);
        auto device = openRunning(c.productID);
        ASSERT_EQ(readRegister(*device, 0x0010) & 1, 1u);
        ASSERT_GE(readRegister(*device, 0x101C) & 0xFF, 2u);
        ASSERT_EQ(writeRegister(*device, 0x1010, c.format), 0);
        ASSERT_EQ(writeTwo(*device, 0x1018, 2, 2), 0);
        EXPECT_EQ(readRegister(*device, 0x1010) == c.format, c.survives);
        ASSERT_EQ(writeTwo(*device, 0x1018, 1, 1), 0);
        EXPECT_EQ(readRegister(*device, 0x1010), c.format) << "back at full resolution";
        detachAllCameras();
    }
}

TEST_F(SimRegisters, FormatCodeMustBeTheSensorsOwn) {
    auto device = openRunning(0x01A2); // sensor code 11: format 11
    EXPECT_EQ(writeRegister(*device, 0x1010, 11), 0);
    EXPECT_EQ(writeRegister(*device, 0x1010, 8), kIOUSBPipeStalled);
    EXPECT_EQ(writeRegister(*device, 0x1010, 3), kIOUSBPipeStalled);
}

TEST_F(SimRegisters, WindowResetRegisterExistsOnlyWhereAdvertised) {
    auto withReset = openRunning(0x04A2);
    EXPECT_EQ(writeRegister(*withReset, 0x1060, 0), 0);
    auto without = openRunning(0x0092);
    EXPECT_EQ(readRegister(*without, 0x0010) & 1, 0u);
    EXPECT_EQ(writeRegister(*without, 0x1060, 0), kIOUSBPipeStalled);
}

TEST_F(SimRegisters, UnknownRegistersAndWrongDirectionsStall) {
    auto device = openRunning(0x04A2);
    uint32_t value;
    EXPECT_EQ(readRegister(*device, 0x2000, value), kIOUSBPipeStalled);
    EXPECT_EQ(writeRegister(*device, 0x2000, 1), kIOUSBPipeStalled);
    EXPECT_EQ(readRegister(*device, 0x0402, value), kIOUSBPipeStalled) << "inside a block";
    EXPECT_EQ(writeRegister(*device, 0x1000, 0), kIOUSBPipeStalled) << "sensor size";
    EXPECT_EQ(writeRegister(*device, 0x1014, 0), kIOUSBPipeStalled);
    EXPECT_EQ(readRegister(*device, 0x1060, value), kIOUSBPipeStalled) << "write-only";
    EXPECT_EQ(writeRegister(*device, 0x0214, 0x40), kIOUSBPipeStalled);
}

TEST_F(SimRegisters, CoolerFollowsItsSwitchAndTheTemperatureMovesTowardTheSetPoint) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x01A8, &camera);
    uint32_t cooler = readRegister(*device, 0x0690);
    EXPECT_TRUE(cooler & 0x80000000u);
    EXPECT_FALSE(cooler & 0x00800000u);
    EXPECT_EQ(readRegister(*device, 0x0698), 253000u);
    EXPECT_EQ(readRegister(*device, 0x069C), 303000u);
    const uint32_t ambient = camera->sensorTemperatureMilliKelvin();

    ASSERT_EQ(writeRegister(*device, 0x0690, cooler | 0x8000), 0);
    ASSERT_EQ(writeRegister(*device, 0x0694, 258000), 0);
    cooler = readRegister(*device, 0x0690);
    EXPECT_TRUE(cooler & 0x00800000u) << "on-state reflects the switch";
    uint32_t previous = ambient;
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(50ms);
        const uint32_t now = camera->sensorTemperatureMilliKelvin();
        EXPECT_LT(now, previous);
        EXPECT_GT(now, 258000u);
        previous = now;
    }
    const uint32_t halfway = (ambient + 258000) / 2;
    for (int i = 0; i < 500 && camera->sensorTemperatureMilliKelvin() > halfway; ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_LE(camera->sensorTemperatureMilliKelvin(), halfway);
    EXPECT_GT(camera->sensorTemperatureMilliKelvin(), 258000u) << "never past the set-point";

    ASSERT_EQ(writeRegister(*device, 0x0690, cooler & ~0x8000u), 0);
    EXPECT_FALSE(readRegister(*device, 0x0690) & 0x00800000u);
    const uint32_t cold = camera->sensorTemperatureMilliKelvin();
    std::this_thread::sleep_for(50ms);
    EXPECT_GT(camera->sensorTemperatureMilliKelvin(), cold) << "warming back toward ambient";
}

TEST_F(SimRegisters, SetPointIsHeldWithinTheCoolersLimits) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x01A8, &camera);
    ASSERT_EQ(writeRegister(*device, 0x0694, 200000), 0);
    EXPECT_EQ(camera->peekRegister(0x0694), 253000u);
}

TEST_F(SimRegisters, UncooledCameraReportsNoCoolerOrFan) {
    auto device = openRunning(0x04A2);
    EXPECT_EQ(readRegister(*device, 0x0690), 0u);
    EXPECT_EQ(readRegister(*device, 0x0730), 0u);
    EXPECT_EQ(writeRegister(*device, 0x0694, 258000), kIOUSBPipeStalled);
}

TEST_F(SimRegisters, FanSwitches) {
    auto device = openRunning(0x01A5);
    const uint32_t fan = readRegister(*device, 0x0730);
    EXPECT_EQ(fan, 0x80000000u);
    ASSERT_EQ(writeRegister(*device, 0x0730, fan | 0x8000), 0);
    EXPECT_EQ(readRegister(*device, 0x0730), 0x80008000u);
    auto noFan = openRunning(0x0180); // cooled, without a fan
    EXPECT_TRUE(readRegister(*noFan, 0x0690) & 0x80000000u);
    EXPECT_EQ(readRegister(*noFan, 0x0730), 0u);
}

TEST_F(SimRegisters, ToneCurveTableAndNeutralWord) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x04A2, &camera);
    std::vector<uint8_t> table(256);
    for (int i = 0; i < 256; ++i) table[i] = uint8_t(255 - i);
    uint32_t moved = 0;
    ASSERT_EQ(writeRegister(*device, 0x4FFC, 0), 0);
    ASSERT_EQ(device->controlTransfer({0x40, 0x12, 0, 0x5000, 256}, table.data(), kTimeouts, moved),
              0);
    EXPECT_EQ(camera->toneCurve(), table);
    EXPECT_EQ(writeRegister(*device, 0x5000, 0x01), kIOUSBPipeStalled);
    ASSERT_EQ(writeRegister(*device, 0x5000, 0), 0);
    EXPECT_TRUE(camera->toneCurve().empty());
    EXPECT_EQ(device->controlTransfer({0x40, 0x12, 0, 0x5000, 128}, table.data(), kTimeouts, moved),
              kIOUSBPipeStalled);

    auto without = openRunning(0x00A3);
    EXPECT_EQ(readRegister(*without, 0x4FF8) & 1, 0u);
    EXPECT_EQ(
        without->controlTransfer({0x40, 0x12, 0, 0x5000, 256}, table.data(), kTimeouts, moved),
        kIOUSBPipeStalled);
}

TEST_F(SimRegisters, PeekAndPokeBypassTheWire) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x04A2, &camera);
    camera->clearTransferLog();
    camera->pokeRegister(0x04A4, 123456);
    EXPECT_EQ(camera->peekRegister(0x04A4), 123456u);
    EXPECT_TRUE(camera->transferLog().empty());
    EXPECT_EQ(readRegister(*device, 0x04A4), 123456u);
}

} // namespace
} // namespace qor::sim::test
