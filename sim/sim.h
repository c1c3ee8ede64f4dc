// The simulated camera: Qorvanta cameras on a simulated USB bus, reached through the backend
// interface of platform/usb_backend.h like any real device. Tests and the demo attach cameras,
// inject faults and read what went over the wire.
#pragma once

#include "platform/usb_backend.h"
#include "sim/models.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qor::sim {

// One transfer or host-side action, as the device saw it. Standard requests the host stack
// sends for a call (SET_CONFIGURATION, SET_INTERFACE, CLEAR_FEATURE(ENDPOINT_HALT),
// GET_DESCRIPTOR) are logged as the control transfers they are. An abort names its endpoint,
// 0 for the default control pipe.
struct Transfer {
    enum class Kind { Control, BulkOut, BulkIn, AsyncBulkIn, Abort, Open, Close, Claim, Release };
    Kind kind;
    uint8_t bmRequestType; // Control only
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
    uint8_t endpoint;          // bulk and abort; 0 for control
    std::vector<uint8_t> data; // data stage moved (out or in); bulk payloads are kept
    IOReturn result;
    // The host's time-outs for a control or synchronous bulk transfer, in ms (0: none).
    uint32_t noDataTimeout = 0;
    uint32_t completionTimeout = 0;
};

enum class Direction { Read, Write, Both };

struct CameraOptions {
    uint16_t productID = 0x00A1;           // the model's product id (without 0x8000)
    std::string serial;                    // empty: a serial made from the camera's number
    std::optional<uint16_t> releaseNumber; // bcdDevice; empty: the model's default
    bool firmwareLoaded = false;           // attach already running its firmware
    bool fpgaConfigured = false;           // attach with the FPGA configured (needs firmwareLoaded)
    // How long the FX2 stays off the bus between CPU release and coming back.
    std::chrono::milliseconds reenumerationDelay{200};
    // Its devices say they are real hardware, so that tests see what the driver does with a
    // real camera (which never gets the simulator's firmware or bitstreams).
    bool presentsAsReal = false;

    // Where this camera differs from its model at power-up.
    bool automaticModesOn = false;   // every automatic mode offered starts switched on
    std::vector<uint16_t> dataRates; // the data-rate list (KB/s); empty: the model's
    // A still scene: every frame is the scene as it is at the first frame (the detail does not
    // move, the noise repeats), so that frames captured at different times can be compared.
    bool stillScene = false;
    // String descriptors answered as raw bytes, whatever they say, by string index (2 product,
    // 3 serial): each request for one gets the next answer of its list (the last one repeats),
    // cut to the length asked for.
    std::map<uint8_t, std::vector<std::vector<uint8_t>>> stringAnswers;
};

enum class CameraState { Unprogrammed, Running, OffBus, Unplugged };

// One physical camera, across its re-enumerations. Thread-safe.
class SimCamera {
public:
    virtual ~SimCamera() = default;

    virtual const ModelProfile &model() const = 0;
    virtual CameraState state() const = 0;
    virtual uint16_t releaseNumber() const = 0;
    virtual std::string serial() const = 0;
    virtual uint32_t locationID() const = 0;
    virtual bool fpgaConfigured() const = 0;
    // The bytes the FX2's RAM holds (16 KB), and the bytes last sent as a bitstream.
    virtual std::vector<uint8_t> fx2Ram() const = 0;
    virtual std::vector<uint8_t> lastBitstream() const = 0;
    // Blocks until the camera is back on the bus running its firmware, or the time is up.
    virtual bool waitUntilRunning(std::chrono::milliseconds timeout) = 0;

    // Register contents as the FPGA holds them (no transfer is logged). The exposure maximum
    // (0x04AC) reads as the frame period of the programmed window and data rate, within the
    // exposure counter's limit, which a poke of 0x04AC sets.
    virtual uint32_t peekRegister(uint16_t reg) const = 0;
    virtual void pokeRegister(uint16_t reg, uint32_t value) = 0;
    // The tone-curve table last loaded (256 bytes), empty when the curve is neutral.
    virtual std::vector<uint8_t> toneCurve() const = 0;
    // Sensor registers written with request 0x13 (address -> 6-bit value), in order.
    virtual std::vector<std::pair<uint16_t, uint8_t>> sensorWrites() const = 0;
    // Cooler temperature now, in millikelvin; it moves toward the set-point while cooling.
    virtual uint32_t sensorTemperatureMilliKelvin() const = 0;

    // Every transfer since attach or the last clear.
    virtual std::vector<Transfer> transferLog() const = 0;
    virtual void clearTransferLog() = 0;

    // Faults. A register fault answers the next `count` accesses of that register (count < 0:
    // every access) with `result`; a result of kIOReturnOverrun still performs the access, and
    // a short read (shortBytes > 0) moves only that many bytes with status 0.
    // kIOUSBTransactionTimeout, in any fault, is a device that does not answer: the transfer
    // ends with it when the host gave a time-out (at once, as though the time had passed), and
    // without one waits until its pipe is aborted (kIOReturnAborted) or the device leaves.
    virtual void failRegister(uint16_t reg, Direction direction, IOReturn result,
                              int count = 1) = 0;
    virtual void shortRegisterRead(uint16_t reg, uint32_t bytes, int count = 1) = 0;
    // The next `count` requests with this bRequest (any register) answer `result`.
    virtual void failRequest(uint8_t bRequest, IOReturn result, int count = 1) = 0;
    // The next bulk transfers on an endpoint answer `result` (kIOReturnOverrun: the device
    // sends more than asked) or, with shortBytes, move only that many bytes.
    virtual void failBulk(uint8_t endpoint, IOReturn result, int count = 1) = 0;
    virtual void shortBulk(uint8_t endpoint, uint32_t bytes, int count = 1) = 0;
    // Another client holds the device: open answers kIOReturnExclusiveAccess `count` times.
    virtual void holdExclusive(int count) = 0;
    virtual void setNeverReenumerates(bool never) = 0;
    virtual void setFpgaNeverConfigures(bool never) = 0;
    // String descriptors: empty text removes the string (its index becomes 0).
    virtual void setProductString(const std::string &text) = 0;
    virtual void setSerialString(const std::string &text) = 0;

    // Leaves the bus now (outstanding transfers end with kIOReturnNoDevice); plug() brings it
    // back unprogrammed, as a power cycle does.
    virtual void unplug() = 0;
    virtual void plug() = 0;

    // The raw frame the sensor would deliver now for the programmed window, subsampling,
    // pixel format, exposure, gains and tone curve: width x height bytes of the model's mosaic.
    virtual std::vector<uint8_t> renderFrame() const = 0;
};

// Attaches a camera to the simulated bus (adding the simulated backend to the platform's
// backends on first use).
std::shared_ptr<SimCamera> attachCamera(const CameraOptions &options);
// Unplugs and forgets every simulated camera.
void detachAllCameras();
// The simulated bus as a backend (the same object for the life of the process).
std::shared_ptr<usb::Backend> simulatedBus();

} // namespace qor::sim
