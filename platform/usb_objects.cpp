// The io object table: handles with reference counts, iterators and the master port.
#include "platform/usb_internal.h"

namespace qor::iokit {
namespace {

struct Table {
    std::mutex lock;
    std::map<io_object_t, std::shared_ptr<IOObject>> objects;
    // Handles are never reused, so a stale handle stays invalid.
    io_object_t nextHandle = 0x1003;
};

Table &table() {
    static auto *t = new Table;
    return *t;
}

struct MasterPort : IOObject {};

} // namespace

Locked::Locked() : lock_(table().lock) {}

Locked::ObjectMap &Locked::objects() {
    return table().objects;
}

io_object_t Locked::add(std::shared_ptr<IOObject> object) {
    io_object_t handle = table().nextHandle++;
    objects().emplace(handle, std::move(object));
    return handle;
}

std::shared_ptr<IOObject> Locked::lookup(io_object_t handle) {
    auto it = objects().find(handle);
    return it == objects().end() ? nullptr : it->second;
}

bool Locked::retain(io_object_t handle) {
    auto it = objects().find(handle);
    if (it == objects().end()) return false;
    ++it->second->refs;
    return true;
}

bool Locked::release(io_object_t handle) {
    auto it = objects().find(handle);
    if (it == objects().end()) return false;
    if (--it->second->refs == 0) free(it);
    return true;
}

void Locked::remove(io_object_t handle) {
    auto it = objects().find(handle);
    if (it != objects().end()) free(it);
}

void Locked::free(ObjectMap::iterator entry) {
    std::shared_ptr<IOObject> object = std::move(entry->second);
    objects().erase(entry);
    for (io_object_t held : object->heldObjects()) release(held);
    freed_.push_back(std::move(object));
}

io_iterator_t Locked::newIterator(const std::vector<std::shared_ptr<IOObject>> &services) {
    auto iterator = std::make_shared<Iterator>();
    refill(*iterator, services);
    return add(std::move(iterator));
}

void Locked::refill(Iterator &iterator, const std::vector<std::shared_ptr<IOObject>> &services) {
    for (io_object_t old : iterator.items) release(old);
    iterator.items.clear();
    iterator.next = 0;
    for (auto &service : services) iterator.items.push_back(add(service));
}

} // namespace qor::iokit

using qor::iokit::Iterator;
using qor::iokit::Locked;

kern_return_t IOObjectRetain(io_object_t object) {
    return Locked().retain(object) ? kIOReturnSuccess : kIOReturnBadArgument;
}

kern_return_t IOObjectRelease(io_object_t object) {
    return Locked().release(object) ? kIOReturnSuccess : kIOReturnBadArgument;
}

uint32_t IOObjectGetRetainCount(io_object_t object) {
    Locked table;
    auto found = table.find<qor::iokit::IOObject>(object);
    return found ? found->refs : 0;
}

io_object_t IOIteratorNext(io_iterator_t iterator) {
    Locked table;
    auto found = table.find<Iterator>(iterator);
    if (!found || found->next >= found->items.size()) return 0;
    io_object_t item = found->items[found->next++];
    table.retain(item);
    return item;
}

void IOIteratorReset(io_iterator_t iterator) {
    Locked table;
    if (auto found = table.find<Iterator>(iterator)) found->next = 0;
}

Boolean IOIteratorIsValid(io_iterator_t iterator) {
    return Locked().find<Iterator>(iterator) != nullptr;
}

kern_return_t IOMasterPort(mach_port_t, mach_port_t *masterPort) {
    if (!masterPort) return kIOReturnBadArgument;
    *masterPort = Locked().add(std::make_shared<qor::iokit::MasterPort>());
    return KERN_SUCCESS;
}

kern_return_t mach_port_deallocate(mach_port_t, mach_port_t name) {
    Locked table;
    if (!table.find<qor::iokit::MasterPort>(name)) return KERN_INVALID_NAME;
    table.release(name);
    return KERN_SUCCESS;
}

mach_port_t mach_task_self() {
    // Any non-null name: the ports of this layer belong to the one task there is.
    return 0x103;
}
