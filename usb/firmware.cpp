// FX2 firmware download from the bundle's Intel HEX files.
#include "usb/firmware.h"

#include "platform/log.h"
#include "platform/misc.h"
#include "usb/bundle.h"
#include "usb/transport.h"

#include <qorvanta/status.h>

#include <functional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

uint8_t gWasCameraFirmwareLoaded = 0;

namespace {

constexpr uint16_t kCpucsAddress = 0xE600;
constexpr uint8_t kFirmwareLoadRequest = 0xA0;
constexpr uint32_t kAnyRelease = 0xFFFFFFFF;
constexpr int kExclusiveAttempts = 5;
// The FX2's internal RAM, which a firmware image fills from address 0.
constexpr size_t kFx2RamSize = 0x4000;

constexpr uint32_t releases(std::initializer_list<int> numbers) {
    uint32_t mask = 0;
    for (int n : numbers) mask |= 1u << n;
    return mask;
}

// Firmware by unprogrammed product id and release number (bcdDevice).
constexpr struct FirmwareEntry {
    uint16_t productID;
    uint32_t releaseMask;
    const char *file;
} kFirmwareTable[] = {
    {0x80A1, kAnyRelease, "cam01/firm0.HEX"},   {0x84A2, kAnyRelease, "cam02/firm0.HEX"},
    {0x80A3, kAnyRelease, "cam03/firm0.HEX"},   {0x81AC, kAnyRelease, "cam04/firm0.HEX"},
    {0x81A2, releases({0}), "cam05/firm0.HEX"}, {0x81A2, releases({0x10}), "cam05/firm10.HEX"},
    {0x81A7, releases({0}), "cam06/firm0.HEX"}, {0x81A7, releases({0x10}), "cam06/firm10.HEX"},
    {0x81A4, kAnyRelease, "cam07/firm0.HEX"},   {0x81A5, releases({0, 1}), "cam08/firm0.HEX"},
    {0x81A5, releases({2}), "cam08/firm1.HEX"}, {0x81AF, kAnyRelease, "cam09/firm0.HEX"},
    {0x81A8, releases({0}), "cam10/firm0.HEX"}, {0x81A8, releases({1}), "cam10/firm1.HEX"},
    {0x81A8, releases({2}), "cam10/firm2.HEX"}, {0x81A8, releases({3}), "cam10/firm3.HEX"},
    {0x81A8, releases({4}), "cam10/firm4.HEX"}, {0x81A8, releases({5}), "cam10/firm5.HEX"},
    {0x83AD, kAnyRelease, "cam11/firm0.HEX"},   {0x808C, kAnyRelease, "cam12/firm0.HEX"},
    {0x818C, kAnyRelease, "cam13/firm0.HEX"},   {0x8085, kAnyRelease, "cam14/firm0.HEX"},
    {0x8092, releases({0}), "cam15/firm0.HEX"}, {0x8092, releases({1}), "cam15/firm1.HEX"},
    {0x8096, releases({0}), "cam16/firm0.HEX"}, {0x8096, releases({1}), "cam16/firm1.HEX"},
    {0x8096, releases({2}), "cam16/firm2.HEX"}, {0x8096, releases({3}), "cam16/firm3.HEX"},
    {0x809A, releases({0}), "cam17/firm0.HEX"}, {0x809A, releases({1}), "cam17/firm1.HEX"},
    {0x819A, kAnyRelease, "cam18/firm0.HEX"},   {0x818A, releases({0}), "cam19/firm0.HEX"},
    {0x818A, releases({1}), "cam19/firm1.HEX"}, {0x809E, kAnyRelease, "cam20/firm0.HEX"},
    {0x8097, releases({0}), "cam21/firm0.HEX"}, {0x8097, releases({1}), "cam21/firm1.HEX"},
    {0x8097, releases({2}), "cam21/firm2.HEX"}, {0x8180, kAnyRelease, "cam22/firm0.HEX"},
    {0x808D, kAnyRelease, "cam23/firm0.HEX"},   {0x81CD, kAnyRelease, "cam24/firm0.HEX"},
    {0x819B, kAnyRelease, "cam25/firm0.HEX"},   {0x808B, kAnyRelease, "cam26/firm0.HEX"},
    {0x81C5, kAnyRelease, "cam27/firm0.HEX"},   {0x81C8, releases({0}), "cam28/firm0.HEX"},
    {0x81C8, releases({1}), "cam28/firm1.HEX"}, {0x81C8, releases({2}), "cam28/firm2.HEX"},
    {0x81C8, releases({3}), "cam28/firm3.HEX"}, {0x81C8, releases({4}), "cam28/firm4.HEX"},
    {0x81C8, releases({5}), "cam28/firm5.HEX"},
};

IOReturn loadFx2Ram(IOUSBDeviceInterface187 **device, uint16_t address, uint8_t *data,
                    uint16_t length) {
    IOUSBDevRequestTO req{};
    req.bmRequestType = 0x40;
    req.bRequest = kFirmwareLoadRequest;
    req.wValue = address;
    req.wIndex = 0;
    req.wLength = length;
    req.pData = data;
    req.noDataTimeout = 5000;
    req.completionTimeout = 0;
    IOReturn result = (*device)->DeviceRequestTO(device, &req);
    return qor::usb::controlDone(result) ? kIOReturnSuccess : result;
}

IOReturn setCpuReset(IOUSBDeviceInterface187 **device, bool hold) {
    uint8_t value = hold ? 0x01 : 0x00;
    return loadFx2Ram(device, kCpucsAddress, &value, 1);
}

bool upperHexDigit(int c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

int hexValue(char c) {
    return c <= '9' ? c - '0' : c - 'A' + 10;
}

bool startsComment(int c) {
    return c == '_' || c == '-' || c == '#' || c == ';' || c == '/' || c == '*';
}

bool endsComment(int c) {
    return c == '\0' || c == '\r' || c == '\n';
}

// A failed check of a record: sounds the alert (unless the read is a quiet one) and marks the
// record bad.
void failCheck(bool &bad, bool quiet) {
    if (!quiet) SysBeep(1);
    bad = true;
}

bool hexField(const char *text, int length) {
    for (int i = 0; i < length; ++i)
        if (!upperHexDigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

unsigned fieldValue(const char *text, int length) {
    unsigned value = 0;
    for (int i = 0; i < length; ++i) value = value << 4 | unsigned(hexValue(text[i]));
    return value;
}

enum class HeaderRead { Complete, Empty, Incomplete };

// Collects the 9 characters ":CCAAAATT" of a record header, leaving comments out.
HeaderRead collectHeader(std::FILE *file, char (&header)[9]) {
    int collected = 0;
    bool inComment = false;
    while (collected < 9) {
        int c = std::fgetc(file);
        if (c == EOF) return collected == 0 ? HeaderRead::Empty : HeaderRead::Incomplete;
        if (endsComment(c)) {
            inComment = false;
            continue;
        }
        if (inComment) continue;
        if (startsComment(c)) {
            inComment = true;
            continue;
        }
        header[collected++] = char(c);
    }
    return HeaderRead::Complete;
}

} // namespace

namespace qor::usb {

std::optional<std::string> firmwareFileFor(uint16_t productID, uint16_t releaseNumber) {
    for (const FirmwareEntry &entry : kFirmwareTable) {
        if (entry.productID != productID) continue;
        if (entry.releaseMask == kAnyRelease ||
            (releaseNumber < 32 && (entry.releaseMask >> releaseNumber & 1)))
            return entry.file;
    }
    return std::nullopt;
}

namespace {

// Reads the Intel HEX records of `file`, handing each data record's address and bytes to `load`,
// which answers kIOReturnSuccess to go on. The results are downloadIntelHex's.
int32_t readIntelHex(std::FILE *file, bool quiet,
                     const std::function<IOReturn(uint16_t, uint8_t *, uint16_t)> &load) {
    bool afterDataRecord = false;
    for (;;) {
        bool bad = false;
        char header[9] = {};
        HeaderRead read = collectHeader(file, header);
        // Only comments and line ends after the last data record: the end record is missing.
        if (read == HeaderRead::Empty && afterDataRecord) return std::feof(file) ? 1 : -1;
        if (read != HeaderRead::Complete || std::ferror(file))
            failCheck(bad, quiet);
        else {
            if (header[0] != ':') failCheck(bad, quiet);
            if (!hexField(header + 1, 2)) failCheck(bad, quiet);
            if (!hexField(header + 3, 4)) failCheck(bad, quiet);
            if (!hexField(header + 7, 2))
                failCheck(bad, quiet);
            else if (fieldValue(header + 7, 2) > 1)
                failCheck(bad, quiet);
        }
        if (bad) return -1;

        unsigned count = fieldValue(header + 1, 2);
        // Data and checksum: 2 x count + 2 hex digits, line ends and separators skipped.
        char digits[2 * 255 + 2];
        unsigned wanted = 2 * count + 2, got = 0;
        bool nonHex = false;
        while (got < wanted) {
            int c = std::fgetc(file);
            if (c == EOF) break;
            if (c == '\0' || c == '\r' || c == '\n' || c == '_' || c == '-') continue;
            if (!upperHexDigit(c)) nonHex = true;
            digits[got++] = char(c);
        }
        if (got < wanted || std::ferror(file)) failCheck(bad, quiet);
        if (nonHex) failCheck(bad, quiet);
        if (bad) return -1;

        uint8_t bytes[4 + 255 + 1];
        bytes[0] = uint8_t(count);
        bytes[1] = uint8_t(fieldValue(header + 3, 2));
        bytes[2] = uint8_t(fieldValue(header + 5, 2));
        bytes[3] = uint8_t(fieldValue(header + 7, 2));
        uint8_t sum = bytes[0] + bytes[1] + bytes[2] + bytes[3];
        for (unsigned i = 0; i <= count; ++i) bytes[4 + i] = uint8_t(fieldValue(digits + 2 * i, 2));
        for (unsigned i = 0; i < count; ++i) sum = uint8_t(sum + bytes[4 + i]);
        if (bytes[4 + count] != uint8_t(-sum)) {
            failCheck(bad, quiet);
            return -1;
        }

        unsigned type = bytes[3];
        if (type == 1) return 0;
        if (count == 0) {
            failCheck(bad, quiet);
            return -1;
        }
        uint16_t address = uint16_t(bytes[1] << 8 | bytes[2]);
        IOReturn result = load(address, bytes + 4, uint16_t(count));
        if (result != kIOReturnSuccess) return result;
        afterDataRecord = true;
    }
}

} // namespace

int32_t downloadIntelHex(IOUSBDeviceInterface187 **device, std::FILE *file) {
    return readIntelHex(file, false, [device](uint16_t address, uint8_t *data, uint16_t length) {
        return loadFx2Ram(device, address, data, length);
    });
}

} // namespace qor::usb

namespace {

// The firmware file for reading, or null when it cannot be opened or is not a regular file: a
// directory cannot be read and a FIFO would hold the loader in the open until a writer came.
std::FILE *openRegularFile(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat info;
    int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return nullptr;
    }
    std::FILE *file = ::fdopen(fd, "r");
    if (!file) ::close(fd);
    return file;
}

// Whether a firmware file holds the simulator's image; reads it quietly and rewinds it.
bool simulatorFirmwareFile(std::FILE *file) {
    std::vector<uint8_t> ram(kFx2RamSize);
    qor::usb::readIntelHex(file, true, [&ram](uint16_t address, uint8_t *data, uint16_t length) {
        for (size_t i = 0; i < length && address + i < ram.size(); ++i) ram[address + i] = data[i];
        return kIOReturnSuccess;
    });
    std::rewind(file);
    return qor::usb::isSimulatorFirmware(ram);
}

// Steps 6 to 11 for one opened device: find the file, hold the CPU, download, release. A real
// camera takes its firmware from the camera maker's files and never the simulator's image.
int32_t downloadFirmware(IOUSBDeviceInterface187 **device, uint16_t productID,
                         uint16_t releaseNumber, bool simulated) {
    qor::platform::log(qor::platform::LogLevel::Info,
                       "myOpenFirmWareFile() locate FW for PID %x DID %x", productID,
                       releaseNumber);
    std::optional<std::string> entry = qor::usb::firmwareFileFor(productID, releaseNumber);
    if (!entry) {
        qor::platform::log(qor::platform::LogLevel::Error,
                           "myOpenFirmWareFile() can't match FW for the IDs");
        return fnfErr;
    }
    const std::string directory = qor::usb::firmwareDirectory(simulated) + "Firmware/";
    const std::string path = directory + *entry;
    qor::platform::log(qor::platform::LogLevel::Info, "myOpenFirmWareFile() FW should be in %s",
                       entry->c_str());
    std::FILE *file = openRegularFile(path);
    if (!file) {
        qor::platform::log(qor::platform::LogLevel::Error,
                           "myOpenFirmWareFile(): Failed to find Firmware at %s!!!!", path.c_str());
        qor::platform::log(
            qor::platform::LogLevel::Error,
            "The camera with product id 0x%04X (release %u) needs the firmware file %s, "
            "which is not in %s%s",
            productID, releaseNumber, entry->c_str(), directory.c_str(),
            simulated ? "" : " (the camera maker's firmware files go there)");
        return fnfErr;
    }
    qor::platform::log(qor::platform::LogLevel::Info, "myOpenFirmWareFile(): Found Firmware at %s",
                       path.c_str());
    if (!simulated && simulatorFirmwareFile(file)) {
        qor::platform::log(
            qor::platform::LogLevel::Error,
            "Not sending %s to the camera with product id 0x%04X (release %u): it is the "
            "simulator's firmware image, made for simulated cameras only. Put the camera "
            "maker's firmware file there as %s%s",
            path.c_str(), productID, releaseNumber, directory.c_str(), entry->c_str());
        std::fclose(file);
        return fnfErr;
    }

    IOReturn result = setCpuReset(device, true);
    if (result != kIOReturnSuccess) {
        qor::platform::log(qor::platform::LogLevel::Error,
                           "myAnchorFX2WriteFirmWare reset returned err 0x%x!", result);
        std::fclose(file);
        return result;
    }
    qor::platform::log(qor::platform::LogLevel::Info,
                       "myAnchorFX2WriteFirmWare reset FX2 successfully");
    usleep(250 * 1000);

    int32_t download = qor::usb::downloadIntelHex(device, file);
    std::fclose(file);
    if (download == 0)
        qor::platform::log(qor::platform::LogLevel::Info,
                           "myAnchorFX2DownLoadFirmwareFile successed writing Firmware");
    else
        qor::platform::log(qor::platform::LogLevel::Error,
                           "myAnchorFX2DownLoadFirmwareFile failed to write Firmware 0x%x!",
                           download);

    // The CPU runs again whatever happened, so a failed download never leaves it held.
    setCpuReset(device, false);
    gWasCameraFirmwareLoaded = 1;
    if (download != 0) {
        qor::platform::log(qor::platform::LogLevel::Error,
                           "myAnchorFX2WriteFirmWare set FX2 as vendor mode returned err 0x%x!",
                           download);
        return download;
    }
    qor::platform::log(qor::platform::LogLevel::Info,
                       "myAnchorFX2WriteFirmWare set FX2 as vendor mode successfully");
    qor::platform::log(qor::platform::LogLevel::Info, "FW was downloaded to device");
    return 0;
}

IOUSBDeviceInterface187 **deviceInterfaceFor(io_service_t service) {
    IOCFPlugInInterface **plugIn = nullptr;
    int32_t score = 0;
    kern_return_t kr = IOCreatePlugInInterfaceForService(service, kIOUSBDeviceUserClientTypeID,
                                                         kIOCFPlugInInterfaceID, &plugIn, &score);
    IOObjectRelease(service);
    if (kr != KERN_SUCCESS || !plugIn) return nullptr;
    IOUSBDeviceInterface187 **device = nullptr;
    HRESULT hr = (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID187),
                                           reinterpret_cast<LPVOID *>(&device));
    (*plugIn)->Release(plugIn);
    return hr == S_OK ? device : nullptr;
}

IOReturn openExclusively(IOUSBDeviceInterface187 **device) {
    IOReturn result = kIOReturnExclusiveAccess;
    for (int attempt = 0; attempt < kExclusiveAttempts; ++attempt) {
        if (attempt > 0) usleep(100 * 1000);
        result = (*device)->USBDeviceOpen(device);
        if (result != kIOReturnExclusiveAccess) break;
    }
    return result;
}

bool configure(IOUSBDeviceInterface187 **device) {
    uint8_t configurations = 0;
    if ((*device)->GetNumberOfConfigurations(device, &configurations) != kIOReturnSuccess ||
        configurations == 0)
        return false;
    IOUSBConfigurationDescriptorPtr config = nullptr;
    if ((*device)->GetConfigurationDescriptorPtr(device, 0, &config) != kIOReturnSuccess || !config)
        return false;
    return (*device)->SetConfiguration(device, config->bConfigurationValue) == kIOReturnSuccess;
}

} // namespace

void myAnchorFX2UnenumeratedAdded(void *, io_iterator_t iterator) {
    while (io_service_t service = IOIteratorNext(iterator)) {
        const bool simulated = qor::usb::serviceIsSimulated(service);
        IOUSBDeviceInterface187 **device = deviceInterfaceFor(service);
        if (!device) continue;
        uint16_t vendor = 0, product = 0, release = 0;
        (*device)->GetDeviceVendor(device, &vendor);
        (*device)->GetDeviceProduct(device, &product);
        (*device)->GetDeviceReleaseNumber(device, &release);

        if (openExclusively(device) != kIOReturnSuccess) {
            (*device)->Release(device);
            continue;
        }
        if (configure(device)) {
            int32_t result = downloadFirmware(device, product, release, simulated);
            if (result != 0)
                qor::platform::log(qor::platform::LogLevel::Error,
                                   "unable to download to device: %d %08x", result, result);
        }
        (*device)->USBDeviceClose(device);
        (*device)->Release(device);
    }
}
