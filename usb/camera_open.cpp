// Opening a camera by its identity: find the device, open it, arm the removal and power
// notifications, bring the camera to a defined state and fill the record with its properties
// and the library's defaults. Also the handler of those notifications.
#include "usb/camera_open.h"
#include "camera/image_sizes.h"
#include "camera/registers.h"
#include "camera/video_controls.h"
#include "platform/log.h"
#include "usb/transport.h"
#include "usb/vendor_ids.h"

#include <qorvanta/camera.h>
#include <qorvanta/imaging.h>
#include <qorvanta/status.h>
#include <qorvanta/stream.h>
#include <qorvanta/usb.h>

#include <cstdio>
#include <cstring>

namespace {

using namespace qor::camera;

constexpr uint32_t kPresentBit = 1u << 31;
constexpr uint32_t kCoolerOnState = 1u << 23;

// The fields a previous open may have left, back to their closed state.
void resetRecord(CameraRecord &r) {
    r.cameraOpen = 0;
    r.cameraRemoved = 0;
    r.deviceService = 0;
    r.deviceInterface = nullptr;
    r.interfaceService = 0;
    r.interfaceInterface = nullptr;
    r.masterPort = 0;
    r.notifyPort = nullptr;
    r.interestNotification = 0;
    r.runLoop = nullptr;
    r.notifyRunLoopSource = nullptr;
    r.powerNotifyPort = nullptr;
    r.rootPowerPort = 0;
    r.powerNotifier = 0;
    r.powerRunLoopSource = nullptr;
    atomicField(r.streaming).store(0);
    r.buffersAllocated = 0;
    r.lineBuffer = nullptr;
    r.rawBufferMap = nullptr;
    r.rawBufferMapSize = 0;
    for (uint8_t *&buffer : r.rawBuffers) buffer = nullptr;
    r.frameSlotBlock = nullptr;
    r.streamThread = {};
    r.streamRunLoop = nullptr;
    r.decodeMethod = 1;
    r.outputFormat = 1;
    r.bayerPattern = 0;
    r.dataRateCount = 0;
    r.dataRateTable = nullptr;
    r.saturationMarkOn = 0;
    r.allowSlowFrames = 0;
    r.windowResetRequired = 0;
    r.coolingSupported = 0;
    r.fanSupported = 0;
    r.coolingOn = 0;
}

CFMutableDictionaryRef deviceMatching(uint32_t vendorID, uint32_t productID, int32_t &error) {
    CFMutableDictionaryRef matching = IOServiceMatching(kIOUSBDeviceClassName);
    if (!matching) {
        error = -1;
        return nullptr;
    }
    int32_t vendor = int32_t(vendorID), product = int32_t(productID);
    CFNumberRef vendorNumber = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &vendor);
    if (!vendorNumber) {
        CFRelease(matching);
        error = -2;
        return nullptr;
    }
    CFDictionarySetValue(matching, CFSTR(kUSBVendorID), vendorNumber);
    CFRelease(vendorNumber);
    CFNumberRef productNumber = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &product);
    if (!productNumber) {
        CFRelease(matching);
        error = -3;
        return nullptr;
    }
    CFDictionarySetValue(matching, CFSTR(kUSBProductID), productNumber);
    CFRelease(productNumber);
    return matching;
}

// Steps 5 to 7: the attached camera with this name, opened into the record.
int32_t findAndOpen(CameraHandle camera, CFMutableDictionaryRef matching, const char *name) {
    CameraRecord &r = *cameraRecord(camera);
    io_iterator_t iterator = 0;
    kern_return_t kr = IOServiceGetMatchingServices(r.masterPort, matching, &iterator);
    if (kr != KERN_SUCCESS) return kr;
    int32_t firstFailure = 0;
    bool found = false;
    while (io_service_t service = IOIteratorNext(iterator)) {
        r.deviceService = service;
        int32_t opened = myOpenUSBDevice(camera);
        if (opened == 0 && std::strcmp(r.cameraName, name) == 0) {
            found = true;
            break;
        }
        // Another camera of the model, or one that does not open (another client holds it, or
        // it cannot be read): let it go again and look further, so that a second camera of a
        // model opens while the first is in use, whatever their order on the bus.
        mach_port_t port = r.masterPort;
        r.masterPort = 0; // the search still needs the port
        QORUSBCloseCamera(camera);
        r.masterPort = port;
        if (opened != 0 && firstFailure == 0) firstFailure = opened;
    }
    IOObjectRelease(iterator);
    r.cameraOpen = found ? 1 : 0;
    if (found) return 0;
    // The camera asked for may be the one that did not open: say why.
    return firstFailure != 0 ? firstFailure : kIOReturnNoDevice;
}

// Step 8: removal and power notifications on the caller's run loop; failures are not fatal.
void armNotifications(CameraHandle camera) {
    CameraRecord &r = *cameraRecord(camera);
    // Retained: the opening thread may end, and its loop with it, before the camera is closed.
    r.runLoop = CFRunLoopGetCurrent();
    CFRetain(r.runLoop);
    r.notifyPort = IONotificationPortCreate(r.masterPort);
    bool registerPower = true;
    if (r.notifyPort) {
        kern_return_t kr =
            IOServiceAddInterestNotification(r.notifyPort, r.deviceService, kIOGeneralInterest,
                                             myCameraNotification, camera, &r.interestNotification);
        if (kr == KERN_SUCCESS) {
            r.notifyRunLoopSource = IONotificationPortGetRunLoopSource(r.notifyPort);
            CFRunLoopAddSource(r.runLoop, r.notifyRunLoopSource, kCFRunLoopDefaultMode);
        } else {
            registerPower = false;
        }
    }
    if (!registerPower) return;
    r.rootPowerPort = IORegisterForSystemPower(camera, &r.powerNotifyPort, myCameraNotification,
                                               &r.powerNotifier);
    if (r.rootPowerPort) {
        r.powerRunLoopSource = IONotificationPortGetRunLoopSource(r.powerNotifyPort);
        CFRunLoopAddSource(r.runLoop, r.powerRunLoopSource, kCFRunLoopDefaultMode);
    }
}

int32_t writeGeometry(CameraHandle camera) {
    const CameraRecord &r = *cameraRecord(camera);
    const struct {
        uint16_t reg;
        uint32_t value;
    } writes[] = {{kRegWindowOrigin, uint32_t(r.windowTop) << 16 | r.windowLeft},
                  {kRegWindowSize, uint32_t(r.imageHeight) << 16 | r.imageWidth},
                  {kRegSubsampling, uint32_t(r.subSampleY) << 16 | r.subSampleX},
                  {kRegPixelFormat, r.sensorType}};
    for (const auto &w : writes) {
        int32_t result = QORAWriteOneCameraRegister(camera, w.reg, w.value);
        if (result != 0) return result;
    }
    return 0;
}

// One video control's block into the record; its automatic mode is switched off, and the record
// says so once the camera has taken it.
void readControl(CameraHandle camera, uint16_t control, uint8_t &supported, uint8_t &autoSupported,
                 uint8_t &autoOn, uint32_t &minimum, uint32_t &maximum, uint32_t &value) {
    supported = QORAGetVideoControlProperties(camera, control, &autoSupported, &autoOn, &minimum,
                                              &maximum, &value) == 0
                    ? 1
                    : 0;
    if (supported == 1 && autoSupported == 1 &&
        qor::usb::controlDone(QORASetVideoControlValue(camera, control, 0, 0)))
        autoOn = 0;
}

int32_t centredEven(int32_t full, int32_t size) {
    int32_t origin = (full - size) / 2;
    return origin % 2 != 0 ? origin + 1 : origin;
}

// Steps 9 to 20: the camera's state and properties.
int32_t configure(CameraHandle camera, uint32_t vendorID, uint32_t productID) {
    CameraRecord &r = *cameraRecord(camera);
    IOUSBInterfaceInterface **intf = r.interfaceInterface;
    uint8_t alternate = (productID & 0x0300) == 0x0300 ? 1 : 2;
    int32_t result = (*intf)->SetAlternateInterface(intf, alternate);
    if (result != kIOReturnSuccess) return result;
    (*intf)->ClearPipeStallBothEnds(intf, 1);

    // Exposure off while the geometry changes; put back once the data rate is set.
    if (QORAReadOneCameraRegister(camera, kRegExposureValue, &r.exposure) != 0) r.exposure = 0;
    QORASetVideoControlValue(camera, kControlExposure, 4, 0);

    uint32_t capabilities = 0;
    if (QORAReadOneCameraRegister(camera, kRegCapabilities, &capabilities) == 0 &&
        (capabilities & 1))
        r.windowResetRequired = 1;

    result = QORAGetCameraImageProperties(camera, &r.maxWidth, &r.maxHeight, &r.widthStep,
                                          &r.heightStep, &r.windowLeft, &r.windowTop, &r.imageWidth,
                                          &r.imageHeight, &r.subSampleX, &r.subSampleY,
                                          &r.sensorType, &r.colorSensor, &r.subsampleSupported);
    if (result != 0) return result;
    r.bitsPerPixel = 8;
    uint32_t formatClass = 0, bits = 0;
    if (QORAImageFormatToQTFormat(r.sensorType, &formatClass, &bits) != 0) return badDepthErr;
    r.bayerPattern = formatClass;

    myFillInWidthHeightSubSampleArray(camera);
    r.imageWidth = 640;
    r.imageHeight = 480;
    r.subSampleX = r.subSampleY = 1;
    myVerifyCameraDimensions(camera, &r.imageWidth, &r.imageHeight, 1);
    r.windowLeft = uint16_t(centredEven(r.maxWidth, r.imageWidth));
    r.windowTop = uint16_t(centredEven(r.maxHeight, r.imageHeight));
    r.rawWidth = r.imageWidth / r.subSampleX;
    r.rawHeight = r.imageHeight / r.subSampleY;

    result = writeGeometry(camera);
    if (result != 0) return result;

    result = QORAGetSupportedKBPSRates(camera);
    if (result != 0) return result;
    if (!r.dataRateTable || r.dataRateCount == 0)
        return memFullErr; // the list was read but could not be kept
    uint16_t first = r.dataRateTable[0];
    uint16_t last = r.dataRateTable[r.dataRateCount - 1];
    int32_t rateWrite;
    if (vendorID == kCameraVendorID2 && (productID & 0x0300) == 0x0300) {
        qor::platform::log(qor::platform::LogLevel::Info, "CameraOpen(): Cam11 detected");
        // This camera runs at its first rate; the record says so too, so that the frame rate
        // and the frame period the digitizer derives from it are the camera's.
        rateWrite = QORAWriteOneCameraRegister(camera, kRegDataRate, first);
        r.dataRateKB = first;
    } else {
        rateWrite = QORAWriteOneCameraRegister(camera, kRegDataRate, last);
        r.dataRateKB = last;
    }
    r.frameRate = float(double(r.dataRateKB) * 1024.0 / (double(r.rawWidth) * r.rawHeight));
    QORASetVideoControlValue(camera, kControlExposure, 4, r.exposure);
    if (rateWrite != 0) return rateWrite;

    r.coolingSupported = r.fanSupported = r.coolingOn = 0;
    uint32_t cooler = 0, fan = 0;
    if (QORAReadOneCameraRegister(camera, kRegCooler, &cooler) == 0) {
        if (cooler & kPresentBit) {
            r.coolingSupported = 1;
            r.coolingOn = (cooler & kCoolerOnState) ? 1 : 0;
        }
        if (QORAReadOneCameraRegister(camera, kRegFan, &fan) == 0 && (fan & kPresentBit))
            r.fanSupported = 1;
    }

    readControl(camera, kControl0400, r.control0400Supported, r.control0400AutoSupported,
                r.control0400AutoOn, r.control0400Min, r.control0400Max, r.control0400Value);
    readControl(camera, kControlExposure, r.exposureSupported, r.exposureAutoSupported,
                r.exposureAutoOn, r.exposureMin, r.framePeriodUs, r.exposure);
    readControl(camera, kControlGain, r.gainSupported, r.gainAutoSupported, r.gainAutoOn, r.gainMin,
                r.gainMax, r.gain);
    if (r.colorSensor == 1) {
        readControl(camera, kControlRedGain, r.redGainSupported, r.redGainAutoSupported,
                    r.redGainAutoOn, r.redGainMin, r.redGainMax, r.redGain);
        readControl(camera, kControlGreen1Gain, r.green1GainSupported, r.green1GainAutoSupported,
                    r.green1GainAutoOn, r.green1GainMin, r.green1GainMax, r.green1Gain);
        readControl(camera, kControlGreen2Gain, r.green2GainSupported, r.green2GainAutoSupported,
                    r.green2GainAutoOn, r.green2GainMin, r.green2GainMax, r.green2Gain);
        readControl(camera, kControlBlueGain, r.blueGainSupported, r.blueGainAutoSupported,
                    r.blueGainAutoOn, r.blueGainMin, r.blueGainMax, r.blueGain);
        r.colorGainsSupported = r.redGainSupported == 1 && r.blueGainSupported == 1 ? 1 : 0;
    } else {
        r.redGainSupported = r.green1GainSupported = r.green2GainSupported = 0;
        r.blueGainSupported = 0;
        r.colorGainsSupported = 0;
    }

    r.gamma = 1.0f;
    r.brightness = 0.0f;
    r.contrast = 1.0f;
    uint32_t toneCurve = 0;
    r.toneCurveSupported = QORAReadOneCameraRegister(camera, kRegToneCurvePresent, &toneCurve) == 0
                               ? toneCurve & 1
                               : 0;
    if (r.toneCurveSupported)
        QORAApplyContrastBrightGammaLUT(camera, r.contrast, r.brightness, r.gamma);
    return 0;
}

// Step 21: defaults, set whenever the camera was found.
void setDefaults(CameraRecord &r) {
    r.colorMatrixIndex = 0;
    if (r.colorSensor == 1) {
        QORAGetBaseRGBCorrectionMatrix(r.colorMatrix, r.productID, 0);
        atomicField(r.colorBalanceActive).store(0);
        r.hue = 0.0f;
        r.saturation = 1.0f;
        r.balanceTargetColor = {0x8000, 0x8000, 0x8000};
        QORAApplyHueSatCorrectionToMatrix(r.colorMatrix, r.hue, r.saturation);
    }
    r.flipHorizontal = 0;
    r.flipVertical = 0;
    r.exposureRoundingMode = 3;
    atomicField(r.callbacksInFlight).store(0);
    r.imageSettingsChanged = 1;
    atomicField(r.lastFilledSlot).store(kNoSlot);
    atomicField(r.readSlot).store(kNoSlot);
    atomicField(r.framesWanted).store(0);
    atomicField(r.framesReady).store(0);
}

// Stops streaming and releases the buffers and the device after removal or before sleep.
void tearDown(CameraHandle camera, bool allowPowerChange, intptr_t notificationID) {
    CameraRecord &r = *cameraRecord(camera);
    QORUSBStopQuedAsynchBulkReads(camera);
    QORADisposeCameraBuffers(camera);
    if (allowPowerChange && r.rootPowerPort) IOAllowPowerChange(r.rootPowerPort, notificationID);
    QORUSBCloseCamera(camera);
    atomicField(r.cameraRemoved).store(1);
}

} // namespace

void myCameraNotification(void *refCon, io_service_t, natural_t messageType,
                          void *messageArgument) {
    CameraHandle camera = static_cast<CameraHandle>(refCon);
    CameraRecord *r = cameraRecord(camera);
    if (!r) return;
    auto notificationID = reinterpret_cast<intptr_t>(messageArgument);
    switch (messageType) {
    case kIOMessageServiceIsTerminated:
    case kIOMessageServiceIsSuspended:
        if (atomicField(r->cameraRemoved).load() == 0) tearDown(camera, false, 0);
        break;
    case kIOMessageCanDevicePowerOff:
    case kIOMessageCanSystemPowerOff:
    case kIOMessageCanSystemSleep:
        // An open, working camera keeps the system awake when it is asked first.
        if (!r->rootPowerPort) break;
        if (atomicField(r->cameraRemoved).load() == 0)
            IOCancelPowerChange(r->rootPowerPort, notificationID);
        else
            IOAllowPowerChange(r->rootPowerPort, notificationID);
        break;
    case kIOMessageDeviceWillPowerOff:
    case kIOMessageSystemWillPowerOff:
    case kIOMessageSystemWillSleep:
        if (atomicField(r->cameraRemoved).load() == 0)
            tearDown(camera, true, notificationID);
        else if (r->rootPowerPort)
            IOAllowPowerChange(r->rootPowerPort, notificationID);
        break;
    default:
        break;
    }
}

extern "C" int32_t QORUSBOpenCamera(uint32_t vendorID, uint32_t productID, const char *name,
                                    Handle camera) {
    CameraRecord *r = cameraRecord(camera);
    if (!r || !name) return -1;
    resetRecord(*r);
    kern_return_t kr = IOMasterPort(MACH_PORT_NULL, &r->masterPort);
    if (kr != KERN_SUCCESS) return kr;
    int32_t error = 0;
    CFMutableDictionaryRef matching = deviceMatching(vendorID, productID, error);
    if (!matching) {
        mach_port_deallocate(mach_task_self(), r->masterPort);
        r->masterPort = 0;
        return error;
    }
    int32_t result = findAndOpen(camera, matching, name);
    if (result != 0) return result;

    armNotifications(camera);
    result = configure(camera, vendorID, productID);
    setDefaults(*r);
    return result;
}
