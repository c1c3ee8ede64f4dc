// Test support: runs a call that is given a FIFO where it expects a file, and tells whether the
// call came back on its own. A call that blocks in the open is released by opening the FIFO's
// other end, so that a failing test ends instead of hanging the suite.
#pragma once

#include <chrono>
#include <filesystem>
#include <future>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qor::test {

template <class Call> bool returnsDespiteFifo(const std::filesystem::path &fifo, Call call) {
    if (::mkfifo(fifo.c_str(), 0600) != 0) return false;
    auto done = std::async(std::launch::async, call);
    if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return true;
    // Still in the open: a writer lets it through, and closing at once gives it end of file.
    int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) ::close(writer);
    done.wait();
    return false;
}

} // namespace qor::test
