// File Manager stand-ins for reading a file's data fork: references made from paths, forks
// opened by reference number, sized, read at a position and closed. POSIX files underneath;
// every file has exactly one fork, its data fork.
#pragma once

#include "platform/mac_types.h"

#include <qorvanta/status.h>

#include <climits>

using SInt8 = int8_t;
using SInt16 = int16_t;
using SInt64 = int64_t;
using UInt8 = uint8_t;
using UInt16 = uint16_t;
using UniChar = uint16_t;
using UniCharCount = unsigned long;
using ByteCount = unsigned long;
using FSIORefNum = SInt16;

// File Manager result codes (fnfErr and paramErr are in qorvanta/status.h).
enum {
    ioErr = -36,
    bdNamErr = -37,
    eofErr = -39,
    posErr = -40,
    tmfoErr = -42,
    rfNumErr = -51,
    permErr = -54,
    dirNFErr = -120,
    notAFileErr = -1302,
    errFSForkNotFound = -1409,
    errFSBadPosMode = -1412
};

// Fork access permissions. Only reading is offered: the write permissions answer permErr.
enum { fsCurPerm = 0, fsRdPerm = 1, fsWrPerm = 2, fsRdWrPerm = 3, fsRdWrShPerm = 4 };

// Position modes of FSReadFork; the cache hints may be ORed in and change nothing here.
enum {
    fsAtMark = 0,
    fsFromStart = 1,
    fsFromLEOF = 2,
    fsFromMark = 3,
    pleaseCacheMask = 0x0010,
    noCacheMask = 0x0020
};

// A file system object, named by its absolute path with symbolic links resolved. Plain data:
// copy it freely.
struct FSRef {
    char path[PATH_MAX];
};

// A Unicode name of up to 255 units, as fork names are given.
struct HFSUniStr255 {
    UInt16 length;
    UniChar unicode[255];
};

// Makes a reference to the existing object at a UTF-8 path. fnfErr when nothing is there,
// dirNFErr when a directory on the way is missing or not a directory, bdNamErr for a path too
// long. isDirectory may be null.
OSStatus FSPathMakeRef(const UInt8 *path, FSRef *ref, Boolean *isDirectory);
// The name of the data fork (the empty name).
OSErr FSGetDataForkName(HFSUniStr255 *dataForkName);
// Opens the named fork of a file for reading and returns its reference number, with the mark
// at the start. errFSForkNotFound for any fork but the data fork, notAFileErr for a directory,
// permErr for a write permission, tmfoErr when no more files can be open.
OSErr FSOpenFork(const FSRef *ref, UniCharCount forkNameLength, const UniChar *forkName,
                 SInt8 permissions, FSIORefNum *forkRefNum);
// The fork's logical size in bytes. rfNumErr for a reference number that is not open.
OSErr FSGetForkSize(FSIORefNum forkRefNum, SInt64 *forkSize);
// Reads up to requestCount bytes from the position the mode and offset give, and leaves the
// mark after the last byte read. eofErr when the end came first (actualCount says how many
// bytes arrived), posErr for a position before the start. actualCount may be null.
OSErr FSReadFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                 ByteCount requestCount, void *buffer, ByteCount *actualCount);
// Closes the fork; its reference number is then free. rfNumErr when it was not open.
OSErr FSCloseFork(FSIORefNum forkRefNum);
