#include "usb/bundle.h"

#include "platform/resources.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace qor::usb {

namespace {

constexpr size_t kSimulatorFirmwareMarkAddress = 0x3F00;
constexpr std::array<uint8_t, 4> kSimulatorFirmwareMark = {'Q', 'V', 'F', 'W'};
constexpr std::array<uint8_t, 4> kSimulatorBitstreamMark = {'Q', 'V', 'B', 'S'};

bool marked(std::span<const uint8_t> bytes, size_t offset, std::span<const uint8_t> mark) {
    return bytes.size() >= offset + mark.size() &&
           std::equal(mark.begin(), mark.end(), bytes.begin() + std::ptrdiff_t(offset));
}

} // namespace

std::string firmwareDirectory(bool simulated) {
    const char *bundle = std::getenv("QORVANTA_BUNDLE");
    const std::string installed = platform::installedDataDirectory();
    if (!simulated) return platform::chooseResourcesDirectory(bundle, installed, installed);
    return platform::chooseResourcesDirectory(bundle, installed + "simulator/",
                                              platform::sourceResourcesDirectory());
}

bool isSimulatorFirmware(std::span<const uint8_t> ram) {
    return marked(ram, kSimulatorFirmwareMarkAddress, kSimulatorFirmwareMark);
}

bool isSimulatorBitstream(std::span<const uint8_t> bits) {
    return marked(bits, 0, kSimulatorBitstreamMark);
}

} // namespace qor::usb
