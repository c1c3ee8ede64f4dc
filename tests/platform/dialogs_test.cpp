#include "platform/dialogs.h"
#include "platform/memory.h"

#include <qorvanta/status.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using qor::platform::ControlKind;
using qor::platform::DialogItemDescription;

std::vector<unsigned char> pstr(const std::string &text) {
    std::vector<unsigned char> s(text.size() + 1);
    s[0] = (unsigned char)text.size();
    std::copy(text.begin(), text.end(), s.begin() + 1);
    return s;
}

std::string menuText(MenuRef m, short item) {
    Str255 text;
    GetMenuItemText(m, item, text);
    return std::string(reinterpret_cast<char *>(text + 1), text[0]);
}

bool sameRect(const Rect &a, const Rect &b) {
    return a.top == b.top && a.left == b.left && a.bottom == b.bottom && a.right == b.right;
}

// A dialog holding the items a test gives it, disposed at the end.
class Dialogs : public ::testing::Test {
protected:
    void TearDown() override {
        for (DialogRef d : dialogs_) DisposeDialog(d);
        SetPort(nullptr);
    }
    DialogRef make(const Rect &bounds, const std::vector<DialogItemDescription> &items = {}) {
        DialogRef d = qor::platform::newDialog(bounds);
        dialogs_.push_back(d);
        if (!items.empty()) append(d, items, overlayDITL);
        return d;
    }
    static void append(DialogRef d, const std::vector<DialogItemDescription> &items,
                       DITLMethod how) {
        Handle list = qor::platform::newItemList(items);
        ASSERT_NE(list, nullptr);
        AppendDITL(d, list, how);
        DisposeHandle(list);
    }
    static ControlRef item(DialogRef d, int n) {
        ControlRef c = nullptr;
        EXPECT_EQ(GetDialogItemAsControl(d, DialogItemIndex(n), &c), noErr) << "item " << n;
        return c;
    }
    std::vector<DialogRef> dialogs_;
};

DialogItemDescription slider(SInt32 min, SInt32 max, SInt32 value, Rect bounds = {0, 0, 16, 100}) {
    DialogItemDescription s{ControlKind::slider, bounds, ""};
    s.minimum = min;
    s.maximum = max;
    s.value = value;
    s.live = true;
    return s;
}

DialogItemDescription popup(std::vector<std::string> menu) {
    DialogItemDescription s{ControlKind::popupMenu, {0, 0, 20, 200}, "Choose:"};
    s.minimum = 1;
    s.maximum = SInt32(menu.size());
    s.value = 1;
    s.menu = std::move(menu);
    return s;
}

// ---- Item lists and numbering ---------------------------------------------------------------

TEST_F(Dialogs, AppendedItemsAreNumberedAfterTheExistingOnes) {
    DialogRef d = make({0, 0, 200, 300}, {{ControlKind::pushButton, {0, 0, 20, 60}, "OK"},
                                          {ControlKind::pushButton, {0, 70, 20, 130}, "Cancel"},
                                          {ControlKind::staticText, {30, 0, 46, 200}, "Grabber"}});
    ASSERT_EQ(CountDITL(d), 3);
    append(d,
           {{ControlKind::checkBox, {0, 0, 18, 100}, "First"},
            {ControlKind::radioButton, {20, 0, 38, 100}, "Second"}},
           appendDITLBottom);
    ASSERT_EQ(CountDITL(d), 5);
    EXPECT_EQ(qor::platform::controlKind(item(d, 4)), ControlKind::checkBox);
    EXPECT_EQ(qor::platform::controlTitle(item(d, 4)), "First");
    EXPECT_EQ(qor::platform::controlKind(item(d, 5)), ControlKind::radioButton);
    EXPECT_EQ(qor::platform::controlTitle(item(d, 2)), "Cancel");

    ControlRef c = reinterpret_cast<ControlRef>(1);
    EXPECT_EQ(GetDialogItemAsControl(d, 0, &c), errItemNotControl);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(GetDialogItemAsControl(d, 6, &c), errItemNotControl);
    EXPECT_EQ(GetDialogItemAsControl(d, 1, nullptr), paramErr);
}

TEST_F(Dialogs, AppendingPlacesItemsBelowRightOrOverTheExistingOnes) {
    DialogRef d = make({100, 50, 150, 250}, {{ControlKind::staticText, {10, 10, 40, 120}, "a"}});
    append(d, {{ControlKind::staticText, {5, 5, 25, 300}, "b"}}, appendDITLBottom);
    append(d, {{ControlKind::staticText, {0, 0, 10, 10}, "c"}}, appendDITLRight);
    append(d, {{ControlKind::staticText, {1, 2, 3, 4}, "d"}}, overlayDITL);
    append(d, {{ControlKind::staticText, {1, 2, 3, 4}, "e"}}, DITLMethod(-1));
    Rect r;
    EXPECT_TRUE(sameRect(*GetControlBounds(item(d, 2), &r), {45, 5, 65, 300}));
    EXPECT_TRUE(sameRect(*GetControlBounds(item(d, 3), &r), {0, 300, 10, 310}));
    EXPECT_TRUE(sameRect(*GetControlBounds(item(d, 4), &r), {1, 2, 3, 4}));
    EXPECT_TRUE(sameRect(*GetControlBounds(item(d, 5), &r), {11, 12, 13, 14}))
        << "relative to item 1's top-left";
    // The window grew to hold the appended items, and did not move.
    EXPECT_TRUE(sameRect(qor::platform::windowGlobalBounds(GetDialogWindow(d)),
                         {100, 50, 100 + 65, 50 + 310}));

    append(d, {{ControlKind::staticText, {1, 2, 3, 4}, "f"}}, DITLMethod(-9));
    EXPECT_EQ(CountDITL(d), 5) << "relative to a missing item appends nothing";
}

TEST_F(Dialogs, MalformedItemListsAppendNothing) {
    DialogRef d = make({0, 0, 100, 100});
    std::vector<char> good;
    ASSERT_TRUE(qor::platform::encodeItemList(
        {{ControlKind::checkBox, {0, 0, 10, 10}, "x"}, popup({"a", "b"})}, &good));
    auto appendBytes = [&](std::vector<char> bytes) {
        Handle h = NewHandle(Size(bytes.size()));
        std::copy(bytes.begin(), bytes.end(), *h);
        AppendDITL(d, h, appendDITLBottom);
        DisposeHandle(h);
    };
    appendBytes(std::vector<char>(good.begin(), good.end() - 1)); // cut short
    std::vector<char> longer = good;
    longer.push_back(0);
    appendBytes(longer); // trailing bytes
    std::vector<char> badKind = good;
    badKind[2 + 4 + 8] = 9; // first item's kind
    appendBytes(badKind);
    appendBytes({});
    AppendDITL(d, nullptr, appendDITLBottom);
    EXPECT_EQ(CountDITL(d), 0);
    appendBytes(good);
    EXPECT_EQ(CountDITL(d), 2);

    std::vector<char> out;
    EXPECT_FALSE(qor::platform::encodeItemList({}, &out));
    EXPECT_FALSE(qor::platform::encodeItemList(
        {{ControlKind::staticText, {}, std::string(256, 'x')}}, &out));
    EXPECT_FALSE(qor::platform::encodeItemList({{ControlKind::none, {}, ""}}, &out));
}

TEST_F(Dialogs, ShorteningRemovesTheLastItemsAndTheirControls) {
    DialogRef d = make({0, 0, 100, 100},
                       {{ControlKind::checkBox, {}, "keep"}, slider(0, 10, 5), popup({"a"})});
    ControlRef gone = item(d, 2);
    MenuRef goneMenu = GetControlPopupMenuHandle(item(d, 3));
    ShortenDITL(d, 2);
    EXPECT_EQ(CountDITL(d), 1);
    EXPECT_EQ(qor::platform::controlKind(gone), ControlKind::none);
    EXPECT_EQ(GetControl32BitValue(gone), 0);
    EXPECT_EQ(CountMenuItems(goneMenu), 0);
    EXPECT_FALSE(qor::platform::dragSlider(gone, 3));
    ShortenDITL(d, 10);
    EXPECT_EQ(CountDITL(d), 0);
}

TEST_F(Dialogs, DisposedDialogsAreRefused) {
    DialogRef d = qor::platform::newDialog({0, 0, 100, 100});
    append(d, {slider(0, 10, 5)}, overlayDITL);
    ControlRef c = item(d, 1);
    SetPortDialogPort(d);
    DisposeDialog(d);
    GrafPtr port = reinterpret_cast<GrafPtr>(1);
    GetPort(&port);
    EXPECT_EQ(port, nullptr) << "the disposed dialog's port is no longer current";
    EXPECT_EQ(CountDITL(d), 0);
    EXPECT_EQ(GetDialogWindow(d), nullptr);
    EXPECT_EQ(GetDialogPort(d), nullptr);
    EXPECT_EQ(EnableControl(c), paramErr);
    ControlRef none = nullptr;
    EXPECT_EQ(GetDialogItemAsControl(d, 1, &none), paramErr);
    DisposeDialog(d); // a second dispose is harmless
    EXPECT_EQ(qor::platform::newDialog({10, 10, 0, 0}), nullptr) << "inverted bounds";
}

// ---- Control values ---------------------------------------------------------------------------

TEST_F(Dialogs, ValuesStayWithinTheControlsRange) {
    DialogRef d = make({0, 0, 100, 100}, {slider(-10, 10, 0)});
    ControlRef c = item(d, 1);
    SetControl32BitValue(c, 11);
    EXPECT_EQ(GetControl32BitValue(c), 10);
    SetControl32BitValue(c, -11);
    EXPECT_EQ(GetControl32BitValue(c), -10);

    // Narrowing the range pulls the value in.
    SetControl32BitValue(c, 8);
    SetControl32BitMaximum(c, 5);
    EXPECT_EQ(GetControl32BitValue(c), 5);
    SetControl32BitMinimum(c, 7);
    EXPECT_EQ(GetControl32BitMinimum(c), 7);
    EXPECT_EQ(GetControl32BitMaximum(c), 7) << "a minimum above the maximum raises it";
    EXPECT_EQ(GetControl32BitValue(c), 7);
    SetControl32BitMaximum(c, 3);
    EXPECT_EQ(GetControl32BitMinimum(c), 3) << "a maximum below the minimum lowers it";
    EXPECT_EQ(GetControl32BitValue(c), 3);

    // Ranges beyond 16 bits: the 32-bit calls keep them, the 16-bit ones read the nearest.
    SetControl32BitMaximum(c, 1000000);
    SetControl32BitMinimum(c, -1000000);
    SetControl32BitValue(c, 40000);
    EXPECT_EQ(GetControl32BitValue(c), 40000);
    EXPECT_EQ(GetControlValue(c), 32767);
    EXPECT_EQ(GetControlMaximum(c), 32767);
    EXPECT_EQ(GetControlMinimum(c), -32768);
    SetControlValue(c, -5);
    EXPECT_EQ(GetControl32BitValue(c), -5);
    SetControlMaximum(c, 100);
    SetControlMinimum(c, 1);
    EXPECT_EQ(GetControl32BitMaximum(c), 100);
    EXPECT_EQ(GetControl32BitValue(c), 1);
}

TEST_F(Dialogs, CheckBoxesHoldWhatTheirOwnerSets) {
    DialogRef d = make({0, 0, 100, 100},
                       {{ControlKind::checkBox, {}, "c"}, {ControlKind::radioButton, {}, "r"}});
    SetControlValue(item(d, 1), 1);
    EXPECT_EQ(GetControlValue(item(d, 1)), 1);
    SetControlValue(item(d, 1), 5);
    EXPECT_EQ(GetControlValue(item(d, 1)), 1) << "a check box is 0 or 1";
    SetControlValue(item(d, 2), -1);
    EXPECT_EQ(GetControlValue(item(d, 2)), 0);
}

TEST_F(Dialogs, EnablingDrawingAndTexts) {
    DialogRef d =
        make({0, 0, 100, 100}, {{ControlKind::staticText, {}, "initial"}, slider(0, 10, 0)});
    ControlRef text = item(d, 1);
    ControlRef s = item(d, 2);
    EXPECT_TRUE(IsControlEnabled(s));
    EXPECT_EQ(DisableControl(s), noErr);
    EXPECT_FALSE(IsControlEnabled(s));
    EXPECT_EQ(EnableControl(s), noErr);
    EXPECT_TRUE(IsControlEnabled(s));
    EXPECT_EQ(EnableControl(nullptr), paramErr);

    EXPECT_EQ(qor::platform::controlText(text), "initial");
    const char words[] = "12.50 ms";
    EXPECT_EQ(SetControlData(text, 0, kControlStaticTextTextTag, 8, words), noErr);
    EXPECT_EQ(qor::platform::controlText(text), "12.50 ms");
    EXPECT_EQ(SetControlData(text, 0, kControlStaticTextTextTag, 0, nullptr), noErr);
    EXPECT_EQ(qor::platform::controlText(text), "");
    EXPECT_EQ(SetControlData(text, 0, fourCharCode("font"), 8, words), errDataNotSupported);
    EXPECT_EQ(SetControlData(s, 0, kControlStaticTextTextTag, 8, words), errDataNotSupported);
    EXPECT_EQ(SetControlData(text, 0, kControlStaticTextTextTag, 4, nullptr), paramErr);
    EXPECT_EQ(SetControlData(text, 0, kControlStaticTextTextTag, -1, words), paramErr);
    EXPECT_EQ(qor::platform::controlText(text), "") << "refused data changes nothing";

    EXPECT_EQ(qor::platform::controlDrawCount(s), 0u);
    Draw1Control(s);
    Draw1Control(s);
    EXPECT_EQ(qor::platform::controlDrawCount(s), 2u);
    EXPECT_EQ(qor::platform::controlDrawCount(text), 0u);
}

// ---- Tracking ---------------------------------------------------------------------------------

struct ActionCall {
    ControlRef control;
    ControlPartCode part;
    SInt32 valueSeen;
};
std::vector<ActionCall> gActions;

void recordAction(ControlRef c, ControlPartCode part) {
    gActions.push_back({c, part, GetControl32BitValue(c)});
}

TEST_F(Dialogs, DraggingASliderCallsItsActionWithTheNewValue) {
    gActions.clear();
    DialogRef d = make({0, 0, 100, 100}, {slider(0, 100, 50), slider(0, 100, 50)});
    ControlRef s = item(d, 2);
    ControlActionUPP upp = NewControlActionUPP(recordAction);
    SetControlAction(s, upp);
    EXPECT_EQ(GetControlAction(s), upp);

    EXPECT_TRUE(qor::platform::dragSlider(s, 70));
    EXPECT_TRUE(qor::platform::dragSlider(s, 500));
    ASSERT_EQ(gActions.size(), 2u);
    EXPECT_EQ(gActions[0].control, s);
    EXPECT_EQ(gActions[0].part, kControlIndicatorPart);
    EXPECT_EQ(gActions[0].valueSeen, 70);
    EXPECT_EQ(gActions[1].valueSeen, 100) << "the thumb stops at the end of the track";

    EXPECT_TRUE(qor::platform::dragSlider(item(d, 1), 10)) << "a slider without action moves";
    EXPECT_EQ(GetControl32BitValue(item(d, 1)), 10);
    EXPECT_EQ(gActions.size(), 2u);

    DisableControl(s);
    EXPECT_FALSE(qor::platform::dragSlider(s, 20));
    EXPECT_EQ(GetControl32BitValue(s), 100) << "a disabled slider does not move";
    EXPECT_EQ(gActions.size(), 2u);
    DisposeControlActionUPP(upp);
}

TEST_F(Dialogs, OnlyEnabledControlsOfTheirKindAreTracked) {
    DialogRef d = make({0, 0, 100, 100},
                       {{ControlKind::checkBox, {}, "c"}, popup({"a", "b", "c"}), slider(0, 5, 0)});
    EXPECT_FALSE(qor::platform::dragSlider(item(d, 1), 1));
    EXPECT_EQ(GetControlValue(item(d, 1)), 0);
    EXPECT_FALSE(qor::platform::choosePopupItem(item(d, 3), 2));

    ControlRef p = item(d, 2);
    EXPECT_TRUE(qor::platform::choosePopupItem(p, 3));
    EXPECT_EQ(GetControl32BitValue(p), 3);
    EXPECT_TRUE(qor::platform::choosePopupItem(p, 9));
    EXPECT_EQ(GetControl32BitValue(p), 3);
    DisableControl(p);
    EXPECT_FALSE(qor::platform::choosePopupItem(p, 1));
    EXPECT_EQ(GetControl32BitValue(p), 3);
}

TEST_F(Dialogs, AControlsReferenceHoldsAHandle) {
    DialogRef d = make({0, 0, 100, 100}, {slider(0, 5, 0)});
    Handle h = NewHandleClear(16);
    SetControlReference(item(d, 1), reinterpret_cast<long>(h));
    EXPECT_EQ(reinterpret_cast<Handle>(GetControlReference(item(d, 1))), h);
    EXPECT_EQ(GetControlReference(nullptr), 0);
    DisposeHandle(h);
}

TEST(DialogActionProcedures, EveryCreatedProcedureIsCountedUntilDisposed) {
    long before = qor::platform::liveControlActionUPPs();
    ControlActionUPP a = NewControlActionUPP(recordAction);
    ControlActionUPP b = NewControlActionUPP(recordAction);
    EXPECT_EQ(qor::platform::liveControlActionUPPs(), before + 2);
    DisposeControlActionUPP(a);
    DisposeControlActionUPP(b);
    DisposeControlActionUPP(nullptr);
    EXPECT_EQ(NewControlActionUPP(nullptr), nullptr);
    EXPECT_EQ(qor::platform::liveControlActionUPPs(), before);
}

// ---- Menus ------------------------------------------------------------------------------------

TEST_F(Dialogs, PopupMenusAreEditedItemByItem) {
    DialogRef d = make({0, 0, 100, 100}, {popup({"one", "two", "three"}), slider(0, 1, 0)});
    EXPECT_EQ(GetControlPopupMenuHandle(item(d, 2)), nullptr) << "a slider has no menu";
    MenuRef m = GetControlPopupMenuHandle(item(d, 1));
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(CountMenuItems(m), 3);

    // Down to one item, renamed, then rebuilt: as a size menu is built.
    for (short i = CountMenuItems(m); i >= 2; --i) DeleteMenuItem(m, i);
    EXPECT_EQ(CountMenuItems(m), 1);
    EXPECT_EQ(menuText(m, 1), "one");
    SetMenuItemText(m, 1, pstr("1280 x 1024").data());
    AppendMenu(m, pstr("640 x 512 Subsampled 2").data());
    AppendMenu(m, pstr("320 x 256;160 x 128").data());
    ASSERT_EQ(CountMenuItems(m), 4);
    EXPECT_EQ(menuText(m, 1), "1280 x 1024");
    EXPECT_EQ(menuText(m, 2), "640 x 512 Subsampled 2");
    EXPECT_EQ(menuText(m, 3), "320 x 256");
    EXPECT_EQ(menuText(m, 4), "160 x 128");

    DeleteMenuItem(m, 2);
    EXPECT_EQ(menuText(m, 2), "320 x 256");
    DeleteMenuItem(m, 0);
    DeleteMenuItem(m, 9);
    SetMenuItemText(m, 9, pstr("nowhere").data());
    EXPECT_EQ(CountMenuItems(m), 3);
    EXPECT_EQ(menuText(m, 9), "");
    EXPECT_EQ(menuText(m, 0), "");

    // The control's range is the owner's to set, as the Control Manager leaves it.
    SetControl32BitMaximum(item(d, 1), CountMenuItems(m));
    EXPECT_TRUE(qor::platform::choosePopupItem(item(d, 1), 3));
    EXPECT_EQ(GetControl32BitValue(item(d, 1)), 3);
}

// ---- Ports and windows ------------------------------------------------------------------------

TEST_F(Dialogs, PortsAreSavedAndRestoredPerThread) {
    DialogRef a = make({100, 200, 300, 500});
    DialogRef b = make({0, 0, 50, 50});
    GrafPtr saved = reinterpret_cast<GrafPtr>(1);
    GetPort(&saved);
    EXPECT_EQ(saved, nullptr) << "no port before one is set";

    SetPortDialogPort(a);
    GrafPtr now = nullptr;
    GetPort(&now);
    EXPECT_EQ(now, GetDialogPort(a));
    EXPECT_NE(GetDialogPort(a), GetDialogPort(b));

    GrafPtr seenElsewhere = reinterpret_cast<GrafPtr>(1);
    std::thread([&] { GetPort(&seenElsewhere); }).join();
    EXPECT_EQ(seenElsewhere, nullptr) << "another thread has its own current port";

    SetPortDialogPort(b);
    SetPort(now);
    GetPort(&now);
    EXPECT_EQ(now, GetDialogPort(a));
    SetPortDialogPort(nullptr);
    GetPort(&now);
    EXPECT_EQ(now, GetDialogPort(a)) << "no dialog leaves the port as it was";
}

TEST_F(Dialogs, LocalPointsBecomeGlobalThroughTheCurrentPort) {
    DialogRef d = make({100, 200, 300, 500});
    WindowRef w = GetDialogWindow(d);
    Rect local;
    GetWindowPortBounds(w, &local);
    EXPECT_TRUE(sameRect(local, {0, 0, 200, 300}));

    Point p;
    SetPt(&p, 10, 20); // h, v
    EXPECT_EQ(p.h, 10);
    EXPECT_EQ(p.v, 20);
    LocalToGlobal(&p);
    EXPECT_EQ(p.h, 10) << "without a port a point stays where it is";

    SetPortDialogPort(d);
    SetPt(&p, local.right, local.bottom);
    LocalToGlobal(&p);
    EXPECT_EQ(p.h, 500);
    EXPECT_EQ(p.v, 300);

    MoveWindow(w, -40, 60, false);
    SetPt(&p, 0, 0);
    LocalToGlobal(&p);
    EXPECT_EQ(p.h, -40);
    EXPECT_EQ(p.v, 60);
}

TEST_F(Dialogs, WindowsMoveAndResizeIndependently) {
    DialogRef d = make({100, 200, 300, 500});
    WindowRef w = GetDialogWindow(d);
    MoveWindow(w, 4, 32, false);
    EXPECT_TRUE(sameRect(qor::platform::windowGlobalBounds(w), {32, 4, 232, 304}))
        << "moving keeps the size";
    SizeWindow(w, 150, 80, false);
    EXPECT_TRUE(sameRect(qor::platform::windowGlobalBounds(w), {32, 4, 112, 154}))
        << "sizing keeps the top-left corner";
    SizeWindow(w, -1, 10, false);
    EXPECT_TRUE(sameRect(qor::platform::windowGlobalBounds(w), {32, 4, 112, 154}));
    Rect local;
    GetWindowPortBounds(w, &local);
    EXPECT_TRUE(sameRect(local, {0, 0, 80, 150}));
    EXPECT_TRUE(sameRect(qor::platform::windowGlobalBounds(nullptr), {}));
}

TEST(DialogDesktop, TheGrayRegionIsTheDesktopTestsChoose) {
    Rect r;
    GetRegionBounds(GetGrayRgn(), &r);
    EXPECT_TRUE(sameRect(r, {22, 0, 1080, 1920})) << "one screen under the menu bar";
    qor::platform::setDesktopBounds({0, -1280, 1024, 1920});
    GetRegionBounds(GetGrayRgn(), &r);
    EXPECT_TRUE(sameRect(r, {0, -1280, 1024, 1920}));
    qor::platform::resetDesktopBounds();
    GetRegionBounds(GetGrayRgn(), &r);
    EXPECT_EQ(r.top, 22);
}

TEST(DialogDesktop, PointsOnTheBottomAndRightEdgesAreOutside) {
    Rect r{10, 20, 30, 40};
    EXPECT_TRUE(PtInRect({10, 20}, &r));
    EXPECT_TRUE(PtInRect({29, 39}, &r));
    EXPECT_FALSE(PtInRect({30, 25}, &r));
    EXPECT_FALSE(PtInRect({15, 40}, &r));
    EXPECT_FALSE(PtInRect({9, 25}, &r));
    EXPECT_FALSE(PtInRect({15, 19}, &r));
    EXPECT_FALSE(PtInRect({15, 25}, nullptr));
}

// ---- Colour picker ----------------------------------------------------------------------------

class ColorPicker : public ::testing::Test {
protected:
    void TearDown() override { qor::platform::setColorPicker(nullptr); }
};

TEST_F(ColorPicker, WithoutAPickerTheRequestIsCancelled) {
    RGBColor in{1, 2, 3};
    RGBColor out{9, 9, 9};
    EXPECT_FALSE(GetColor({-1, -1}, pstr("Pick").data(), &in, &out));
    EXPECT_EQ(out.red, 1);
    EXPECT_EQ(out.green, 2);
    EXPECT_EQ(out.blue, 3);
}

TEST_F(ColorPicker, APickerSeesThePromptAndStartingColour) {
    std::string prompt;
    RGBColor started{};
    qor::platform::setColorPicker([&](const std::string &p, const RGBColor &in, RGBColor *out) {
        prompt = p;
        started = in;
        *out = {0xFFFF, 0x8000, 0};
        return true;
    });
    RGBColor in{10, 20, 30};
    RGBColor out{};
    EXPECT_TRUE(GetColor({-1, -1}, pstr("Select a Font Color:").data(), &in, &out));
    EXPECT_EQ(prompt, "Select a Font Color:");
    EXPECT_EQ(started.green, 20);
    EXPECT_EQ(out.red, 0xFFFF);
    EXPECT_EQ(out.green, 0x8000);
    EXPECT_EQ(out.blue, 0);
    EXPECT_FALSE(GetColor({-1, -1}, nullptr, &in, nullptr));
}

TEST_F(ColorPicker, ACancelledChoiceGivesBackTheStartingColour) {
    qor::platform::setColorPicker([](const std::string &, const RGBColor &, RGBColor *out) {
        *out = {5, 5, 5}; // what the user had moved to before cancelling
        return false;
    });
    RGBColor in{7, 8, 9};
    RGBColor out{};
    EXPECT_FALSE(GetColor({0, 0}, pstr("x").data(), &in, &out));
    EXPECT_EQ(out.red, 7);
    EXPECT_EQ(out.blue, 9);
}

} // namespace
