// Rectangle arithmetic as the digitizer uses it (Mac order: top, left, bottom, right).
#pragma once

#include "platform/mac_types.h"

// True for a rectangle that encloses no pixel (right <= left or bottom <= top).
Boolean EmptyRect(const Rect *r);
// The intersection of a and b into dst; false (and an empty dst) when they do not meet.
Boolean SectRect(const Rect *a, const Rect *b, Rect *dst);
Boolean EqualRect(const Rect *a, const Rect *b);
