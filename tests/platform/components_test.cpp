#include "platform/components.h"
#include "platform/memory.h"

#include <qorvanta/status.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A component that records the requests it receives.
struct Probe {
    std::vector<int> requests;
    ComponentResult openAnswer = noErr;
    ComponentResult registerAnswer = noErr;
    ComponentInstance openedSelf = nullptr;
    bool storageAtClose = false;
};
Probe gProbe;

ComponentResult echo(Handle storage, short small, long word, const char *text) {
    return ComponentResult(small * 1000 + word + (storage ? 1 : 0) + (text ? int(text[0]) : 0));
}

ComponentResult probeEntry(ComponentParameters *params, Handle storage) {
    gProbe.requests.push_back(params->what);
    switch (params->what) {
    case kComponentOpenSelect:
        gProbe.openedSelf = reinterpret_cast<ComponentInstance>(params->params[0]);
        SetComponentInstanceStorage(gProbe.openedSelf, NewHandleClear(4));
        return gProbe.openAnswer;
    case kComponentCloseSelect:
        gProbe.storageAtClose = storage != nullptr;
        DisposeHandle(storage);
        return noErr;
    case kComponentRegisterSelect:
        return gProbe.registerAnswer;
    case 7:
        return qor::platform::callWithStorage<echo>(params, storage);
    default:
        return badComponentSelector;
    }
}

Handle pascalHandle(const std::string &text) {
    Handle h = NewHandle(Size(text.size() + 1));
    (*h)[0] = char(text.size());
    text.copy(*h + 1, text.size());
    return h;
}

class Components : public ::testing::Test {
protected:
    void SetUp() override { gProbe = {}; }
    void TearDown() override {
        for (Component c : registered_) UnregisterComponent(c);
    }
    Component add(OSType type, OSType subType, uint32_t flags, const char *name = "Probe") {
        ComponentDescription cd{type, subType, fourCharCode("TEST"), flags, 0};
        Handle nameHandle = pascalHandle(name);
        Component c = RegisterComponent(&cd, probeEntry, 0, nameHandle, nameHandle, nullptr);
        DisposeHandle(nameHandle);
        if (c) registered_.push_back(c);
        return c;
    }
    std::vector<Component> registered_;
};

TEST_F(Components, FindsByDescriptionWithWildcardsAndMask) {
    Component a = add(fourCharCode("aaaa"), fourCharCode("one "), 0x0D);
    Component b = add(fourCharCode("aaaa"), fourCharCode("two "), 0x01);
    add(fourCharCode("bbbb"), fourCharCode("one "), 0x0D);

    ComponentDescription looking{fourCharCode("aaaa"), 0, 0, 0, 0};
    EXPECT_EQ(CountComponents(&looking), 2);
    EXPECT_EQ(FindNextComponent(nullptr, &looking), a);
    EXPECT_EQ(FindNextComponent(a, &looking), b);
    EXPECT_EQ(FindNextComponent(b, &looking), nullptr);

    looking.componentFlags = 0x04;
    looking.componentFlagsMask = 0x04;
    EXPECT_EQ(CountComponents(&looking), 1);
    EXPECT_EQ(FindNextComponent(nullptr, &looking), a);
}

TEST_F(Components, InfoNameAndRefconRoundTrip) {
    Component c = add(fourCharCode("aaaa"), fourCharCode("one "), 0, "Qorvanta Q8-C-00042");
    Handle name = NewHandle(0);
    ComponentDescription cd{};
    ASSERT_EQ(GetComponentInfo(c, &cd, name, nullptr, nullptr), noErr);
    EXPECT_EQ(cd.componentSubType, fourCharCode("one "));
    EXPECT_EQ(std::string(*name + 1, size_t((*name)[0])), "Qorvanta Q8-C-00042");
    DisposeHandle(name);

    SetComponentRefcon(c, 0x1234);
    EXPECT_EQ(GetComponentRefcon(c), 0x1234);
    // An instance stands for its component.
    ComponentInstance ci = OpenComponent(c);
    ASSERT_NE(ci, nullptr);
    EXPECT_EQ(GetComponentRefcon(componentOf(ci)), 0x1234);
    EXPECT_EQ(CountComponentInstances(componentOf(ci)), 1);
    CloseComponent(ci);
}

TEST_F(Components, OpenAndCloseReachTheComponentWithItsStorage) {
    Component c = add(fourCharCode("aaaa"), fourCharCode("one "), 0);
    ComponentInstance ci = nullptr;
    ASSERT_EQ(OpenAComponent(c, &ci), noErr);
    EXPECT_EQ(gProbe.openedSelf, ci);
    EXPECT_NE(GetComponentInstanceStorage(ci), nullptr);
    EXPECT_EQ(CountComponentInstances(c), 1);
    EXPECT_EQ(CloseComponent(ci), noErr);
    EXPECT_TRUE(gProbe.storageAtClose);
    EXPECT_EQ(CountComponentInstances(c), 0);
    // The closed instance is gone: requests to it are refused, not sent.
    EXPECT_EQ(CloseComponent(ci), invalidComponentID);
    EXPECT_EQ(qor::platform::callComponent(ci, 7), badComponentInstance);
    EXPECT_EQ(gProbe.requests, (std::vector<int>{-1, -2}));
}

TEST_F(Components, FailedOpenIsClosedAgainSoItsStorageIsReleased) {
    Component c = add(fourCharCode("aaaa"), fourCharCode("one "), 0);
    gProbe.openAnswer = 1;
    ComponentInstance ci = reinterpret_cast<ComponentInstance>(1);
    EXPECT_EQ(OpenAComponent(c, &ci), 1);
    EXPECT_EQ(ci, nullptr);
    EXPECT_EQ(gProbe.requests, (std::vector<int>{-1, -2}));
    EXPECT_TRUE(gProbe.storageAtClose);
    EXPECT_EQ(CountComponentInstances(c), 0);
}

TEST_F(Components, RegisterRequestDecidesWhetherTheComponentStays) {
    Component kept = add(fourCharCode("pane"), fourCharCode("one "), cmpWantsRegisterMessage);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(gProbe.requests, (std::vector<int>{-1, -5, -2}));
    EXPECT_EQ(CountComponentInstances(kept), 0);

    gProbe = {};
    gProbe.registerAnswer = 1;
    EXPECT_EQ(add(fourCharCode("pane"), fourCharCode("two "), cmpWantsRegisterMessage), nullptr);
    ComponentDescription looking{fourCharCode("pane"), 0, 0, 0, 0};
    EXPECT_EQ(CountComponents(&looking), 1);

    // Without the flag no request is sent at registration.
    gProbe = {};
    add(fourCharCode("pane"), fourCharCode("thr "), 0);
    EXPECT_TRUE(gProbe.requests.empty());
}

TEST_F(Components, ParametersArriveTypedAndInOrder) {
    Component c = add(fourCharCode("aaaa"), fourCharCode("one "), 0);
    ComponentInstance ci = OpenComponent(c);
    ASSERT_NE(ci, nullptr);
    EXPECT_EQ(qor::platform::callComponent(ci, 7, short(-2), 30L, "A"), -2000 + 30 + 1 + 'A');
    // A block too short for the handler is refused instead of read past its end.
    EXPECT_EQ(qor::platform::callComponent(ci, 7, short(1), 2L), paramErr);
    EXPECT_EQ(CallComponentDispatch(ci, nullptr), paramErr);
    CloseComponent(ci);
}

TEST_F(Components, UnregisteringWithOpenInstancesIsRefused) {
    Component c = add(fourCharCode("aaaa"), fourCharCode("one "), 0);
    ComponentInstance ci = OpenComponent(c);
    EXPECT_EQ(UnregisterComponent(c), validInstancesExist);
    CloseComponent(ci);
    EXPECT_EQ(UnregisterComponent(c), noErr);
    registered_.clear();
    EXPECT_EQ(UnregisterComponent(c), invalidComponentID);
    EXPECT_EQ(OpenComponent(c), nullptr);
}

} // namespace
