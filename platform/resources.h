// Resource Manager stand-ins: resource files opened from a path, typed resources found by type
// and id in the current file, and component registration from a file's 'thng' resources.
//
// A resource file here is text, parsed whole when it is opened into the binary resources the
// calls hand out. One resource per block:
//
//     # comment
//     resource 'STR ' 128            a length-prefixed string
//       "Qorvanta Options"
//     end
//     resource 'dlle' 128            an entry point name (C string)
//       "QORASGComponentDispatch"
//     end
//     resource 'thng' 128            a component's registration (layout below)
//       type 'sgpn'
//       subtype 'vide'
//       manufacturer 'QORN'
//       flags cmpWantsRegisterMessage     numbers or flag names, joined with |
//       mask 0
//       code 'dlle' 128
//       name 'STR ' 128
//       info 'STR ' 129
//     end
//     resource 'DITL' 16666          a dialog item list (item syntax and layout in dialogs.h)
//       item 1 popup 4 10 24 250 "Image Size:" value 1 min 1 max 1 menu "Full"
//       ...
//     end
//     resource 'abcd' 1              any other type: its bytes in hexadecimal
//       hex 00 01 02 ff
//     end
//
// Strings are in double quotes with \" and \\ escapes. Blank lines and lines starting with #
// are ignored. Every resource's bytes are big-endian.
//
// 'thng' bytes: componentType, componentSubType, componentManufacturer, componentFlags,
// componentFlagsMask (u32 each), then four resource references (OSType type, i16 id): the entry
// point's 'dlle', the name's 'STR ', the info's 'STR ' and an icon (type 0 when absent).
#pragma once

#include "platform/components.h"
#include "platform/mac_types.h"

#include <string>

using ResType = OSType;

enum {
    resNotFound = -192,  // no resource of that type and id in the file
    resFNotFound = -193, // no open resource file with that reference
    mapReadErr = -199,   // the file's contents could not be read as resources
    rmvResFailed = -196, // the handle is not a resource the Resource Manager holds
};

// The open file that GetResource searches; 0 when no file is open.
int16_t CurResFile();
// Makes an open file current. An unknown reference sets ResError to resFNotFound and changes
// nothing.
void UseResFile(int16_t refNum);
// Closes the file and disposes every handle of it that was not detached. When it was the
// current file, the most recently opened file still open becomes current (0 if none).
void CloseResFile(int16_t refNum);
// The resource of that type and id in the current file. The Resource Manager owns the handle
// until DetachResource; loading the same resource again gives the same handle. Null, with
// ResError resNotFound, when the current file has no such resource (resFNotFound when no file
// is current).
Handle GetResource(ResType theType, int16_t theID);
// Hands the resource's handle over to the caller, who disposes it; the next GetResource of the
// same resource makes a new handle. A handle the Resource Manager does not hold: rmvResFailed.
void DetachResource(Handle theResource);
// Disposes a resource handle the Resource Manager holds; the next GetResource loads it again.
void ReleaseResource(Handle theResource);
// The result of the last Resource Manager call (any thread).
OSErr ResError();

// Registers every component that the file's 'thng' resources describe, each with the entry
// point its 'dlle' names (found in the table addComponentEntryPoint fills) and its name and
// info strings. A component whose registration asks for the register request gets it
// (components.h), and one that refuses it is not counted. Returns the number registered, or a
// negative error: resFNotFound for an unknown file. A 'thng' whose entry point is unknown or
// whose references are missing is skipped with a line on standard error.
long RegisterComponentResourceFile(int16_t resRefNum, int16_t global);

// Opens the resource file a component was registered from (RegisterComponentResourceFile) as
// a new file reference, without changing the current file; -1, with ResError resFNotFound,
// for a component registered otherwise or no longer registered. The caller closes it.
int16_t OpenComponentResFile(Component aComponent);
OSErr CloseComponentResFile(int16_t refnum);

namespace qor::platform {

// Opens a resource file and makes it current: a reference > 0, or -1 with ResError set
// (fnfErr for a missing or unreadable file, mapReadErr for contents that do not parse; the
// reason is written to standard error with the file name and line).
int16_t openResourceFile(const std::string &path);
// The same for a file's text held in memory; `name` stands for the path in messages.
int16_t openResourceText(const std::string &text, const std::string &name = "memory");

// The library's table of component entry points, found by the names that 'dlle' resources
// hold. Adding a name again replaces its entry; a null entry removes the name.
void addComponentEntryPoint(const char *name, ComponentRoutineUPP entry);
// The entry point of that name; null when there is none.
ComponentRoutineUPP componentEntryPoint(const char *name);

// A file of the driver's resources directory: the directory QORVANTA_BUNDLE names; else the
// installed driver's data directory when there is one; else the source tree's resources/ (a
// build used where it was built). `relative` has no leading '/'.
std::string bundleResourcePath(const char *relative);

// The installed driver's data directory and the source tree's resources/, each ending in '/'.
std::string installedDataDirectory();
std::string sourceResourcesDirectory();
// The resources directory, ending in '/': `bundle` when set and not empty, else `installed`
// when it is a directory, else `source`.
std::string chooseResourcesDirectory(const char *bundle, const std::string &installed,
                                     const std::string &source);

// The settings panel's resource file inside the bundle (a relative path for
// bundleResourcePath).
constexpr const char *kPanelResourceFile = "QorvantaPanel.rsrc";

} // namespace qor::platform
