// Memory Manager stand-ins: relocatable blocks reached through handles. Our blocks never move
// on their own; SetHandleSize may move an unlocked block, and the handle stays valid.
#pragma once

#include "platform/mac_types.h"

enum { nilHandleErr = -109, memLockedErr = -117 };

Handle NewHandle(Size byteCount);
Handle NewHandleClear(Size byteCount);
void DisposeHandle(Handle h);
Size GetHandleSize(Handle h);
void SetHandleSize(Handle h, Size newSize);
void HLock(Handle h);
void HUnlock(Handle h);
// Result of the last Memory Manager call on this thread.
OSErr MemError();
