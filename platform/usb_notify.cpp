// Matching, notification ports, general-interest and system-power notifications, and the bus
// listener that feeds them.
#include "platform/usb_internal.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <utility>

struct IONotificationPort {
    std::shared_ptr<qor::iokit::DeliveryQueue> queue;
};

namespace qor::iokit {
namespace {

using usb::Device;
using DeviceList = std::vector<std::shared_ptr<Device>>;

// What a matching dictionary asks for, read once when it is handed over.
struct Criteria {
    bool usbDevice = false;
    std::optional<int32_t> vendor, product, subClass;

    bool matches(const usb::DeviceDescriptor &d) const {
        return usbDevice && (!vendor || *vendor == d.idVendor) &&
               (!product || *product == d.idProduct) &&
               (!subClass || *subClass == d.bDeviceSubClass);
    }
};

CFStringRef classKey() {
    return CFSTR("IOProviderClass");
}

std::optional<int32_t> numberFor(CFDictionaryRef dictionary, const char *key) {
    auto number = static_cast<CFNumberRef>(CFDictionaryGetValue(dictionary, CFSTR(key)));
    int32_t value;
    if (!number || !CFNumberGetValue(number, kCFNumberSInt32Type, &value)) return std::nullopt;
    return value;
}

// Reads the criteria and consumes the caller's reference to the dictionary.
Criteria takeCriteria(CFDictionaryRef matching) {
    auto className = static_cast<CFStringRef>(CFDictionaryGetValue(matching, classKey()));
    Criteria criteria{className == CFSTR(kIOUSBDeviceClassName), numberFor(matching, kUSBVendorID),
                      numberFor(matching, kUSBProductID), numberFor(matching, kUSBDeviceSubClass)};
    CFRelease(matching);
    return criteria;
}

// Reads descriptors, so it runs without the table lock.
DeviceList matchingDevices(const DeviceList &devices, const Criteria &criteria) {
    DeviceList matched;
    for (auto &device : devices)
        if (criteria.matches(device->deviceDescriptor())) matched.push_back(device);
    return matched;
}

DeviceList attachedDevices() {
    DeviceList all;
    for (auto &backend : usb::backends())
        for (auto &device : backend->devices()) all.push_back(device);
    return all;
}

std::vector<std::shared_ptr<IOObject>> deviceServices(const DeviceList &devices) {
    std::vector<std::shared_ptr<IOObject>> services;
    for (auto &device : devices) services.push_back(std::make_shared<DeviceService>(device));
    return services;
}

// A first-match notification is also the iterator its callback walks. Devices that arrive are
// collected in `arrivals` and matched when the port delivers them.
struct MatchingNotification : Iterator {
    MatchingNotification(Criteria c, IOServiceMatchingCallback cb, void *r,
                         std::shared_ptr<DeliveryQueue> q)
        : criteria(c), callback(cb), refcon(r), port(std::move(q)) {}
    const Criteria criteria;
    const IOServiceMatchingCallback callback;
    void *const refcon;
    const std::shared_ptr<DeliveryQueue> port;
    DeviceList arrivals;
    // False while the devices present at registration are being enumerated; arrivals meanwhile
    // wait, and those the enumeration found too are dropped.
    bool armed = false;
};

struct InterestNotification : IOObject {
    InterestNotification(io_service_t s, std::shared_ptr<Device> d, IOServiceInterestCallback cb,
                         void *r, std::shared_ptr<DeliveryQueue> q)
        : service(s), device(std::move(d)), callback(cb), refcon(r), port(std::move(q)) {}
    std::vector<io_object_t> heldObjects() const override { return {service}; }
    const io_service_t service;
    const std::shared_ptr<Device> device;
    const IOServiceInterestCallback callback;
    void *const refcon;
    const std::shared_ptr<DeliveryQueue> port;
    bool terminationPosted = false;
};

struct PowerConnection : IOObject {};

struct PowerNotifier : IOObject {
    PowerNotifier(io_connect_t c, IOServiceInterestCallback cb, void *r,
                  std::shared_ptr<DeliveryQueue> q)
        : connection(c), callback(cb), refcon(r), port(std::move(q)) {}
    const io_connect_t connection;
    const IOServiceInterestCallback callback;
    void *const refcon;
    const std::shared_ptr<DeliveryQueue> port;
};

std::atomic<int> gPowerAllowed{0};
std::atomic<int> gPowerCancelled{0};

// Hands the notification the devices that arrived since its last delivery and calls it.
void deliverMatches(io_iterator_t handle) {
    DeviceList arrivals;
    Criteria criteria;
    {
        Locked table;
        auto notification = table.find<MatchingNotification>(handle);
        if (!notification) return;
        arrivals.swap(notification->arrivals);
        criteria = notification->criteria;
    }
    DeviceList matched = matchingDevices(arrivals, criteria);
    if (matched.empty()) return;
    IOServiceMatchingCallback callback;
    void *refcon;
    {
        Locked table;
        auto notification = table.find<MatchingNotification>(handle);
        if (!notification) return;
        table.refill(*notification, deviceServices(matched));
        callback = notification->callback;
        refcon = notification->refcon;
    }
    callback(refcon, handle);
}

// Marks the notification's one termination message as sent; true when it was not yet.
bool claimTermination(InterestNotification &notification) {
    return !std::exchange(notification.terminationPosted, true);
}

void postTermination(io_object_t handle, const std::shared_ptr<DeliveryQueue> &port) {
    port->post([handle] {
        IOServiceInterestCallback callback;
        void *refcon;
        io_service_t service;
        {
            Locked table;
            auto found = table.find<InterestNotification>(handle);
            if (!found) return;
            callback = found->callback;
            refcon = found->refcon;
            service = found->service;
        }
        callback(refcon, service, kIOMessageServiceIsTerminated, nullptr);
    });
}

using Deliveries = std::vector<std::pair<io_object_t, std::shared_ptr<DeliveryQueue>>>;

class Listener : public usb::BusListener {
public:
    void deviceArrived(const std::shared_ptr<Device> &device) override {
        Deliveries due;
        {
            Locked table;
            table.forEach<MatchingNotification>([&](io_object_t handle, auto &notification) {
                notification.arrivals.push_back(device);
                if (notification.armed) due.emplace_back(handle, notification.port);
            });
        }
        for (auto &[handle, port] : due) port->post([handle = handle] { deliverMatches(handle); });
    }

    void deviceLeft(const std::shared_ptr<Device> &device) override {
        Deliveries due;
        {
            Locked table;
            table.forEach<MatchingNotification>([&](io_object_t, auto &notification) {
                std::erase(notification.arrivals, device);
            });
            table.forEach<InterestNotification>([&](io_object_t handle, auto &notification) {
                if (notification.device == device && claimTermination(notification))
                    due.emplace_back(handle, notification.port);
            });
        }
        for (auto &[handle, port] : due) postTermination(handle, port);
    }
};

} // namespace

usb::BusListener &busListener() {
    static auto *listener = new Listener;
    return *listener;
}

} // namespace qor::iokit

using namespace qor::iokit;

CFMutableDictionaryRef IOServiceMatching(const char *className) {
    if (!className) return nullptr;
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(kCFAllocatorDefault, 0);
    CFDictionarySetValue(dictionary, classKey(), CFSTR(className));
    return dictionary;
}

kern_return_t IOServiceGetMatchingServices(mach_port_t, CFDictionaryRef matching,
                                           io_iterator_t *existing) {
    if (!matching) return kIOReturnBadArgument;
    Criteria criteria = takeCriteria(matching);
    if (!existing) return kIOReturnBadArgument;
    DeviceList matched = matchingDevices(attachedDevices(), criteria);
    *existing = Locked().newIterator(deviceServices(matched));
    return kIOReturnSuccess;
}

kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef port,
                                               const char *notificationType,
                                               CFDictionaryRef matching,
                                               IOServiceMatchingCallback callback, void *refCon,
                                               io_iterator_t *notification) {
    if (!matching) return kIOReturnBadArgument;
    Criteria criteria = takeCriteria(matching);
    if (!port || !notificationType || !callback || !notification) return kIOReturnBadArgument;
    if (std::strcmp(notificationType, kIOFirstMatchNotification) != 0) return kIOReturnUnsupported;

    // In the table before the enumeration starts, so no arrival slips between the two.
    io_iterator_t handle = Locked().add(
        std::make_shared<MatchingNotification>(criteria, callback, refCon, port->queue));
    DeviceList present = matchingDevices(attachedDevices(), criteria);
    bool arrivalsWaiting;
    {
        Locked table;
        auto armed = table.find<MatchingNotification>(handle);
        std::erase_if(armed->arrivals, [&](auto &device) {
            return std::find(present.begin(), present.end(), device) != present.end();
        });
        table.refill(*armed, deviceServices(present));
        armed->armed = true;
        arrivalsWaiting = !armed->arrivals.empty();
    }
    if (arrivalsWaiting) port->queue->post([handle] { deliverMatches(handle); });
    *notification = handle;
    return kIOReturnSuccess;
}

kern_return_t IOServiceAddInterestNotification(IONotificationPortRef port, io_service_t service,
                                               const char *interestType,
                                               IOServiceInterestCallback callback, void *refCon,
                                               io_object_t *notification) {
    if (!port || !interestType || !callback || !notification) return kIOReturnBadArgument;
    if (std::strcmp(interestType, kIOGeneralInterest) != 0) return kIOReturnUnsupported;
    io_object_t handle;
    std::shared_ptr<qor::usb::Device> device;
    {
        Locked table;
        auto found = table.find<DeviceService>(service);
        if (!found) return kIOReturnBadArgument;
        device = found->device;
        table.retain(service);
        handle = table.add(
            std::make_shared<InterestNotification>(service, device, callback, refCon, port->queue));
    }
    // A device that left before the notification was in place is reported all the same.
    if (!device->attached()) {
        bool due;
        {
            Locked table;
            auto armed = table.find<InterestNotification>(handle);
            due = armed && claimTermination(*armed);
        }
        if (due) postTermination(handle, port->queue);
    }
    *notification = handle;
    return kIOReturnSuccess;
}

IONotificationPortRef IONotificationPortCreate(mach_port_t) {
    return new IONotificationPort{DeliveryQueue::create()};
}

void IONotificationPortDestroy(IONotificationPortRef port) {
    if (!port) return;
    port->queue->close();
    delete port;
}

CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef port) {
    return port ? port->queue->source() : nullptr;
}

io_connect_t IORegisterForSystemPower(void *refcon, IONotificationPortRef *thePortRef,
                                      IOServiceInterestCallback callback, io_object_t *notifier) {
    if (!thePortRef || !callback || !notifier) return 0;
    auto *port = IONotificationPortCreate(MACH_PORT_NULL);
    Locked table;
    io_connect_t connection = table.add(std::make_shared<PowerConnection>());
    *notifier =
        table.add(std::make_shared<PowerNotifier>(connection, callback, refcon, port->queue));
    *thePortRef = port;
    return connection;
}

IOReturn IODeregisterForSystemPower(io_object_t *notifier) {
    if (!notifier) return kIOReturnBadArgument;
    Locked table;
    auto found = table.find<PowerNotifier>(*notifier);
    if (!found) return kIOReturnBadArgument;
    table.remove(found->connection);
    table.remove(*notifier);
    *notifier = 0;
    return kIOReturnSuccess;
}

namespace {

IOReturn answerPower(io_connect_t kernelPort, std::atomic<int> &count) {
    if (!Locked().find<PowerConnection>(kernelPort)) return kIOReturnBadArgument;
    ++count;
    return kIOReturnSuccess;
}

} // namespace

IOReturn IOAllowPowerChange(io_connect_t kernelPort, intptr_t) {
    return answerPower(kernelPort, gPowerAllowed);
}

IOReturn IOCancelPowerChange(io_connect_t kernelPort, intptr_t) {
    return answerPower(kernelPort, gPowerCancelled);
}

namespace qor::platform {

void postSystemPowerMessage(natural_t messageType, intptr_t messageArgument) {
    Deliveries registrants;
    Locked().forEach<PowerNotifier>([&](io_object_t handle, PowerNotifier &notifier) {
        registrants.emplace_back(handle, notifier.port);
    });
    for (auto &[handle, port] : registrants) {
        port->post([handle = handle, messageType, messageArgument] {
            IOServiceInterestCallback callback;
            void *refcon;
            io_connect_t connection;
            {
                Locked table;
                auto notifier = table.find<PowerNotifier>(handle);
                if (!notifier) return;
                callback = notifier->callback;
                refcon = notifier->refcon;
                connection = notifier->connection;
            }
            callback(refcon, connection, messageType, reinterpret_cast<void *>(messageArgument));
        });
    }
}

PowerAnswers systemPowerAnswers() {
    return {gPowerAllowed.load(), gPowerCancelled.load()};
}

} // namespace qor::platform
