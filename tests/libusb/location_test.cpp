// Location ids from a device's bus and port path.
#include "libusb/location.h"

#include <gtest/gtest.h>

#include <vector>

namespace qor::libusb {
namespace {

TEST(LibusbLocation, PacksTheBusThenOneBytePerPortFromTheRootHub) {
    const std::vector<uint8_t> direct = {1}, behindHub = {1, 4}, twoHubs = {2, 3, 7};
    EXPECT_EQ(locationID(3, direct), 0x03010000u);
    EXPECT_EQ(locationID(3, behindHub), 0x03010400u);
    EXPECT_EQ(locationID(0x14, twoHubs), 0x14020307u);
    EXPECT_EQ(locationID(0xFF, std::vector<uint8_t>{0xFE}), 0xFFFE0000u);
}

TEST(LibusbLocation, PortsSetApartDevicesOnOneBusAndBusesOnePort) {
    const std::vector<uint8_t> a = {1, 2}, b = {2, 1}, c = {1}, d = {1, 2, 3};
    EXPECT_NE(locationID(1, a), locationID(1, b));
    EXPECT_NE(locationID(1, a), locationID(1, c));
    EXPECT_NE(locationID(1, a), locationID(1, d));
    EXPECT_NE(locationID(1, a), locationID(2, a));
}

TEST(LibusbLocation, KeepsTheFirstThreeLevelsOfADeeperPath) {
    const std::vector<uint8_t> deep = {1, 2, 3, 4, 5};
    EXPECT_EQ(locationID(2, deep), 0x02010203u);
}

TEST(LibusbLocation, PortPathReadsAsTheKernelWritesIt) {
    EXPECT_EQ(portPath(std::vector<uint8_t>{1, 4}), "1.4");
    EXPECT_EQ(portPath(std::vector<uint8_t>{12}), "12");
    EXPECT_EQ(portPath(std::vector<uint8_t>{}), "");
}

} // namespace
} // namespace qor::libusb
