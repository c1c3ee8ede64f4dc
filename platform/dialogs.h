// Dialog, Control and Menu Manager stand-ins, windows and ports, and the colour picker: a
// dialog is a window holding numbered items, each item a control (buttons, check boxes, radio
// buttons, static texts, popup menus, sliders). Nothing is drawn; what a person would see is
// kept so that tests and front ends can read it, and a front end acts through the user-action
// calls at the end.
//
// Ports: each window has one port. The current port is per thread, null until set.
//
// Item list ('DITL') bytes, as AppendDITL reads them, all big-endian:
//   i16 item count - 1
//   per item: u32 0 (reserved), Rect bounds (top, left, bottom, right; i16 each),
//             u8 kind (ControlKind), u8 flags (1 disabled, 2 live tracking),
//             i32 value, i32 minimum, i32 maximum,
//             u8 title length, title bytes,
//             u8 menu item count, then each menu item as u8 length and bytes,
//             one zero byte when the item's length so far is odd.
// In a resource file (resources.h) each item is one line:
//   item N KIND TOP LEFT BOTTOM RIGHT "title" [value V] [min M] [max X] [live] [disabled]
//        [menu "first" "second" ...]
// with KIND one of button, checkbox, radio, text, popup, slider; N counts 1, 2, 3 ... in order.
#pragma once

#include "platform/mac_types.h"
#include "platform/resources.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

using SInt16 = int16_t;
using UInt16 = uint16_t;
using SInt32 = int32_t;
using ConstStr255Param = const unsigned char *;

struct DialogRecord;
struct WindowRecord;
struct GrafPort;
struct ControlRecord;
struct MenuRecord;
struct RegionRecord;

using DialogPtr = DialogRecord *;
using DialogRef = DialogPtr;
using WindowPtr = WindowRecord *;
using WindowRef = WindowPtr;
using GrafPtr = GrafPort *;
using CGrafPtr = GrafPtr;
using ControlRef = ControlRecord *;
using ControlHandle = ControlRef;
using MenuRef = MenuRecord *;
using MenuHandle = MenuRef;
using RgnHandle = RegionRecord *;

using ControlPartCode = int16_t;
using DialogItemIndex = UInt16;
using DITLMethod = int16_t;

struct Point {
    int16_t v;
    int16_t h;
};

// Called while a control is tracked, with the control and the part being tracked.
using ControlActionProcPtr = void (*)(ControlRef theControl, ControlPartCode partCode);
using ControlActionUPP = ControlActionProcPtr;

// Where AppendDITL puts the new items: over the dialog's own coordinates, to the right of or
// below the existing items; a negative value -n places them relative to item n's top-left.
enum {
    overlayDITL = 0,
    appendDITLRight = 1,
    appendDITLBottom = 2,
};

enum {
    kControlNoPart = 0,
    kControlIndicatorPart = 129,
};

// The tag of a static text's text (SetControlData).
constexpr ResType kControlStaticTextTextTag = fourCharCode("text");

enum {
    errDataNotSupported = -30581,
    errItemNotControl = -30596,
};

// Dialogs. The window of a new dialog lies at `windowBounds` in global coordinates.
void DisposeDialog(DialogRef theDialog);
// Appends the items of an item list (the handle stays the caller's): item k of the list
// becomes dialog item CountDITL() + k. The dialog's window grows to hold items appended to the
// right or at the bottom. A list that does not parse appends nothing.
void AppendDITL(DialogRef theDialog, Handle theHandle, DITLMethod method);
// Removes the last numberItems items (all of them when there are fewer).
void ShortenDITL(DialogRef theDialog, DialogItemIndex numberItems);
DialogItemIndex CountDITL(DialogRef theDialog);
// The item's control; errItemNotControl (and a null control) for a number outside the dialog.
OSErr GetDialogItemAsControl(DialogRef inDialog, DialogItemIndex inItemNo, ControlRef *outControl);

// Control values. A value is always kept within minimum..maximum: setting a value outside
// clamps it, and changing the range re-clamps the value. A maximum below the minimum lowers
// the minimum with it, a minimum above the maximum raises the maximum.
SInt32 GetControl32BitValue(ControlRef theControl);
void SetControl32BitValue(ControlRef theControl, SInt32 newValue);
SInt32 GetControl32BitMinimum(ControlRef theControl);
void SetControl32BitMinimum(ControlRef theControl, SInt32 newMinimum);
SInt32 GetControl32BitMaximum(ControlRef theControl);
void SetControl32BitMaximum(ControlRef theControl, SInt32 newMaximum);
// The 16-bit calls; a 32-bit value beyond the 16-bit range reads as the nearest 16-bit value.
SInt16 GetControlValue(ControlRef theControl);
void SetControlValue(ControlRef theControl, SInt16 newValue);
SInt16 GetControlMinimum(ControlRef theControl);
void SetControlMinimum(ControlRef theControl, SInt16 newMinimum);
SInt16 GetControlMaximum(ControlRef theControl);
void SetControlMaximum(ControlRef theControl, SInt16 newMaximum);

OSErr EnableControl(ControlRef inControl);
OSErr DisableControl(ControlRef inControl);
Boolean IsControlEnabled(ControlRef inControl);
// Redraws the control now (counted: controlDrawCount).
void Draw1Control(ControlRef theControl);
Rect *GetControlBounds(ControlRef control, Rect *bounds);
// Static texts take their text with kControlStaticTextTextTag; other kinds and tags answer
// errDataNotSupported.
OSErr SetControlData(ControlRef inControl, ControlPartCode inPart, ResType inTagName, Size inSize,
                     const void *inData);
void SetControlAction(ControlRef theControl, ControlActionUPP actionProc);
ControlActionUPP GetControlAction(ControlRef theControl);
// A word of the control's owner, wide enough for a handle.
void SetControlReference(ControlRef theControl, long data);
long GetControlReference(ControlRef theControl);
ControlActionUPP NewControlActionUPP(ControlActionProcPtr userRoutine);
void DisposeControlActionUPP(ControlActionUPP userUPP);

// Menus. A popup menu control owns its menu; item numbers count from 1.
MenuRef GetControlPopupMenuHandle(ControlRef control);
void DeleteMenuItem(MenuRef theMenu, short item);
// Appends items from a length-prefixed string: ';' and carriage return separate items, as on
// the platform; the other menu metacharacters are kept as plain text.
void AppendMenu(MenuRef menu, ConstStr255Param data);
void SetMenuItemText(MenuRef theMenu, short item, ConstStr255Param itemString);
// An item outside the menu reads as the empty string.
void GetMenuItemText(MenuRef theMenu, short item, Str255 itemString);
short CountMenuItems(MenuRef theMenu);

// Ports and windows.
void GetPort(GrafPtr *port);
void SetPort(GrafPtr port);
CGrafPtr GetDialogPort(DialogRef dialog);
void SetPortDialogPort(DialogRef dialog);
WindowRef GetDialogWindow(DialogRef dialog);
// The window's port rectangle in its own coordinates: (0, 0, height, width).
Rect *GetWindowPortBounds(WindowRef window, Rect *bounds);
void SetPt(Point *pt, short h, short v);
// From the current port's coordinates to global ones (unchanged when no port is current).
void LocalToGlobal(Point *pt);
// The desktop region: every screen without the menu bar.
RgnHandle GetGrayRgn();
Rect *GetRegionBounds(RgnHandle region, Rect *bounds);
// True when the point is inside: top <= v < bottom and left <= h < right.
Boolean PtInRect(Point pt, const Rect *r);
// Puts the window's top-left corner at the global point, keeping its size.
void MoveWindow(WindowRef window, short hGlobal, short vGlobal, Boolean front);
void SizeWindow(WindowRef window, short w, short h, Boolean fUpdate);

// The colour picker: lets the user choose a colour, starting from inColor. True with the
// choice in outColor when confirmed; false, with outColor = inColor, when cancelled.
Boolean GetColor(Point where, ConstStr255Param prompt, const RGBColor *inColor, RGBColor *outColor);

namespace qor::platform {

enum class ControlKind : uint8_t {
    none = 0, // not a live control
    pushButton = 1,
    checkBox = 2,
    radioButton = 3,
    staticText = 4,
    popupMenu = 5,
    slider = 6,
};

// One item of an item list, as a resource file or a test describes it.
struct DialogItemDescription {
    DialogItemDescription() = default;
    // Check boxes and radio buttons range over 0..1, a popup starts at item 1 of 1.
    DialogItemDescription(ControlKind kind, Rect bounds, std::string title)
        : kind(kind), bounds(bounds), title(std::move(title)) {
        if (kind == ControlKind::checkBox || kind == ControlKind::radioButton) maximum = 1;
        if (kind == ControlKind::popupMenu) value = minimum = maximum = 1;
    }

    ControlKind kind = ControlKind::staticText;
    Rect bounds{};
    std::string title;
    SInt32 value = 0;
    SInt32 minimum = 0;
    SInt32 maximum = 0;
    bool live = false;
    bool disabled = false;
    std::vector<std::string> menu;
};

// The item list bytes of the items (layout above); false when an item cannot be stored (no
// items, more than 32767, a title, menu item or menu longer than 255, an unknown kind).
bool encodeItemList(const std::vector<DialogItemDescription> &items, std::vector<char> *bytes);
// The items of item list bytes; false for bytes that are not a whole, well-formed list.
bool decodeItemList(const char *bytes, size_t size, std::vector<DialogItemDescription> *items);
// A new handle holding the item list of the items (null when encodeItemList fails).
Handle newItemList(const std::vector<DialogItemDescription> &items);

// A dialog with a window at global bounds, no items and its own port; null for bounds whose
// right is left of their left or bottom above their top.
DialogRef newDialog(const Rect &windowBounds);

// What tests and front ends read back.
ControlKind controlKind(ControlRef control);
std::string controlTitle(ControlRef control);
// A static text's text: the item list's title until SetControlData replaces it.
std::string controlText(ControlRef control);
// How many times the control was redrawn (Draw1Control).
unsigned controlDrawCount(ControlRef control);
// Whether a slider calls its action procedure while its thumb is dragged.
bool controlLiveTracking(ControlRef control);
// The window's bounds in global coordinates (a null window gives an empty rectangle).
Rect windowGlobalBounds(WindowRef window);
// Action procedures made by NewControlActionUPP and not yet disposed.
long liveControlActionUPPs();

// The desktop GetGrayRgn describes: by default one 1920 x 1080 screen at 0,0 under a 22-pixel
// menu bar, bounds (22, 0, 1080, 1920).
void setDesktopBounds(const Rect &bounds);
void resetDesktopBounds();

// User actions. dragSlider moves an enabled slider's thumb to the value (clamped) and calls
// its action procedure with kControlIndicatorPart, as tracking does; false, with nothing
// changed, for anything but an enabled slider. choosePopupItem picks an enabled popup's item
// (clamped); false likewise. Clicking a check box or radio button changes nothing by itself:
// its owner sets the value.
bool dragSlider(ControlRef control, SInt32 value);
bool choosePopupItem(ControlRef control, SInt32 item);

// The colour picker GetColor shows; an empty function (the default) cancels every request.
using ColorPicker =
    std::function<bool(const std::string &prompt, const RGBColor &in, RGBColor *out)>;
void setColorPicker(ColorPicker picker);

} // namespace qor::platform
