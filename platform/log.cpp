#include "platform/log.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <strings.h>

namespace qor::platform {

namespace {

std::atomic<int> gThreshold{int(LogLevel::Info)};
std::mutex gSinkLock;
LogSink gSink; // guarded by gSinkLock; empty: standard error

std::optional<LogLevel> levelFromText(const char *text) {
    if (!text || !*text) return std::nullopt;
    static const struct {
        const char *name;
        LogLevel level;
    } kNames[] = {{"1", LogLevel::Info},  {"2", LogLevel::Info},      {"info", LogLevel::Info},
                  {"3", LogLevel::Debug}, {"debug", LogLevel::Debug}, {"yes", LogLevel::Info},
                  {"on", LogLevel::Info}, {"true", LogLevel::Info}};
    for (const auto &n : kNames)
        if (strcasecmp(text, n.name) == 0) return n.level;
    return std::nullopt;
}

// Read once, the first time a line or the threshold is looked at.
int environmentLevel() {
    static const int level = [] {
        const std::optional<LogLevel> named = levelFromText(std::getenv("QORVANTA_DEBUG"));
        return named ? int(*named) : int(LogLevel::Error);
    }();
    return level;
}

int threshold() {
    return std::max(gThreshold.load(std::memory_order_relaxed), environmentLevel());
}

} // namespace

void setLogThreshold(LogLevel threshold) {
    gThreshold.store(int(threshold), std::memory_order_relaxed);
}

LogLevel logThreshold() {
    return LogLevel(threshold());
}

LogSink setLogSink(LogSink sink) {
    std::lock_guard<std::mutex> hold(gSinkLock);
    LogSink previous = std::move(gSink);
    gSink = std::move(sink);
    return previous;
}

const char *logLevelName(LogLevel level) {
    static const char *const kNames[] = {"error", "warning", "info", "debug"};
    const int index = int(level);
    return index >= 0 && index < 4 ? kNames[index] : "info";
}

void vlog(LogLevel level, const char *format, va_list args) {
    if (int(level) > threshold()) return;
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0) return;
    std::string line(size_t(length) + 1, '\0');
    std::vsnprintf(line.data(), line.size(), format, args);
    line.resize(size_t(length));
    while (!line.empty() && line.back() == '\n') line.pop_back();
    std::lock_guard<std::mutex> hold(gSinkLock);
    if (gSink) {
        gSink(level, line);
        return;
    }
    line += '\n';
    std::fputs(line.c_str(), stderr);
}

void log(LogLevel level, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vlog(level, format, args);
    va_end(args);
}

} // namespace qor::platform
