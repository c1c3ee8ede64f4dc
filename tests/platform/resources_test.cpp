#include "platform/components.h"
#include "platform/dialogs.h"
#include "platform/memory.h"
#include "platform/resources.h"

#include <qorvanta/status.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using qor::platform::ControlKind;
using qor::platform::DialogItemDescription;
using qor::platform::openResourceText;

std::string bytesOf(Handle h) {
    return std::string(*h, size_t(GetHandleSize(h)));
}

std::string pascal(const std::string &text) {
    return std::string(1, char(text.size())) + text;
}

// Closes the files a test opened and gives the current file back: other suites keep theirs
// open across tests.
class ResourceFiles : public ::testing::Test {
protected:
    void SetUp() override { before_ = CurResFile(); }
    void TearDown() override {
        for (int16_t ref : opened_) CloseResFile(ref);
        UseResFile(before_);
    }
    int16_t open(const std::string &text) {
        int16_t ref = openResourceText(text);
        if (ref > 0) opened_.push_back(ref);
        return ref;
    }
    int16_t before_ = 0;
    std::vector<int16_t> opened_;
};

TEST_F(ResourceFiles, LookupSearchesOnlyTheCurrentFile) {
    int16_t a = open("resource 'STR ' 1\n \"from a\"\nend\n");
    int16_t b = open("resource 'STR ' 1\n \"from b\"\nend\nresource 'STR ' 2\n \"only b\"\nend\n");
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(CurResFile(), b) << "an opened file becomes current";

    Handle h = GetResource(fourCharCode("STR "), 1);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(bytesOf(h), pascal("from b"));

    UseResFile(a);
    EXPECT_EQ(ResError(), noErr);
    EXPECT_EQ(CurResFile(), a);
    h = GetResource(fourCharCode("STR "), 1);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(bytesOf(h), pascal("from a"));
    EXPECT_EQ(GetResource(fourCharCode("STR "), 2), nullptr) << "b's resource is not a's";
    EXPECT_EQ(ResError(), resNotFound);
    EXPECT_EQ(GetResource(fourCharCode("DITL"), 1), nullptr);
    EXPECT_EQ(ResError(), resNotFound);
}

TEST_F(ResourceFiles, UnknownReferencesChangeNothing) {
    int16_t a = open("resource 'STR ' 1\n \"a\"\nend\n");
    ASSERT_GT(a, 0);
    UseResFile(int16_t(a + 100));
    EXPECT_EQ(ResError(), resFNotFound);
    EXPECT_EQ(CurResFile(), a);
    CloseResFile(int16_t(a + 100));
    EXPECT_EQ(ResError(), resFNotFound);
    EXPECT_EQ(CurResFile(), a);
}

TEST_F(ResourceFiles, ClosingTheCurrentFileMakesTheLatestOpenFileCurrent) {
    int16_t a = open("resource 'STR ' 1\n \"a\"\nend\n");
    int16_t b = open("resource 'STR ' 1\n \"b\"\nend\n");
    int16_t c = open("resource 'STR ' 1\n \"c\"\nend\n");
    UseResFile(c);
    CloseResFile(c);
    EXPECT_EQ(ResError(), noErr);
    EXPECT_EQ(CurResFile(), b);
    UseResFile(a);
    CloseResFile(b);
    EXPECT_EQ(CurResFile(), a) << "closing another file leaves the current one";
    UseResFile(c);
    EXPECT_EQ(ResError(), resFNotFound) << "a closed file cannot be used";
}

TEST_F(ResourceFiles, TheManagerOwnsAHandleUntilItIsDetached) {
    int16_t a = open("resource 'abcd' 5\n hex 01 02 ff\nend\n");
    ASSERT_GT(a, 0);
    Handle first = GetResource(fourCharCode("abcd"), 5);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(bytesOf(first), std::string("\x01\x02\xff", 3));
    EXPECT_EQ(GetResource(fourCharCode("abcd"), 5), first) << "a loaded resource is shared";

    DetachResource(first);
    EXPECT_EQ(ResError(), noErr);
    Handle second = GetResource(fourCharCode("abcd"), 5);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first) << "after detaching, loading makes a new handle";
    (*first)[0] = 'x'; // the caller's copy is its own
    EXPECT_EQ(bytesOf(second), std::string("\x01\x02\xff", 3));

    // Closing the file disposes its own handles but not the detached one.
    CloseResFile(a);
    opened_.clear();
    EXPECT_EQ(GetHandleSize(first), 3);
    EXPECT_EQ(MemError(), noErr);
    DisposeHandle(first);
    EXPECT_EQ(MemError(), noErr);
}

TEST_F(ResourceFiles, ReleasedResourcesAreLoadedAgain) {
    open("resource 'abcd' 5\n hex 07\nend\n");
    Handle first = GetResource(fourCharCode("abcd"), 5);
    ASSERT_NE(first, nullptr);
    ReleaseResource(first);
    EXPECT_EQ(ResError(), noErr);
    Handle again = GetResource(fourCharCode("abcd"), 5);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(bytesOf(again), "\x07");

    Handle mine = NewHandle(4);
    DetachResource(mine);
    EXPECT_EQ(ResError(), rmvResFailed) << "a handle the manager does not hold";
    ReleaseResource(mine);
    EXPECT_EQ(ResError(), rmvResFailed);
    EXPECT_EQ(GetHandleSize(mine), 4) << "and it is left alone";
    DisposeHandle(mine);
    DetachResource(nullptr);
    EXPECT_EQ(ResError(), rmvResFailed);
}

TEST_F(ResourceFiles, ResourcesAreStoredInTheirPlatformLayouts) {
    open(R"(# a comment
resource 'STR ' 3
  "say \"hi\" \\ there"
end

resource 'dlle' 4
  "EntryName"
end
resource 'thng' 9
  type 'sgpn'
  subtype 'vide'
  manufacturer 'QORN'
  flags cmpWantsRegisterMessage | 0x10
  mask 0x20
  code 'dlle' 4
  name 'STR ' 3
end
)");
    Handle s = GetResource(fourCharCode("STR "), 3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(bytesOf(s), pascal("say \"hi\" \\ there"));
    Handle d = GetResource(fourCharCode("dlle"), 4);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(bytesOf(d), std::string("EntryName\0", 10));

    Handle t = GetResource(fourCharCode("thng"), 9);
    ASSERT_NE(t, nullptr);
    std::string expected;
    auto u32 = [&](uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) expected += char(v >> shift);
    };
    auto ref = [&](const char(&type)[5], int16_t id) {
        u32(fourCharCode(type));
        expected += char(uint16_t(id) >> 8);
        expected += char(id);
    };
    u32(fourCharCode("sgpn"));
    u32(fourCharCode("vide"));
    u32(fourCharCode("QORN"));
    u32(cmpWantsRegisterMessage | 0x10);
    u32(0x20);
    ref("dlle", 4);
    ref("STR ", 3);
    u32(0); // no info
    expected += std::string(2, '\0');
    u32(0); // no icon
    expected += std::string(2, '\0');
    EXPECT_EQ(bytesOf(t), expected);
}

TEST_F(ResourceFiles, ItemListsReadBackAsTheirItems) {
    open(R"(resource 'DITL' 7
  item 1 slider 10 20 30 220 "" min -5 max 5 value 2 live
  item 2 popup 40 20 60 220 "Pick:" menu "One" "Two;Three"
  item 3 checkbox 70 20 90 220 "Check" disabled
  item 4 text 100 20 116 220 "Words"
end
)");
    Handle h = GetResource(fourCharCode("DITL"), 7);
    ASSERT_NE(h, nullptr);
    std::vector<DialogItemDescription> items;
    ASSERT_TRUE(qor::platform::decodeItemList(*h, size_t(GetHandleSize(h)), &items));
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].kind, ControlKind::slider);
    EXPECT_EQ(items[0].minimum, -5);
    EXPECT_EQ(items[0].maximum, 5);
    EXPECT_EQ(items[0].value, 2);
    EXPECT_TRUE(items[0].live);
    EXPECT_EQ(items[0].bounds.top, 10);
    EXPECT_EQ(items[0].bounds.right, 220);
    EXPECT_EQ(items[1].kind, ControlKind::popupMenu);
    EXPECT_EQ(items[1].title, "Pick:");
    EXPECT_EQ(items[1].menu, (std::vector<std::string>{"One", "Two;Three"}));
    EXPECT_EQ(items[1].minimum, 1) << "a popup picks from its first item";
    EXPECT_EQ(items[1].maximum, 2);
    EXPECT_EQ(items[1].value, 1);
    EXPECT_EQ(items[2].kind, ControlKind::checkBox);
    EXPECT_TRUE(items[2].disabled);
    EXPECT_EQ(items[2].maximum, 1);
    EXPECT_EQ(items[3].kind, ControlKind::staticText);
    EXPECT_EQ(items[3].title, "Words");
}

// Each broken text is refused whole, with mapReadErr and the line of the fault on standard
// error.
TEST_F(ResourceFiles, MalformedTextIsRefusedWithTheLineAtFault) {
    struct Case {
        std::string text;
        const char *line;
    };
    const Case cases[] = {
        {"resource 'STR ' 1\n \"unterminated\nend\n", ":2:"},
        {"resource 'STR ' 1\n \"never ends\"\n", ":1:"},
        {"resource 'STR' 1\n \"x\"\nend\n", ":1:"},
        {"resource 'STR ' 70000\n \"x\"\nend\n", ":1:"},
        {"resource 'STR ' 1\n \"x\"\nend\nresource 'STR ' 1\n \"y\"\nend\n", ":4:"},
        {"resource 'STR ' 1\n \"" + std::string(256, 'x') + "\"\nend\n", ":2:"},
        {"resource 'DITL' 1\n item 2 text 0 0 10 10 \"a\"\nend\n", ":2:"},
        {"resource 'DITL' 1\n item 1 text 0 0 10 10 \"a\"\n item 1 text 0 0 10 10 \"b\"\nend\n",
         ":3:"},
        {"resource 'DITL' 1\n item 1 dial 0 0 10 10 \"a\"\nend\n", ":2:"},
        {"resource 'DITL' 1\n item 1 slider 0 0 10 10 \"\" min 0 max 5 value 9\nend\n", ":2:"},
        {"resource 'DITL' 1\n item 1 text 0 0 10 10 \"a\" live\nend\n", ":2:"},
        {"resource 'DITL' 1\n item 1 text 10 0 0 10 \"upside down\"\nend\n", ":2:"},
        {"resource 'DITL' 1\nend\n", ":1:"},
        {"resource 'thng' 1\n type 'a'\nend\n", ":2:"},
        {"resource 'thng' 1\n type 'sgpn'\n subtype 'vide'\n manufacturer 'QORN'\nend\n", ":1:"},
        {"resource 'thng' 1\n flags 1 |\nend\n", ":2:"},
        {"resource 'abcd' 1\n hex 1 2\nend\n", ":2:"},
        {"stray words\n", ":1:"},
    };
    for (const Case &c : cases) {
        const std::string &text = c.text;
        SCOPED_TRACE(text);
        int16_t before = CurResFile();
        testing::internal::CaptureStderr();
        int16_t ref = openResourceText(text, "broken.rsrc");
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ref, -1);
        EXPECT_EQ(ResError(), mapReadErr);
        EXPECT_EQ(CurResFile(), before) << "a refused file changes nothing";
        EXPECT_NE(err.find(std::string("broken.rsrc") + c.line), std::string::npos) << err;
        if (ref > 0) CloseResFile(ref);
    }
}

TEST_F(ResourceFiles, FilesAreReadFromTheirPath) {
    std::string path = testing::TempDir() + "resources_test.rsrc";
    {
        std::ofstream out(path);
        out << "resource 'STR ' 128\n  \"on disk\"\nend\n";
    }
    int16_t ref = qor::platform::openResourceFile(path);
    ASSERT_GT(ref, 0);
    opened_.push_back(ref);
    Handle h = GetResource(fourCharCode("STR "), 128);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(bytesOf(h), pascal("on disk"));
    std::remove(path.c_str());

    testing::internal::CaptureStderr();
    EXPECT_EQ(qor::platform::openResourceFile(path), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ResError(), fnfErr);
    EXPECT_NE(err.find(path), std::string::npos);
}

TEST(ResourceBundle, PathsFollowTheBundleVariable) {
    const char *saved = std::getenv("QORVANTA_BUNDLE");
    std::string keep = saved ? saved : "";
    setenv("QORVANTA_BUNDLE", "/somewhere/Resources", 1);
    EXPECT_EQ(qor::platform::bundleResourcePath("Panel.rsrc"), "/somewhere/Resources/Panel.rsrc");
    setenv("QORVANTA_BUNDLE", "/elsewhere/", 1);
    EXPECT_EQ(qor::platform::bundleResourcePath("x"), "/elsewhere/x");
    // Unset, the installed driver's data directory or, in a build used in place, the source
    // tree's resources/: either holds the panel's resource file.
    unsetenv("QORVANTA_BUNDLE");
    EXPECT_TRUE(std::filesystem::is_regular_file(
        qor::platform::bundleResourcePath(qor::platform::kPanelResourceFile)))
        << qor::platform::bundleResourcePath(qor::platform::kPanelResourceFile);
    if (saved) setenv("QORVANTA_BUNDLE", keep.c_str(), 1);
}

TEST(ResourceBundle, AnInstalledDataDirectoryIsPreferredToTheSourceTree) {
    namespace fs = std::filesystem;
    const fs::path installed =
        fs::temp_directory_path() / ("qorvanta-installed-" + std::to_string(::getpid()));
    fs::remove_all(installed);
    using qor::platform::chooseResourcesDirectory;
    EXPECT_EQ(chooseResourcesDirectory(nullptr, installed.string(), "/src/resources"),
              "/src/resources/");
    fs::create_directories(installed);
    EXPECT_EQ(chooseResourcesDirectory(nullptr, installed.string(), "/src/resources"),
              installed.string() + "/");
    EXPECT_EQ(chooseResourcesDirectory("", installed.string(), "/src/resources"),
              installed.string() + "/");
    // QORVANTA_BUNDLE wins over both.
    EXPECT_EQ(chooseResourcesDirectory("/bundle", installed.string(), "/src/resources"),
              "/bundle/");
    fs::remove_all(installed);
}

// ---- Component registration from 'thng' resources --------------------------------------------

struct RegisterProbe {
    int registerRequests = 0;
    ComponentResult registerAnswer = noErr;
};
RegisterProbe gProbe;

ComponentResult probeEntry(ComponentParameters *params, Handle storage) {
    switch (params->what) {
    case kComponentOpenSelect:
        return noErr;
    case kComponentCloseSelect:
        return noErr;
    case kComponentRegisterSelect:
        ++gProbe.registerRequests;
        return gProbe.registerAnswer;
    default:
        (void)storage;
        return badComponentSelector;
    }
}

constexpr const char *kProbeFile = R"(
resource 'STR ' 1
  "Probe Component"
end
resource 'STR ' 2
  "probe info"
end
resource 'dlle' 1
  "resourcesTestProbeEntry"
end
resource 'thng' 1
  type 'prob'
  subtype 'abcd'
  manufacturer 'TEST'
  flags cmpWantsRegisterMessage
  code 'dlle' 1
  name 'STR ' 1
  info 'STR ' 2
end
resource 'DITL' 5
  item 1 text 0 0 10 10 "probe"
end
)";

class ComponentResourceFiles : public ResourceFiles {
protected:
    void SetUp() override {
        ResourceFiles::SetUp();
        gProbe = {};
        qor::platform::addComponentEntryPoint("resourcesTestProbeEntry", probeEntry);
    }
    void TearDown() override {
        ComponentDescription probe{fourCharCode("prob"), 0, 0, 0, 0};
        while (Component c = FindNextComponent(nullptr, &probe)) UnregisterComponent(c);
        for (Component c : registered_) UnregisterComponent(c);
        qor::platform::addComponentEntryPoint("resourcesTestProbeEntry", nullptr);
        ResourceFiles::TearDown();
    }
    std::vector<Component> registered_;
};

TEST_F(ComponentResourceFiles, ThngResourcesRegisterWithTheirNamedEntryPoint) {
    int16_t ref = open(kProbeFile);
    ASSERT_GT(ref, 0);
    EXPECT_EQ(RegisterComponentResourceFile(ref, 0), 1);
    EXPECT_EQ(gProbe.registerRequests, 1) << "the register request honours the flag";

    ComponentDescription looking{fourCharCode("prob"), fourCharCode("abcd"), fourCharCode("TEST"),
                                 0, 0};
    Component c = FindNextComponent(nullptr, &looking);
    ASSERT_NE(c, nullptr);
    Handle name = NewHandle(0);
    Handle info = NewHandle(0);
    ComponentDescription cd{};
    ASSERT_EQ(GetComponentInfo(c, &cd, name, info, nullptr), noErr);
    EXPECT_EQ(bytesOf(name), pascal("Probe Component"));
    EXPECT_EQ(bytesOf(info), pascal("probe info"));
    EXPECT_EQ(cd.componentFlags, cmpWantsRegisterMessage);
    DisposeHandle(name);
    DisposeHandle(info);

    ComponentInstance ci = OpenComponent(c);
    ASSERT_NE(ci, nullptr) << "the registered entry point answers";
    CloseComponent(ci);
}

TEST_F(ComponentResourceFiles, AComponentRefusingRegistrationIsNotCounted) {
    gProbe.registerAnswer = 1;
    int16_t ref = open(kProbeFile);
    EXPECT_EQ(RegisterComponentResourceFile(ref, 0), 0);
    EXPECT_EQ(gProbe.registerRequests, 1);
    ComponentDescription looking{fourCharCode("prob"), 0, 0, 0, 0};
    EXPECT_EQ(FindNextComponent(nullptr, &looking), nullptr);
}

TEST_F(ComponentResourceFiles, UnknownEntryPointsAndMissingStringsAreSkipped) {
    std::string unknownEntry = kProbeFile;
    unknownEntry.replace(unknownEntry.find("resourcesTestProbeEntry"), 23, "noSuchEntry");
    testing::internal::CaptureStderr();
    EXPECT_EQ(RegisterComponentResourceFile(open(unknownEntry), 0), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("noSuchEntry"), std::string::npos) << err;

    std::string missingName = kProbeFile;
    missingName.replace(missingName.find("name 'STR ' 1"), 13, "name 'STR ' 9");
    testing::internal::CaptureStderr();
    EXPECT_EQ(RegisterComponentResourceFile(open(missingName), 0), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(gProbe.registerRequests, 0);

    EXPECT_EQ(RegisterComponentResourceFile(int16_t(30000), 0), long(resFNotFound));
}

TEST_F(ComponentResourceFiles, AnEmptyEntryPointNameIsReportedIncomplete) {
    std::string emptyEntry = kProbeFile;
    emptyEntry.replace(emptyEntry.find("\"resourcesTestProbeEntry\""), 25, "hex");
    int16_t ref = open(emptyEntry);
    ASSERT_GT(ref, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(RegisterComponentResourceFile(ref, 0), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("'thng' 1 is incomplete"), std::string::npos) << err;
    EXPECT_EQ(gProbe.registerRequests, 0);
}

TEST_F(ComponentResourceFiles, AComponentsResourceFileOpensAgainByComponent) {
    int16_t ref = open(kProbeFile);
    ASSERT_EQ(RegisterComponentResourceFile(ref, 0), 1);
    int16_t other = open("resource 'STR ' 1\n \"other\"\nend\n");
    ComponentDescription looking{fourCharCode("prob"), 0, 0, 0, 0};
    Component c = FindNextComponent(nullptr, &looking);
    ASSERT_NE(c, nullptr);

    int16_t own = OpenComponentResFile(c);
    ASSERT_GT(own, 0);
    EXPECT_NE(own, ref);
    EXPECT_EQ(CurResFile(), other) << "opening it leaves the current file";
    UseResFile(own);
    Handle h = GetResource(fourCharCode("DITL"), 5);
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(CloseComponentResFile(own), noErr);

    // A component registered without a resource file has none to open.
    ComponentDescription plain{fourCharCode("prob"), fourCharCode("none"), 0, 0, 0};
    Component direct = RegisterComponent(&plain, probeEntry, 0, nullptr, nullptr, nullptr);
    ASSERT_NE(direct, nullptr);
    EXPECT_EQ(OpenComponentResFile(direct), -1);
    EXPECT_EQ(ResError(), resFNotFound);
    UnregisterComponent(c);
    EXPECT_EQ(OpenComponentResFile(c), -1) << "nor has an unregistered one";
}

// ---- The panel's shipped resource file --------------------------------------------------------

std::string shippedPanelFile() {
    return std::string(QORVANTA_SOURCE_DIR) + "/resources/" + qor::platform::kPanelResourceFile;
}

TEST_F(ResourceFiles, ShippedPanelPageHasTheItemsThePanelUses) {
    int16_t ref = qor::platform::openResourceFile(shippedPanelFile());
    ASSERT_GT(ref, 0);
    opened_.push_back(ref);
    Handle ditl = GetResource(fourCharCode("DITL"), 16666);
    ASSERT_NE(ditl, nullptr);

    // Appended after two items of the grabber's own, the page's item n is dialog item 2 + n.
    DialogRef d = qor::platform::newDialog({40, 40, 300, 400});
    Handle own = qor::platform::newItemList({{ControlKind::pushButton, {0, 0, 20, 60}, "OK"},
                                             {ControlKind::pushButton, {0, 70, 20, 130}, "No"}});
    AppendDITL(d, own, overlayDITL);
    DisposeHandle(own);
    AppendDITL(d, ditl, appendDITLBottom);
    ASSERT_EQ(CountDITL(d), 2 + 49);

    std::vector<ControlKind> kinds(50, ControlKind::staticText); // unlisted items are labels
    for (int n : {1, 45, 46}) kinds[n] = ControlKind::popupMenu;
    for (int n : {2, 3}) kinds[n] = ControlKind::radioButton;
    for (int n : {5, 6, 7, 8, 9, 49}) kinds[n] = ControlKind::checkBox;
    for (int n : {10, 12, 16, 19, 22, 25, 28, 31, 34, 37}) kinds[n] = ControlKind::slider;
    for (int n : {40, 41}) kinds[n] = ControlKind::pushButton;
    for (int n = 1; n <= 49; ++n) {
        SCOPED_TRACE(n);
        ControlRef c = nullptr;
        ASSERT_EQ(GetDialogItemAsControl(d, DialogItemIndex(2 + n), &c), noErr);
        EXPECT_EQ(qor::platform::controlKind(c), kinds[n]);
        EXPECT_TRUE(IsControlEnabled(c));
        if (kinds[n] == ControlKind::slider) {
            EXPECT_TRUE(qor::platform::controlLiveTracking(c)) << "sliders track live";
        }
        Rect r{};
        GetControlBounds(c, &r);
        EXPECT_LT(r.top, r.bottom);
        EXPECT_LT(r.left, r.right);
    }

    auto menuOf = [&](int n) {
        ControlRef c = nullptr;
        GetDialogItemAsControl(d, DialogItemIndex(2 + n), &c);
        MenuRef m = GetControlPopupMenuHandle(c);
        std::vector<std::string> items;
        for (short i = 1; i <= CountMenuItems(m); ++i) {
            Str255 text;
            GetMenuItemText(m, i, text);
            items.emplace_back(reinterpret_cast<char *>(text + 1), text[0]);
        }
        EXPECT_EQ(GetControl32BitMaximum(c), CountMenuItems(m));
        return items;
    };
    EXPECT_EQ(menuOf(45), (std::vector<std::string>{"None", "Matrix 1", "Matrix 2", "Matrix 3",
                                                    "Matrix 4", "Matrix 5"}));
    EXPECT_EQ(menuOf(46),
              (std::vector<std::string>{"1/120 s steps", "1/100 s steps", "No rounding"}));
    EXPECT_GE(menuOf(1).size(), 1u) << "the size menu keeps an item for install to rename";

    // The tone and colour sliders start with the ranges the page shows.
    auto range = [&](int n) {
        ControlRef c = nullptr;
        GetDialogItemAsControl(d, DialogItemIndex(2 + n), &c);
        return std::pair(GetControl32BitMinimum(c), GetControl32BitMaximum(c));
    };
    EXPECT_EQ(range(25), std::pair(-100, 100));
    EXPECT_EQ(range(28), std::pair(-100, 100));
    EXPECT_EQ(range(31), std::pair(0, 400));
    EXPECT_EQ(range(34), std::pair(-180, 180));
    EXPECT_EQ(range(37), std::pair(-128, 128));
    DisposeDialog(d);
}

TEST_F(ResourceFiles, AFileWithoutThePageHasNoItemList) {
    ASSERT_GT(open("resource 'STR ' 128\n \"Qorvanta Options\"\nend\n"), 0);
    EXPECT_EQ(GetResource(fourCharCode("DITL"), 16666), nullptr);
    EXPECT_EQ(ResError(), resNotFound);
}

TEST_F(ComponentResourceFiles, ShippedPanelRegistersAndAsksForTheRegisterRequest) {
    ComponentDescription looking{fourCharCode("sgpn"), fourCharCode("vide"), fourCharCode("QORN"),
                                 0, 0};
    std::vector<Component> before;
    for (Component c = FindNextComponent(nullptr, &looking); c; c = FindNextComponent(c, &looking))
        before.push_back(c);

    ComponentRoutineUPP saved = qor::platform::componentEntryPoint("QORASGComponentDispatch");
    qor::platform::addComponentEntryPoint("QORASGComponentDispatch", probeEntry);
    int16_t ref = qor::platform::openResourceFile(shippedPanelFile());
    long registered = ref > 0 ? RegisterComponentResourceFile(ref, 0) : -1;
    qor::platform::addComponentEntryPoint("QORASGComponentDispatch", saved);
    if (ref > 0) opened_.push_back(ref);
    EXPECT_EQ(registered, 1);
    EXPECT_EQ(gProbe.registerRequests, 1);

    // The one registered here is the one that was not there before (the library's own panel
    // may be registered as well).
    Component c = nullptr;
    for (Component next = FindNextComponent(nullptr, &looking); next;
         next = FindNextComponent(next, &looking))
        if (std::find(before.begin(), before.end(), next) == before.end()) c = next;
    ASSERT_NE(c, nullptr);
    registered_.push_back(c);
    Handle name = NewHandle(0);
    ComponentDescription cd{};
    ASSERT_EQ(GetComponentInfo(c, &cd, name, nullptr, nullptr), noErr);
    EXPECT_EQ(bytesOf(name), pascal("Qorvanta Options"));
    EXPECT_TRUE(cd.componentFlags & cmpWantsRegisterMessage);
    DisposeHandle(name);
}

} // namespace
