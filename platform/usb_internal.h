// Inside the IOKit-style USB layer: the io object table, the services and iterators it holds,
// the queues that carry work to a run loop's thread, and COM-style interface objects.
#pragma once

#include "platform/usb.h"
#include "platform/usb_backend.h"

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace qor::iokit {

// ---- io objects ----------------------------------------------------------------------------

// Something an io_object_t names. Reference counts are guarded by the table's lock; the other
// fields of a kind are set before the object enters the table, unless the kind says otherwise.
struct IOObject {
    virtual ~IOObject() = default;
    // The objects this one holds a reference to, released when it is freed.
    virtual std::vector<io_object_t> heldObjects() const { return {}; }
    uint32_t refs = 1;
};

struct DeviceService : IOObject {
    explicit DeviceService(std::shared_ptr<usb::Device> d) : device(std::move(d)) {}
    const std::shared_ptr<usb::Device> device;
};

// One interface of a configured device, with every alternate setting it has.
struct InterfaceService : IOObject {
    InterfaceService(std::shared_ptr<usb::Device> d, uint8_t packet0,
                     std::vector<usb::InterfaceDescriptor> alts)
        : device(std::move(d)), maxPacketSize0(packet0), alternates(std::move(alts)) {}
    const std::shared_ptr<usb::Device> device;
    const uint8_t maxPacketSize0;
    const std::vector<usb::InterfaceDescriptor> alternates;
};

// Holds one reference to each item; IOIteratorNext hands out another.
struct Iterator : IOObject {
    std::vector<io_object_t> heldObjects() const override { return items; }
    std::vector<io_object_t> items;
    size_t next = 0;
};

// The io object table, locked for as long as this view lives. Objects freed through it are
// destroyed only after the lock is dropped, so a last reference to a backend device is never
// let go of under the lock.
class Locked {
public:
    Locked();
    // Enters the object with one reference.
    io_object_t add(std::shared_ptr<IOObject> object);
    template <class Kind> std::shared_ptr<Kind> find(io_object_t handle) {
        return std::dynamic_pointer_cast<Kind>(lookup(handle));
    }
    template <class Kind, class Visit> void forEach(Visit visit) {
        for (auto &[handle, object] : objects())
            if (auto *kind = dynamic_cast<Kind *>(object.get())) visit(handle, *kind);
    }
    bool retain(io_object_t handle);
    bool release(io_object_t handle);
    // Frees the object whatever its count.
    void remove(io_object_t handle);
    // Enters the services and an iterator holding them.
    io_iterator_t newIterator(const std::vector<std::shared_ptr<IOObject>> &services);
    // Enters the services as the iterator's new items, releasing the old ones.
    void refill(Iterator &iterator, const std::vector<std::shared_ptr<IOObject>> &services);

private:
    using ObjectMap = std::map<io_object_t, std::shared_ptr<IOObject>>;
    static ObjectMap &objects();
    std::shared_ptr<IOObject> lookup(io_object_t handle);
    void free(ObjectMap::iterator entry);

    std::vector<std::shared_ptr<IOObject>> freed_; // destroyed after lock_ is released
    std::unique_lock<std::mutex> lock_;
};

// ---- delivery to a run loop ----------------------------------------------------------------

// Work handed from any thread to the thread whose run loop holds the queue's source: a
// notification port's deliveries and an interface's asynchronous completions. Once closed, the
// source is invalidated and pending and later work is dropped.
class DeliveryQueue {
public:
    static std::shared_ptr<DeliveryQueue> create();
    ~DeliveryQueue();
    DeliveryQueue(const DeliveryQueue &) = delete;
    DeliveryQueue &operator=(const DeliveryQueue &) = delete;

    CFRunLoopSourceRef source() const;
    void post(std::function<void()> delivery);
    void close();

private:
    DeliveryQueue() = default;
    static void perform(void *info);

    mutable std::mutex lock_;
    std::deque<std::function<void()>> pending_;
    CFRunLoopSourceRef source_ = nullptr; // null once closed
};

// ---- COM-style interfaces ------------------------------------------------------------------

// Reference counting and the self-to-object step shared by the plug-in, device and interface
// objects. Derived defines `static const Table kTable`. The client holds a pointer to the cell's
// `table` (a Table **) and each function gets it back as self; the cell is standard-layout, so
// self is also the cell's address.
template <class Derived, class Table> class ComObject {
public:
    ComObject() = default;
    ComObject(const ComObject &) = delete;
    ComObject &operator=(const ComObject &) = delete;
    virtual ~ComObject() = default;

    Table **reference() { return const_cast<Table **>(&cell_.table); }
    static Derived *from(void *self) { return static_cast<Derived *>(base(self)); }
    static uint32_t addRef(void *self) { return ++base(self)->refs_; }
    static uint32_t release(void *self) {
        ComObject *object = base(self);
        uint32_t left = --object->refs_;
        if (left == 0) delete object;
        return left;
    }

private:
    struct Cell {
        const Table *table;
        ComObject *object;
    };
    static ComObject *base(void *self) { return static_cast<Cell *>(self)->object; }
    Cell cell_{&Derived::kTable, this};
    std::atomic<uint32_t> refs_{1};
};

bool sameInterface(const CFUUIDBytes &iid, CFUUIDRef uuid);

// The user clients a plug-in hands out, each with one reference.
IOUSBDeviceInterface187 **newDeviceClient(const std::shared_ptr<usb::Device> &device);
IOUSBInterfaceInterface **newInterfaceClient(const InterfaceService &service);

// A control request on the default pipe, as DeviceRequestTO and ControlRequestTO send it.
IOReturn deviceRequest(usb::Device &device, IOUSBDevRequestTO &request);

// The IOKit layer's ear on every backend's bus.
usb::BusListener &busListener();

} // namespace qor::iokit
