// A Sequence Grabber stand-in: a capture client driving video digitizers through their
// requests, exactly as the platform's grabber drives one. A grabber holds video channels; each
// channel opens one digitizer, sets it up for uncompressed frames and, once started, hands
// every frame the digitizer finishes to the grabber's data procedure with its time.
#pragma once

#include "platform/components.h"
#include "platform/dialogs.h"
#include "platform/imagecompression.h"
#include "platform/timebase.h"
#include "platform/userdata.h"

#include <string>
#include <vector>

struct SeqGrabRecord;
struct SGChannelRecord;
using SeqGrabComponent = SeqGrabRecord *;
using SGChannel = SGChannelRecord *;

constexpr OSType VideoMediaType = fourCharCode("vide");

// Channel usage.
enum {
    seqGrabRecord = 1,
    seqGrabPreview = 2,
};

// SGPause.
enum {
    seqGrabUnpause = 0,
    seqGrabPause = 1,
};

enum {
    noDeviceForChannel = -9400,
    cantDoThatInCurrentMode = -9402,
    couldntGetRequiredComponent = -9405,
};

// Called for each frame: p and len the frame's bytes, time its time in the channel's time
// scale from the start of the capture. A non-zero answer stops the grabber's idle with it.
using SGDataProcPtr = OSErr (*)(SGChannel c, Ptr p, long len, long *offset, long chRefCon,
                                TimeValue time, short writeType, long refCon);
using SGDataUPP = SGDataProcPtr;

// The grabber itself (a component on the platform; here a plain object).
SeqGrabComponent OpenDefaultSequenceGrabber();
// Stops any capture, disposes the channels (closing their digitizers) and the grabber.
ComponentResult CloseSequenceGrabber(SeqGrabComponent s);
ComponentResult SGInitialize(SeqGrabComponent s);
ComponentResult SGSetDataProc(SeqGrabComponent s, SGDataUPP proc, long refCon);

// A new video channel. Its digitizer is opened when the channel first needs it: the one
// named by SGSetChannelDevice, or else the first registered digitizer that opens.
ComponentResult SGNewChannel(SeqGrabComponent s, OSType channelType, SGChannel *ref);
ComponentResult SGDisposeChannel(SeqGrabComponent s, SGChannel c);
// Chooses the digitizer whose component name is `name` (a length-prefixed string).
ComponentResult SGSetChannelDevice(SGChannel c, const unsigned char *name);
// The channel's open digitizer, opening it when needed; null when none could be opened.
ComponentInstance SGGetVideoDigitizerComponent(SGChannel c);
ComponentResult SGSetChannelUsage(SGChannel c, long usage);
// Frames per second the client wants (16.16); 0 = every frame.
ComponentResult SGSetFrameRate(SGChannel c, Fixed frameRate);
ComponentResult SGGetChannelTimeScale(SGChannel c, TimeScale *scale);
// A copy of the description of the channel's frames (set up by the start or the last
// re-query), into h.
ComponentResult SGGetChannelSampleDescription(SGChannel c, Handle h);
// The digitizer's settings changed: ask it again (set-compression and image description), and
// carry on capturing when a capture runs.
ComponentResult SGVideoDigitizerChanged(SGChannel c);

ComponentResult SGStartPreview(SeqGrabComponent s);
ComponentResult SGStartRecord(SeqGrabComponent s);
// Gives the grabber time: every started channel hands its finished frames to the data proc.
ComponentResult SGIdle(SeqGrabComponent s);
ComponentResult SGIdle(SGChannel c);
ComponentResult SGStop(SeqGrabComponent s);
// Paused channels keep their digitizers streaming but hand out nothing.
ComponentResult SGPause(SeqGrabComponent s, Byte pause);
ComponentResult SGPause(SGChannel c, Byte pause);
ComponentResult SGGetPause(SeqGrabComponent s, Byte *paused);
TimeBase SGGetTimeBase(SeqGrabComponent s);

// ---- Settings panels: components of type 'sgpn' that add pages to a channel's settings.

using SeqGrabPanel = ComponentInstance;
constexpr OSType SeqGrabPanelType = fourCharCode("sgpn");

enum {
    kSGPanelGetDitlSelect = 0x200,
    kSGPanelGetTitleSelect = 0x201,
    kSGPanelCanRunSelect = 0x202,
    kSGPanelInstallSelect = 0x203,
    kSGPanelEventSelect = 0x204,
    kSGPanelItemSelect = 0x205,
    kSGPanelRemoveSelect = 0x206,
    kSGPanelSetGrabberSelect = 0x207,
    kSGPanelSetResFileSelect = 0x208,
    kSGPanelGetSettingsSelect = 0x209,
    kSGPanelSetSettingsSelect = 0x20A,
    kSGPanelValidateInputSelect = 0x20B,
    kSGPanelSetEventFilterSelect = 0x20C,
};

struct EventRecord;

// The panel requests as the grabber makes them.
ComponentResult SGPanelGetDitl(SeqGrabPanel s, Handle *ditl);
ComponentResult SGPanelGetTitle(SeqGrabPanel s, Str255 title);
ComponentResult SGPanelCanRun(SeqGrabPanel s, SGChannel c);
ComponentResult SGPanelInstall(SeqGrabPanel s, SGChannel c, DialogRef d, short itemOffset);
ComponentResult SGPanelEvent(SeqGrabPanel s, SGChannel c, DialogRef d, short itemOffset,
                             EventRecord *theEvent, short *itemHit, Boolean *handled);
ComponentResult SGPanelItem(SeqGrabPanel s, SGChannel c, DialogRef d, short itemOffset,
                            short itemNum);
ComponentResult SGPanelRemove(SeqGrabPanel s, SGChannel c, DialogRef d, short itemOffset);
ComponentResult SGPanelSetGrabber(SeqGrabPanel s, SeqGrabComponent sg);
ComponentResult SGPanelSetResFile(SeqGrabPanel s, short resRef);
ComponentResult SGPanelGetSettings(SeqGrabPanel s, SGChannel c, UserData *ud, long flags);
ComponentResult SGPanelSetSettings(SeqGrabPanel s, SGChannel c, UserData ud, long flags);
ComponentResult SGPanelValidateInput(SeqGrabPanel s, Boolean *ok);

// A channel's settings as one user data: each panel that can run on the channel files its
// settings under its manufacturer code. Set hands each such panel its own part back.
ComponentResult SGGetChannelSettings(SeqGrabComponent s, SGChannel c, UserData *ud, long flags);
ComponentResult SGSetChannelSettings(SeqGrabComponent s, SGChannel c, UserData ud, long flags);

namespace qor::platform {

// The channel settings dialog the grabber shows, without a screen: it opens every panel that
// can run on the channel, and shows one page at a time in its dialog, the page's items after
// the dialog's own (OK and Cancel). A front end or test acts on the page through the dialog
// calls and clickSettingsItem.
class SettingsDialog {
public:
    // Opens the panels for the channel; error when none can run.
    static ComponentResult open(SeqGrabComponent s, SGChannel c, SettingsDialog **dialog);
    // Takes the shown page down and closes the panels and the dialog (also on cancel).
    ~SettingsDialog();
    SettingsDialog(const SettingsDialog &) = delete;
    SettingsDialog &operator=(const SettingsDialog &) = delete;

    int pageCount() const;
    std::string pageTitle(int page) const;
    // Takes the current page down and installs this one. A page whose item list cannot be read
    // is not shown: mapReadErr.
    ComponentResult showPage(int page);
    DialogRef dialog() const { return dialog_; }
    short itemOffset() const { return itemOffset_; }
    // The control of item n of the shown page.
    ControlRef pageControl(short n) const;
    // The user clicked item n of the shown page.
    ComponentResult clickItem(short n);
    // Whether the shown page lets the dialog close.
    bool validate();

private:
    struct Page {
        SeqGrabPanel panel;
        int16_t resFile; // opened for the panel, closed with it
        std::string title;
    };
    explicit SettingsDialog(SGChannel c) : channel_(c) {}
    void removeShownPage();

    SGChannel channel_;
    DialogRef dialog_ = nullptr;
    short itemOffset_ = 0;
    int shown_ = -1;
    std::vector<Page> pages_;
};

} // namespace qor::platform
