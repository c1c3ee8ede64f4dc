// FX2 firmware download: file choice, Intel HEX reading, and an unprogrammed camera coming
// back on the bus running its firmware.
#include "platform/misc.h"
#include "platform/resources.h"
#include "sim/images.h"
#include "support/bundle_override.h"
#include "support/fifo_guard.h"
#include "support/sim_camera.h"
#include "usb/firmware.h"
#include "usb/vendor_ids.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

using namespace qor;
namespace fs = std::filesystem;

namespace {

constexpr auto kBoot = std::chrono::seconds(10);

using test::BundleOverride;

// Unprogrammed cameras of both vendor ids, as the loader matches them.
io_iterator_t unprogrammedDevices(uint16_t vendorID) {
    mach_port_t port = 0;
    IOMasterPort(MACH_PORT_NULL, &port);
    CFMutableDictionaryRef matching = IOServiceMatching(kIOUSBDeviceClassName);
    int32_t vendor = vendorID, subclass = 0xFF;
    CFNumberRef v = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &vendor);
    CFNumberRef s = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &subclass);
    CFDictionarySetValue(matching, CFSTR(kUSBVendorID), v);
    CFDictionarySetValue(matching, CFSTR(kUSBDeviceSubClass), s);
    CFRelease(v);
    CFRelease(s);
    io_iterator_t iterator = 0;
    IOServiceGetMatchingServices(port, matching, &iterator);
    mach_port_deallocate(mach_task_self(), port);
    return iterator;
}

void downloadToAllUnprogrammed() {
    for (uint16_t vendor : {kCameraVendorID, kCameraVendorID2}) {
        io_iterator_t iterator = unprogrammedDevices(vendor);
        myAnchorFX2UnenumeratedAdded(nullptr, iterator);
        IOObjectRelease(iterator);
    }
}

sim::CameraOptions unprogrammed(uint16_t productID, uint16_t release) {
    sim::CameraOptions options;
    options.productID = productID;
    options.releaseNumber = release;
    options.reenumerationDelay = std::chrono::milliseconds(50);
    return options;
}

// An unprogrammed camera that presents itself as real hardware.
sim::CameraOptions realUnprogrammed(uint16_t productID, uint16_t release) {
    sim::CameraOptions options = unprogrammed(productID, release);
    options.presentsAsReal = true;
    return options;
}

// The FX2 load requests (0xA0) of a log: address and bytes.
std::vector<std::pair<uint16_t, std::vector<uint8_t>>>
fx2Loads(const std::vector<sim::Transfer> &log) {
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> loads;
    for (const auto &t : test::controlTransfers(log))
        if (t.bmRequestType == 0x40 && t.bRequest == 0xA0) loads.emplace_back(t.wValue, t.data);
    return loads;
}

TEST(FirmwareTable, PicksTheFileByProductAndRelease) {
    EXPECT_EQ(usb::firmwareFileFor(0x81A5, 0), "cam08/firm0.HEX");
    EXPECT_EQ(usb::firmwareFileFor(0x81A5, 1), "cam08/firm0.HEX");
    EXPECT_EQ(usb::firmwareFileFor(0x81A5, 2), "cam08/firm1.HEX");
    EXPECT_EQ(usb::firmwareFileFor(0x81A5, 3), std::nullopt);
    EXPECT_EQ(usb::firmwareFileFor(0x81A8, 4), "cam10/firm4.HEX");
    EXPECT_EQ(usb::firmwareFileFor(0x81A2, 0x10), "cam05/firm10.HEX");
    EXPECT_EQ(usb::firmwareFileFor(0x81A2, 1), std::nullopt);
    EXPECT_EQ(usb::firmwareFileFor(0x80A1, 0x1234), "cam01/firm0.HEX");
    EXPECT_EQ(usb::firmwareFileFor(0x00A1, 0), std::nullopt);
    // Every file the bundle ships is reachable from the table.
    for (const sim::BundleImage &file : sim::bundleFirmwareFiles()) {
        uint16_t release = 0;
        while (release < 32 && !sim::releaseAccepted(file.releaseMask, release)) ++release;
        auto entry = usb::firmwareFileFor(uint16_t(file.productID | 0x8000), release);
        ASSERT_TRUE(entry.has_value()) << file.path;
        EXPECT_EQ("Firmware/" + *entry, file.path);
    }
}

class FirmwareDownload : public test::SimTest {
protected:
    void SetUp() override {
        test::SimTest::SetUp();
        dir = fs::temp_directory_path() /
              ("qorvanta-fw-" + std::to_string(::getpid()) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir / "Firmware" / "cam08");
    }
    void TearDown() override {
        fs::remove_all(dir);
        test::SimTest::TearDown();
    }
    // Writes text as the firmware of product 0x01A5 release 0, and downloads it.
    std::string download(const std::string &text, std::shared_ptr<sim::SimCamera> &cam,
                         const sim::CameraOptions &options = unprogrammed(0x01A5, 0)) {
        std::ofstream(dir / "Firmware/cam08/firm0.HEX", std::ios::binary) << text;
        cam = sim::attachCamera(options);
        BundleOverride bundle(dir);
        testing::internal::CaptureStderr();
        downloadToAllUnprogrammed();
        return testing::internal::GetCapturedStderr();
    }
    std::vector<uint8_t> image() { return sim::buildFirmwareImage(0x01A5, 0x3); }
    fs::path dir;
};

TEST_F(FirmwareDownload, EveryBundleFileBootsItsCamera) {
    BundleOverride bundle(test::repositoryResources());
    std::vector<std::shared_ptr<sim::SimCamera>> cameras;
    for (const sim::BundleImage &file : sim::bundleFirmwareFiles())
        for (uint16_t release = 0; release < 32; ++release)
            if (sim::releaseAccepted(file.releaseMask, release) &&
                (file.releaseMask != sim::kAnyRelease ||
                 release == sim::findModel(file.productID)->defaultRelease))
                cameras.push_back(sim::attachCamera(unprogrammed(file.productID, release)));
    gWasCameraFirmwareLoaded = 0;
    testing::internal::CaptureStderr();
    downloadToAllUnprogrammed();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(gWasCameraFirmwareLoaded, 1);
    EXPECT_EQ(err.find("unable to download"), std::string::npos) << err;

    std::set<uint16_t> products;
    for (const auto &cam : cameras) {
        SCOPED_TRACE(cam->model().productName);
        ASSERT_TRUE(cam->waitUntilRunning(kBoot));
        products.insert(cam->model().productID);
    }
    EXPECT_EQ(products.size(), 28u);
    // Back on the bus under the model's own product id.
    for (uint16_t product : products)
        EXPECT_FALSE(test::matchingServices(cameraVendorFor(product), product).empty());
}

TEST_F(FirmwareDownload, MessagesOfASuccessfulDownload) {
    std::shared_ptr<sim::SimCamera> cam;
    sim::HexStyle style;
    std::string err = download(sim::formatIntelHex(image(), 0, style), cam);
    std::string path = (dir / "Firmware/cam08/firm0.HEX").string();
    EXPECT_EQ(err, "myOpenFirmWareFile() locate FW for PID 81a5 DID 0\n"
                   "myOpenFirmWareFile() FW should be in cam08/firm0.HEX\n"
                   "myOpenFirmWareFile(): Found Firmware at " +
                       path +
                       "\n"
                       "myAnchorFX2WriteFirmWare reset FX2 successfully\n"
                       "myAnchorFX2DownLoadFirmwareFile successed writing Firmware\n"
                       "myAnchorFX2WriteFirmWare set FX2 as vendor mode successfully\n"
                       "FW was downloaded to device\n");
    EXPECT_TRUE(cam->waitUntilRunning(kBoot));
}

TEST_F(FirmwareDownload, CommentsAndBlankLinesAreAccepted) {
    std::shared_ptr<sim::SimCamera> cam;
    sim::HexStyle style;
    style.commentPrefix = "//";
    style.comments = {"firmware for the test camera", "second line"};
    style.blankLineEvery = 3;
    style.crlf = true;
    std::string text = "# leading comment\n\n" + sim::formatIntelHex(image(), 0, style);
    std::string err = download(text, cam);
    EXPECT_NE(err.find("successed writing Firmware"), std::string::npos) << err;
    std::vector<uint8_t> ram = cam->fx2Ram();
    std::vector<uint8_t> expected = image();
    ASSERT_GE(ram.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), ram.begin()));
}

TEST_F(FirmwareDownload, LowerCaseFailsOnTheFirstRecordAndTheCpuIsStillReleased) {
    std::shared_ptr<sim::SimCamera> cam;
    std::string text = sim::formatIntelHex(image(), 0, {});
    for (char &c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    unsigned beeps = platform::sysBeepCount();
    std::string err = download(text, cam);
    EXPECT_GT(platform::sysBeepCount(), beeps);
    auto loads = fx2Loads(cam->transferLog());
    ASSERT_EQ(loads.size(), 2u) << "hold and release of the CPU, nothing between";
    EXPECT_EQ(loads[0], (std::pair<uint16_t, std::vector<uint8_t>>{0xE600, {1}}));
    EXPECT_EQ(loads[1], (std::pair<uint16_t, std::vector<uint8_t>>{0xE600, {0}}));
    EXPECT_NE(err.find("myAnchorFX2DownLoadFirmwareFile failed to write Firmware 0xffffffff!\n"),
              std::string::npos);
    EXPECT_NE(err.find("myAnchorFX2WriteFirmWare set FX2 as vendor mode returned err "
                       "0xffffffff!\nunable to download to device: -1 ffffffff\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(cam->state(), sim::CameraState::Unprogrammed);
}

TEST_F(FirmwareDownload, MissingEndRecordFailsAfterEveryDataRecordWasWritten) {
    std::shared_ptr<sim::SimCamera> cam;
    std::string text = sim::formatIntelHex(image(), 0, {});
    size_t end = text.find(":00000001FF");
    ASSERT_NE(end, std::string::npos);
    text.erase(end);
    unsigned beeps = platform::sysBeepCount();
    std::string err = download(text, cam);
    EXPECT_EQ(platform::sysBeepCount(), beeps);
    EXPECT_NE(err.find("failed to write Firmware 0x1!"), std::string::npos) << err;
    auto loads = fx2Loads(cam->transferLog());
    ASSERT_GE(loads.size(), 3u);
    EXPECT_EQ(loads.back().second, std::vector<uint8_t>{0}); // CPU released last
    std::vector<uint8_t> ram = cam->fx2Ram();
    std::vector<uint8_t> expected = image();
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), ram.begin()));
}

TEST_F(FirmwareDownload, BadChecksumStopsBeforeThatRecord) {
    std::shared_ptr<sim::SimCamera> cam;
    std::string text = sim::formatIntelHex(image(), 0, {});
    // Corrupt the checksum of the fourth record: the three before it are written.
    size_t line = 0;
    for (int i = 0; i < 3; ++i) line = text.find(':', line + 1);
    size_t eol = text.find('\n', line);
    char &last = text[eol - 1];
    last = last == 'F' ? 'E' : 'F';
    std::string err = download(text, cam);
    EXPECT_NE(err.find("failed to write Firmware 0xffffffff!"), std::string::npos) << err;
    auto loads = fx2Loads(cam->transferLog());
    // Hold, three records, release.
    ASSERT_EQ(loads.size(), 2u + 3u);
    EXPECT_EQ(loads[1].first, 0x0000);
    EXPECT_EQ(loads.back().second, std::vector<uint8_t>{0});
}

TEST_F(FirmwareDownload, UnknownReleaseHasNoFirmware) {
    auto cam = sim::attachCamera(unprogrammed(0x01A5, 3));
    testing::internal::CaptureStderr();
    downloadToAllUnprogrammed();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "myOpenFirmWareFile() locate FW for PID 81a5 DID 3\n"
                   "myOpenFirmWareFile() can't match FW for the IDs\n"
                   "unable to download to device: -43 ffffffd5\n");
    EXPECT_TRUE(fx2Loads(cam->transferLog()).empty());
}

TEST_F(FirmwareDownload, MissingFileIsReported) {
    auto cam = sim::attachCamera(unprogrammed(0x01A5, 2));
    BundleOverride bundle(dir);
    testing::internal::CaptureStderr();
    downloadToAllUnprogrammed();
    std::string err = testing::internal::GetCapturedStderr();
    std::string path = (dir / "Firmware/cam08/firm1.HEX").string();
    EXPECT_NE(err.find("myOpenFirmWareFile(): Failed to find Firmware at " + path + "!!!!\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("The camera with product id 0x81A5 (release 2) needs the firmware file "
                       "cam08/firm1.HEX, which is not in " +
                       (dir / "Firmware/").string() + "\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("unable to download to device: -43 ffffffd5\n"), std::string::npos);
}

TEST_F(FirmwareDownload, AFileThatIsNotRegularIsReportedMissing) {
    const fs::path path = dir / "Firmware/cam08/firm0.HEX";
    auto cam = sim::attachCamera(unprogrammed(0x01A5, 0));
    BundleOverride bundle(dir);
    std::string err;
    auto download = [&] {
        testing::internal::CaptureStderr();
        downloadToAllUnprogrammed();
        err = testing::internal::GetCapturedStderr();
    };
    // A FIFO would hold the loader in the open until something wrote to it.
    EXPECT_TRUE(test::returnsDespiteFifo(path, download)) << "the download waited on the FIFO";
    EXPECT_NE(err.find("Failed to find Firmware at " + path.string()), std::string::npos) << err;
    fs::remove(path);

    fs::create_directory(path);
    download();
    EXPECT_NE(err.find("Failed to find Firmware at " + path.string()), std::string::npos) << err;
    EXPECT_NE(err.find("unable to download to device: -43 ffffffd5\n"), std::string::npos);
    EXPECT_TRUE(fx2Loads(cam->transferLog()).empty());
}

TEST_F(FirmwareDownload, DeviceHeldElsewhereIsSkippedAfterFiveAttempts) {
    auto cam = sim::attachCamera(unprogrammed(0x01A5, 0));
    cam->holdExclusive(5);
    testing::internal::CaptureStderr();
    downloadToAllUnprogrammed();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "");
    EXPECT_TRUE(fx2Loads(cam->transferLog()).empty());

    // Held four times, it opens on the fifth attempt.
    cam->holdExclusive(4);
    BundleOverride bundle(test::repositoryResources());
    testing::internal::CaptureStderr();
    downloadToAllUnprogrammed();
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("FW was downloaded to device"), std::string::npos) << err;
}

TEST_F(FirmwareDownload, RealCameraIsNeverSentTheSimulatorsFirmware) {
    // The simulator's file as the repository has it.
    auto cam = sim::attachCamera(realUnprogrammed(0x01A5, 0));
    unsigned beeps = platform::sysBeepCount();
    std::string err;
    {
        BundleOverride bundle(test::repositoryResources());
        testing::internal::CaptureStderr();
        downloadToAllUnprogrammed();
        err = testing::internal::GetCapturedStderr();
    }
    const std::string firmware = (test::repositoryResources() / "Firmware/").string();
    EXPECT_NE(err.find("Not sending " + firmware +
                       "cam08/firm0.HEX to the camera with product id "
                       "0x81A5 (release 0): it is the simulator's firmware image, made for "
                       "simulated cameras only. Put the camera maker's firmware file there as " +
                       firmware + "cam08/firm0.HEX\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("unable to download to device: -43 ffffffd5\n"), std::string::npos) << err;
    EXPECT_TRUE(fx2Loads(cam->transferLog()).empty()) << "not even the CPU was held";
    EXPECT_EQ(cam->state(), sim::CameraState::Unprogrammed);
    EXPECT_EQ(platform::sysBeepCount(), beeps);

    // The same image laid out otherwise is recognised just the same.
    sim::detachAllCameras();
    sim::HexStyle style;
    style.recordLength = 32;
    style.comments = {"renamed and reformatted"};
    style.crlf = true;
    err = download(sim::formatIntelHex(image(), 0, style), cam, realUnprogrammed(0x01A5, 0));
    EXPECT_NE(err.find("it is the simulator's firmware image"), std::string::npos) << err;
    EXPECT_TRUE(fx2Loads(cam->transferLog()).empty());

    // A maker's image, without the simulator's identity block, goes to the real camera whole.
    sim::detachAllCameras();
    std::vector<uint8_t> maker = image();
    maker[sim::kFirmwareIdentityAddress] = 0x02;
    err = download(sim::formatIntelHex(maker, 0, {}), cam, realUnprogrammed(0x01A5, 0));
    EXPECT_NE(err.find("successed writing Firmware"), std::string::npos) << err;
    std::vector<uint8_t> ram = cam->fx2Ram();
    EXPECT_TRUE(std::equal(maker.begin(), maker.end(), ram.begin()));
}

TEST_F(FirmwareDownload, WithoutABundleRealCamerasUseTheInstalledFilesAndSimulatedOnesTheImages) {
    BundleOverride unset("");
    auto real = sim::attachCamera(realUnprogrammed(0x01A5, 2));
    testing::internal::CaptureStderr();
    downloadToAllUnprogrammed();
    std::string err = testing::internal::GetCapturedStderr();
    const std::string installed = platform::installedDataDirectory() + "Firmware/";
    EXPECT_NE(err.find("Failed to find Firmware at " + installed + "cam08/firm1.HEX"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("The camera with product id 0x81A5 (release 2) needs the firmware file "
                       "cam08/firm1.HEX, which is not in " +
                       installed + " (the camera maker's firmware files go there)\n"),
              std::string::npos)
        << err;
    EXPECT_TRUE(fx2Loads(real->transferLog()).empty());

    // A simulated camera boots from the simulator's images: installed, or the source tree's.
    sim::detachAllCameras();
    auto simulated = sim::attachCamera(unprogrammed(0x01A5, 2));
    testing::internal::CaptureStderr();
    downloadToAllUnprogrammed();
    err = testing::internal::GetCapturedStderr();
    const std::string file = "Firmware/cam08/firm1.HEX\n";
    EXPECT_TRUE(err.find("Found Firmware at " + platform::sourceResourcesDirectory() + file) !=
                    std::string::npos ||
                err.find("Found Firmware at " + platform::installedDataDirectory() + "simulator/" +
                         file) != std::string::npos)
        << err;
    EXPECT_TRUE(simulated->waitUntilRunning(kBoot));
}

// Tools of the 8051 world write Intel HEX their own ways; what they write loads unchanged.
TEST_F(FirmwareDownload, HexFromCommonToolsLoadsByteForByte) {
    std::vector<uint8_t> bytes = image();
    // sdcc's .ihx: short records of uneven length, upper case, LF, end record.
    std::string ihx;
    char line[600];
    for (size_t at = 0; at < bytes.size();) {
        size_t n = std::min<size_t>(at % 3 == 0 ? 3 : 16, bytes.size() - at);
        unsigned sum = unsigned(n) + (at >> 8 & 0xFF) + (at & 0xFF);
        int len = std::snprintf(line, sizeof line, ":%02X%04X00", unsigned(n), unsigned(at));
        for (size_t i = 0; i < n; ++i) {
            len += std::snprintf(line + len, sizeof line - len, "%02X", bytes[at + i]);
            sum += bytes[at + i];
        }
        std::snprintf(line + len, sizeof line - len, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
        ihx += line;
        at += n;
    }
    ihx += ":00000001FF\n";
    std::shared_ptr<sim::SimCamera> cam;
    std::string err = download(ihx, cam);
    EXPECT_NE(err.find("successed writing Firmware"), std::string::npos) << err;
    std::vector<uint8_t> ram = cam->fx2Ram();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), ram.begin()));
    ASSERT_TRUE(cam->waitUntilRunning(kBoot));

    // objcopy -I binary -O ihex, when the machine has binutils.
    fs::path bin = dir / "image.bin", hex = dir / "image.hex";
    std::ofstream(bin, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    std::string command =
        "objcopy -I binary -O ihex '" + bin.string() + "' '" + hex.string() + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << "objcopy not available";
    std::ifstream in(hex, std::ios::binary);
    std::string objcopyText((std::istreambuf_iterator<char>(in)), {});
    sim::detachAllCameras();
    err = download(objcopyText, cam);
    EXPECT_NE(err.find("successed writing Firmware"), std::string::npos) << err;
    ram = cam->fx2Ram();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), ram.begin()));
}

} // namespace
