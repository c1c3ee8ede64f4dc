#include "usb/bundle.h"

#include <cstdlib>

namespace qor::usb {

std::string bundleResourcesDirectory() {
    const char *override = std::getenv("QORVANTA_BUNDLE");
    if (!override || !*override)
        return "/Library/QuickTime/QORVANTAVDIG.component/Contents/Resources/";
    std::string directory = override;
    if (directory.back() != '/') directory += '/';
    return directory;
}

} // namespace qor::usb
