// One table from libusb's errors to IOReturn codes; transfer statuses go through the error
// that names them.
#include "libusb/errors.h"

#include <qorvanta/status.h>

#include "platform/log.h"
#include "platform/usb.h"

namespace qor::libusb {
namespace {

struct ErrorEntry {
    int error;
    IOReturn result;
};

constexpr ErrorEntry kErrors[] = {
    {LIBUSB_ERROR_IO, kIOReturnError},
    {LIBUSB_ERROR_INVALID_PARAM, kIOReturnBadArgument},
    // Opening a node the user may not open; the caller adds the advice on permissions.
    {LIBUSB_ERROR_ACCESS, kIOReturnExclusiveAccess},
    {LIBUSB_ERROR_NO_DEVICE, kIOReturnNoDevice},
    {LIBUSB_ERROR_NOT_FOUND, kIOReturnBadArgument},
    {LIBUSB_ERROR_BUSY, kIOReturnExclusiveAccess},
    {LIBUSB_ERROR_TIMEOUT, kIOUSBTransactionTimeout},
    {LIBUSB_ERROR_OVERFLOW, kIOReturnOverrun},
    {LIBUSB_ERROR_PIPE, kIOUSBPipeStalled},
    {LIBUSB_ERROR_INTERRUPTED, kIOReturnAborted},
    {LIBUSB_ERROR_NO_MEM, kIOReturnNoMemory},
    {LIBUSB_ERROR_NOT_SUPPORTED, kIOReturnUnsupported},
    {LIBUSB_ERROR_OTHER, kIOReturnError},
};

} // namespace

IOReturn ioReturnFromError(int error) {
    if (error >= 0) return kIOReturnSuccess;
    for (const ErrorEntry &entry : kErrors)
        if (entry.error == error) return entry.result;
    return kIOReturnError;
}

int errorFromTransferStatus(libusb_transfer_status status) {
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return LIBUSB_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_CANCELLED:
        return LIBUSB_ERROR_INTERRUPTED;
    case LIBUSB_TRANSFER_STALL:
        return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW:
        return LIBUSB_ERROR_OVERFLOW;
    case LIBUSB_TRANSFER_ERROR:
        break;
    }
    return LIBUSB_ERROR_IO;
}

IOReturn ioReturnFromTransferStatus(libusb_transfer_status status) {
    return ioReturnFromError(errorFromTransferStatus(status));
}

void ErrorLog::note(int error, const char *call) {
    if (error >= 0) return;
    const char *name = libusb_error_name(error);
    {
        std::lock_guard lock(mutex_);
        if (!seen_.insert(name).second) return;
    }
    char line[512];
    std::snprintf(line, sizeof line, "libusb: %s failed: %s (%s); later %s errors are not reported",
                  call, name, libusb_strerror(error), name);
    if (!out_) {
        platform::log(platform::LogLevel::Error, "%s", line);
        return;
    }
    std::fprintf(out_, "%s\n", line);
    std::fflush(out_);
}

std::string permissionMessage(uint8_t bus, const std::string &ports) {
    char text[1024];
    std::snprintf(text, sizeof text,
                  "Permission denied opening the camera at bus %03u port %s. Install the udev rule "
                  "%s: sudo cp %s /etc/udev/rules.d/ && sudo udevadm control --reload-rules && "
                  "sudo udevadm trigger, then plug the camera in again (or add yourself to the "
                  "plugdev group).",
                  unsigned(bus), ports.c_str(), QORVANTA_UDEV_RULE,
                  QORVANTA_DATA_DIR "/" QORVANTA_UDEV_RULE);
    return text;
}

} // namespace qor::libusb
