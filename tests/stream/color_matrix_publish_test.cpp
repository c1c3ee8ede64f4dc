// The colour matrix changes under the frame path: a reader on another thread sees one whole
// matrix or the other, never a mix of two.
#include "usb/camera_record.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>

namespace {

TEST(ColorMatrixPublish, ReadersNeverSeeAMixOfTwoMatrices) {
    auto *record = new CameraRecord{};
    std::array<float, 9> a{}, b{};
    for (int i = 0; i < 9; ++i) {
        a[size_t(i)] = float(i + 1);
        b[size_t(i)] = -float(i + 1);
    }
    publishColorMatrix(*record, a.data());
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int n = 0; n < 20000; ++n) publishColorMatrix(*record, (n % 2 ? a : b).data());
        done = true;
    });
    long mixed = 0, reads = 0;
    while (!done.load() || reads < 1000) {
        std::array<float, 9> seen{};
        readColorMatrix(*record, seen.data());
        ++reads;
        if (seen != a && seen != b) ++mixed;
    }
    writer.join();
    EXPECT_EQ(mixed, 0) << "of " << reads << " reads";
    EXPECT_EQ(record->colorMatrixSequence % 2, 0u);
    delete record;
}

} // namespace
