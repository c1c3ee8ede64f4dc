// How libusb's errors and transfer outcomes read to the IOKit-style layer above, and the log
// that reports each kind of libusb error once, by name, however often it happens.
#pragma once

#include <qorvanta/types.h>

#include <libusb.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>

namespace qor::libusb {

// The IOReturn for a libusb_error (0 for LIBUSB_SUCCESS and for any count a call returns).
IOReturn ioReturnFromError(int error);
// The libusb_error that names a transfer's final status (LIBUSB_SUCCESS for a completed one).
int errorFromTransferStatus(libusb_transfer_status status);
// The IOReturn of a transfer's final status, for a device still attached: a cancelled transfer
// was aborted.
IOReturn ioReturnFromTransferStatus(libusb_transfer_status status);

// Reports a libusb error the first time its name comes up; later ones are counted out silently,
// so that a camera failing at frame rate does not flood the terminal. The lines go to out when
// one is given, else through the driver's log as errors.
class ErrorLog {
public:
    explicit ErrorLog(FILE *out = nullptr) : out_(out) {}
    // call: the libusb function (or transfer) that failed. Errors >= 0 are not errors.
    void note(int error, const char *call);

private:
    std::mutex mutex_;
    std::set<std::string> seen_;
    FILE *const out_;
};

// The advice printed when opening a camera's device node is refused: who may open it is the
// udev rule's business. bus and ports name the camera (ports like "1.4").
std::string permissionMessage(uint8_t bus, const std::string &ports);

} // namespace qor::libusb
