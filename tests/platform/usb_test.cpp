#include "platform/usb.h"

#include "platform/fake_usb_backend.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <optional>
#include <thread>
#include <vector>

namespace {

using qor::test::FakeBackend;
using qor::test::FakeDevice;
using namespace std::chrono_literals;

constexpr uint16_t kVendor = 0xF00D; // no other backend's devices answer to it
constexpr uint16_t kProduct = 0x00A1;

// Interface 0: nothing in alternate setting 0, bulk in 6 and out 2 in setting 1, bulk in 6
// alone in setting 2.
qor::usb::ConfigDescriptor cameraConfiguration() {
    using qor::usb::EndpointDescriptor;
    EndpointDescriptor in{0x86, qor::usb::kTransferTypeBulk, 512, 0};
    EndpointDescriptor out{0x02, qor::usb::kTransferTypeBulk, 512, 0};
    return {1,
            0x80,
            250,
            {{0, 0, 0xFF, 0, 0, {}}, {0, 1, 0xFF, 0, 0, {in, out}}, {0, 2, 0xFF, 0, 0, {in}}}};
}

CFMutableDictionaryRef matching(std::optional<int32_t> vendor, std::optional<int32_t> product,
                                std::optional<int32_t> subClass = std::nullopt) {
    CFMutableDictionaryRef dictionary = IOServiceMatching(kIOUSBDeviceClassName);
    auto set = [&](const char *key, std::optional<int32_t> value) {
        if (!value) return;
        CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &*value);
        CFDictionarySetValue(dictionary, CFSTR(key), number);
        CFRelease(number);
    };
    set(kUSBVendorID, vendor);
    set(kUSBProductID, product);
    set(kUSBDeviceSubClass, subClass);
    return dictionary;
}

// Walks an iterator to its end; the caller releases the services.
std::vector<io_service_t> walk(io_iterator_t iterator) {
    std::vector<io_service_t> services;
    while (io_service_t service = IOIteratorNext(iterator)) services.push_back(service);
    return services;
}

std::vector<io_service_t> matchingServices(CFDictionaryRef dictionary) {
    io_iterator_t iterator = 0;
    EXPECT_EQ(IOServiceGetMatchingServices(MACH_PORT_NULL, dictionary, &iterator), 0);
    std::vector<io_service_t> services = walk(iterator);
    IOObjectRelease(iterator);
    return services;
}

size_t countMatches(CFDictionaryRef dictionary) {
    auto services = matchingServices(dictionary);
    for (io_service_t service : services) IOObjectRelease(service);
    return services.size();
}

template <class Interface>
Interface **userClient(io_service_t service, CFUUIDRef type, CFUUIDRef interfaceID) {
    IOCFPlugInInterface **plugIn = nullptr;
    int32_t score;
    if (IOCreatePlugInInterfaceForService(service, type, kIOCFPlugInInterfaceID, &plugIn, &score) !=
        kIOReturnSuccess)
        return nullptr;
    Interface **client = nullptr;
    (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(interfaceID),
                              reinterpret_cast<LPVOID *>(&client));
    IODestroyPlugInInterface(plugIn);
    return client;
}

IOUSBDeviceInterface187 **deviceClient(io_service_t service) {
    return userClient<IOUSBDeviceInterface187>(service, kIOUSBDeviceUserClientTypeID,
                                               kIOUSBDeviceInterfaceID187);
}

IOUSBInterfaceInterface **interfaceClient(io_service_t service) {
    return userClient<IOUSBInterfaceInterface>(service, kIOUSBInterfaceUserClientTypeID,
                                               kIOUSBInterfaceInterfaceID);
}

IOUSBFindInterfaceRequest anyInterface() {
    return {kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare,
            kIOUSBFindInterfaceDontCare};
}

// Runs the current loop until one source was handled, or the time is up.
int32_t runOnce(double seconds = 2.0) {
    return CFRunLoopRunInMode(kCFRunLoopDefaultMode, seconds, true);
}

class IOKitUSB : public ::testing::Test {
protected:
    void SetUp() override {
        qor::usb::addBackend(bus);
        camera = plug(kProduct, 0x14100000);
    }
    void TearDown() override { qor::usb::removeBackend(bus); }

    std::shared_ptr<FakeDevice> plug(uint16_t product, uint32_t location, uint8_t subClass = 0) {
        qor::usb::DeviceDescriptor descriptor{0x0200,  0xFF,   subClass, 0, 64, kVendor,
                                              product, 0x0010, 1,        2, 3,  1};
        auto device = bus->makeDevice(descriptor, {cameraConfiguration()}, location);
        bus->plug(device);
        return device;
    }

    io_service_t cameraService() {
        auto services = matchingServices(matching(kVendor, kProduct));
        EXPECT_EQ(services.size(), 1u);
        return services.empty() ? 0 : services[0];
    }

    // The camera's device, open and configured, and its interface.
    struct Opened {
        IOUSBDeviceInterface187 **device;
        IOUSBInterfaceInterface **interface;
    };
    Opened openCamera() {
        io_service_t service = cameraService();
        IOUSBDeviceInterface187 **device = deviceClient(service);
        IOObjectRelease(service);
        EXPECT_EQ((*device)->USBDeviceOpen(device), 0);
        EXPECT_EQ((*device)->SetConfiguration(device, 1), 0);
        IOUSBFindInterfaceRequest request = anyInterface();
        io_iterator_t iterator = 0;
        EXPECT_EQ((*device)->CreateInterfaceIterator(device, &request, &iterator), 0);
        auto interfaces = walk(iterator);
        IOObjectRelease(iterator);
        EXPECT_EQ(interfaces.size(), 1u);
        IOUSBInterfaceInterface **interface = interfaceClient(interfaces.at(0));
        IOObjectRelease(interfaces[0]);
        return {device, interface};
    }
    static void close(Opened opened) {
        (*opened.interface)->Release(opened.interface);
        (*opened.device)->Release(opened.device);
    }

    std::shared_ptr<FakeBackend> bus = std::make_shared<FakeBackend>();
    std::shared_ptr<FakeDevice> camera;
};

// ---- matching and notifications ----------------------------------------------------------

TEST_F(IOKitUSB, MatchingNarrowsByVendorProductAndSubclass) {
    plug(kProduct | 0x8000, 0x14200000, 0xFF);
    plug(0x00A2, 0x14300000);

    EXPECT_EQ(countMatches(matching(kVendor, std::nullopt)), 3u);
    EXPECT_EQ(countMatches(matching(kVendor, kProduct)), 1u);
    EXPECT_EQ(countMatches(matching(kVendor, 0x00A2)), 1u);
    EXPECT_EQ(countMatches(matching(kVendor, std::nullopt, 0xFF)), 1u);
    EXPECT_EQ(countMatches(matching(kVendor, kProduct, 0xFF)), 0u);
    EXPECT_EQ(countMatches(matching(kVendor + 1, std::nullopt)), 0u);

    CFMutableDictionaryRef interfaces = IOServiceMatching("IOUSBInterface");
    EXPECT_EQ(countMatches(interfaces), 0u);

    CFMutableDictionaryRef kept = matching(kVendor, kProduct);
    CFRetain(kept);
    countMatches(kept);
    EXPECT_EQ(CFGetRetainCount(kept), 1) << "the lookup consumed one reference";
    CFRelease(kept);
}

struct MatchRecord {
    int calls = 0;
    io_iterator_t iterator = 0;
    size_t services = 0;
    std::thread::id thread;
};

void recordMatches(void *refcon, io_iterator_t iterator) {
    auto *record = static_cast<MatchRecord *>(refcon);
    ++record->calls;
    record->iterator = iterator;
    record->thread = std::this_thread::get_id();
    for (io_service_t service : walk(iterator)) {
        ++record->services;
        IOObjectRelease(service);
    }
}

TEST_F(IOKitUSB, FirstMatchListsPresentDevicesThenDeliversArrivalsThroughThePort) {
    IONotificationPortRef port = IONotificationPortCreate(MACH_PORT_NULL);
    CFRunLoopSourceRef source = IONotificationPortGetRunLoopSource(port);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);

    MatchRecord record;
    io_iterator_t notification = 0;
    ASSERT_EQ(IOServiceAddMatchingNotification(port, kIOFirstMatchNotification,
                                               matching(kVendor, kProduct), recordMatches, &record,
                                               &notification),
              0);
    recordMatches(&record, notification); // as the loader does, at once
    EXPECT_EQ(record.services, 1u);

    plug(kProduct, 0x14200000);
    plug(0x00A2, 0x14300000); // another product: not delivered
    EXPECT_EQ(runOnce(), kCFRunLoopRunHandledSource);
    EXPECT_EQ(record.calls, 2);
    EXPECT_EQ(record.iterator, notification);
    EXPECT_EQ(record.services, 2u);
    EXPECT_EQ(record.thread, std::this_thread::get_id());
    EXPECT_EQ(runOnce(0.05), kCFRunLoopRunTimedOut);
    EXPECT_EQ(record.calls, 2);

    IOObjectRelease(notification);
    plug(kProduct, 0x14400000);
    runOnce(0.05);
    EXPECT_EQ(record.calls, 2) << "a released notification delivers nothing";

    CFRunLoopRemoveSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    IONotificationPortDestroy(port);
}

struct InterestRecord {
    int calls = 0;
    io_service_t service = 0;
    natural_t message = 0;
    void *argument = reinterpret_cast<void *>(1);
};

void recordInterest(void *refcon, io_service_t service, natural_t message, void *argument) {
    auto *record = static_cast<InterestRecord *>(refcon);
    ++record->calls;
    record->service = service;
    record->message = message;
    record->argument = argument;
}

class Interest : public IOKitUSB {
protected:
    void SetUp() override {
        IOKitUSB::SetUp();
        service = cameraService();
        port = IONotificationPortCreate(MACH_PORT_NULL);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                           kCFRunLoopDefaultMode);
    }
    void TearDown() override {
        if (port) IONotificationPortDestroy(port);
        IOObjectRelease(service);
        IOKitUSB::TearDown();
    }
    kern_return_t watch() {
        return IOServiceAddInterestNotification(port, service, kIOGeneralInterest, recordInterest,
                                                &record, &notification);
    }

    io_service_t service = 0;
    IONotificationPortRef port = nullptr;
    io_object_t notification = 0;
    InterestRecord record;
};

TEST_F(Interest, RemovalIsDeliveredAsTerminationOnThePortsLoop) {
    ASSERT_EQ(watch(), 0);
    EXPECT_EQ(IOObjectGetRetainCount(service), 2u) << "the notification holds the service";
    bus->unplug(camera);
    EXPECT_EQ(runOnce(), kCFRunLoopRunHandledSource);
    EXPECT_EQ(record.calls, 1);
    EXPECT_EQ(record.service, service);
    EXPECT_EQ(record.message, natural_t(kIOMessageServiceIsTerminated));
    EXPECT_EQ(record.argument, nullptr);

    IOCFPlugInInterface **plugIn = nullptr;
    int32_t score;
    EXPECT_EQ(IOCreatePlugInInterfaceForService(service, kIOUSBDeviceUserClientTypeID,
                                                kIOCFPlugInInterfaceID, &plugIn, &score),
              kIOReturnNoDevice);
    EXPECT_EQ(plugIn, nullptr);
    IOObjectRelease(notification);
}

TEST_F(Interest, ADeviceGoneBeforeTheWatchStartsIsStillReported) {
    bus->unplug(camera);
    ASSERT_EQ(watch(), 0);
    EXPECT_EQ(runOnce(), kCFRunLoopRunHandledSource);
    EXPECT_EQ(record.calls, 1);
    EXPECT_EQ(runOnce(0.05), kCFRunLoopRunTimedOut) << "reported once";
    IOObjectRelease(notification);
}

TEST_F(Interest, ReleasingTheNotificationDropsItsPendingDelivery) {
    ASSERT_EQ(watch(), 0);
    bus->unplug(camera);
    IOObjectRelease(notification);
    EXPECT_EQ(IOObjectGetRetainCount(service), 1u);
    runOnce(0.05);
    EXPECT_EQ(record.calls, 0);
}

TEST_F(Interest, DestroyingThePortDropsItsPendingDelivery) {
    ASSERT_EQ(watch(), 0);
    bus->unplug(camera);
    IONotificationPortDestroy(std::exchange(port, nullptr));
    EXPECT_EQ(runOnce(0.05), kCFRunLoopRunTimedOut);
    EXPECT_EQ(record.calls, 0);
    EXPECT_EQ(IOObjectRelease(notification), 0);
}

struct PowerRecord {
    io_connect_t root = 0;
    std::vector<std::pair<natural_t, intptr_t>> messages;
};

// Vetoes queries and allows announced sleep, as an open camera does.
void answerPower(void *refcon, io_service_t root, natural_t message, void *argument) {
    auto *record = static_cast<PowerRecord *>(refcon);
    record->messages.emplace_back(message, reinterpret_cast<intptr_t>(argument));
    EXPECT_EQ(root, record->root);
    if (message == kIOMessageCanSystemSleep)
        IOCancelPowerChange(root, reinterpret_cast<intptr_t>(argument));
    else
        IOAllowPowerChange(root, reinterpret_cast<intptr_t>(argument));
}

TEST(SystemPower, MessagesReachRegistrantsOnTheirLoopAndAnswersAreCounted) {
    PowerRecord record;
    IONotificationPortRef port = nullptr;
    io_object_t notifier = 0;
    record.root = IORegisterForSystemPower(&record, &port, answerPower, &notifier);
    ASSERT_NE(record.root, 0u);
    ASSERT_NE(notifier, 0u);
    CFRunLoopSourceRef source = IONotificationPortGetRunLoopSource(port);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);

    auto before = qor::platform::systemPowerAnswers();
    qor::platform::postSystemPowerMessage(kIOMessageCanSystemSleep, 77);
    qor::platform::postSystemPowerMessage(kIOMessageSystemWillSleep, 78);
    EXPECT_TRUE(record.messages.empty()) << "nothing runs before the loop does";
    EXPECT_EQ(runOnce(), kCFRunLoopRunHandledSource);
    ASSERT_EQ(record.messages.size(), 2u);
    EXPECT_EQ(record.messages[0],
              std::make_pair(natural_t(kIOMessageCanSystemSleep), intptr_t(77)));
    EXPECT_EQ(record.messages[1],
              std::make_pair(natural_t(kIOMessageSystemWillSleep), intptr_t(78)));
    auto after = qor::platform::systemPowerAnswers();
    EXPECT_EQ(after.cancelled - before.cancelled, 1);
    EXPECT_EQ(after.allowed - before.allowed, 1);

    EXPECT_EQ(IODeregisterForSystemPower(&notifier), 0);
    EXPECT_EQ(notifier, 0u);
    qor::platform::postSystemPowerMessage(kIOMessageCanSystemSleep, 79);
    runOnce(0.05);
    EXPECT_EQ(record.messages.size(), 2u);
    EXPECT_NE(IOAllowPowerChange(record.root, 79), 0) << "the connection went with the notifier";
    EXPECT_NE(IODeregisterForSystemPower(&notifier), 0);

    CFRunLoopRemoveSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    IONotificationPortDestroy(port);
}

// ---- objects -------------------------------------------------------------------------------

TEST_F(IOKitUSB, ObjectsCountReferencesAndRejectBadHandles) {
    EXPECT_NE(IOObjectRelease(0), 0);
    EXPECT_NE(IOObjectRetain(0), 0);
    EXPECT_EQ(IOObjectGetRetainCount(0), 0u);

    plug(0x00A2, 0x14200000);
    io_iterator_t iterator = 0;
    ASSERT_EQ(
        IOServiceGetMatchingServices(MACH_PORT_NULL, matching(kVendor, std::nullopt), &iterator),
        0);
    EXPECT_EQ(IOObjectGetRetainCount(iterator), 1u);
    io_service_t first = IOIteratorNext(iterator);
    EXPECT_EQ(IOObjectGetRetainCount(first), 2u) << "the iterator's and ours";
    EXPECT_EQ(IOObjectRetain(first), 0);
    EXPECT_EQ(IOObjectGetRetainCount(first), 3u);
    EXPECT_EQ(IOObjectRelease(first), 0);
    EXPECT_NE(IOIteratorNext(iterator), 0u);
    EXPECT_EQ(IOIteratorNext(iterator), 0u) << "end";
    EXPECT_EQ(IOIteratorNext(iterator), 0u);
    IOIteratorReset(iterator);
    EXPECT_EQ(IOIteratorNext(iterator), first) << "a new reference to the same service";
    EXPECT_EQ(IOObjectGetRetainCount(first), 3u);
    IOObjectRelease(first);

    EXPECT_TRUE(IOIteratorIsValid(iterator));
    EXPECT_EQ(IOObjectRelease(iterator), 0);
    EXPECT_FALSE(IOIteratorIsValid(iterator));
    EXPECT_EQ(IOObjectGetRetainCount(first), 1u) << "ours is all that is left";
    EXPECT_EQ(IOObjectRelease(first), 0);
    EXPECT_NE(IOObjectRelease(first), 0) << "freed";
    EXPECT_NE(IOObjectRelease(iterator), 0) << "freed";

    mach_port_t master = MACH_PORT_NULL;
    ASSERT_EQ(IOMasterPort(bootstrap_port, &master), KERN_SUCCESS);
    EXPECT_NE(master, MACH_PORT_NULL);
    EXPECT_EQ(mach_port_deallocate(mach_task_self(), master), KERN_SUCCESS);
    EXPECT_EQ(mach_port_deallocate(mach_task_self(), master), KERN_INVALID_NAME);
}

TEST_F(IOKitUSB, PlugInsHandOutOnlyTheirServicesInterface) {
    io_service_t service = cameraService();
    IOCFPlugInInterface **plugIn = nullptr;
    int32_t score;
    EXPECT_NE(IOCreatePlugInInterfaceForService(service, kIOUSBInterfaceUserClientTypeID,
                                                kIOCFPlugInInterfaceID, &plugIn, &score),
              0);
    EXPECT_EQ(plugIn, nullptr);
    EXPECT_NE(IOCreatePlugInInterfaceForService(service, kIOUSBDeviceUserClientTypeID,
                                                kIOUSBDeviceInterfaceID187, &plugIn, &score),
              0);
    ASSERT_EQ(IOCreatePlugInInterfaceForService(service, kIOUSBDeviceUserClientTypeID,
                                                kIOCFPlugInInterfaceID, &plugIn, &score),
              0);
    ASSERT_NE(plugIn, nullptr);
    IOObjectRelease(service);

    void *wrong = &score;
    EXPECT_EQ(
        (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBInterfaceInterfaceID), &wrong),
        E_NOINTERFACE);
    EXPECT_EQ(wrong, nullptr);
    IOUSBDeviceInterface187 **device = nullptr;
    EXPECT_EQ((*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID187),
                                        reinterpret_cast<LPVOID *>(&device)),
              S_OK);
    EXPECT_EQ(IODestroyPlugInInterface(plugIn), 0);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ((*device)->AddRef(device), 2u);
    EXPECT_EQ((*device)->Release(device), 1u);

    // The interface's plug-in answers for the interface only.
    ASSERT_EQ((*device)->USBDeviceOpen(device), 0);
    ASSERT_EQ((*device)->SetConfiguration(device, 1), 0);
    IOUSBFindInterfaceRequest request = anyInterface();
    io_iterator_t iterator = 0;
    ASSERT_EQ((*device)->CreateInterfaceIterator(device, &request, &iterator), 0);
    io_service_t interface = IOIteratorNext(iterator);
    IOObjectRelease(iterator);
    EXPECT_EQ(userClient<IOUSBDeviceInterface187>(interface, kIOUSBInterfaceUserClientTypeID,
                                                  kIOUSBDeviceInterfaceID187),
              nullptr);
    IOUSBInterfaceInterface **client = interfaceClient(interface);
    EXPECT_NE(client, nullptr);
    EXPECT_EQ((*client)->Release(client), 0u);
    IOObjectRelease(interface);
    EXPECT_EQ((*device)->Release(device), 0u);
    EXPECT_FALSE(camera->isOpen()) << "releasing an open device closes it";
}

// ---- device interface --------------------------------------------------------------------

TEST_F(IOKitUSB, DeviceInterfaceReadsDescriptorsAndNeedsOpenToConfigure) {
    io_service_t service = cameraService();
    IOUSBDeviceInterface187 **device = deviceClient(service);
    IOObjectRelease(service);
    ASSERT_NE(device, nullptr);

    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    EXPECT_EQ((*device)->GetDeviceClass(device, &u8), 0);
    EXPECT_EQ(u8, 0xFF);
    EXPECT_EQ((*device)->GetDeviceVendor(device, &u16), 0);
    EXPECT_EQ(u16, kVendor);
    EXPECT_EQ((*device)->GetDeviceProduct(device, &u16), 0);
    EXPECT_EQ(u16, kProduct);
    EXPECT_EQ((*device)->GetDeviceReleaseNumber(device, &u16), 0);
    EXPECT_EQ(u16, 0x0010);
    EXPECT_EQ((*device)->GetLocationID(device, &u32), 0);
    EXPECT_EQ(u32, 0x14100000u);
    EXPECT_EQ((*device)->USBGetSerialNumberStringIndex(device, &u8), 0);
    EXPECT_EQ(u8, 3);
    EXPECT_EQ((*device)->GetNumberOfConfigurations(device, &u8), 0);
    EXPECT_EQ(u8, 1);

    IOUSBConfigurationDescriptorPtr config = nullptr;
    ASSERT_EQ((*device)->GetConfigurationDescriptorPtr(device, 0, &config), 0);
    EXPECT_EQ(config->bLength, 9);
    EXPECT_EQ(config->bDescriptorType, 2);
    uint16_t totalLength = config->wTotalLength; // packed: no reference to it
    EXPECT_EQ(totalLength, 9 + 3 * 9 + 3 * 7);
    EXPECT_EQ(config->bNumInterfaces, 1);
    EXPECT_EQ(config->bConfigurationValue, 1);
    EXPECT_EQ(config->MaxPower, 250);
    IOUSBConfigurationDescriptorPtr again = nullptr;
    (*device)->GetConfigurationDescriptorPtr(device, 0, &again);
    EXPECT_EQ(again, config);
    EXPECT_NE((*device)->GetConfigurationDescriptorPtr(device, 1, &again), 0);

    IOUSBFindInterfaceRequest request = anyInterface();
    io_iterator_t iterator = 0;
    ASSERT_EQ((*device)->CreateInterfaceIterator(device, &request, &iterator), 0);
    EXPECT_EQ(IOIteratorNext(iterator), 0u) << "an unconfigured device has no interfaces";
    IOObjectRelease(iterator);

    EXPECT_EQ((*device)->SetConfiguration(device, 1), kIOReturnNotOpen);
    ASSERT_EQ((*device)->USBDeviceOpen(device), 0);
    IOUSBDeviceInterface187 **rival = deviceClient(cameraService());
    EXPECT_EQ((*rival)->USBDeviceOpen(rival), kIOReturnExclusiveAccess);
    (*rival)->Release(rival);
    EXPECT_EQ((*device)->SetConfiguration(device, 1), 0);
    EXPECT_EQ(camera->configuration(), 1);
    uint8_t current = 0;
    (*device)->GetConfiguration(device, &current);
    EXPECT_EQ(current, 1);

    request.bInterfaceClass = 0x03;
    ASSERT_EQ((*device)->CreateInterfaceIterator(device, &request, &iterator), 0);
    EXPECT_EQ(IOIteratorNext(iterator), 0u) << "no interface of that class";
    IOObjectRelease(iterator);

    EXPECT_EQ((*device)->USBDeviceClose(device), 0);
    EXPECT_EQ((*device)->USBDeviceClose(device), kIOReturnNotOpen);
    (*device)->Release(device);
}

TEST_F(IOKitUSB, DeviceRequestsNeedNoOpenAndReportTheBytesMoved) {
    io_service_t service = cameraService();
    IOUSBDeviceInterface187 **device = deviceClient(service);
    IOObjectRelease(service);

    uint8_t header[2] = {};
    IOUSBDevRequestTO request{0x80, 6, 0x0302, 0x0409, 2, header, 99, 1234, 4321};
    EXPECT_EQ((*device)->DeviceRequestTO(device, &request), 0);
    EXPECT_EQ(request.wLenDone, 2u);
    EXPECT_EQ(header[0], 0xA5);
    auto sent = camera->controls().back();
    EXPECT_EQ(sent.setup.bRequest, 6);
    EXPECT_EQ(sent.setup.wValue, 0x0302);
    EXPECT_EQ(sent.setup.wIndex, 0x0409);
    EXPECT_EQ(sent.timeouts.noDataMs, 1234u);
    EXPECT_EQ(sent.timeouts.completionMs, 4321u);

    camera->shortenControlsBy(1);
    IOUSBDevRequest plain{0x80, 6, 0x0302, 0x0409, 2, header, 0};
    EXPECT_EQ((*device)->DeviceRequest(device, &plain), 0);
    EXPECT_EQ(plain.wLenDone, 1u);
    EXPECT_EQ(camera->controls().back().timeouts.noDataMs, kUSBDefaultControlNoDataTimeoutMS);
    EXPECT_EQ(camera->controls().back().timeouts.completionMs, 0u);

    IOUSBDevRequest noBuffer{0x80, 6, 0x0302, 0x0409, 2, nullptr, 0};
    EXPECT_EQ((*device)->DeviceRequest(device, &noBuffer), kIOReturnBadArgument);
    (*device)->Release(device);
}

// ---- interface interface -----------------------------------------------------------------

TEST_F(IOKitUSB, PipesFollowTheAlternateSetting) {
    Opened opened = openCamera();
    IOUSBInterfaceInterface **interface = opened.interface;
    ASSERT_NE(interface, nullptr);

    EXPECT_EQ((*interface)->SetAlternateInterface(interface, 1), kIOReturnNotOpen);
    EXPECT_EQ((*interface)->GetPipeStatus(interface, 0), kIOReturnNotOpen);
    ASSERT_EQ((*interface)->USBInterfaceOpen(interface), 0);
    EXPECT_TRUE(camera->claimed(0));

    uint8_t count = 99;
    (*interface)->GetNumEndpoints(interface, &count);
    EXPECT_EQ(count, 0);
    EXPECT_EQ((*interface)->GetPipeStatus(interface, 1), kIOUSBUnknownPipeErr);

    ASSERT_EQ((*interface)->SetAlternateInterface(interface, 1), 0);
    EXPECT_EQ(camera->alternate(0), 1);
    (*interface)->GetNumEndpoints(interface, &count);
    EXPECT_EQ(count, 2);
    uint8_t direction, number, type, interval;
    uint16_t packet;
    ASSERT_EQ((*interface)
                  ->GetPipeProperties(interface, 1, &direction, &number, &type, &packet, &interval),
              0);
    EXPECT_EQ(direction, kUSBIn);
    EXPECT_EQ(number, 6);
    EXPECT_EQ(type, kUSBBulk);
    EXPECT_EQ(packet, 512);
    (*interface)->GetPipeProperties(interface, 2, &direction, &number, &type, &packet, &interval);
    EXPECT_EQ(direction, kUSBOut);
    EXPECT_EQ(number, 2);
    (*interface)->GetPipeProperties(interface, 0, &direction, &number, &type, &packet, &interval);
    EXPECT_EQ(type, kUSBControl);
    EXPECT_EQ(packet, 64);
    EXPECT_EQ((*interface)
                  ->GetPipeProperties(interface, 3, &direction, &number, &type, &packet, &interval),
              kIOUSBUnknownPipeErr);

    ASSERT_EQ((*interface)->SetAlternateInterface(interface, 2), 0);
    (*interface)->GetNumEndpoints(interface, &count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ((*interface)->GetPipeStatus(interface, 2), kIOUSBUnknownPipeErr);
    EXPECT_EQ((*interface)->SetAlternateInterface(interface, 5), kIOReturnBadArgument);
    uint8_t alternate = 0;
    (*interface)->GetAlternateSetting(interface, &alternate);
    EXPECT_EQ(alternate, 2);

    EXPECT_EQ((*interface)->USBInterfaceClose(interface), 0);
    EXPECT_FALSE(camera->claimed(0));
    close(opened);
}

TEST_F(IOKitUSB, PipeOperationsReachTheirEndpoints) {
    Opened opened = openCamera();
    IOUSBInterfaceInterface **interface = opened.interface;
    ASSERT_EQ((*interface)->USBInterfaceOpen(interface), 0);
    ASSERT_EQ((*interface)->SetAlternateInterface(interface, 1), 0);

    uint8_t buffer[100];
    uint32_t size = sizeof buffer;
    EXPECT_EQ((*interface)->ReadPipeTO(interface, 2, buffer, &size, 700, 0), kIOReturnBadArgument);
    EXPECT_EQ((*interface)->WritePipeTO(interface, 1, buffer, 10, 300, 0), kIOReturnBadArgument);
    EXPECT_EQ((*interface)->ReadPipeTO(interface, 0, buffer, &size, 700, 0), kIOReturnBadArgument);
    EXPECT_EQ((*interface)->ReadPipeTO(interface, 1, buffer, &size, 700, 900), 0);
    EXPECT_EQ(size, sizeof buffer);
    EXPECT_EQ(buffer[99], 0x5A);
    EXPECT_EQ((*interface)->WritePipeTO(interface, 2, buffer, 10, 300, 400), 0);
    auto bulks = camera->bulks();
    ASSERT_EQ(bulks.size(), 2u);
    EXPECT_EQ(bulks[0].endpoint, 0x86);
    EXPECT_EQ(bulks[0].timeouts.noDataMs, 700u);
    EXPECT_EQ(bulks[0].timeouts.completionMs, 900u);
    EXPECT_EQ(bulks[1].endpoint, 0x02);
    EXPECT_EQ(bulks[1].length, 10u);
    EXPECT_EQ(bulks[1].timeouts.noDataMs, 300u);
    EXPECT_EQ(bulks[1].timeouts.completionMs, 400u);

    camera->stall(0x86);
    EXPECT_EQ((*interface)->GetPipeStatus(interface, 1), kIOUSBPipeStalled);
    EXPECT_EQ((*interface)->ClearPipeStallBothEnds(interface, 1), 0);
    EXPECT_EQ((*interface)->GetPipeStatus(interface, 1), 0);
    EXPECT_EQ((*interface)->AbortPipe(interface, 2), 0);
    EXPECT_EQ((*interface)->ClearPipeStall(interface, 0), 0);
    EXPECT_EQ((*interface)->AbortPipe(interface, 0), 0);
    EXPECT_EQ((*interface)->GetPipeStatus(interface, 0), 0);
    using Call = std::pair<std::string, uint8_t>;
    EXPECT_EQ(camera->endpointCalls(),
              (std::vector<Call>{{"clear", 0x86}, {"abort", 0x02}, {"abort", 0x00}}))
        << "an abort reaches the default pipe; clearing its stall and its status do not";

    uint8_t value[4] = {0x80, 0, 0, 0};
    IOUSBDevRequestTO request{0x40, 0x12, 0, 0x0214, 4, value, 0, 5000, 0};
    EXPECT_EQ((*interface)->ControlRequestTO(interface, 0, &request), 0);
    EXPECT_EQ(request.wLenDone, 4u);
    EXPECT_EQ(camera->controls().back().setup.wIndex, 0x0214);
    EXPECT_EQ((*interface)->ControlRequestTO(interface, 1, &request), kIOReturnBadArgument);
    EXPECT_EQ((*interface)->ControlRequestTO(interface, 9, &request), kIOUSBUnknownPipeErr);

    bus->unplug(camera);
    EXPECT_EQ((*interface)->ReadPipeTO(interface, 1, buffer, &size, 700, 0), kIOReturnNoDevice);
    close(opened);
}

// ---- asynchronous reads --------------------------------------------------------------------

struct Completion {
    std::atomic<int> calls{0};
    IOReturn result = -1;
    uintptr_t bytes = 0;
    std::thread::id thread;
};

void recordCompletion(void *refcon, IOReturn result, void *arg0) {
    auto *completion = static_cast<Completion *>(refcon);
    completion->result = result;
    completion->bytes = reinterpret_cast<uintptr_t>(arg0);
    completion->thread = std::this_thread::get_id();
    ++completion->calls;
}

// As the driver's streaming thread: takes the interface's event source into its own loop,
// queues one read and runs the loop until the read completes. `whileQueued` runs on the test's
// thread once the read is queued.
std::thread::id readOnStreamingThread(IOUSBInterfaceInterface **interface, Completion &completion,
                                      uint8_t *buffer, uint32_t size,
                                      const std::function<void()> &whileQueued) {
    std::promise<IOReturn> queued;
    std::thread streaming([&] {
        CFRunLoopSourceRef source = nullptr;
        (*interface)->CreateInterfaceAsyncEventSource(interface, &source);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        IOReturn result =
            (*interface)->ReadPipeAsync(interface, 1, buffer, size, recordCompletion, &completion);
        queued.set_value(result);
        if (result == kIOReturnSuccess) runOnce(5.0);
        CFRunLoopRemoveSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    });
    std::thread::id id = streaming.get_id();
    EXPECT_EQ(queued.get_future().get(), kIOReturnSuccess);
    whileQueued();
    streaming.join();
    return id;
}

class AsyncRead : public IOKitUSB {
protected:
    void SetUp() override {
        IOKitUSB::SetUp();
        opened = openCamera();
        interface = opened.interface;
        ASSERT_EQ((*interface)->USBInterfaceOpen(interface), 0);
        ASSERT_EQ((*interface)->SetAlternateInterface(interface, 2), 0);
    }
    void TearDown() override {
        if (interface) close(opened);
        IOKitUSB::TearDown();
    }
    Opened opened{};
    IOUSBInterfaceInterface **interface = nullptr;
    uint8_t buffer[64] = {};
    Completion completion;
};

TEST_F(AsyncRead, NeedsTheEventSource) {
    EXPECT_EQ((*interface)->GetInterfaceAsyncEventSource(interface), nullptr);
    EXPECT_EQ(
        (*interface)
            ->ReadPipeAsync(interface, 1, buffer, sizeof buffer, recordCompletion, &completion),
        kIOReturnNoResources);
    CFRunLoopSourceRef source = nullptr;
    ASSERT_EQ((*interface)->CreateInterfaceAsyncEventSource(interface, &source), 0);
    EXPECT_EQ((*interface)->GetInterfaceAsyncEventSource(interface), source);
    CFRunLoopSourceRef again = nullptr;
    (*interface)->CreateInterfaceAsyncEventSource(interface, &again);
    EXPECT_EQ(again, source) << "one source for the interface's life";
}

TEST_F(AsyncRead, CompletionRunsOnTheThreadWhoseLoopHoldsTheSource) {
    auto streaming = readOnStreamingThread(interface, completion, buffer, sizeof buffer,
                                           [&] { camera->completeReads(0x86, 0, 48); });
    EXPECT_EQ(completion.calls, 1);
    EXPECT_EQ(completion.result, 0);
    EXPECT_EQ(completion.bytes, 48u);
    EXPECT_EQ(completion.thread, streaming);
    EXPECT_EQ(buffer[47], 0x5A);
    EXPECT_EQ(buffer[48], 0);
}

TEST_F(AsyncRead, AbortEndsTheReadWithAborted) {
    readOnStreamingThread(interface, completion, buffer, sizeof buffer,
                          [&] { EXPECT_EQ((*interface)->AbortPipe(interface, 1), 0); });
    EXPECT_EQ(completion.calls, 1);
    EXPECT_EQ(completion.result, kIOReturnAborted);
    EXPECT_EQ(completion.bytes, 0u);
}

TEST_F(AsyncRead, CompletionAfterTheInterfaceIsReleasedIsDropped) {
    CFRunLoopSourceRef source = nullptr;
    (*interface)->CreateInterfaceAsyncEventSource(interface, &source);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    ASSERT_EQ(
        (*interface)
            ->ReadPipeAsync(interface, 1, buffer, sizeof buffer, recordCompletion, &completion),
        0);
    (*interface)->Release(interface);
    interface = nullptr;
    (*opened.device)->Release(opened.device);
    EXPECT_FALSE(camera->claimed(0)) << "releasing an open interface closes it";

    camera->completeReads(0x86, 0, 64);
    bus->drain();
    EXPECT_EQ(runOnce(0.05), kCFRunLoopRunTimedOut);
    EXPECT_EQ(completion.calls, 0);
}

// A stream of reads, each queued again by the completion of the one before, as streaming does.
struct Stream {
    static constexpr int kFrames = 20;
    IOUSBInterfaceInterface **interface;
    uint8_t *buffer;
    std::atomic<int> frames{0};

    IOReturn queueRead() {
        return (*interface)->ReadPipeAsync(interface, 1, buffer, 64, onFrame, this);
    }
    static void onFrame(void *refcon, IOReturn result, void *bytes) {
        auto *stream = static_cast<Stream *>(refcon);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(bytes), 64u);
        if (++stream->frames < kFrames)
            EXPECT_EQ(stream->queueRead(), 0);
        else
            CFRunLoopStop(CFRunLoopGetCurrent());
    }
};

TEST_F(AsyncRead, StreamingAlongsideClientRequests) {
    Stream stream{interface, buffer};
    std::thread streaming([&] {
        CFRunLoopSourceRef source = nullptr;
        (*interface)->CreateInterfaceAsyncEventSource(interface, &source);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        EXPECT_EQ(stream.queueRead(), 0);
        CFRunLoopRun();
        CFRunLoopRemoveSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    });
    std::thread device([&] {
        while (stream.frames < Stream::kFrames) {
            if (camera->outstandingReads())
                camera->completeReads(0x86, 0, 64);
            else
                std::this_thread::sleep_for(100us);
        }
    });
    uint8_t value[4] = {};
    while (stream.frames < Stream::kFrames) {
        IOUSBDevRequestTO request{0xC0, 0x12, 0, 0x0010, 4, value, 0, 5000, 5000};
        EXPECT_EQ((*interface)->ControlRequestTO(interface, 0, &request), 0);
        EXPECT_EQ((*interface)->GetPipeStatus(interface, 1), 0);
    }
    streaming.join();
    device.join();
    EXPECT_EQ(stream.frames, Stream::kFrames);
}

} // namespace
