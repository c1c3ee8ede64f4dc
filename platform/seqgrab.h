// A Sequence Grabber stand-in: a capture client driving video digitizers through their
// requests, exactly as the platform's grabber drives one. A grabber holds video channels; each
// channel opens one digitizer, sets it up for uncompressed frames and, once started, hands
// every frame the digitizer finishes to the grabber's data procedure with its time.
#pragma once

#include "platform/components.h"
#include "platform/imagecompression.h"
#include "platform/timebase.h"

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
