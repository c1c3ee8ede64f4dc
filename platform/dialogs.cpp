#include "platform/dialogs.h"
#include "platform/big_endian.h"

#include "platform/memory.h"

#include <qorvanta/status.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <mutex>
#include <unordered_set>

using qor::platform::ControlKind;
using qor::platform::DialogItemDescription;

struct MenuRecord {
    std::vector<std::string> items;
};

struct ControlRecord {
    ControlKind kind = ControlKind::none;
    Rect bounds{};
    std::string title;
    std::string text; // a static text's text
    SInt32 value = 0;
    SInt32 minimum = 0;
    SInt32 maximum = 0;
    bool enabled = true;
    bool live = false;
    ControlActionUPP action = nullptr;
    long reference = 0;
    unsigned draws = 0;
    std::unique_ptr<MenuRecord> menu;
};

struct GrafPort {
    WindowRecord *window;
};

struct WindowRecord {
    Rect global; // where the window's content lies on the desktop
    GrafPort port;
};

struct DialogRecord {
    WindowRecord window;
    std::vector<std::unique_ptr<ControlRecord>> items;
};

struct RegionRecord {};

namespace {

constexpr Rect kDefaultDesktop{22, 0, 1080, 1920};

// Every live object, so that a call with a disposed or foreign reference is refused instead of
// reading freed memory. The lock also serialises the calls themselves; user code (action
// procedures, the colour picker) is always called without it.
struct Registry {
    std::mutex lock;
    std::unordered_set<const void *> dialogs, windows, ports, controls, menus;
    Rect desktop = kDefaultDesktop;
    qor::platform::ColorPicker picker;
};

Registry &registry() {
    static Registry r;
    return r;
}

RegionRecord gGrayRegion;
std::atomic<long> gLiveActionUPPs{0};
thread_local GrafPtr tCurrentPort = nullptr;

DialogRecord *liveDialog(DialogRef d) {
    return d && registry().dialogs.count(d) ? d : nullptr;
}
ControlRecord *liveControl(ControlRef c) {
    return c && registry().controls.count(c) ? c : nullptr;
}
MenuRecord *liveMenu(MenuRef m) {
    return m && registry().menus.count(m) ? m : nullptr;
}
WindowRecord *liveWindow(WindowRef w) {
    return w && registry().windows.count(w) ? w : nullptr;
}
GrafPort *livePort(GrafPtr p) {
    return p && registry().ports.count(p) ? p : nullptr;
}

int16_t clamp16(long value) {
    return int16_t(std::clamp<long>(value, INT16_MIN, INT16_MAX));
}

void pinValue(ControlRecord *c) {
    c->value = std::clamp(c->value, c->minimum, c->maximum);
}

void forget(ControlRecord *c) {
    registry().controls.erase(c);
    if (c->menu) registry().menus.erase(c->menu.get());
}

std::string fromPascal(ConstStr255Param s) {
    return s ? std::string(reinterpret_cast<const char *>(s + 1), s[0]) : std::string();
}

void toPascal(const std::string &text, Str255 out) {
    size_t length = std::min<size_t>(text.size(), 255);
    out[0] = uint8_t(length);
    std::copy_n(text.begin(), length, out + 1);
}

// ---- Item list bytes ------------------------------------------------------------------------

using qor::platform::putU16;
using qor::platform::putU32;
using qor::platform::putU8;
void putString(std::vector<char> &out, const std::string &s) {
    putU8(out, unsigned(s.size()));
    out.insert(out.end(), s.begin(), s.end());
}

// Reads big-endian fields, refusing to read past the end.
struct Reader {
    const uint8_t *p;
    size_t size;
    size_t at = 0;
    bool ok = true;

    uint32_t take(int bytes) {
        if (!ok || size - at < size_t(bytes)) {
            ok = false;
            return 0;
        }
        uint32_t v = 0;
        for (int i = 0; i < bytes; ++i) v = v << 8 | p[at++];
        return v;
    }
    std::string string() {
        size_t length = take(1);
        if (!ok || size - at < length) {
            ok = false;
            return {};
        }
        std::string s(reinterpret_cast<const char *>(p + at), length);
        at += length;
        return s;
    }
};

bool validKind(unsigned kind) {
    return kind >= unsigned(ControlKind::pushButton) && kind <= unsigned(ControlKind::slider);
}

} // namespace

namespace qor::platform {

bool encodeItemList(const std::vector<DialogItemDescription> &items, std::vector<char> *bytes) {
    if (!bytes || items.empty() || items.size() > 0x7FFF) return false;
    std::vector<char> out;
    putU16(out, unsigned(items.size() - 1));
    for (const DialogItemDescription &item : items) {
        if (!validKind(unsigned(item.kind)) || item.title.size() > 255 || item.menu.size() > 255)
            return false;
        size_t start = out.size();
        putU32(out, 0);
        for (int16_t edge :
             {item.bounds.top, item.bounds.left, item.bounds.bottom, item.bounds.right})
            putU16(out, uint16_t(edge));
        putU8(out, unsigned(item.kind));
        putU8(out, (item.disabled ? 1u : 0u) | (item.live ? 2u : 0u));
        for (SInt32 v : {item.value, item.minimum, item.maximum}) putU32(out, uint32_t(v));
        putString(out, item.title);
        putU8(out, unsigned(item.menu.size()));
        for (const std::string &entry : item.menu) {
            if (entry.size() > 255) return false;
            putString(out, entry);
        }
        if ((out.size() - start) % 2) putU8(out, 0);
    }
    *bytes = std::move(out);
    return true;
}

bool decodeItemList(const char *bytes, size_t size, std::vector<DialogItemDescription> *items) {
    if (!bytes || !items) return false;
    Reader in{reinterpret_cast<const uint8_t *>(bytes), size};
    size_t count = size_t(int16_t(in.take(2))) + 1;
    if (!in.ok || count < 1 || count > 0x8000) return false;
    std::vector<DialogItemDescription> out;
    for (size_t n = 0; n < count; ++n) {
        size_t start = in.at;
        DialogItemDescription item;
        in.take(4);
        item.bounds.top = int16_t(in.take(2));
        item.bounds.left = int16_t(in.take(2));
        item.bounds.bottom = int16_t(in.take(2));
        item.bounds.right = int16_t(in.take(2));
        unsigned kind = in.take(1);
        unsigned flags = in.take(1);
        item.value = SInt32(in.take(4));
        item.minimum = SInt32(in.take(4));
        item.maximum = SInt32(in.take(4));
        item.title = in.string();
        unsigned menuItems = in.take(1);
        for (unsigned i = 0; in.ok && i < menuItems; ++i) item.menu.push_back(in.string());
        if ((in.at - start) % 2) in.take(1);
        if (!in.ok || !validKind(kind) || item.minimum > item.maximum) return false;
        item.kind = ControlKind(kind);
        item.disabled = flags & 1;
        item.live = flags & 2;
        out.push_back(std::move(item));
    }
    if (in.at != size) return false;
    *items = std::move(out);
    return true;
}

Handle newItemList(const std::vector<DialogItemDescription> &items) {
    std::vector<char> bytes;
    if (!encodeItemList(items, &bytes)) return nullptr;
    Handle h = NewHandle(Size(bytes.size()));
    if (h) std::copy(bytes.begin(), bytes.end(), *h);
    return h;
}

DialogRef newDialog(const Rect &windowBounds) {
    if (windowBounds.right < windowBounds.left || windowBounds.bottom < windowBounds.top)
        return nullptr;
    auto *d = new DialogRecord{};
    d->window.global = windowBounds;
    d->window.port.window = &d->window;
    std::lock_guard guard(registry().lock);
    registry().dialogs.insert(d);
    registry().windows.insert(&d->window);
    registry().ports.insert(&d->window.port);
    return d;
}

} // namespace qor::platform

// ---- Dialogs --------------------------------------------------------------------------------

void DisposeDialog(DialogRef theDialog) {
    std::lock_guard guard(registry().lock);
    DialogRecord *d = liveDialog(theDialog);
    if (!d) return;
    for (auto &item : d->items) forget(item.get());
    registry().dialogs.erase(d);
    registry().windows.erase(&d->window);
    registry().ports.erase(&d->window.port);
    if (tCurrentPort == &d->window.port) tCurrentPort = nullptr;
    delete d;
}

void AppendDITL(DialogRef theDialog, Handle theHandle, DITLMethod method) {
    if (!theHandle || !*theHandle) return;
    std::vector<DialogItemDescription> items;
    if (!qor::platform::decodeItemList(*theHandle, size_t(GetHandleSize(theHandle)), &items))
        return;
    std::lock_guard guard(registry().lock);
    DialogRecord *d = liveDialog(theDialog);
    if (!d) return;

    // Where the new items' coordinates start.
    long dh = 0, dv = 0;
    if (method < 0) {
        size_t base = size_t(-long(method));
        if (base > d->items.size()) return;
        dh = d->items[base - 1]->bounds.left;
        dv = d->items[base - 1]->bounds.top;
    } else if (method == appendDITLRight || method == appendDITLBottom) {
        for (auto &item : d->items) {
            if (method == appendDITLRight) dh = std::max<long>(dh, item->bounds.right);
            if (method == appendDITLBottom) dv = std::max<long>(dv, item->bounds.bottom);
        }
    } else if (method != overlayDITL) {
        return;
    }
    for (DialogItemDescription &item : items) {
        long edges[4] = {item.bounds.top + dv, item.bounds.left + dh, item.bounds.bottom + dv,
                         item.bounds.right + dh};
        for (long edge : edges)
            if (edge < INT16_MIN || edge > INT16_MAX) return; // off the coordinate plane
        item.bounds = {int16_t(edges[0]), int16_t(edges[1]), int16_t(edges[2]), int16_t(edges[3])};
    }
    if (d->items.size() + items.size() > 0x7FFF) return;

    long width = d->window.global.right - d->window.global.left;
    long height = d->window.global.bottom - d->window.global.top;
    for (DialogItemDescription &item : items) {
        auto c = std::make_unique<ControlRecord>();
        c->kind = item.kind;
        c->bounds = item.bounds;
        c->title = std::move(item.title);
        if (item.kind == ControlKind::staticText) c->text = c->title;
        c->value = item.value;
        c->minimum = item.minimum;
        c->maximum = item.maximum;
        c->enabled = !item.disabled;
        c->live = item.live;
        pinValue(c.get());
        if (item.kind == ControlKind::popupMenu) {
            c->menu = std::make_unique<MenuRecord>(MenuRecord{std::move(item.menu)});
            registry().menus.insert(c->menu.get());
        }
        if (method == appendDITLRight || method == appendDITLBottom) {
            width = std::max<long>(width, c->bounds.right);
            height = std::max<long>(height, c->bounds.bottom);
        }
        registry().controls.insert(c.get());
        d->items.push_back(std::move(c));
    }
    d->window.global.right = clamp16(d->window.global.left + width);
    d->window.global.bottom = clamp16(d->window.global.top + height);
}

void ShortenDITL(DialogRef theDialog, DialogItemIndex numberItems) {
    std::lock_guard guard(registry().lock);
    DialogRecord *d = liveDialog(theDialog);
    if (!d) return;
    size_t remove = std::min<size_t>(numberItems, d->items.size());
    for (size_t i = d->items.size() - remove; i < d->items.size(); ++i) forget(d->items[i].get());
    d->items.resize(d->items.size() - remove);
}

DialogItemIndex CountDITL(DialogRef theDialog) {
    std::lock_guard guard(registry().lock);
    DialogRecord *d = liveDialog(theDialog);
    return d ? DialogItemIndex(d->items.size()) : 0;
}

OSErr GetDialogItemAsControl(DialogRef inDialog, DialogItemIndex inItemNo, ControlRef *outControl) {
    if (!outControl) return paramErr;
    *outControl = nullptr;
    std::lock_guard guard(registry().lock);
    DialogRecord *d = liveDialog(inDialog);
    if (!d) return paramErr;
    if (inItemNo < 1 || inItemNo > d->items.size()) return errItemNotControl;
    *outControl = d->items[inItemNo - 1].get();
    return noErr;
}

// ---- Control values -------------------------------------------------------------------------

namespace {

template <typename Read>
auto readControl(ControlRef control, Read read, decltype(read(nullptr)) none) {
    std::lock_guard guard(registry().lock);
    ControlRecord *c = liveControl(control);
    return c ? read(c) : none;
}

template <typename Change> void changeControl(ControlRef control, Change change) {
    std::lock_guard guard(registry().lock);
    if (ControlRecord *c = liveControl(control)) {
        change(c);
        pinValue(c);
    }
}

void setMinimum(ControlRecord *c, SInt32 minimum) {
    c->minimum = minimum;
    c->maximum = std::max(c->maximum, minimum);
}

void setMaximum(ControlRecord *c, SInt32 maximum) {
    c->maximum = maximum;
    c->minimum = std::min(c->minimum, maximum);
}

} // namespace

SInt32 GetControl32BitValue(ControlRef theControl) {
    return readControl(
        theControl, [](ControlRecord *c) { return c->value; }, 0);
}

void SetControl32BitValue(ControlRef theControl, SInt32 newValue) {
    changeControl(theControl, [newValue](ControlRecord *c) { c->value = newValue; });
}

SInt32 GetControl32BitMinimum(ControlRef theControl) {
    return readControl(
        theControl, [](ControlRecord *c) { return c->minimum; }, 0);
}

void SetControl32BitMinimum(ControlRef theControl, SInt32 newMinimum) {
    changeControl(theControl, [newMinimum](ControlRecord *c) { setMinimum(c, newMinimum); });
}

SInt32 GetControl32BitMaximum(ControlRef theControl) {
    return readControl(
        theControl, [](ControlRecord *c) { return c->maximum; }, 0);
}

void SetControl32BitMaximum(ControlRef theControl, SInt32 newMaximum) {
    changeControl(theControl, [newMaximum](ControlRecord *c) { setMaximum(c, newMaximum); });
}

SInt16 GetControlValue(ControlRef theControl) {
    return clamp16(GetControl32BitValue(theControl));
}

void SetControlValue(ControlRef theControl, SInt16 newValue) {
    SetControl32BitValue(theControl, newValue);
}

SInt16 GetControlMinimum(ControlRef theControl) {
    return clamp16(GetControl32BitMinimum(theControl));
}

void SetControlMinimum(ControlRef theControl, SInt16 newMinimum) {
    SetControl32BitMinimum(theControl, newMinimum);
}

SInt16 GetControlMaximum(ControlRef theControl) {
    return clamp16(GetControl32BitMaximum(theControl));
}

void SetControlMaximum(ControlRef theControl, SInt16 newMaximum) {
    SetControl32BitMaximum(theControl, newMaximum);
}

// ---- Control state --------------------------------------------------------------------------

OSErr EnableControl(ControlRef inControl) {
    std::lock_guard guard(registry().lock);
    ControlRecord *c = liveControl(inControl);
    if (!c) return paramErr;
    c->enabled = true;
    return noErr;
}

OSErr DisableControl(ControlRef inControl) {
    std::lock_guard guard(registry().lock);
    ControlRecord *c = liveControl(inControl);
    if (!c) return paramErr;
    c->enabled = false;
    return noErr;
}

Boolean IsControlEnabled(ControlRef inControl) {
    return readControl(
        inControl, [](ControlRecord *c) { return Boolean(c->enabled); }, 0);
}

void Draw1Control(ControlRef theControl) {
    std::lock_guard guard(registry().lock);
    if (ControlRecord *c = liveControl(theControl)) ++c->draws;
}

Rect *GetControlBounds(ControlRef control, Rect *bounds) {
    if (!bounds) return nullptr;
    *bounds = readControl(
        control, [](ControlRecord *c) { return c->bounds; }, Rect{});
    return bounds;
}

OSErr SetControlData(ControlRef inControl, ControlPartCode /*inPart*/, ResType inTagName,
                     Size inSize, const void *inData) {
    if (inSize < 0 || (inSize > 0 && !inData)) return paramErr;
    std::lock_guard guard(registry().lock);
    ControlRecord *c = liveControl(inControl);
    if (!c) return paramErr;
    if (c->kind != ControlKind::staticText || inTagName != kControlStaticTextTextTag)
        return errDataNotSupported;
    c->text.assign(static_cast<const char *>(inData), size_t(inSize));
    return noErr;
}

void SetControlAction(ControlRef theControl, ControlActionUPP actionProc) {
    std::lock_guard guard(registry().lock);
    if (ControlRecord *c = liveControl(theControl)) c->action = actionProc;
}

ControlActionUPP GetControlAction(ControlRef theControl) {
    return readControl(
        theControl, [](ControlRecord *c) { return c->action; }, ControlActionUPP(nullptr));
}

void SetControlReference(ControlRef theControl, long data) {
    std::lock_guard guard(registry().lock);
    if (ControlRecord *c = liveControl(theControl)) c->reference = data;
}

long GetControlReference(ControlRef theControl) {
    return readControl(
        theControl, [](ControlRecord *c) { return c->reference; }, 0L);
}

ControlActionUPP NewControlActionUPP(ControlActionProcPtr userRoutine) {
    if (userRoutine) gLiveActionUPPs.fetch_add(1, std::memory_order_relaxed);
    return userRoutine;
}

void DisposeControlActionUPP(ControlActionUPP userUPP) {
    if (userUPP) gLiveActionUPPs.fetch_sub(1, std::memory_order_relaxed);
}

// ---- Menus ----------------------------------------------------------------------------------

MenuRef GetControlPopupMenuHandle(ControlRef control) {
    return readControl(
        control, [](ControlRecord *c) { return c->menu.get(); }, static_cast<MenuRef>(nullptr));
}

void DeleteMenuItem(MenuRef theMenu, short item) {
    std::lock_guard guard(registry().lock);
    MenuRecord *m = liveMenu(theMenu);
    if (!m || item < 1 || size_t(item) > m->items.size()) return;
    m->items.erase(m->items.begin() + (item - 1));
}

void AppendMenu(MenuRef menu, ConstStr255Param data) {
    std::lock_guard guard(registry().lock);
    MenuRecord *m = liveMenu(menu);
    if (!m || !data) return;
    std::string text = fromPascal(data);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of(";\r", start);
        if (end == std::string::npos) end = text.size();
        if (end > start && m->items.size() < 0x7FFF)
            m->items.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

void SetMenuItemText(MenuRef theMenu, short item, ConstStr255Param itemString) {
    std::lock_guard guard(registry().lock);
    MenuRecord *m = liveMenu(theMenu);
    if (!m || !itemString || item < 1 || size_t(item) > m->items.size()) return;
    m->items[size_t(item) - 1] = fromPascal(itemString);
}

void GetMenuItemText(MenuRef theMenu, short item, Str255 itemString) {
    if (!itemString) return;
    std::lock_guard guard(registry().lock);
    MenuRecord *m = liveMenu(theMenu);
    if (!m || item < 1 || size_t(item) > m->items.size()) {
        itemString[0] = 0;
        return;
    }
    toPascal(m->items[size_t(item) - 1], itemString);
}

short CountMenuItems(MenuRef theMenu) {
    std::lock_guard guard(registry().lock);
    MenuRecord *m = liveMenu(theMenu);
    return m ? short(m->items.size()) : 0;
}

// ---- Ports and windows ----------------------------------------------------------------------

void GetPort(GrafPtr *port) {
    if (port) *port = tCurrentPort;
}

void SetPort(GrafPtr port) {
    tCurrentPort = port;
}

CGrafPtr GetDialogPort(DialogRef dialog) {
    std::lock_guard guard(registry().lock);
    DialogRecord *d = liveDialog(dialog);
    return d ? &d->window.port : nullptr;
}

void SetPortDialogPort(DialogRef dialog) {
    if (CGrafPtr port = GetDialogPort(dialog)) tCurrentPort = port;
}

WindowRef GetDialogWindow(DialogRef dialog) {
    std::lock_guard guard(registry().lock);
    DialogRecord *d = liveDialog(dialog);
    return d ? &d->window : nullptr;
}

Rect *GetWindowPortBounds(WindowRef window, Rect *bounds) {
    if (!bounds) return nullptr;
    std::lock_guard guard(registry().lock);
    WindowRecord *w = liveWindow(window);
    *bounds = w ? Rect{0, 0, int16_t(w->global.bottom - w->global.top),
                       int16_t(w->global.right - w->global.left)}
                : Rect{};
    return bounds;
}

void SetPt(Point *pt, short h, short v) {
    if (!pt) return;
    pt->h = h;
    pt->v = v;
}

void LocalToGlobal(Point *pt) {
    if (!pt) return;
    std::lock_guard guard(registry().lock);
    GrafPort *port = livePort(tCurrentPort);
    if (!port) return;
    pt->h = clamp16(long(pt->h) + port->window->global.left);
    pt->v = clamp16(long(pt->v) + port->window->global.top);
}

RgnHandle GetGrayRgn() {
    return &gGrayRegion;
}

Rect *GetRegionBounds(RgnHandle region, Rect *bounds) {
    if (!bounds) return nullptr;
    std::lock_guard guard(registry().lock);
    *bounds = region == &gGrayRegion ? registry().desktop : Rect{};
    return bounds;
}

Boolean PtInRect(Point pt, const Rect *r) {
    return r && pt.v >= r->top && pt.v < r->bottom && pt.h >= r->left && pt.h < r->right;
}

void MoveWindow(WindowRef window, short hGlobal, short vGlobal, Boolean /*front*/) {
    std::lock_guard guard(registry().lock);
    WindowRecord *w = liveWindow(window);
    if (!w) return;
    long width = w->global.right - w->global.left;
    long height = w->global.bottom - w->global.top;
    w->global = {vGlobal, hGlobal, clamp16(vGlobal + height), clamp16(hGlobal + width)};
}

void SizeWindow(WindowRef window, short w, short h, Boolean /*fUpdate*/) {
    if (w < 0 || h < 0) return;
    std::lock_guard guard(registry().lock);
    WindowRecord *win = liveWindow(window);
    if (!win) return;
    win->global.right = clamp16(long(win->global.left) + w);
    win->global.bottom = clamp16(long(win->global.top) + h);
}

// ---- Colour picker --------------------------------------------------------------------------

Boolean GetColor(Point /*where*/, ConstStr255Param prompt, const RGBColor *inColor,
                 RGBColor *outColor) {
    if (!inColor || !outColor) return false;
    qor::platform::ColorPicker picker;
    {
        std::lock_guard guard(registry().lock);
        picker = registry().picker;
    }
    RGBColor chosen = *inColor;
    if (!picker || !picker(fromPascal(prompt), *inColor, &chosen)) {
        *outColor = *inColor;
        return false;
    }
    *outColor = chosen;
    return true;
}

// ---- Test and front-end access --------------------------------------------------------------

namespace qor::platform {

ControlKind controlKind(ControlRef control) {
    return readControl(
        control, [](ControlRecord *c) { return c->kind; }, ControlKind::none);
}

std::string controlTitle(ControlRef control) {
    return readControl(
        control, [](ControlRecord *c) { return c->title; }, std::string());
}

std::string controlText(ControlRef control) {
    return readControl(
        control, [](ControlRecord *c) { return c->text; }, std::string());
}

unsigned controlDrawCount(ControlRef control) {
    return readControl(
        control, [](ControlRecord *c) { return c->draws; }, 0u);
}

bool controlLiveTracking(ControlRef control) {
    return readControl(
        control, [](ControlRecord *c) { return c->live; }, false);
}

Rect windowGlobalBounds(WindowRef window) {
    std::lock_guard guard(registry().lock);
    WindowRecord *w = liveWindow(window);
    return w ? w->global : Rect{};
}

long liveControlActionUPPs() {
    return gLiveActionUPPs.load(std::memory_order_relaxed);
}

void setDesktopBounds(const Rect &bounds) {
    std::lock_guard guard(registry().lock);
    registry().desktop = bounds;
}

void resetDesktopBounds() {
    setDesktopBounds(kDefaultDesktop);
}

bool dragSlider(ControlRef control, SInt32 value) {
    ControlActionUPP action;
    {
        std::lock_guard guard(registry().lock);
        ControlRecord *c = liveControl(control);
        if (!c || c->kind != ControlKind::slider || !c->enabled) return false;
        c->value = value;
        pinValue(c);
        action = c->action;
    }
    // The action procedure reads and changes controls itself.
    if (action) action(control, kControlIndicatorPart);
    return true;
}

bool choosePopupItem(ControlRef control, SInt32 item) {
    std::lock_guard guard(registry().lock);
    ControlRecord *c = liveControl(control);
    if (!c || c->kind != ControlKind::popupMenu || !c->enabled) return false;
    c->value = item;
    pinValue(c);
    return true;
}

void setColorPicker(ColorPicker picker) {
    std::lock_guard guard(registry().lock);
    registry().picker = std::move(picker);
}

} // namespace qor::platform
