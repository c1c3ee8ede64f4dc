// The kernel's limit on the buffers of usbfs transfers, and the watch that warns once when the
// bulk reads a camera keeps outstanding need more than the limit allows.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>

namespace qor::libusb {

inline constexpr const char *kUsbfsMemoryPath = "/sys/module/usbcore/parameters/usbfs_memory_mb";

// The limit in MB read from path: 0 means none; nullopt when the file is missing or does not
// hold a number (a kernel without the limit).
std::optional<uint32_t> usbfsMemoryLimitMB(const char *path = kUsbfsMemoryPath);

// Counts the bytes of bulk reads outstanding and says, once, how to raise the limit when they
// exceed it or when the kernel refuses a read for want of usbfs memory: to out when one is
// given, else through the driver's log as a warning.
class UsbfsMemoryWatch {
public:
    explicit UsbfsMemoryWatch(std::optional<uint32_t> limitMB, FILE *out = nullptr)
        : limitMB_(limitMB), out_(out) {}

    void readSubmitted(uint64_t bytes);
    void readEnded(uint64_t bytes);
    // The kernel refused a read of this many bytes (LIBUSB_ERROR_NO_MEM).
    void readRefused(uint64_t bytes);

private:
    void warnLocked(uint64_t neededBytes);

    std::mutex mutex_;
    uint64_t outstanding_ = 0;
    bool warned_ = false;
    const std::optional<uint32_t> limitMB_;
    FILE *const out_;
};

} // namespace qor::libusb
