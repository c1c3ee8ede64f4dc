// The usbfs memory limit: read from sysfs, checked against the reads in flight.
#include "libusb/usbfs_memory.h"

#include "platform/log.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace qor::libusb {

std::optional<uint32_t> usbfsMemoryLimitMB(const char *path) {
    std::ifstream file(path);
    std::string text;
    if (!file || !std::getline(file, text)) return std::nullopt;
    const char *begin = text.c_str();
    char *end = nullptr;
    const unsigned long value = std::strtoul(begin, &end, 10);
    if (end == begin || text[0] == '-' || value > UINT32_MAX) return std::nullopt;
    return uint32_t(value);
}

void UsbfsMemoryWatch::readSubmitted(uint64_t bytes) {
    std::lock_guard lock(mutex_);
    outstanding_ += bytes;
    if (limitMB_ && *limitMB_ && outstanding_ > (uint64_t(*limitMB_) << 20))
        warnLocked(outstanding_);
}

void UsbfsMemoryWatch::readEnded(uint64_t bytes) {
    std::lock_guard lock(mutex_);
    outstanding_ -= std::min(bytes, outstanding_);
}

void UsbfsMemoryWatch::readRefused(uint64_t bytes) {
    std::lock_guard lock(mutex_);
    // Without a limit (or a kernel without one) the memory is really short: nothing to raise.
    if (limitMB_ && *limitMB_) warnLocked(outstanding_ + bytes);
}

void UsbfsMemoryWatch::warnLocked(uint64_t neededBytes) {
    if (warned_) return;
    warned_ = true;
    const uint64_t neededMB = (neededBytes + (uint64_t(1) << 20) - 1) >> 20;
    char line[512];
    std::snprintf(line, sizeof line,
                  "Streaming needs %u MB of USB buffers but the kernel allows %u MB "
                  "(/sys/module/usbcore/parameters/usbfs_memory_mb). Raise the limit: sudo sh -c "
                  "'echo 0 > /sys/module/usbcore/parameters/usbfs_memory_mb' (0 means no limit), "
                  "or add usbcore.usbfs_memory_mb=0 to the kernel command line.",
                  unsigned(neededMB), unsigned(*limitMB_));
    if (!out_) {
        platform::log(platform::LogLevel::Warning, "%s", line);
        return;
    }
    std::fprintf(out_, "%s\n", line);
    std::fflush(out_);
}

} // namespace qor::libusb
