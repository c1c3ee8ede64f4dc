// The digitizer's entry point and identity requests, reached the way a client reaches them:
// through a registered component, an open instance and the client-side request calls.

#include "platform/memory.h"
#include "platform/misc.h"
#include "platform/videodigitizer.h"
#include "usb/camera_record.h"
#include "vdig/vdig.h"

#include <qorvanta/status.h>
#include <qorvanta/vdig.h>

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

// Stands in for the camera-opening half of the digitizer's open request, which needs a camera:
// it installs a record holding a known identity and hands every other request to the
// digitizer's own entry point.
struct FixtureCamera {
    bool installRecord = true;
};
FixtureCamera gFixture;

ComponentResult fixtureEntry(ComponentParameters *params, Handle storage) {
    if (params->what == kComponentOpenSelect) {
        if (!gFixture.installRecord) return noErr;
        auto self = reinterpret_cast<ComponentInstance>(params->params[0]);
        CameraHandle camera = newCameraHandle();
        CameraRecord *record = cameraRecord(camera);
        record->vdigSelf = self;
        record->vendorID = 0x1A2B;
        record->productID = 0x81A5;
        record->locationID = 0x14200000;
        std::strcpy(record->cameraName, "Qorvanta Q8-C-00042");
        record->timeCodeSupported = qor::vdig::timeCodeSupportedByQuickTime();
        SetComponentInstanceStorage(self, camera);
        return noErr;
    }
    if (params->what == kComponentCloseSelect) {
        DisposeHandle(storage);
        return noErr;
    }
    return vdigMainEntry(params, storage);
}

class VdigIdentity : public ::testing::Test {
protected:
    void SetUp() override {
        gFixture = {};
        ComponentDescription cd{videoDigitizerComponentType, kQorvantaVdigSubType,
                                kQorvantaManufacturer, 0x0D, 0};
        component_ = RegisterComponent(&cd, fixtureEntry, 0x201, nullptr, nullptr, nullptr);
        ASSERT_NE(component_, nullptr);
    }
    void TearDown() override {
        if (vdig_) CloseComponent(vdig_);
        UnregisterComponent(component_);
        qor::platform::resetGestalt();
    }
    VideoDigitizerComponent open() {
        vdig_ = OpenComponent(component_);
        return vdig_;
    }
    CameraRecord &record() { return *cameraRecord(GetComponentInstanceStorage(vdig_)); }

    Component component_ = nullptr;
    VideoDigitizerComponent vdig_ = nullptr;
};

TEST_F(VdigIdentity, CanDoAnswersTheImplementedSelectorsOnly) {
    ASSERT_NE(open(), nullptr);
    const std::set<int> implemented = {-5, -4, -3, -2, -1, 1,  2,  3,  4,  25, 26, 50, 60,
                                       61, 62, 63, 64, 68, 69, 70, 71, 72, 73, 74, 75, 76,
                                       77, 78, 81, 90, 91, 92, 94, 95, 96, 97, 696};
    for (int selector = -8; selector <= 700; ++selector) {
        if (selector == kVDGetTimeCodeSelect) continue;
        EXPECT_EQ(ComponentFunctionImplemented(vdig_, int16_t(selector)),
                  implemented.count(selector) ? 1 : 0)
            << selector;
    }
}

TEST_F(VdigIdentity, TimeCodeIsOfferedOutsideTheBrokenQuickTimeReleases) {
    struct Case {
        std::optional<long> gestalt;
        int expected;
    };
    const Case cases[] = {{0x06018000, 1}, {0x06020000, 0}, {0x06508000, 0},  {0x065F0000, 0},
                          {0x06600000, 1}, {0x07608000, 1}, {std::nullopt, 0}};
    for (const Case &c : cases) {
        qor::platform::setGestaltAnswer(gestaltQuickTime, c.gestalt);
        ASSERT_NE(open(), nullptr);
        EXPECT_EQ(ComponentFunctionImplemented(vdig_, kVDGetTimeCodeSelect), c.expected)
            << std::hex << c.gestalt.value_or(-1);
        CloseComponent(vdig_);
        vdig_ = nullptr;
    }
}

TEST_F(VdigIdentity, UnimplementedSelectorsAnswerBadComponentSelector) {
    ASSERT_NE(open(), nullptr);
    for (int16_t selector : {5,  24, 27, 49, 51, 65, 67, 79,  80,  82, 84,
                             86, 87, 88, 89, 90, 93, 98, 695, 697, -6, 1000}) {
        EXPECT_EQ(qor::platform::callComponent(vdig_, selector), badComponentSelector) << selector;
    }
    // 88 and 90 also answer so through the request that names them.
    EXPECT_EQ(ComponentFunctionImplemented(vdig_, kVDGetCompressionTimeSelect), 0);
    EXPECT_EQ(qor::platform::callComponent(vdig_, int16_t(kVDSetPreferredImageDimensionsSelect),
                                           640L, 480L),
              badComponentSelector);
}

TEST_F(VdigIdentity, VersionAndRegister) {
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(GetComponentVersion(vdig_), 0x00020001);
    // An instance with a record answers the register request with 1, one without with 0.
    EXPECT_EQ(qor::platform::callComponent(vdig_, kComponentRegisterSelect), 1);
    CloseComponent(vdig_);
    gFixture.installRecord = false;
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(qor::platform::callComponent(vdig_, kComponentRegisterSelect), 0);
    EXPECT_EQ(GetComponentVersion(vdig_), 0x00020001);
}

TEST_F(VdigIdentity, UniqueIDsCarryVendorProductAndLocation) {
    ASSERT_NE(open(), nullptr);
    UInt64 device = 0, input = 0;
    ASSERT_EQ(VDGetUniqueIDs(vdig_, &device, &input), noErr);
    EXPECT_EQ(device, 0x1A2B81A514200000ull);
    EXPECT_EQ(input, device);
    EXPECT_EQ(VDGetUniqueIDs(vdig_, nullptr, &input), noErr);

    EXPECT_EQ(VDSelectUniqueIDs(vdig_, &device, nullptr), noErr);
    const UInt64 unrelatedInput = 7;
    EXPECT_EQ(VDSelectUniqueIDs(vdig_, &device, &unrelatedInput), noErr);
    EXPECT_EQ(VDSelectUniqueIDs(vdig_, nullptr, &input), noErr);
    const UInt64 otherLocation = device ^ 1, otherModel = device ^ (1ull << 32);
    EXPECT_EQ(VDSelectUniqueIDs(vdig_, &otherLocation, &input), qtUnknownUniqueIDErr);
    EXPECT_EQ(VDSelectUniqueIDs(vdig_, &otherModel, &input), qtUnknownUniqueIDErr);
}

TEST_F(VdigIdentity, DeviceNameIsThePascalCameraName) {
    ASSERT_NE(open(), nullptr);
    Str255 name = {};
    uint32_t flags = 0;
    ASSERT_EQ(VDGetDeviceNameAndFlags(vdig_, name, &flags), noErr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(name + 1), name[0]), "Qorvanta Q8-C-00042");
    EXPECT_EQ(flags, uint32_t(vdDeviceFlagShowInputsAsDevices));

    // A name that fills its field to the last byte is still cut at the field's end.
    std::memset(record().cameraName, 'x', sizeof record().cameraName);
    ASSERT_EQ(VDGetDeviceNameAndFlags(vdig_, name, &flags), noErr);
    EXPECT_EQ(name[0], kCameraNameSize - 1);
}

TEST_F(VdigIdentity, HookHandsOutTheCameraRecord) {
    ASSERT_NE(open(), nullptr);
    Handle camera = nullptr;
    ASSERT_EQ(QORVANTAHook(vdig_, &camera), noErr);
    EXPECT_EQ(camera, GetComponentInstanceStorage(vdig_));
    EXPECT_EQ(QORVANTAHook(vdig_, nullptr), qtParamErr);
}

TEST_F(VdigIdentity, GuardedRequestsRefuseMissingRecordAndRemovedCamera) {
    auto guardedRequests = [this](ComponentResult expected) {
        Handle camera = nullptr;
        UInt64 id = 0;
        Str255 name = {};
        uint32_t flags = 0;
        EXPECT_EQ(QORVANTAHook(vdig_, &camera), expected);
        EXPECT_EQ(camera, nullptr);
        EXPECT_EQ(VDGetUniqueIDs(vdig_, &id, &id), expected);
        EXPECT_EQ(id, 0u);
        EXPECT_EQ(VDSelectUniqueIDs(vdig_, &id, &id), expected);
        EXPECT_EQ(VDGetDeviceNameAndFlags(vdig_, name, &flags), expected);
        EXPECT_EQ(name[0], 0);
        // Can-do, version and register work without a usable camera.
        EXPECT_EQ(ComponentFunctionImplemented(vdig_, kVDGetUniqueIDsSelect), 1);
        EXPECT_EQ(GetComponentVersion(vdig_), 0x00020001);
    };

    ASSERT_NE(open(), nullptr);
    atomicField(record().cameraRemoved).store(1);
    guardedRequests(kIOReturnNoDevice);
    CloseComponent(vdig_);

    gFixture.installRecord = false;
    ASSERT_NE(open(), nullptr);
    guardedRequests(badCallOrderErr);
}

TEST_F(VdigIdentity, ShortParameterBlockIsRefused) {
    ASSERT_NE(open(), nullptr);
    UInt64 id = 0;
    ComponentParameters block{};
    block.what = kVDGetUniqueIDsSelect;
    block.paramSize = kComponentParamUnit; // the request takes two parameters
    block.params[0] = reinterpret_cast<uintptr_t>(&id);
    EXPECT_EQ(CallComponentDispatch(vdig_, &block), paramErr);
    EXPECT_EQ(id, 0u);
}

} // namespace
