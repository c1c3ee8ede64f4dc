// IOKit and its USB family as the driver calls them: io objects, matching, notifications,
// system power, and the device and interface user-client interfaces, whose function tables are
// called as (*intf)->ControlRequestTO(intf, 0, &req). Devices come from the backends of
// platform/usb_backend.h.
#pragma once

#include "platform/corefoundation.h"
#include "platform/runloop.h"

#include <qorvanta/status.h>

using mach_port_t = uintptr_t;
using natural_t = uint32_t;
using kern_return_t = int32_t;
using io_object_t = uintptr_t;
using io_service_t = io_object_t;
using io_iterator_t = io_object_t;
using io_connect_t = io_object_t;
using io_name_t = char[128];

constexpr mach_port_t MACH_PORT_NULL = 0;
constexpr mach_port_t bootstrap_port = 0;
constexpr kern_return_t KERN_SUCCESS = 0;
constexpr kern_return_t KERN_INVALID_NAME = 15;
constexpr IOReturn kIOReturnNotReady = int32_t(0xE00002D8);
constexpr IOReturn kIOReturnNoResources = int32_t(0xE00002BE);
constexpr IOReturn kIOReturnDeviceError = int32_t(0xE00002E9);
constexpr IOReturn kIOReturnUnsupported = int32_t(0xE00002C7);
constexpr IOReturn kIOReturnNotPermitted = int32_t(0xE00002E2);
constexpr IOReturn kIOUSBUnknownPipeErr = int32_t(0xE0004061);

struct IONotificationPort;
using IONotificationPortRef = IONotificationPort *;

// Message types of general-interest and system-power notifications.
enum : natural_t {
    kIOMessageServiceIsTerminated = 0xE0000010,
    kIOMessageServiceIsSuspended = 0xE0000020,
    kIOMessageCanDevicePowerOff = 0xE0000200,
    kIOMessageDeviceWillPowerOff = 0xE0000210,
    kIOMessageCanSystemPowerOff = 0xE0000240,
    kIOMessageSystemWillPowerOff = 0xE0000250,
    kIOMessageCanSystemSleep = 0xE0000270,
    kIOMessageSystemWillSleep = 0xE0000280,
    kIOMessageSystemHasPoweredOn = 0xE0000300
};

#define kIOFirstMatchNotification "IOServiceFirstMatch"
#define kIOTerminatedNotification "IOServiceTerminate"
#define kIOGeneralInterest "IOGeneralInterest"
#define kIOUSBDeviceClassName "IOUSBDevice"
#define kUSBVendorID "idVendor"
#define kUSBProductID "idProduct"
#define kUSBDeviceSubClass "bDeviceSubClass"

using IOServiceMatchingCallback = void (*)(void *refcon, io_iterator_t iterator);
using IOServiceInterestCallback = void (*)(void *refcon, io_service_t service,
                                           natural_t messageType, void *messageArgument);
// Completion of an asynchronous pipe transfer; arg0 carries the byte count.
using IOAsyncCallback1 = void (*)(void *refcon, IOReturn result, void *arg0);

kern_return_t IOMasterPort(mach_port_t bootstrapPort, mach_port_t *masterPort);
kern_return_t mach_port_deallocate(mach_port_t task, mach_port_t name);
mach_port_t mach_task_self();

kern_return_t IOObjectRetain(io_object_t object);
kern_return_t IOObjectRelease(io_object_t object);
// The number of references an object holds now; 0 for an unknown or freed object.
uint32_t IOObjectGetRetainCount(io_object_t object);
io_object_t IOIteratorNext(io_iterator_t iterator);
void IOIteratorReset(io_iterator_t iterator);
Boolean IOIteratorIsValid(io_iterator_t iterator);

// A dictionary matching services of a class; "IOUSBDevice" matches every USB device. Keys
// "idVendor", "idProduct" and "bDeviceSubClass" narrow it.
CFMutableDictionaryRef IOServiceMatching(const char *className);
// Both consume one reference to matching.
kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort, CFDictionaryRef matching,
                                           io_iterator_t *existing);
kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef port,
                                               const char *notificationType,
                                               CFDictionaryRef matching,
                                               IOServiceMatchingCallback callback, void *refCon,
                                               io_iterator_t *notification);
kern_return_t IOServiceAddInterestNotification(IONotificationPortRef port, io_service_t service,
                                               const char *interestType,
                                               IOServiceInterestCallback callback, void *refCon,
                                               io_object_t *notification);

IONotificationPortRef IONotificationPortCreate(mach_port_t masterPort);
void IONotificationPortDestroy(IONotificationPortRef port);
CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef port);

// System power: registration, and the answers to a query (messageArgument of the query).
io_connect_t IORegisterForSystemPower(void *refcon, IONotificationPortRef *thePortRef,
                                      IOServiceInterestCallback callback, io_object_t *notifier);
IOReturn IODeregisterForSystemPower(io_object_t *notifier);
IOReturn IOAllowPowerChange(io_connect_t kernelPort, intptr_t notificationID);
IOReturn IOCancelPowerChange(io_connect_t kernelPort, intptr_t notificationID);

// ---- Plug-in interfaces ----------------------------------------------------------------

#define IUNKNOWN_C_GUTS                                                                            \
    void *_reserved;                                                                               \
    HRESULT (*QueryInterface)(void *thisPointer, REFIID iid, LPVOID *ppv);                         \
    uint32_t (*AddRef)(void *thisPointer);                                                         \
    uint32_t (*Release)(void *thisPointer)

struct IOCFPlugInInterface {
    IUNKNOWN_C_GUTS;
};

extern const CFUUIDRef kIOUSBDeviceUserClientTypeID;
extern const CFUUIDRef kIOUSBInterfaceUserClientTypeID;
extern const CFUUIDRef kIOCFPlugInInterfaceID;
extern const CFUUIDRef kIOUSBDeviceInterfaceID187;
extern const CFUUIDRef kIOUSBInterfaceInterfaceID;

kern_return_t IOCreatePlugInInterfaceForService(io_service_t service, CFUUIDRef pluginType,
                                                CFUUIDRef interfaceType,
                                                IOCFPlugInInterface ***theInterface,
                                                int32_t *theScore);
kern_return_t IODestroyPlugInInterface(IOCFPlugInInterface **interface);

// ---- USB requests and descriptors --------------------------------------------------------

struct IOUSBDevRequest {
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
    void *pData;
    uint32_t wLenDone;
};

struct IOUSBDevRequestTO {
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
    void *pData;
    uint32_t wLenDone;
    uint32_t noDataTimeout;
    uint32_t completionTimeout;
};

struct IOUSBFindInterfaceRequest {
    uint16_t bInterfaceClass;
    uint16_t bInterfaceSubClass;
    uint16_t bInterfaceProtocol;
    uint16_t bAlternateSetting;
};
constexpr uint16_t kIOUSBFindInterfaceDontCare = 0xFFFF;

#pragma pack(push, 1)
struct IOUSBConfigurationDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t wTotalLength;
    uint8_t bNumInterfaces;
    uint8_t bConfigurationValue;
    uint8_t iConfiguration;
    uint8_t bmAttributes;
    uint8_t MaxPower;
};
#pragma pack(pop)
using IOUSBConfigurationDescriptorPtr = IOUSBConfigurationDescriptor *;

enum { kUSBIn = 1, kUSBOut = 0, kUSBAnyDirn = 3, kUSBControl = 0, kUSBBulk = 2 };

// The time-out of DeviceRequest, which takes none.
constexpr uint32_t kUSBDefaultControlNoDataTimeoutMS = 5000;

// The device user client, revision 187 (the slots the driver uses).
struct IOUSBDeviceInterface187 {
    IUNKNOWN_C_GUTS;
    IOReturn (*USBDeviceOpen)(void *self);
    IOReturn (*USBDeviceClose)(void *self);
    IOReturn (*GetDeviceClass)(void *self, uint8_t *devClass);
    IOReturn (*GetDeviceSubClass)(void *self, uint8_t *devSubClass);
    IOReturn (*GetDeviceVendor)(void *self, uint16_t *devVendor);
    IOReturn (*GetDeviceProduct)(void *self, uint16_t *devProduct);
    IOReturn (*GetDeviceReleaseNumber)(void *self, uint16_t *devRelNum);
    IOReturn (*GetLocationID)(void *self, uint32_t *locationID);
    IOReturn (*GetNumberOfConfigurations)(void *self, uint8_t *numConfig);
    IOReturn (*GetConfigurationDescriptorPtr)(void *self, uint8_t configIndex,
                                              IOUSBConfigurationDescriptorPtr *desc);
    IOReturn (*GetConfiguration)(void *self, uint8_t *configNum);
    IOReturn (*SetConfiguration)(void *self, uint8_t configNum);
    IOReturn (*CreateInterfaceIterator)(void *self, IOUSBFindInterfaceRequest *req,
                                        io_iterator_t *iter);
    IOReturn (*DeviceRequest)(void *self, IOUSBDevRequest *req);
    IOReturn (*DeviceRequestTO)(void *self, IOUSBDevRequestTO *req);
    IOReturn (*USBGetManufacturerStringIndex)(void *self, uint8_t *msi);
    IOReturn (*USBGetProductStringIndex)(void *self, uint8_t *psi);
    IOReturn (*USBGetSerialNumberStringIndex)(void *self, uint8_t *snsi);
};

// The interface user client (the slots the driver uses). Pipe 0 is the default control pipe;
// pipes 1..n are the endpoints of the current alternate setting in descriptor order.
struct IOUSBInterfaceInterface {
    IUNKNOWN_C_GUTS;
    IOReturn (*CreateInterfaceAsyncEventSource)(void *self, CFRunLoopSourceRef *source);
    CFRunLoopSourceRef (*GetInterfaceAsyncEventSource)(void *self);
    IOReturn (*USBInterfaceOpen)(void *self);
    IOReturn (*USBInterfaceClose)(void *self);
    IOReturn (*GetInterfaceNumber)(void *self, uint8_t *intfNumber);
    IOReturn (*GetAlternateSetting)(void *self, uint8_t *intfAltSetting);
    IOReturn (*GetNumEndpoints)(void *self, uint8_t *intfNumEndpoints);
    IOReturn (*SetAlternateInterface)(void *self, uint8_t alternateSetting);
    IOReturn (*GetPipeProperties)(void *self, uint8_t pipeRef, uint8_t *direction, uint8_t *number,
                                  uint8_t *transferType, uint16_t *maxPacketSize,
                                  uint8_t *interval);
    IOReturn (*GetPipeStatus)(void *self, uint8_t pipeRef);
    IOReturn (*AbortPipe)(void *self, uint8_t pipeRef);
    IOReturn (*ClearPipeStall)(void *self, uint8_t pipeRef);
    IOReturn (*ClearPipeStallBothEnds)(void *self, uint8_t pipeRef);
    IOReturn (*ControlRequestTO)(void *self, uint8_t pipeRef, IOUSBDevRequestTO *req);
    IOReturn (*ReadPipeTO)(void *self, uint8_t pipeRef, void *buf, uint32_t *size,
                           uint32_t noDataTimeout, uint32_t completionTimeout);
    IOReturn (*WritePipeTO)(void *self, uint8_t pipeRef, void *buf, uint32_t size,
                            uint32_t noDataTimeout, uint32_t completionTimeout);
    IOReturn (*ReadPipeAsync)(void *self, uint8_t pipeRef, void *buf, uint32_t size,
                              IOAsyncCallback1 callback, void *refcon);
};

namespace qor::usb {

// Whether a service (a device or one of its interfaces) is a simulated camera rather than real
// hardware; false for a service that names neither. The simulator's firmware and bitstreams are
// sent only to simulated cameras.
bool serviceIsSimulated(io_service_t service);

} // namespace qor::usb

namespace qor::platform {

// Queues a system-power message for every IORegisterForSystemPower client; each receives it
// when the run loop holding its port's source next runs. A front end's power monitor and tests
// call it; messageArgument identifies the request in the answers.
void postSystemPowerMessage(natural_t messageType, intptr_t messageArgument);
// Answers given to power messages so far (allow and cancel counts), for tests.
struct PowerAnswers {
    int allowed;
    int cancelled;
};
PowerAnswers systemPowerAnswers();

} // namespace qor::platform
