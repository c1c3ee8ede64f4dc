// The open() below replaces the C library's, so its fortified inline version must not be seen.
#undef _FORTIFY_SOURCE

#include "usbfs/usbfs_bus.h"

#include "sim/worker.h"

#include <qorvanta/status.h>

#include <umockdev.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>

// ---- Nodes that refuse to open ---------------------------------------------------------------
//
// The tests run as root in CI, where no file mode denies an open. The executable's own open()
// comes first in symbol lookup, before the preloaded umockdev library and the C library, so it
// answers EACCES for the device nodes marked denied and passes every other call on.

namespace {

std::atomic<int> deniedCount{0};
std::mutex deniedMutex;
std::vector<std::string> *deniedPaths; // under deniedMutex; never freed (open may run at exit)

// The sanitizers' own symbolizers call open() while they report, so these functions carry no
// instrumentation that could report again from inside a report (ThreadSanitizer deadlocks).
#define QOR_UNINSTRUMENTED __attribute__((no_sanitize("address", "thread", "undefined")))

QOR_UNINSTRUMENTED bool openDenied(const char *path) {
    if (!path || deniedCount.load(std::memory_order_acquire) == 0) return false;
    if (std::strncmp(path, "/dev/bus/usb/", 13) != 0) return false;
    std::lock_guard lock(deniedMutex);
    return deniedPaths &&
           std::find(deniedPaths->begin(), deniedPaths->end(), path) != deniedPaths->end();
}

void setOpenDenied(const std::string &path, bool deny) {
    std::lock_guard lock(deniedMutex);
    if (!deniedPaths) deniedPaths = new std::vector<std::string>;
    auto it = std::find(deniedPaths->begin(), deniedPaths->end(), path);
    if (deny && it == deniedPaths->end()) {
        deniedPaths->push_back(path);
        deniedCount.fetch_add(1, std::memory_order_release);
    } else if (!deny && it != deniedPaths->end()) {
        deniedPaths->erase(it);
        deniedCount.fetch_sub(1, std::memory_order_release);
    }
}

} // namespace

extern "C" __attribute__((visibility("default"))) QOR_UNINSTRUMENTED int open(const char *path,
                                                                              int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if (openDenied(path)) {
        errno = EACCES;
        return -1;
    }
    static const auto next =
        reinterpret_cast<int (*)(const char *, int, ...)>(dlsym(RTLD_NEXT, "open"));
    return next(path, flags, mode);
}

extern "C" __attribute__((visibility("default"))) QOR_UNINSTRUMENTED int __open_2(const char *path,
                                                                                  int flags) {
    if (openDenied(path)) {
        errno = EACCES;
        return -1;
    }
    static const auto next =
        reinterpret_cast<int (*)(const char *, int)>(dlsym(RTLD_NEXT, "__open_2"));
    return next(path, flags);
}

// ---- What ThreadSanitizer cannot see --------------------------------------------------------
//
// A client's ioctl is a round trip through umockdev's socket to the handler's thread: the
// client's memory (URBs, buffers) moves between threads there, ordered by the socket, which
// ThreadSanitizer does not take as synchronisation here. The executable's own ioctl() states
// that order around each call, and the handler the other half.

namespace {

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *address);
extern "C" void __tsan_release(void *address);
char ioctlHandoff;
void handOver() {
    __tsan_release(&ioctlHandoff);
}
void takeOver() {
    __tsan_acquire(&ioctlHandoff);
}
#else
void handOver() {}
void takeOver() {}
#endif

void completeIoctl(UMockdevIoctlClient *client, long result, int error) {
    handOver();
    umockdev_ioctl_client_complete(client, result, error);
}

} // namespace

extern "C" __attribute__((visibility("default"))) QOR_UNINSTRUMENTED int
ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    static const auto next =
        reinterpret_cast<int (*)(int, unsigned long, ...)>(dlsym(RTLD_NEXT, "ioctl"));
    handOver();
    const int result = next(fd, request, argument);
    const int error = errno;
    takeOver();
    errno = error;
    return result;
}

namespace qor::testing {

namespace {

constexpr int kMaxUrbWithoutLargeBuffers = 16384;
constexpr auto kArrivalWait = std::chrono::seconds(10);
// The kernel never learns libusb's time-out for a transfer. The model is told there is one, so
// that a device that does not answer says so at once instead of holding a thread; the URB then
// stays pending until libusb's own time-out discards it, as a real one would.
constexpr usb::Timeouts kUsbfsTimeouts{1, 0};
// An errno-like answer of ensureOpen: ask again in a moment.
constexpr int kRetryLater = -1;
constexpr int kOpenRetries = 100;
constexpr unsigned kOpenRetryMs = 2;

// The bus of the process: umockdev lets clients go on its own thread, possibly while the bus
// is being destroyed.
std::mutex activeBusMutex;
UsbfsBus *activeBus = nullptr;

void putLE16(std::vector<uint8_t> &out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

// The device descriptor followed by configuration 0's full descriptor, as the device answers
// GET_DESCRIPTOR: what the kernel keeps in the sysfs "descriptors" attribute.
std::vector<uint8_t> descriptorBytes(const usb::Device &device) {
    const usb::DeviceDescriptor d = device.deviceDescriptor();
    std::vector<uint8_t> out = {18, 1};
    putLE16(out, d.bcdUSB);
    out.insert(out.end(),
               {d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol, d.bMaxPacketSize0});
    putLE16(out, d.idVendor);
    putLE16(out, d.idProduct);
    putLE16(out, d.bcdDevice);
    out.insert(out.end(), {d.iManufacturer, d.iProduct, d.iSerialNumber, d.bNumConfigurations});

    const usb::ConfigDescriptor config = device.configDescriptor(0);
    std::vector<uint8_t> numbers;
    for (const auto &alt : config.interfaces)
        if (std::find(numbers.begin(), numbers.end(), alt.bInterfaceNumber) == numbers.end())
            numbers.push_back(alt.bInterfaceNumber);
    const size_t start = out.size();
    out.insert(out.end(), {9, 2, 0, 0, uint8_t(numbers.size()), config.bConfigurationValue, 0,
                           config.bmAttributes, config.bMaxPower});
    for (const auto &alt : config.interfaces) {
        out.insert(out.end(), {9, 4, alt.bInterfaceNumber, alt.bAlternateSetting,
                               uint8_t(alt.endpoints.size()), alt.bInterfaceClass,
                               alt.bInterfaceSubClass, alt.bInterfaceProtocol, 0});
        for (const auto &ep : alt.endpoints) {
            out.insert(out.end(), {7, 5, ep.bEndpointAddress, ep.bmAttributes});
            putLE16(out, ep.wMaxPacketSize);
            out.push_back(ep.bInterval);
        }
    }
    const size_t total = out.size() - start;
    out[start + 2] = uint8_t(total);
    out[start + 3] = uint8_t(total >> 8);
    return out;
}

// The URB status the kernel reports for a transfer that ended with this result.
int urbStatus(IOReturn result) {
    switch (result) {
    case 0:
        return 0;
    case kIOUSBPipeStalled:
        return -EPIPE;
    case kIOReturnOverrun:
        return -EOVERFLOW;
    case kIOReturnAborted:
        return -ENOENT;
    case kIOReturnNoDevice:
        return -ESHUTDOWN;
    default:
        return -EPROTO; // a device that does not answer, or answers garbage
    }
}

// The errno of a synchronous usbfs call that ended with this result.
int callErrno(IOReturn result) {
    switch (result) {
    case 0:
        return 0;
    case kIOReturnNoDevice:
        return ENODEV;
    case kIOUSBPipeStalled:
        return EPIPE;
    case kIOReturnExclusiveAccess:
    case kIOReturnNotOpen:
        return EBUSY;
    case kIOReturnBadArgument:
        return EINVAL;
    default:
        return EIO;
    }
}

} // namespace

// One enumeration of a camera: its sysfs entry, its node and the FIFO behind it.
struct UsbfsBus::Node {
    std::shared_ptr<usb::Device> device;
    uint32_t location = 0;
    uint8_t devnum = 0;
    UsbfsNodeOptions options;
    std::string devnode;  // /dev/bus/usb/BBB/DDD
    std::string syspath;  // /sys/devices/B-P.P
    std::string fifoPath; // the node in the testbed
    int fifo = -1;        // our end: holds a byte while nothing is left to reap
    bool readable = false;
    bool gone = false;
    bool listed = false; // its sysfs entry is in place: libusb can find it
    size_t reapable = 0; // completed URBs of every client, not yet reaped
    Client *holder = nullptr;
    // Synchronous device calls (control, bulk out) run here, one queue per endpoint, so that a
    // device that does not answer holds up only its own endpoint.
    std::map<uint8_t, std::unique_ptr<sim::Worker>> workers;

    ~Node() {
        workers.clear();
        if (fifo >= 0) ::close(fifo);
        fifo = -1;
    }
};

// One open file of a node.
struct UsbfsBus::Client {
    UMockdevIoctlClient *ioctlClient = nullptr;
    std::shared_ptr<Node> node;
    bool holds = false;   // the device's exclusive claim
    uint32_t claimed = 0; // interfaces, by bit
    bool vanished = false;
    std::map<uintptr_t, std::shared_ptr<Urb>> inFlight;
    std::deque<std::shared_ptr<Urb>> completed;
    uintptr_t blockedReap = 0; // a REAPURB waiting, with the address it answers into
    int openRetries = 0;       // of the request under way
};

struct UsbfsBus::Urb {
    std::weak_ptr<Client> client;
    std::shared_ptr<Node> node;
    uintptr_t address; // the client's struct usbdevfs_urb
    uint8_t type;
    uint8_t endpoint;
    uint8_t *buffer;
    uint32_t length;
    bool discarded = false;
    bool silent = false; // the device did not answer: pending until discarded or gone
    int status = 0;
    uint32_t actual = 0;
};

UsbfsBus::UsbfsBus() {
    testbed_ = umockdev_testbed_new();
    gchar *root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
    g_free(root);
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(onIoctl), this);
    g_signal_connect(handler_, "client-connected", G_CALLBACK(onClientConnected), this);
    {
        std::lock_guard lock(activeBusMutex);
        if (activeBus) std::fprintf(stderr, "usbfs bus: a second bus replaces the first\n");
        activeBus = this;
    }
    // The simulated bus joins the platform's backends on the first attach; an attach of no
    // model does that now, so that no camera of ours is ever reported there.
    sim::CameraOptions noModel;
    noModel.productID = 0;
    sim::attachCamera(noModel);
    usb::removeBackend(sim::simulatedBus());
    sim::simulatedBus()->setListener(this);
}

UsbfsBus::~UsbfsBus() {
    detachAll();
    sim::simulatedBus()->setListener(nullptr);
    usb::addBackend(sim::simulatedBus());
    {
        std::lock_guard lock(activeBusMutex);
        activeBus = nullptr;
    }
    {
        std::lock_guard lock(mutex_);
        clients_.clear();
    }
    g_clear_object(&handler_);
    g_clear_object(&testbed_);
}

uint8_t UsbfsBus::busNumber(uint32_t locationID) {
    return uint8_t(locationID >> 24);
}

std::vector<uint8_t> UsbfsBus::portPath(uint32_t locationID) {
    std::vector<uint8_t> ports;
    for (int shift = 16; shift >= 0; shift -= 8) {
        const uint8_t port = uint8_t(locationID >> shift);
        if (!port) break;
        ports.push_back(port);
    }
    return ports;
}

std::shared_ptr<sim::SimCamera> UsbfsBus::attach(const sim::CameraOptions &options,
                                                 const UsbfsNodeOptions &node) {
    // The camera's location is known only once it is attached, and it may arrive at once: the
    // first arrival at a location not seen before takes the options of the attach under way.
    std::lock_guard attaching(attachMutex_);
    {
        std::lock_guard lock(mutex_);
        pendingOptions_ = node;
    }
    auto camera = sim::attachCamera(options);
    std::unique_lock lock(mutex_);
    pendingOptions_.reset();
    if (!camera) return nullptr;
    options_.emplace(camera->locationID(), node);
    const bool arrived = changed_.wait_for(lock, kArrivalWait, [&] {
        for (const auto &[devnode, present] : nodes_)
            if (present->location == camera->locationID() && present->listed) return true;
        return false;
    });
    if (!arrived)
        std::fprintf(stderr, "usbfs bus: camera %08X never arrived\n",
                     unsigned(camera->locationID()));
    return camera;
}

void UsbfsBus::setDenyAccess(const sim::SimCamera &camera, bool deny) {
    std::lock_guard lock(mutex_);
    options_[camera.locationID()].denyAccess = deny;
    for (auto &[devnode, node] : nodes_) {
        if (node->location != camera.locationID()) continue;
        node->options.denyAccess = deny;
        setOpenDenied(devnode, deny);
    }
}

uint8_t UsbfsBus::deviceAddress(const sim::SimCamera &camera) const {
    std::lock_guard lock(mutex_);
    for (const auto &[devnode, node] : nodes_)
        if (node->location == camera.locationID()) return node->devnum;
    return 0;
}

void UsbfsBus::detachAll() {
    sim::detachAllCameras();
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, kArrivalWait, [&] { return nodes_.empty(); }))
        std::fprintf(stderr, "usbfs bus: %zu nodes stayed after the cameras left\n", nodes_.size());
    options_.clear();
}

// ---- Arrival and departure -------------------------------------------------------------------

void UsbfsBus::deviceArrived(const std::shared_ptr<usb::Device> &device) {
    auto node = std::make_shared<Node>();
    node->device = device;
    node->location = device->locationID();
    const uint8_t bus = busNumber(node->location);
    std::string name = std::to_string(bus) + "-";
    {
        const auto ports = portPath(node->location);
        if (ports.empty()) name += "0";
        for (size_t i = 0; i < ports.size(); ++i) {
            if (i) name += '.';
            name += std::to_string(ports[i]);
        }
    }
    {
        std::lock_guard lock(mutex_);
        for (const auto &[devnode, present] : nodes_)
            if (present->device == device) return;
        auto found = options_.find(node->location);
        if (found == options_.end() && pendingOptions_) {
            found = options_.emplace(node->location, *pendingOptions_).first;
            pendingOptions_.reset();
        }
        if (found != options_.end()) node->options = found->second;
        // A fresh address for each enumeration, as the hub driver gives.
        for (int tries = 0; tries < 127; ++tries) {
            lastDevnum_ = uint8_t(lastDevnum_ >= 127 ? 2 : lastDevnum_ + 1);
            char devnode[32];
            std::snprintf(devnode, sizeof devnode, "/dev/bus/usb/%03u/%03u", bus, lastDevnum_);
            if (!nodes_.count(devnode)) {
                node->devnum = lastDevnum_;
                node->devnode = devnode;
                break;
            }
        }
        if (node->devnode.empty()) return;
        node->syspath = "/sys/devices/" + name;
        node->fifoPath = root_ + node->devnode;
        if (node->options.denyAccess) setOpenDenied(node->devnode, true);
    }

    std::lock_guard testbed(testbedMutex_);
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, node->devnode.c_str(), handler_, &error)) {
        std::fprintf(stderr, "usbfs bus: cannot attach %s: %s\n", node->devnode.c_str(),
                     error ? error->message : "?");
        g_clear_error(&error);
        return;
    }
    // The node is a FIFO: libusb polls it for POLLOUT, which a one-page pipe holding a byte
    // does not give; the byte is taken out while something waits to be reaped.
    const std::string dir = node->fifoPath.substr(0, node->fifoPath.rfind('/'));
    g_mkdir_with_parents(dir.c_str(), 0755);
    if (mkfifo(node->fifoPath.c_str(), 0666) != 0 ||
        (node->fifo = ::open(node->fifoPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
        std::fprintf(stderr, "usbfs bus: cannot make %s: %s\n", node->fifoPath.c_str(),
                     std::strerror(errno));
        umockdev_testbed_detach_ioctl(testbed_, node->devnode.c_str(), nullptr);
        return;
    }
    fcntl(node->fifo, F_SETPIPE_SZ, 4096);
    const char byte = 0;
    if (::write(node->fifo, &byte, 1) != 1) std::fprintf(stderr, "usbfs bus: FIFO write failed\n");

    {
        std::lock_guard lock(mutex_);
        nodes_[node->devnode] = node;
    }

    std::string hex;
    for (uint8_t b : descriptorBytes(*device)) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    char busText[8], devText[8];
    std::snprintf(busText, sizeof busText, "%03u", bus);
    std::snprintf(devText, sizeof devText, "%03u", node->devnum);
    // No N: line: umockdev would put a plain file there, and the FIFO is in place already.
    const std::string description =
        "P: /devices/" + name + "\n" +
        "E: SUBSYSTEM=usb\n"
        "E: DEVTYPE=usb_device\n"
        "E: DEVNAME=" +
        node->devnode + "\nE: BUSNUM=" + busText + "\nE: DEVNUM=" + devText + "\n" +
        "A: busnum=" + std::to_string(bus) + "\\n\n" + "A: devnum=" + std::to_string(node->devnum) +
        "\\n\n" + "A: speed=480\\n\n" + "A: bConfigurationValue=\n" + "H: descriptors=" + hex +
        "\n";
    if (!umockdev_testbed_add_from_string(testbed_, description.c_str(), &error)) {
        std::fprintf(stderr, "usbfs bus: cannot add %s: %s\n", node->syspath.c_str(),
                     error ? error->message : "?");
        g_clear_error(&error);
    }
    {
        std::lock_guard lock(mutex_);
        node->listed = true;
    }
    changed_.notify_all();
}

void UsbfsBus::deviceLeft(const std::shared_ptr<usb::Device> &device) {
    std::shared_ptr<Node> node;
    {
        std::lock_guard lock(mutex_);
        for (auto &[devnode, present] : nodes_)
            if (present->device == device) node = present;
    }
    if (node) removeNode(node);
}

void UsbfsBus::removeNode(const std::shared_ptr<Node> &node) {
    {
        std::lock_guard testbed(testbedMutex_);
        umockdev_testbed_uevent(testbed_, node->syspath.c_str(), "remove");
        umockdev_testbed_remove_device(testbed_, node->syspath.c_str());
        umockdev_testbed_detach_ioctl(testbed_, node->devnode.c_str(), nullptr);
        ::unlink(node->fifoPath.c_str());
    }
    std::vector<std::pair<UMockdevIoctlClient *, uintptr_t>> reaps;
    std::vector<std::shared_ptr<Urb>> silent;
    {
        std::lock_guard lock(mutex_);
        node->gone = true;
        setOpenDenied(node->devnode, false);
        nodes_.erase(node->devnode);
        for (auto &[ioctlClient, client] : clients_) {
            if (client->node != node) continue;
            for (auto &[address, urb] : client->inFlight)
                if (urb->silent) silent.push_back(urb);
        }
        // A REAPURB waiting on a client with nothing left in flight answers ENODEV.
        for (auto &[ioctlClient, client] : clients_) {
            if (client->node != node || !client->blockedReap || !client->inFlight.empty()) continue;
            reaps.emplace_back(ioctlClient, client->blockedReap);
            client->blockedReap = 0;
        }
    }
    for (const auto &urb : silent) finish(urb, kIOReturnNoDevice, 0);
    for (auto &[ioctlClient, address] : reaps) completeIoctl(ioctlClient, -1, ENODEV);
    changed_.notify_all();
}

// ---- Clients ---------------------------------------------------------------------------------

void UsbfsBus::onClientConnected(UMockdevIoctlBase *, UMockdevIoctlClient *ioctlClient,
                                 UsbfsBus *self) {
    const char *devnode = umockdev_ioctl_client_get_devnode(ioctlClient);
    auto client = std::make_shared<Client>();
    client->ioctlClient = ioctlClient;
    {
        std::lock_guard lock(self->mutex_);
        auto found = self->nodes_.find(devnode ? devnode : "");
        if (found != self->nodes_.end()) client->node = found->second;
        self->clients_[ioctlClient] = client;
    }
    // umockdev drops its last reference to a client once the file is closed; that is how the
    // close shows here (this version sends no notification of its own).
    g_object_weak_ref(G_OBJECT(ioctlClient), onClientFinalized, nullptr);
}

void UsbfsBus::onClientFinalized(void *, GObject *ioctlClient) {
    std::lock_guard lock(activeBusMutex);
    if (activeBus) activeBus->clientGone(reinterpret_cast<UMockdevIoctlClient *>(ioctlClient));
}

std::shared_ptr<UsbfsBus::Client> UsbfsBus::findClient(UMockdevIoctlClient *ioctlClient) {
    std::lock_guard lock(mutex_);
    auto found = clients_.find(ioctlClient);
    return found == clients_.end() ? nullptr : found->second;
}

void UsbfsBus::clientGone(UMockdevIoctlClient *ioctlClient) {
    std::shared_ptr<Client> client;
    std::vector<uint8_t> readEndpoints;
    uint32_t claimed = 0;
    bool held = false;
    {
        std::lock_guard lock(mutex_);
        auto found = clients_.find(ioctlClient);
        if (found == clients_.end()) return;
        client = found->second;
        clients_.erase(found);
        client->vanished = true;
        // Closing the file kills its URBs; the device must stop writing into their buffers.
        for (auto &[address, urb] : client->inFlight) {
            urb->discarded = true;
            if (urb->type == USBDEVFS_URB_TYPE_BULK &&
                std::find(readEndpoints.begin(), readEndpoints.end(), urb->endpoint) ==
                    readEndpoints.end())
                readEndpoints.push_back(urb->endpoint);
        }
        if (client->node) {
            client->node->reapable -= client->completed.size();
            client->completed.clear();
            updateReadinessLocked(*client->node);
            if (client->node->holder == client.get()) client->node->holder = nullptr;
        }
        claimed = client->claimed;
        held = client->holds;
        client->claimed = 0;
        client->holds = false;
    }
    if (client->node) {
        usb::Device &device = *client->node->device;
        for (uint8_t endpoint : readEndpoints) device.abortEndpoint(endpoint);
        for (uint8_t number = 0; number < 32; ++number)
            if (claimed & (1u << number)) device.releaseInterface(number);
        if (held) device.close();
    }
}

int UsbfsBus::ensureOpen(Client &client) {
    {
        std::lock_guard lock(mutex_);
        if (client.holds) return 0;
        if (client.node->gone) return ENODEV;
    }
    const IOReturn result = client.node->device->open();
    std::lock_guard lock(mutex_);
    // A file closed just before may not have been noticed yet (the close reaches this thread
    // later than the new file's requests can): while another file of ours holds the device,
    // the request waits a little for it to go before it is refused.
    if (result == kIOReturnExclusiveAccess && client.node->holder &&
        client.node->holder != &client && client.openRetries < kOpenRetries) {
        ++client.openRetries;
        return kRetryLater;
    }
    if (result) return callErrno(result);
    client.holds = true;
    client.node->holder = &client;
    return 0;
}

void UsbfsBus::retryLater(UMockdevIoctlClient *ioctlClient) {
    struct Retry {
        UsbfsBus *bus;
        UMockdevIoctlClient *client;
    };
    GSource *source = g_timeout_source_new(kOpenRetryMs);
    g_object_ref(ioctlClient);
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            auto *retry = static_cast<Retry *>(data);
            retry->bus->handleIoctl(retry->client);
            return G_SOURCE_REMOVE;
        },
        new Retry{this, ioctlClient},
        [](gpointer data) {
            auto *retry = static_cast<Retry *>(data);
            g_object_unref(retry->client);
            delete retry;
        });
    // The thread's own context: the one umockdev handles this client's requests on.
    g_source_attach(source, g_main_context_get_thread_default());
    g_source_unref(source);
}

int UsbfsBus::ensureClaimed(Client &client, uint8_t interfaceNumber) {
    {
        std::lock_guard lock(mutex_);
        if (client.claimed & (1u << interfaceNumber)) return 0;
    }
    // An interface used without a claim is claimed for the file, as the kernel does.
    if (int error = ensureOpen(client)) return error;
    const IOReturn result = client.node->device->claimInterface(interfaceNumber);
    if (result == kIOReturnBadArgument) return ENOENT;
    if (result) return callErrno(result);
    std::lock_guard lock(mutex_);
    client.claimed |= 1u << interfaceNumber;
    return 0;
}

// ---- ioctls ----------------------------------------------------------------------------------

int UsbfsBus::onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *ioctlClient, UsbfsBus *self) {
    return self->handleIoctl(ioctlClient);
}

bool UsbfsBus::handleIoctl(UMockdevIoctlClient *ioctlClient) {
    takeOver();
    const unsigned long request = umockdev_ioctl_client_get_request(ioctlClient);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(ioctlClient);
    // The client is a thread of this process blocked in its ioctl: its memory is ours to read
    // and write until the call completes.
    const uintptr_t argument = *reinterpret_cast<const uintptr_t *>(arg->data);
    auto client = findClient(ioctlClient);
    auto answer = [&](int error) {
        if (error == kRetryLater) {
            retryLater(ioctlClient);
            return true;
        }
        if (client) client->openRetries = 0;
        completeIoctl(ioctlClient, error ? -1 : 0, error);
        return true;
    };
    if (!client || !client->node) return answer(ENODEV);
    Node &node = *client->node;
    usb::Device &device = *node.device;
    // Gone once the device has left, even before its departure has been reported here.
    auto gone = [&] {
        {
            std::lock_guard lock(mutex_);
            if (node.gone) return true;
        }
        return !device.attached();
    };

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        if (gone()) return answer(ENODEV);
        *reinterpret_cast<uint32_t *>(argument) = node.options.capabilities;
        return answer(0);

    case USBDEVFS_GETDRIVER:
        return answer(gone() ? ENODEV : ENODATA); // no kernel driver is bound

    case USBDEVFS_CLAIMINTERFACE: {
        const unsigned number = *reinterpret_cast<const unsigned *>(argument);
        if (number >= 32) return answer(EINVAL);
        return answer(ensureClaimed(*client, uint8_t(number)));
    }

    case USBDEVFS_RELEASEINTERFACE: {
        const unsigned number = *reinterpret_cast<const unsigned *>(argument);
        if (gone()) return answer(ENODEV);
        {
            std::lock_guard lock(mutex_);
            if (number >= 32 || !(client->claimed & (1u << number))) return answer(EINVAL);
            client->claimed &= ~(1u << number);
        }
        device.releaseInterface(uint8_t(number));
        return answer(0);
    }

    case USBDEVFS_SETCONFIGURATION: {
        const int value = *reinterpret_cast<const int *>(argument);
        if (int error = ensureOpen(*client)) return answer(error);
        const uint8_t configuration = uint8_t(value < 0 ? 0 : value);
        const IOReturn result = device.setConfiguration(configuration);
        if (!result) {
            std::lock_guard testbed(testbedMutex_);
            umockdev_testbed_set_attribute(
                testbed_, node.syspath.c_str(), "bConfigurationValue",
                configuration ? (std::to_string(configuration) + "\n").c_str() : "");
        }
        return answer(result == kIOUSBPipeStalled ? EINVAL : callErrno(result));
    }

    case USBDEVFS_SETINTERFACE: {
        const auto *setting = reinterpret_cast<const usbdevfs_setinterface *>(argument);
        if (setting->interface >= 32) return answer(EINVAL);
        if (int error = ensureClaimed(*client, uint8_t(setting->interface))) return answer(error);
        const IOReturn result =
            device.setAlternateSetting(uint8_t(setting->interface), uint8_t(setting->altsetting));
        return answer(result == kIOUSBPipeStalled ? EINVAL : callErrno(result));
    }

    case USBDEVFS_CLEAR_HALT: {
        const unsigned endpoint = *reinterpret_cast<const unsigned *>(argument);
        if (endpoint & 0x0F)
            if (int error = ensureClaimed(*client, 0)) return answer(error);
        const IOReturn result = device.clearHalt(uint8_t(endpoint));
        return answer(result == kIOReturnBadArgument ? ENOENT : callErrno(result));
    }

    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        // The data toggle and a port reset have no counterpart in the device model.
        return answer(gone() ? ENODEV : 0);

    case USBDEVFS_SUBMITURB:
        return answer(submit(client, argument));

    case USBDEVFS_DISCARDURB: {
        std::shared_ptr<Urb> urb;
        bool silent;
        {
            std::lock_guard lock(mutex_);
            auto found = client->inFlight.find(argument);
            if (found == client->inFlight.end() || found->second->discarded) return answer(EINVAL);
            urb = found->second;
            urb->discarded = true;
            silent = urb->silent;
        }
        if (silent) {
            finish(urb, kIOReturnAborted, 0);
        } else {
            // The device model ends every transfer queued on the endpoint; the others are
            // queued again as they come back (finish).
            device.abortEndpoint(urb->type == USBDEVFS_URB_TYPE_CONTROL ? 0 : urb->endpoint);
        }
        return answer(0);
    }

    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        int error;
        {
            std::lock_guard lock(mutex_);
            if (reap(*client, argument)) {
                error = 0;
            } else if (node.gone && client->inFlight.empty()) {
                error = ENODEV;
            } else if (request == USBDEVFS_REAPURB) {
                client->blockedReap = argument; // answered by the next completion
                return true;
            } else {
                error = EAGAIN;
            }
        }
        return answer(error);
    }

    default:
        return answer(ENOTTY);
    }
}

bool UsbfsBus::reap(Client &client, uintptr_t resultAddress) {
    if (client.completed.empty()) return false;
    std::shared_ptr<Urb> urb = std::move(client.completed.front());
    client.completed.pop_front();
    auto *user = reinterpret_cast<usbdevfs_urb *>(urb->address);
    user->status = urb->status;
    user->actual_length = int(urb->actual);
    *reinterpret_cast<void **>(resultAddress) = user;
    --client.node->reapable;
    updateReadinessLocked(*client.node);
    return true;
}

void UsbfsBus::updateReadinessLocked(Node &node) {
    if (node.fifo < 0) return;
    const bool readable = node.reapable > 0;
    if (readable == node.readable) return;
    char byte = 0;
    if (readable ? ::read(node.fifo, &byte, 1) == 1 : ::write(node.fifo, &byte, 1) == 1)
        node.readable = readable;
}

int UsbfsBus::submit(const std::shared_ptr<Client> &owner, uintptr_t urbAddress) {
    Client &client = *owner;
    auto *user = reinterpret_cast<usbdevfs_urb *>(urbAddress);
    auto urb = std::make_shared<Urb>();
    urb->client = owner;
    urb->node = client.node;
    urb->address = urbAddress;
    urb->type = user->type;
    urb->endpoint = user->endpoint;
    urb->buffer = static_cast<uint8_t *>(user->buffer);
    urb->length = user->buffer_length < 0 ? 0 : uint32_t(user->buffer_length);
    Node &node = *client.node;
    {
        std::lock_guard lock(mutex_);
        if (node.gone) return ENODEV;
    }
    const bool in = urb->endpoint & usb::kEndpointIn;
    usb::SetupPacket setup{};
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (urb->length < 8 || !urb->buffer) return EINVAL;
        const uint8_t *s = urb->buffer;
        setup = {s[0], s[1], uint16_t(s[2] | s[3] << 8), uint16_t(s[4] | s[5] << 8),
                 uint16_t(s[6] | s[7] << 8)};
        if (setup.wLength > urb->length - 8) return EINVAL;
        if (int error = ensureOpen(client)) return error;
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK) {
        if (!(node.options.capabilities &
              (USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER)) &&
            urb->length > uint32_t(kMaxUrbWithoutLargeBuffers))
            return EINVAL;
        if (int error = ensureClaimed(client, 0)) return error;
    } else {
        return EINVAL; // the cameras have no isochronous or interrupt endpoints
    }
    {
        std::lock_guard lock(mutex_);
        client.inFlight[urbAddress] = urb;
    }

    if (urb->type == USBDEVFS_URB_TYPE_BULK && in) {
        const IOReturn result = node.device->submitBulkRead(
            urb->endpoint, urb->buffer, urb->length,
            [this, urb](IOReturn status, uint32_t moved) { finish(urb, status, moved); });
        if (result == kIOUSBPipeStalled) {
            finish(urb, result, 0); // a halted endpoint takes the URB and fails it
        } else if (result) {
            std::lock_guard lock(mutex_);
            client.inFlight.erase(urbAddress);
            return result == kIOReturnBadArgument ? ENOENT : callErrno(result);
        }
        return 0;
    }

    // Control transfers and bulk writes are synchronous calls of the device model.
    auto &worker = node.workers[urb->type == USBDEVFS_URB_TYPE_CONTROL ? 0 : urb->endpoint];
    if (!worker) worker = std::make_unique<sim::Worker>();
    worker->post([this, urb, setup] {
        usb::Device &device = *urb->node->device;
        uint32_t moved = 0;
        IOReturn result;
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
            result = device.controlTransfer(setup, urb->buffer + 8, kUsbfsTimeouts, moved);
            // The model counts only the data it sends; an accepted write moved all of its own.
            if (!(setup.bmRequestType & usb::kEndpointIn))
                moved = result == 0 || result == kIOReturnOverrun ? setup.wLength : 0;
        } else {
            result =
                device.bulkTransfer(urb->endpoint, urb->buffer, urb->length, kUsbfsTimeouts, moved);
        }
        finish(urb, result, moved);
    });
    return 0;
}

void UsbfsBus::finish(const std::shared_ptr<Urb> &urb, IOReturn result, uint32_t transferred) {
    UMockdevIoctlClient *answerClient = nullptr;
    bool requeue = false;
    {
        std::lock_guard lock(mutex_);
        auto owner = urb->client.lock();
        if (!owner || owner->vanished) return;
        Client &client = *owner;
        if (result == kIOUSBTransactionTimeout && urb->node->gone) result = kIOReturnNoDevice;
        if (result == kIOUSBTransactionTimeout && !urb->discarded) {
            urb->silent = true; // libusb's own time-out discards it
            return;
        }
        if (result == kIOReturnAborted && !urb->discarded && urb->type == USBDEVFS_URB_TYPE_BULK &&
            (urb->endpoint & usb::kEndpointIn) && !urb->node->gone) {
            requeue = true; // ended with another URB that was discarded
        } else {
            urb->status = urb->discarded && result ? -ENOENT : urbStatus(result);
            urb->actual = transferred;
            client.inFlight.erase(urb->address);
            client.completed.push_back(urb);
            ++urb->node->reapable;
            if (client.blockedReap) {
                const uintptr_t address = client.blockedReap;
                client.blockedReap = 0;
                reap(client, address);
                answerClient = client.ioctlClient;
            }
            updateReadinessLocked(*urb->node);
        }
    }
    if (answerClient) completeIoctl(answerClient, 0, 0);
    if (requeue) {
        const IOReturn again = urb->node->device->submitBulkRead(
            urb->endpoint, urb->buffer, urb->length,
            [this, urb](IOReturn status, uint32_t moved) { finish(urb, status, moved); });
        if (again) finish(urb, again, 0);
    }
}

} // namespace qor::testing
