// The grabber's settings side: the panel requests, a channel's settings saved and restored
// through every panel that can run on it, and the settings dialog.
#include "platform/seqgrab.h"

#include "platform/log.h"
#include "platform/memory.h"
#include "platform/resources.h"

#include <cstdio>
#include <vector>

using qor::platform::callComponent;

ComponentResult SGPanelGetDitl(SeqGrabPanel s, Handle *ditl) {
    return callComponent(s, kSGPanelGetDitlSelect, ditl);
}

ComponentResult SGPanelGetTitle(SeqGrabPanel s, Str255 title) {
    return callComponent(s, kSGPanelGetTitleSelect, static_cast<StringPtr>(title));
}

ComponentResult SGPanelCanRun(SeqGrabPanel s, SGChannel c) {
    return callComponent(s, kSGPanelCanRunSelect, c);
}

ComponentResult SGPanelInstall(SeqGrabPanel s, SGChannel c, DialogRef d, short itemOffset) {
    return callComponent(s, kSGPanelInstallSelect, c, d, itemOffset);
}

ComponentResult SGPanelEvent(SeqGrabPanel s, SGChannel c, DialogRef d, short itemOffset,
                             EventRecord *theEvent, short *itemHit, Boolean *handled) {
    return callComponent(s, kSGPanelEventSelect, c, d, itemOffset, theEvent, itemHit, handled);
}

ComponentResult SGPanelItem(SeqGrabPanel s, SGChannel c, DialogRef d, short itemOffset,
                            short itemNum) {
    return callComponent(s, kSGPanelItemSelect, c, d, itemOffset, itemNum);
}

ComponentResult SGPanelRemove(SeqGrabPanel s, SGChannel c, DialogRef d, short itemOffset) {
    return callComponent(s, kSGPanelRemoveSelect, c, d, itemOffset);
}

ComponentResult SGPanelSetGrabber(SeqGrabPanel s, SeqGrabComponent sg) {
    return callComponent(s, kSGPanelSetGrabberSelect, sg);
}

ComponentResult SGPanelSetResFile(SeqGrabPanel s, short resRef) {
    return callComponent(s, kSGPanelSetResFileSelect, resRef);
}

ComponentResult SGPanelGetSettings(SeqGrabPanel s, SGChannel c, UserData *ud, long flags) {
    return callComponent(s, kSGPanelGetSettingsSelect, c, ud, int32_t(flags));
}

ComponentResult SGPanelSetSettings(SeqGrabPanel s, SGChannel c, UserData ud, long flags) {
    return callComponent(s, kSGPanelSetSettingsSelect, c, ud, int32_t(flags));
}

ComponentResult SGPanelValidateInput(SeqGrabPanel s, Boolean *ok) {
    return callComponent(s, kSGPanelValidateInputSelect, ok);
}

namespace {

struct OpenPanel {
    Component component;
    SeqGrabPanel panel;
    int16_t resFile; // the panel's own resource file, -1 when it has none
};

// Closes the panel, then the resource file opened for it.
void closePanel(SeqGrabPanel &panel, int16_t &resFile) {
    if (panel) {
        CloseComponent(panel);
        panel = nullptr;
    }
    if (resFile > 0) {
        CloseComponentResFile(resFile);
        resFile = -1;
    }
}

// Every video panel that opens, knows the grabber and its resource file, and can run on the
// channel; the caller closes them.
std::vector<OpenPanel> openPanels(SeqGrabComponent s, SGChannel c) {
    std::vector<OpenPanel> panels;
    ComponentDescription looking{SeqGrabPanelType, VideoMediaType, 0, 0, 0};
    for (Component component = FindNextComponent(nullptr, &looking); component;
         component = FindNextComponent(component, &looking)) {
        OpenPanel p{component, nullptr, -1};
        if (OpenAComponent(component, &p.panel) != noErr || !p.panel) continue;
        SGPanelSetGrabber(p.panel, s);
        p.resFile = OpenComponentResFile(component);
        SGPanelSetResFile(p.panel, p.resFile);
        if (SGPanelCanRun(p.panel, c) == noErr)
            panels.push_back(p);
        else
            closePanel(p.panel, p.resFile);
    }
    return panels;
}

void closePanels(std::vector<OpenPanel> &panels) {
    for (OpenPanel &p : panels) closePanel(p.panel, p.resFile);
    panels.clear();
}

OSType settingsTypeOf(Component component) {
    ComponentDescription cd{};
    GetComponentInfo(component, &cd, nullptr, nullptr, nullptr);
    return cd.componentManufacturer;
}

} // namespace

ComponentResult SGGetChannelSettings(SeqGrabComponent s, SGChannel c, UserData *ud, long flags) {
    if (!ud) return paramErr;
    *ud = nullptr;
    if (!s || !c) return paramErr;
    UserData all = nullptr;
    if (OSErr error = NewUserData(&all)) return error;
    std::vector<OpenPanel> panels = openPanels(s, c);
    ComponentResult result = noErr;
    for (const OpenPanel &p : panels) {
        UserData own = nullptr;
        result = SGPanelGetSettings(p.panel, c, &own, flags);
        Handle bytes = result == noErr ? NewHandle(0) : nullptr;
        if (bytes) {
            result = PutUserDataIntoHandle(own, bytes);
            if (result == noErr) result = AddUserData(all, bytes, settingsTypeOf(p.component));
            DisposeHandle(bytes);
        }
        if (own) DisposeUserData(own);
        if (result) break;
    }
    closePanels(panels);
    if (result) {
        DisposeUserData(all);
        return result;
    }
    *ud = all;
    return noErr;
}

ComponentResult SGSetChannelSettings(SeqGrabComponent s, SGChannel c, UserData ud, long flags) {
    if (!s || !c || !ud) return paramErr;
    std::vector<OpenPanel> panels = openPanels(s, c);
    ComponentResult result = noErr;
    for (const OpenPanel &p : panels) {
        Handle bytes = NewHandle(0);
        if (!bytes) {
            result = memFullErr;
            break;
        }
        // A panel with nothing saved keeps its settings.
        if (GetUserData(ud, bytes, settingsTypeOf(p.component), 1) == noErr) {
            UserData own = nullptr;
            result = NewUserDataFromHandle(bytes, &own);
            if (result == noErr) result = SGPanelSetSettings(p.panel, c, own, flags);
            if (own) DisposeUserData(own);
        }
        DisposeHandle(bytes);
        if (result) break;
    }
    closePanels(panels);
    return result;
}

namespace qor::platform {

namespace {

// The dialog's own items, OK and Cancel, as an item list.
Handle ownItems() {
    return newItemList({{ControlKind::pushButton, Rect{10, 300, 30, 380}, "OK"},
                        {ControlKind::pushButton, Rect{10, 390, 30, 470}, "Cancel"}});
}

} // namespace

ComponentResult SettingsDialog::open(SeqGrabComponent s, SGChannel c, SettingsDialog **dialog) {
    if (!dialog) return paramErr;
    *dialog = nullptr;
    if (!s || !c) return paramErr;
    std::vector<OpenPanel> panels = openPanels(s, c);
    if (panels.empty()) return couldntGetRequiredComponent;
    auto *d = new SettingsDialog(c);
    for (const OpenPanel &p : panels) {
        Str255 title{};
        SGPanelGetTitle(p.panel, title);
        d->pages_.push_back(
            {p.panel, p.resFile, std::string(reinterpret_cast<char *>(title + 1), title[0])});
    }
    d->dialog_ = newDialog(Rect{60, 60, 100, 560});
    if (Handle own = ownItems()) {
        AppendDITL(d->dialog_, own, overlayDITL);
        DisposeHandle(own);
    }
    d->itemOffset_ = short(CountDITL(d->dialog_));
    *dialog = d;
    return noErr;
}

SettingsDialog::~SettingsDialog() {
    removeShownPage();
    for (Page &page : pages_) closePanel(page.panel, page.resFile);
    if (dialog_) DisposeDialog(dialog_);
}

int SettingsDialog::pageCount() const {
    return int(pages_.size());
}

std::string SettingsDialog::pageTitle(int page) const {
    return page >= 0 && page < pageCount() ? pages_[size_t(page)].title : std::string();
}

ComponentResult SettingsDialog::showPage(int page) {
    if (page < 0 || page >= pageCount()) return paramErr;
    removeShownPage();
    SeqGrabPanel panel = pages_[size_t(page)].panel;
    Handle ditl = nullptr;
    if (ComponentResult result = SGPanelGetDitl(panel, &ditl)) return result;
    // A list that cannot be read would make an empty page.
    std::vector<DialogItemDescription> items;
    if (!ditl || !*ditl || !decodeItemList(*ditl, size_t(GetHandleSize(ditl)), &items)) {
        qor::platform::log(qor::platform::LogLevel::Error,
                           "SettingsDialog: the item list of the page \"%s\" cannot be read",
                           pages_[size_t(page)].title.c_str());
        if (ditl) DisposeHandle(ditl);
        return mapReadErr;
    }
    AppendDITL(dialog_, ditl, appendDITLBottom);
    DisposeHandle(ditl);
    shown_ = page;
    ComponentResult result = SGPanelInstall(panel, channel_, dialog_, itemOffset_);
    if (result) removeShownPage();
    return result;
}

ControlRef SettingsDialog::pageControl(short n) const {
    ControlRef control = nullptr;
    if (shown_ >= 0 && n > 0)
        GetDialogItemAsControl(dialog_, DialogItemIndex(itemOffset_ + n), &control);
    return control;
}

ComponentResult SettingsDialog::clickItem(short n) {
    if (shown_ < 0) return cantDoThatInCurrentMode;
    return SGPanelItem(pages_[size_t(shown_)].panel, channel_, dialog_, itemOffset_,
                       short(itemOffset_ + n));
}

bool SettingsDialog::validate() {
    if (shown_ < 0) return true;
    Boolean ok = true;
    SGPanelValidateInput(pages_[size_t(shown_)].panel, &ok);
    return ok;
}

void SettingsDialog::removeShownPage() {
    if (shown_ < 0) return;
    SGPanelRemove(pages_[size_t(shown_)].panel, channel_, dialog_, itemOffset_);
    const DialogItemIndex count = CountDITL(dialog_);
    if (count > DialogItemIndex(itemOffset_))
        ShortenDITL(dialog_, DialogItemIndex(count - itemOffset_));
    shown_ = -1;
}

} // namespace qor::platform
