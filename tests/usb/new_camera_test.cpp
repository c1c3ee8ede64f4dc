// New-camera registration: the FPGA configured from the bundle's bitstream when it reports
// itself unconfigured, the sensor initialised, and one digitizer registered per camera. The
// handler is driven with an iterator over the cameras of one product id, as the loader does.
#include "platform/resources.h"
#include "platform/usb.h"
#include "sim/images.h"
#include "support/fifo_guard.h"
#include "usb/init_reset.h"
#include "usb/loader_support.h"
#include "usb/new_camera.h"
#include "usb/vendor_ids.h"

#include <qorvanta/usb.h>

#include <gtest/gtest.h>

#include <set>

using namespace qor;
namespace fs = std::filesystem;

namespace {

sim::CameraOptions unconfigured(uint16_t productID, std::optional<uint16_t> release = {},
                                std::string serial = {}) {
    sim::CameraOptions options = test::runningCamera(productID, std::move(serial));
    options.fpgaConfigured = false;
    options.releaseNumber = release;
    return options;
}

// Runs the handler over the attached cameras of a product id; returns what it wrote to
// standard error.
std::string addCameras(uint16_t productID) {
    mach_port_t port = 0;
    EXPECT_EQ(IOMasterPort(MACH_PORT_NULL, &port), KERN_SUCCESS);
    CFMutableDictionaryRef matching = IOServiceMatching(kIOUSBDeviceClassName);
    int32_t vendor = cameraVendorFor(productID), product = productID;
    CFNumberRef v = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &vendor);
    CFNumberRef p = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &product);
    CFDictionarySetValue(matching, CFSTR(kUSBVendorID), v);
    CFDictionarySetValue(matching, CFSTR(kUSBProductID), p);
    CFRelease(v);
    CFRelease(p);
    io_iterator_t iterator = 0;
    EXPECT_EQ(IOServiceGetMatchingServices(port, matching, &iterator), KERN_SUCCESS);
    testing::internal::CaptureStderr();
    myNewCameraAdded(nullptr, iterator);
    std::string err = testing::internal::GetCapturedStderr();
    // The handler walks the iterator to its end, whatever happened.
    EXPECT_EQ(IOIteratorNext(iterator), 0u);
    IOObjectRelease(iterator);
    mach_port_deallocate(mach_task_self(), port);
    return err;
}

// The sensor writes the initialisation table stands for: (address, value) per entry.
std::vector<std::pair<uint16_t, uint8_t>> decodedInitializationTable() {
    std::vector<std::pair<uint16_t, uint8_t>> writes;
    for (size_t i = 0; i < kInitializationMacroCount; ++i) {
        uint16_t entry =
            uint16_t(InitializationMacros[2 * i] << 8 | InitializationMacros[2 * i + 1]);
        writes.emplace_back(uint16_t(entry >> 6), uint8_t(entry & 0x3F));
    }
    return writes;
}

TEST(FpgaTable, PicksTheFileByProductAndRelease) {
    EXPECT_EQ(usb::fpgaFileFor(0x01A2, 0), "cam05/fpga0.rbf");
    EXPECT_EQ(usb::fpgaFileFor(0x01A2, 0x10), "cam05/fpga10.rbf");
    EXPECT_EQ(usb::fpgaFileFor(0x01A2, 0x20), std::nullopt);
    EXPECT_EQ(usb::fpgaFileFor(0x0097, 1), "cam21/fpga1.rbf");
    EXPECT_EQ(usb::fpgaFileFor(0x0097, 2), std::nullopt);
    EXPECT_EQ(usb::fpgaFileFor(0x018C, 0x4321), "cam13/fpga0.bin");
    EXPECT_EQ(usb::fpgaFileFor(0x03AD, 0), std::nullopt);
    EXPECT_EQ(usb::fpgaFileFor(0x80A1, 0), std::nullopt) << "unprogrammed ids have no FPGA";
    // Every bitstream the bundle ships is reachable from the table, for each release it serves.
    for (const sim::BundleImage &file : sim::bundleFpgaFiles())
        for (uint16_t release = 0; release < 32; ++release) {
            if (!sim::releaseAccepted(file.releaseMask, release)) continue;
            auto entry = usb::fpgaFileFor(file.productID, release);
            ASSERT_TRUE(entry.has_value()) << file.path;
            EXPECT_EQ("FPGA/" + *entry, file.path);
        }
}

TEST(InitializationTable, StartsWithTheSensorResetAndHoldsTenBitAddresses) {
    auto writes = decodedInitializationTable();
    ASSERT_EQ(writes.size(), 434u);
    // Soft reset set and cleared first, then the clock word.
    EXPECT_EQ(writes[0], (std::pair<uint16_t, uint8_t>{0x017, 1}));
    EXPECT_EQ(writes[1], (std::pair<uint16_t, uint8_t>{0x017, 0}));
    EXPECT_EQ(writes[2], (std::pair<uint16_t, uint8_t>{0x02B, 0x35}));
    EXPECT_EQ(writes[3], (std::pair<uint16_t, uint8_t>{0x010, 4}));
    for (auto [address, value] : writes) {
        EXPECT_LE(address, 0x3FF);
        EXPECT_LE(value, 0x3F);
    }
}

using NewCamera = test::LoaderTest;

TEST_F(NewCamera, ConfiguredFpgaIsOnlyRegistered) {
    // The model that has a sensor initialisation: a configured camera gets none.
    auto cam = sim::attachCamera(test::runningCamera(0x009A, "READY"));
    std::string err = addCameras(0x009A);
    EXPECT_EQ(err, "");
    auto log = cam->transferLog();
    EXPECT_EQ(test::fpgaStatusReads(log), 1u);
    EXPECT_TRUE(test::fpgaControlWrites(log).empty());
    EXPECT_TRUE(test::bulkOutBytes(log).empty());
    EXPECT_TRUE(test::sensorRequests(log).empty());
    EXPECT_TRUE(cam->sensorWrites().empty());

    auto registered = test::registeredDigitizers();
    ASSERT_EQ(registered.size(), 1u);
    const CameraComponentInfo &info = registered.begin()->second;
    EXPECT_EQ(registered.begin()->first, test::cameraName(*cam));
    EXPECT_EQ(info.vendorID, cam->model().vendorID);
    EXPECT_EQ(info.productID, 0x009A);
    EXPECT_EQ(info.locationID, cam->locationID());
    EXPECT_EQ(std::string(info.name), test::cameraName(*cam));
    // The temporary record was closed: the camera can be opened again at once.
    EXPECT_EQ(log.back().kind, sim::Transfer::Kind::Close);
}

TEST_F(NewCamera, UnconfiguredFpgaTakesItsBitstreamFromTheBundle) {
    // A file for one release only, and a .bin file.
    auto variant = sim::attachCamera(unconfigured(0x01A2, 0x10));
    auto binary = sim::attachCamera(unconfigured(0x018C, 0));
    std::string err = addCameras(0x01A2);
    err += addCameras(0x018C);

    auto expected = test::fileBytes(test::repositoryResources() / "FPGA/cam05/fpga10.rbf");
    auto expectedBin = test::fileBytes(test::repositoryResources() / "FPGA/cam13/fpga0.bin");
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(err, "myOpenFPGAFileBuffer() locate FPGA for PID 1a2 DID 10\n"
                   "myOpenFPGAFileBuffer() found FPGA in cam05/fpga10.rbf\n"
                   "myOpenFPGAFileBuffer() buffered FPGA " +
                       std::to_string(expected.size()) +
                       " bytes\n"
                       "myOpenFPGAFileBuffer() locate FPGA for PID 18c DID 0\n"
                       "myOpenFPGAFileBuffer() found FPGA in cam13/fpga0.bin\n"
                       "myOpenFPGAFileBuffer() buffered FPGA " +
                       std::to_string(expectedBin.size()) + " bytes\n");
    EXPECT_TRUE(variant->fpgaConfigured());
    EXPECT_TRUE(binary->fpgaConfigured());
    EXPECT_EQ(variant->lastBitstream(), expected);
    EXPECT_EQ(binary->lastBitstream(), expectedBin);

    auto log = variant->transferLog();
    // The file went out unchanged, in one transfer, on the bitstream endpoint.
    size_t bulkTransfers = 0;
    for (const auto &t : log)
        if (t.kind == sim::Transfer::Kind::BulkOut) {
            ++bulkTransfers;
            EXPECT_EQ(t.endpoint, 0x02);
        }
    EXPECT_EQ(bulkTransfers, 1u);
    EXPECT_EQ(test::bulkOutBytes(log), expected);
    EXPECT_EQ(test::fpgaControlWrites(log), (std::vector<uint32_t>{0xFFFFFFFF, 0}));
    // Status before, then polls until the FPGA reports itself configured.
    EXPECT_GE(test::fpgaStatusReads(log), 2u);
    EXPECT_LE(test::fpgaStatusReads(log), 11u);
    // Bitstream under alternate setting 1, back to 0 before the camera is closed.
    std::vector<uint16_t> alternates = test::alternateSettings(log);
    ASSERT_GE(alternates.size(), 2u);
    EXPECT_EQ(alternates[0], 1);
    EXPECT_EQ(alternates[1], 0);
    EXPECT_NE(test::clearedEndpoints(log), std::vector<uint8_t>{}) << "stall of pipe 1 cleared";
    EXPECT_EQ(test::clearedEndpoints(log).front(), 0x02);
    EXPECT_TRUE(test::sensorRequests(log).empty()) << "this model has no sensor initialisation";

    auto registered = test::registeredDigitizers();
    EXPECT_EQ(registered.size(), 2u);
    EXPECT_EQ(registered.count(test::cameraName(*variant)), 1u);
    EXPECT_EQ(registered.count(test::cameraName(*binary)), 1u);
}

TEST_F(NewCamera, SensorIsInitialisedAfterItsFpga) {
    auto cam = sim::attachCamera(unconfigured(0x009A));
    addCameras(0x009A);
    EXPECT_TRUE(cam->fpgaConfigured());
    EXPECT_EQ(cam->sensorWrites(), decodedInitializationTable());
    // Each word: the address in wValue, index 6, the value in the first of four bytes.
    auto requests = test::sensorRequests(cam->transferLog());
    ASSERT_EQ(requests.size(), kInitializationMacroCount);
    for (const sim::Transfer &t : requests) {
        EXPECT_EQ(t.wIndex, 6);
        ASSERT_EQ(t.data.size(), 4u);
        EXPECT_EQ(t.data[1] | t.data[2] | t.data[3], 0);
    }
    EXPECT_EQ(test::registeredDigitizers().count(test::cameraName(*cam)), 1u);
}

TEST_F(NewCamera, CameraWithoutFpgaNeverTouchesItsRegister) {
    auto cam = sim::attachCamera(test::runningCamera(0x03AD));
    EXPECT_EQ(addCameras(0x03AD), "");
    auto log = cam->transferLog();
    EXPECT_EQ(test::fpgaStatusReads(log), 0u);
    EXPECT_TRUE(test::fpgaControlWrites(log).empty());
    EXPECT_TRUE(test::registerWrites(log).empty());
    EXPECT_EQ(test::registeredDigitizers().count(test::cameraName(*cam)), 1u);
}

TEST_F(NewCamera, UnknownReleaseStillEndsTheConfigurationAndPolls) {
    auto cam = sim::attachCamera(unconfigured(0x01A2, 0x20));
    std::string err = addCameras(0x01A2);
    EXPECT_EQ(err, "myOpenFPGAFileBuffer() locate FPGA for PID 1a2 DID 20\n"
                   "myOpenFPGAFileBuffer: thePID not recodnized failed err 0xFFFFFFFF -1\n");
    auto log = cam->transferLog();
    EXPECT_TRUE(test::bulkOutBytes(log).empty());
    EXPECT_EQ(test::fpgaControlWrites(log), (std::vector<uint32_t>{0xFFFFFFFF, 0}));
    // Without a bitstream the FPGA never reports itself configured: all ten polls run, and
    // the configuration is then taken as done.
    EXPECT_EQ(test::fpgaStatusReads(log), 1u + 10u);
    EXPECT_FALSE(cam->fpgaConfigured());
    EXPECT_EQ(test::registeredDigitizers().count(test::cameraName(*cam)), 1u);
}

TEST_F(NewCamera, MissingOrEmptyBitstreamFileSendsNothing) {
    fs::path dir = fs::temp_directory_path() / ("qorvanta-fpga-" + std::to_string(::getpid()));
    fs::create_directories(dir / "FPGA/cam10");
    std::ofstream(dir / "FPGA/cam10/fpga0.rbf").close(); // empty
    test::BundleOverride bundle(dir);

    // cam08 has no file here; cam10's file is empty.
    auto missing = sim::attachCamera(unconfigured(0x01A5));
    auto empty = sim::attachCamera(unconfigured(0x01A8));
    std::string err = addCameras(0x01A5);
    EXPECT_EQ(err.find("buffered"), std::string::npos) << err;
    EXPECT_NE(err.find("found FPGA in cam08/fpga0.rbf\n"), std::string::npos) << err;
    EXPECT_NE(err.find("The camera " + test::cameraName(*missing) +
                       " (product id 0x01A5) needs the FPGA file cam08/fpga0.rbf, which is "
                       "missing, empty or unreadable in " +
                       (dir / "FPGA/").string() + "\n"),
              std::string::npos)
        << err;
    err = addCameras(0x01A8);
    EXPECT_EQ(err.find("buffered"), std::string::npos) << err;
    EXPECT_NE(err.find("needs the FPGA file cam10/fpga0.rbf"), std::string::npos) << err;
    fs::remove_all(dir);

    for (const auto &cam : {missing, empty}) {
        auto log = cam->transferLog();
        EXPECT_TRUE(test::bulkOutBytes(log).empty());
        EXPECT_EQ(test::fpgaControlWrites(log), (std::vector<uint32_t>{0xFFFFFFFF, 0}));
        EXPECT_EQ(test::fpgaStatusReads(log), 11u);
        EXPECT_EQ(test::registeredDigitizers().count(test::cameraName(*cam)), 1u);
    }
}

TEST_F(NewCamera, RealCameraIsNeverSentTheSimulatorsBitstream) {
    sim::CameraOptions options = unconfigured(0x01A5);
    options.presentsAsReal = true;
    auto cam = sim::attachCamera(options);
    std::string err = addCameras(0x01A5);
    const std::string fpga = (test::repositoryResources() / "FPGA/").string();
    EXPECT_NE(err.find("Not sending " + fpga + "cam08/fpga0.rbf to the camera " +
                       test::cameraName(*cam) +
                       " (product id 0x01A5): it is the simulator's FPGA bitstream, made for "
                       "simulated cameras only. Put the camera maker's FPGA file there as " +
                       fpga + "cam08/fpga0.rbf\n"),
              std::string::npos)
        << err;
    auto log = cam->transferLog();
    EXPECT_TRUE(test::bulkOutBytes(log).empty());
    // The configuration still ends as it does without a file.
    EXPECT_EQ(test::fpgaControlWrites(log), (std::vector<uint32_t>{0xFFFFFFFF, 0}));
    EXPECT_FALSE(cam->fpgaConfigured());

    // A maker's bitstream, without the simulator's header, is sent to the real camera as it is.
    sim::detachAllCameras();
    usb::unregisterCameraDigitizers();
    fs::path dir = fs::temp_directory_path() / ("qorvanta-maker-" + std::to_string(::getpid()));
    fs::create_directories(dir / "FPGA/cam08");
    std::vector<uint8_t> maker = sim::buildBitstream(0x01A5, sim::kAnyRelease);
    maker[0] = 0xFF;
    std::ofstream(dir / "FPGA/cam08/fpga0.rbf", std::ios::binary)
        .write(reinterpret_cast<const char *>(maker.data()), std::streamsize(maker.size()));
    test::BundleOverride bundle(dir);
    cam = sim::attachCamera(options);
    err = addCameras(0x01A5);
    fs::remove_all(dir);
    EXPECT_EQ(err.find("Not sending"), std::string::npos) << err;
    EXPECT_EQ(test::bulkOutBytes(cam->transferLog()), maker);
}

TEST_F(NewCamera, WithoutABundleARealCameraLooksInTheInstalledDirectory) {
    test::BundleOverride unset("");
    sim::CameraOptions options = unconfigured(0x01A5);
    options.presentsAsReal = true;
    auto cam = sim::attachCamera(options);
    std::string err = addCameras(0x01A5);
    EXPECT_NE(err.find("The camera " + test::cameraName(*cam) +
                       " (product id 0x01A5) needs the FPGA file cam08/fpga0.rbf, which is "
                       "missing, empty or unreadable in " +
                       platform::installedDataDirectory() +
                       "FPGA/ (the camera maker's FPGA files go there)\n"),
              std::string::npos)
        << err;
    EXPECT_TRUE(test::bulkOutBytes(cam->transferLog()).empty());
}

TEST_F(NewCamera, BitstreamThatIsNotARegularFileSendsNothing) {
    fs::path dir = fs::temp_directory_path() / ("qorvanta-fpga-fifo-" + std::to_string(::getpid()));
    fs::create_directories(dir / "FPGA/cam08");
    fs::create_directories(dir / "FPGA/cam10/fpga0.rbf");
    test::BundleOverride bundle(dir);

    // cam08's file is a FIFO, which would hold the loader in the open; cam10's is a directory.
    auto fifo = sim::attachCamera(unconfigured(0x01A5));
    auto directory = sim::attachCamera(unconfigured(0x01A8));
    std::string err;
    EXPECT_TRUE(test::returnsDespiteFifo(dir / "FPGA/cam08/fpga0.rbf", [&] {
        err = addCameras(0x01A5);
    })) << "the loader waited on the FIFO";
    EXPECT_EQ(err.find("buffered"), std::string::npos) << err;
    err = addCameras(0x01A8);
    EXPECT_EQ(err.find("buffered"), std::string::npos) << err;
    fs::remove_all(dir);

    for (const auto &cam : {fifo, directory}) {
        EXPECT_TRUE(test::bulkOutBytes(cam->transferLog()).empty());
        EXPECT_EQ(test::registeredDigitizers().count(test::cameraName(*cam)), 1u);
    }
}

TEST_F(NewCamera, FpgaThatRejectsTheBitstreamIsPolledTenTimes) {
    auto cam = sim::attachCamera(unconfigured(0x00A1));
    cam->setFpgaNeverConfigures(true);
    addCameras(0x00A1);
    auto log = cam->transferLog();
    EXPECT_FALSE(test::bulkOutBytes(log).empty());
    EXPECT_EQ(test::fpgaStatusReads(log), 11u);
    EXPECT_EQ(test::registeredDigitizers().size(), 1u);
}

TEST_F(NewCamera, FailingDeviceLeavesTheRestOfItsIteratorForTheNextRun) {
    auto first = sim::attachCamera(test::runningCamera(0x01A8, "FIRST"));
    auto second = sim::attachCamera(test::runningCamera(0x01A8, "SECOND"));
    first->failRegister(0x0008, sim::Direction::Read, kIOUSBPipeStalled);
    EXPECT_EQ(addCameras(0x01A8), "");
    EXPECT_EQ(test::countCameraDigitizers(), 0);
    EXPECT_TRUE(second->transferLog().empty()) << "the second camera was not even opened";

    // The fault was one-off: the next pass registers both, the first after its bitstream.
    addCameras(0x01A8);
    auto registered = test::registeredDigitizers();
    EXPECT_EQ(registered.size(), 2u);
    EXPECT_EQ(registered.count(test::cameraName(*first)), 1u);
    EXPECT_EQ(registered.count(test::cameraName(*second)), 1u);

    // A third pass finds both by name.
    addCameras(0x01A8);
    EXPECT_EQ(test::countCameraDigitizers(), 2);
}

TEST_F(NewCamera, FailedStartOfConfigurationRecoversAndRegistersNothing) {
    auto cam = sim::attachCamera(unconfigured(0x00A3));
    cam->failRegister(0x0008, sim::Direction::Write, kIOUSBPipeStalled);
    EXPECT_EQ(addCameras(0x00A3), "");
    auto log = cam->transferLog();
    EXPECT_TRUE(test::bulkOutBytes(log).empty());
    EXPECT_EQ(test::alternateSettings(log).at(1), 0) << "alternate setting 0 after the failure";
    EXPECT_EQ(test::countCameraDigitizers(), 0);
}

TEST_F(NewCamera, OverrunOnTheConfigurationWritesCountsAsDone) {
    // The device carried out both writes; an overrun only says it answered more than asked.
    auto cam = sim::attachCamera(unconfigured(0x00A3));
    cam->failRegister(0x0008, sim::Direction::Write, kIOReturnOverrun, 2);
    addCameras(0x00A3);
    auto log = cam->transferLog();
    EXPECT_EQ(test::fpgaControlWrites(log), (std::vector<uint32_t>{0xFFFFFFFF, 0}));
    EXPECT_FALSE(test::bulkOutBytes(log).empty());
    EXPECT_TRUE(cam->fpgaConfigured());
    EXPECT_EQ(test::abortedEndpoints(log), std::vector<uint8_t>{}) << "no stall recovery";
    EXPECT_EQ(test::registeredDigitizers().count(test::cameraName(*cam)), 1u);
}

TEST_F(NewCamera, FailedSensorInitialisationFailsTheDevice) {
    auto cam = sim::attachCamera(unconfigured(0x009A));
    cam->failRequest(0x13, kIOUSBPipeStalled);
    addCameras(0x009A);
    EXPECT_TRUE(cam->fpgaConfigured());
    EXPECT_EQ(test::sensorRequests(cam->transferLog()).size(), 1u) << "the first failure ends it";
    EXPECT_EQ(test::countCameraDigitizers(), 0);
}

class InitReset : public test::SimTest {};

TEST_F(InitReset, OtherModelsSendNothing) {
    for (uint16_t product : {uint16_t(0x00A1), uint16_t(0x03AD), uint16_t(0x019A)}) {
        test::OpenCamera camera(test::runningCamera(product));
        EXPECT_EQ(QORInitReset(camera.handle()), 0);
        EXPECT_TRUE(camera.sim().transferLog().empty());
    }
    EXPECT_EQ(QORInitReset(nullptr), kIOReturnNoDevice);
}

TEST_F(InitReset, FirstFailingWordEndsTheSequenceWithItsError) {
    test::OpenCamera camera(test::runningCamera(0x009A));
    camera.sim().failRequest(0x13, kIOReturnNotResponding);
    EXPECT_EQ(QORInitReset(camera.handle()), kIOReturnNotResponding);
    EXPECT_EQ(test::sensorRequests(camera.sim().transferLog()).size(), 1u);
    EXPECT_TRUE(camera.sim().sensorWrites().empty());

    // Run again it sends the whole table.
    camera.sim().clearTransferLog();
    EXPECT_EQ(QORInitReset(camera.handle()), 0);
    EXPECT_EQ(camera.sim().sensorWrites(), decodedInitializationTable());
}

TEST_F(InitReset, OverrunCountsAsDone) {
    test::OpenCamera camera(test::runningCamera(0x009A));
    camera.sim().failRequest(0x13, kIOReturnOverrun, 3);
    EXPECT_EQ(QORInitReset(camera.handle()), 0);
    EXPECT_EQ(test::sensorRequests(camera.sim().transferLog()).size(), kInitializationMacroCount);
}

} // namespace
