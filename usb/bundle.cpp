#include "usb/bundle.h"

#include "platform/resources.h"

namespace qor::usb {

std::string bundleResourcesDirectory() {
    return platform::bundleResourcePath("");
}

} // namespace qor::usb
