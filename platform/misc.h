// Gestalt, the microsecond clock and Pascal strings.
#pragma once

#include "platform/mac_types.h"

#include <functional>
#include <optional>

constexpr OSType gestaltQuickTime = fourCharCode("qtim");
enum { gestaltUndefSelectorErr = -5551 };

OSErr Gestalt(OSType selector, long *response);
// Microseconds since an arbitrary start, from the monotonic clock.
void Microseconds(UnsignedWide *microTickCount);
// Sounds the system alert. Here it is counted rather than heard: a driver inside a capture
// program has no speaker of its own, and tests check how often it sounded.
void SysBeep(short duration);
// Copies a C string into a length-prefixed string of at most 255 characters.
void CopyCStringToPascal(const char *src, Str255 dst);

namespace qor::platform {

uint64_t microseconds();

// Replaces the clock Microseconds reads (not the one the frame path stamps frames with); an
// empty function restores the monotonic clock.
void setMicrosecondsForTests(std::function<uint64_t()> clock);

// How many times SysBeep has sounded since the process started.
unsigned sysBeepCount();

// Tests choose the answer Gestalt gives for a selector; an empty answer makes it fail.
// resetGestalt restores the built-in answers.
void setGestaltAnswer(OSType selector, std::optional<long> answer);
void resetGestalt();

} // namespace qor::platform
