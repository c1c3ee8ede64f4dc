// Where the bundle's Firmware/ and FPGA/ directories are: the installed component's Resources
// directory, or the directory QORVANTA_BUNDLE names (the repository's resources/ for tests and
// the demo).
#pragma once

#include <string>

namespace qor::usb {

// The resources directory, ending in '/'.
std::string bundleResourcesDirectory();

} // namespace qor::usb
