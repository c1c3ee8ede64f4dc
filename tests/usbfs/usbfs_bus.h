// Simulated cameras behind emulated usbfs device nodes, for tests of the code paths that reach
// real cameras through libusb.
//
// A UsbfsBus puts each enumeration of a simulated camera under /sys/bus/usb/devices and
// /dev/bus/usb/BBB/DDD of a umockdev testbed and answers every usbfs ioctl libusb sends to that
// node from the camera's device model (sim/), so that libusb, and whatever sits on it, talks to
// the very model the in-process tests reach directly. While the bus exists the simulated bus is
// off the platform's backend list (it is put back afterwards): its cameras, whether attached
// here or with sim::attachCamera, are reached through libusb only.
//
// Rules of use:
// - The process runs under umockdev-wrapper (the test executable's launcher in CMake).
// - Build the bus before any libusb context (libusb_init) and before anything asks whether it
//   runs in a mock environment; destroy it after libusb_exit of every context. One bus at a time.
// - Clients are libusb contexts of this process (the bus reads and writes URBs in its memory).
// - A camera's bus number and port path follow from its locationID (see busNumber, portPath):
//   a port keeps its sysfs name across re-enumerations, each enumeration gets a new devnum.
// - The device's exclusive claim (usb::Device::open) is taken by a file at its first claim,
//   configuration or transfer and given back when the file is closed; while another file or
//   sim's holdExclusive holds it, libusb_claim_interface answers LIBUSB_ERROR_BUSY.
// - A node can refuse to open (UsbfsNodeOptions::denyAccess): libusb_open answers
//   LIBUSB_ERROR_ACCESS. File modes deny nothing to root, so the test executable's own open()
//   answers EACCES for such nodes.
// - The kernel never learns libusb's time-outs: a request the model leaves unanswered stays
//   pending until libusb's time-out discards it (LIBUSB_ERROR_TIMEOUT, as with real devices).
// - Completed URBs are signalled to poll() through the node itself, which is a FIFO whose
//   writability says "something to reap": libusb's event loop sleeps while nothing completes.
#pragma once

#include "platform/usb_backend.h"
#include "sim/sim.h"

#include <linux/usbdevice_fs.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _GObject GObject;

namespace qor::testing {

// What USBDEVFS_GET_CAPABILITIES answers. A current kernel on a scatter-gather host controller:
// libusb submits a bulk transfer as one URB.
constexpr uint32_t kUsbfsCapsCurrentKernel =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
// A host controller without bulk continuation, scatter-gather or large URBs: libusb splits a
// bulk transfer into URBs of 16 KB, and each URB is its own read of the device.
constexpr uint32_t kUsbfsCapsWithoutContinuation = USBDEVFS_CAP_ZERO_PACKET;

struct UsbfsNodeOptions {
    uint32_t capabilities = kUsbfsCapsCurrentKernel;
    // Opening the camera's node fails with EACCES (libusb_open: LIBUSB_ERROR_ACCESS).
    bool denyAccess = false;
};

class UsbfsBus final : public usb::BusListener {
public:
    UsbfsBus();
    // Detaches every camera, then removes the testbed.
    ~UsbfsBus() override;
    UsbfsBus(const UsbfsBus &) = delete;
    UsbfsBus &operator=(const UsbfsBus &) = delete;

    // Attaches a simulated camera (sim::attachCamera) and returns once its node is present.
    // The options hold for every enumeration of the camera. Null for an unknown model.
    std::shared_ptr<sim::SimCamera> attach(const sim::CameraOptions &options,
                                           const UsbfsNodeOptions &node = {});
    // Changes whether the camera's node refuses to open, now and for later enumerations.
    void setDenyAccess(const sim::SimCamera &camera, bool deny);
    // The devnum of the camera's node now; 0 while it has none.
    uint8_t deviceAddress(const sim::SimCamera &camera) const;
    // Unplugs every camera (sim::detachAllCameras) and waits until their nodes are gone.
    void detachAll();

    // Where libusb finds a camera: bus number (bits 31-24 of the locationID) and port path
    // (bytes 23-16, 15-8, 7-0, up to the first zero).
    static uint8_t busNumber(uint32_t locationID);
    static std::vector<uint8_t> portPath(uint32_t locationID);

    // usb::BusListener, for the simulated bus.
    void deviceArrived(const std::shared_ptr<usb::Device> &device) override;
    void deviceLeft(const std::shared_ptr<usb::Device> &device) override;

    struct Node;
    struct Client;
    struct Urb;

private:
    static int onIoctl(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, UsbfsBus *self);
    static void onClientConnected(UMockdevIoctlBase *handler, UMockdevIoctlClient *client,
                                  UsbfsBus *self);
    static void onClientFinalized(void *self, GObject *client);

    bool handleIoctl(UMockdevIoctlClient *ioctlClient);
    void clientGone(UMockdevIoctlClient *ioctlClient);
    std::shared_ptr<Client> findClient(UMockdevIoctlClient *ioctlClient);
    // errno of the device's exclusive claim for this client (0 once held).
    int ensureOpen(Client &client);
    int ensureClaimed(Client &client, uint8_t interfaceNumber);
    // Handles the client's request again shortly, on the handler's thread.
    void retryLater(UMockdevIoctlClient *ioctlClient);
    int submit(const std::shared_ptr<Client> &client, uintptr_t urbAddress);
    void finish(const std::shared_ptr<Urb> &urb, IOReturn result, uint32_t transferred);
    bool reap(Client &client, uintptr_t resultAddress); // under mutex_
    void updateReadinessLocked(Node &node);
    void removeNode(const std::shared_ptr<Node> &node);

    UMockdevTestbed *testbed_ = nullptr;
    UMockdevIoctlBase *handler_ = nullptr;
    std::string root_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::mutex attachMutex_;
    std::map<uint32_t, UsbfsNodeOptions> options_; // by locationID
    std::optional<UsbfsNodeOptions> pendingOptions_;
    std::map<std::string, std::shared_ptr<Node>> nodes_; // present nodes, by devnode
    std::map<UMockdevIoctlClient *, std::shared_ptr<Client>> clients_;
    uint8_t lastDevnum_ = 1; // 1 is the root hub's

    std::mutex testbedMutex_; // testbed calls come from the cameras' threads
};

} // namespace qor::testing
