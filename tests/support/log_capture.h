// Test support: the lines the driver logs while an instance lives, with their levels. The sink
// and threshold in force before come back when it goes.
#pragma once

#include "platform/log.h"

#include <mutex>
#include <string>
#include <vector>

namespace qor::test {

struct LogLine {
    platform::LogLevel level;
    std::string text;
    bool operator==(const LogLine &) const = default;
};

class LogCapture {
public:
    explicit LogCapture(platform::LogLevel threshold = platform::LogLevel::Debug)
        : threshold_(platform::logThreshold()) {
        platform::setLogThreshold(threshold);
        previous_ = platform::setLogSink([this](platform::LogLevel level, const std::string &text) {
            std::lock_guard hold(lock_);
            lines_.push_back({level, text});
        });
    }
    ~LogCapture() {
        platform::setLogSink(std::move(previous_));
        platform::setLogThreshold(threshold_);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<LogLine> lines() const {
        std::lock_guard hold(lock_);
        return lines_;
    }
    // The texts of the lines at one level, in order.
    std::vector<std::string> at(platform::LogLevel level) const {
        std::vector<std::string> texts;
        for (const LogLine &line : lines())
            if (line.level == level) texts.push_back(line.text);
        return texts;
    }

private:
    const platform::LogLevel threshold_;
    platform::LogSink previous_;
    mutable std::mutex lock_;
    std::vector<LogLine> lines_;
};

} // namespace qor::test
