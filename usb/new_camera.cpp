// New-camera registration and FPGA configuration.
#include "usb/new_camera.h"

#include "platform/files.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "usb/bundle.h"
#include "usb/registration.h"
#include "usb/transport.h"

#include <qorvanta/usb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace {

constexpr uint16_t kRegFpga = 0x0008;
constexpr uint32_t kFpgaConfigured = 0x20;
constexpr uint32_t kFpgaStartConfiguration = 0xFFFFFFFF;
constexpr uint32_t kFpgaEndConfiguration = 0;
constexpr uint8_t kRegisterRequest = 0x12;
// The camera without an FPGA step.
constexpr uint16_t kNoFpgaProduct = 0x03AD;
// Alternate setting 1 carries the bitstream, on its first pipe.
constexpr uint8_t kBitstreamAlternate = 1;
constexpr uint8_t kBitstreamPipe = 1;
constexpr int kConfigurationPolls = 10;
constexpr useconds_t kPollIntervalUs = 10 * 1000;
constexpr useconds_t kAfterBitstreamUs = 20 * 1000;
constexpr int32_t kAnyRelease = -1;

// FPGA bitstream by model product id and release number (bcdDevice).
constexpr struct FpgaEntry {
    uint16_t productID;
    int32_t release;
    const char *file;
} kFpgaTable[] = {
    {0x00A1, kAnyRelease, "cam01/fpga0.rbf"}, {0x04A2, kAnyRelease, "cam02/fpga0.rbf"},
    {0x00A3, kAnyRelease, "cam03/fpga0.rbf"}, {0x01AC, kAnyRelease, "cam04/fpga0.rbf"},
    {0x01A2, 0, "cam05/fpga0.rbf"},           {0x01A2, 0x10, "cam05/fpga10.rbf"},
    {0x01A7, 0, "cam06/fpga0.rbf"},           {0x01A7, 0x10, "cam06/fpga10.rbf"},
    {0x01A4, kAnyRelease, "cam07/fpga0.rbf"}, {0x01A5, kAnyRelease, "cam08/fpga0.rbf"},
    {0x01AF, kAnyRelease, "cam09/fpga0.rbf"}, {0x01A8, kAnyRelease, "cam10/fpga0.rbf"},
    {0x008C, kAnyRelease, "cam12/fpga0.rbf"}, {0x018C, kAnyRelease, "cam13/fpga0.bin"},
    {0x0085, kAnyRelease, "cam14/fpga0.rbf"}, {0x0092, 0, "cam15/fpga0.rbf"},
    {0x0092, 1, "cam15/fpga1.rbf"},           {0x0096, kAnyRelease, "cam16/fpga0.rbf"},
    {0x009A, kAnyRelease, "cam17/fpga0.rbf"}, {0x019A, kAnyRelease, "cam18/fpga0.bin"},
    {0x018A, kAnyRelease, "cam19/fpga0.bin"}, {0x009E, kAnyRelease, "cam20/fpga0.rbf"},
    {0x0097, 0, "cam21/fpga0.rbf"},           {0x0097, 1, "cam21/fpga1.rbf"},
    {0x0180, kAnyRelease, "cam22/fpga0.bin"}, {0x008D, kAnyRelease, "cam23/fpga0.rbf"},
    {0x01CD, kAnyRelease, "cam24/fpga0.rbf"}, {0x019B, kAnyRelease, "cam25/fpga0.bin"},
    {0x008B, kAnyRelease, "cam26/fpga0.rbf"}, {0x01C5, kAnyRelease, "cam27/fpga0.rbf"},
    {0x01C8, kAnyRelease, "cam28/fpga0.bin"},
};

IOUSBDevRequestTO registerRequest(uint8_t direction, uint8_t (&data)[4]) {
    IOUSBDevRequestTO req{};
    req.bmRequestType = direction;
    req.bRequest = kRegisterRequest;
    req.wValue = 0;
    req.wIndex = kRegFpga;
    req.wLength = sizeof data;
    req.pData = data;
    req.wLenDone = direction == 0xC0 ? sizeof data : 0;
    req.noDataTimeout = 5000;
    req.completionTimeout = direction == 0xC0 ? 5000 : 0;
    return req;
}

// Reads the FPGA control register: 0, the request's error, or -1 for a short answer.
IOReturn readFpgaRegister(CameraRecord &record, uint32_t *value) {
    uint8_t data[4] = {};
    IOUSBDevRequestTO req = registerRequest(0xC0, data);
    IOUSBInterfaceInterface **intf = record.interfaceInterface;
    IOReturn result = (*intf)->ControlRequestTO(intf, 0, &req);
    if (result == kIOReturnSuccess && req.wLenDone != sizeof data) return -1;
    if (!qor::usb::controlDone(result)) return result;
    *value = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
             uint32_t(data[3]) << 24;
    return kIOReturnSuccess;
}

// Writes the FPGA control register: 0 when done (an overrun too), else the error after the
// stall recovery.
IOReturn writeFpgaRegister(CameraRecord &record, uint32_t value) {
    uint8_t data[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                       uint8_t(value >> 24)};
    IOUSBDevRequestTO req = registerRequest(0x40, data);
    IOUSBInterfaceInterface **intf = record.interfaceInterface;
    IOReturn result = (*intf)->ControlRequestTO(intf, 0, &req);
    if (qor::usb::controlDone(result)) return kIOReturnSuccess;
    qor::usb::recoverFromStall(record, 0);
    return result;
}

void setAlternate(CameraRecord &record, uint8_t alternate) {
    IOUSBInterfaceInterface **intf = record.interfaceInterface;
    (*intf)->SetAlternateInterface(intf, alternate);
}

// The whole FPGA file in a zero-filled malloc block, or null when any step of reading it
// failed. A bitstream must arrive whole: a file too large to send in one transfer is refused
// rather than cut short.
uint8_t *bufferFpgaFile(const std::string &path, uint32_t *size) {
    FSRef ref;
    HFSUniStr255 forkName;
    FSIORefNum fork = 0;
    if (FSPathMakeRef(reinterpret_cast<const UInt8 *>(path.c_str()), &ref, nullptr) != noErr ||
        FSGetDataForkName(&forkName) != noErr ||
        FSOpenFork(&ref, forkName.length, forkName.unicode, fsRdPerm, &fork) != noErr)
        return nullptr;
    uint8_t *buffer = nullptr;
    SInt64 forkSize = 0;
    if (FSGetForkSize(fork, &forkSize) == noErr && forkSize > 0 && forkSize <= SInt64(UINT32_MAX))
        buffer = static_cast<uint8_t *>(std::calloc(size_t(forkSize), 1));
    if (buffer) {
        ByteCount actual = 0;
        FSReadFork(fork, fsFromStart | noCacheMask, 0, ByteCount(forkSize), buffer, &actual);
        if (actual == ByteCount(forkSize)) {
            *size = uint32_t(forkSize);
            qor::platform::log(qor::platform::LogLevel::Info,
                               "myOpenFPGAFileBuffer() buffered FPGA %d bytes", int(*size));
        } else {
            std::free(buffer);
            buffer = nullptr;
        }
    }
    FSCloseFork(fork);
    return buffer;
}

// Locates the camera's bitstream and sends it on the bitstream pipe. Nothing is sent when the
// model has no entry, the file cannot be read, or a real camera's file is the simulator's
// bitstream; the configuration then ends without one.
void sendBitstream(CameraHandle camera, const CameraRecord &record) {
    qor::platform::log(qor::platform::LogLevel::Info,
                       "myOpenFPGAFileBuffer() locate FPGA for PID %x DID %x", record.productID,
                       record.releaseNumber);
    std::optional<std::string> entry =
        qor::usb::fpgaFileFor(record.productID, record.releaseNumber);
    if (!entry) {
        qor::platform::log(qor::platform::LogLevel::Error,
                           "myOpenFPGAFileBuffer: thePID not recodnized failed err 0x%X %d",
                           unsigned(-1), -1);
        return;
    }
    qor::platform::log(qor::platform::LogLevel::Info, "myOpenFPGAFileBuffer() found FPGA in %s",
                       entry->c_str());
    const bool simulated = qor::usb::serviceIsSimulated(record.deviceService);
    const std::string directory = qor::usb::firmwareDirectory(simulated) + "FPGA/";
    const std::string path = directory + *entry;
    uint32_t size = 0;
    uint8_t *bitstream = bufferFpgaFile(path, &size);
    if (!bitstream) {
        qor::platform::log(
            qor::platform::LogLevel::Error,
            "The camera %s (product id 0x%04X) needs the FPGA file %s, which is missing, "
            "empty or unreadable in %s%s",
            record.cameraName, record.productID, entry->c_str(), directory.c_str(),
            simulated ? "" : " (the camera maker's FPGA files go there)");
        return;
    }
    if (!simulated && qor::usb::isSimulatorBitstream({bitstream, size})) {
        qor::platform::log(
            qor::platform::LogLevel::Error,
            "Not sending %s to the camera %s (product id 0x%04X): it is the simulator's "
            "FPGA bitstream, made for simulated cameras only. Put the camera maker's FPGA "
            "file there as %s%s",
            path.c_str(), record.cameraName, record.productID, directory.c_str(), entry->c_str());
        std::free(bitstream);
        return;
    }
    // Whether the FPGA took it shows in its status register afterwards.
    QORUSBWriteBulkPipe(camera, kBitstreamPipe, bitstream, size);
    std::free(bitstream);
    usleep(kAfterBitstreamUs);
}

// Configures the FPGA of an open camera whose FPGA reports itself unconfigured, then
// initialises the sensor. 0, or the error that fails the device.
int32_t configureFpga(CameraHandle camera) {
    CameraRecord &record = *cameraRecord(camera);
    IOUSBInterfaceInterface **intf = record.interfaceInterface;
    IOReturn result = (*intf)->SetAlternateInterface(intf, kBitstreamAlternate);
    if (result != kIOReturnSuccess) return result;
    (*intf)->ClearPipeStallBothEnds(intf, kBitstreamPipe);

    result = writeFpgaRegister(record, kFpgaStartConfiguration);
    if (result != kIOReturnSuccess) {
        setAlternate(record, 0);
        return result;
    }
    sendBitstream(camera, record);
    result = writeFpgaRegister(record, kFpgaEndConfiguration);
    if (result != kIOReturnSuccess) {
        setAlternate(record, 0);
        return result;
    }
    // The FPGA comes up within about 100 ms; past that the configuration is taken as done and
    // whatever the camera does next shows whether it worked.
    for (int poll = 0; poll < kConfigurationPolls; ++poll) {
        usleep(kPollIntervalUs);
        uint32_t status = 0;
        result = readFpgaRegister(record, &status);
        if (result != kIOReturnSuccess) return result;
        if (status & kFpgaConfigured) break;
    }
    setAlternate(record, 0);
    return QORInitReset(camera);
}

// Steps 2 to 11 for one device in an opened temporary record: 0 when the camera ends up
// registered (or was already), else the error that fails it.
int32_t bringUpCamera(CameraHandle camera) {
    int32_t result = myOpenUSBDevice(camera);
    if (result != 0) return result;
    CameraRecord &record = *cameraRecord(camera);
    if (record.productID != kNoFpgaProduct) {
        uint32_t status = 0;
        result = readFpgaRegister(record, &status);
        if (result != kIOReturnSuccess) return result;
        if (!(status & kFpgaConfigured)) {
            result = configureFpga(camera);
            if (result != 0) return result;
        }
    }
    return qor::usb::registerCameraDigitizer(*cameraRecord(camera));
}

} // namespace

namespace qor::usb {

std::optional<std::string> fpgaFileFor(uint16_t productID, uint16_t releaseNumber) {
    for (const FpgaEntry &entry : kFpgaTable)
        if (entry.productID == productID &&
            (entry.release == kAnyRelease || entry.release == releaseNumber))
            return entry.file;
    return std::nullopt;
}

} // namespace qor::usb

void myNewCameraAdded(void *, io_iterator_t iterator) {
    while (io_service_t service = IOIteratorNext(iterator)) {
        CameraHandle camera = newCameraHandle();
        if (!camera) {
            IOObjectRelease(service);
            continue;
        }
        // The record owns the service from here; closing it releases the service.
        cameraRecord(camera)->deviceService = service;
        int32_t result = bringUpCamera(camera);
        QORUSBCloseCamera(camera);
        DisposeHandle(camera);
        if (result != 0) {
            // The other devices of this iterator wait for the next loader run.
            while (io_service_t skipped = IOIteratorNext(iterator)) IOObjectRelease(skipped);
            return;
        }
    }
}
