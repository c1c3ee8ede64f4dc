#include "platform/quickdraw.h"

#include <algorithm>

Boolean EmptyRect(const Rect *r) {
    return !r || r->right <= r->left || r->bottom <= r->top;
}

Boolean SectRect(const Rect *a, const Rect *b, Rect *dst) {
    Rect out{std::max(a->top, b->top), std::max(a->left, b->left), std::min(a->bottom, b->bottom),
             std::min(a->right, b->right)};
    if (EmptyRect(&out)) out = Rect{0, 0, 0, 0};
    *dst = out;
    return !EmptyRect(dst);
}

Boolean EqualRect(const Rect *a, const Rect *b) {
    return a->top == b->top && a->left == b->left && a->bottom == b->bottom && a->right == b->right;
}
