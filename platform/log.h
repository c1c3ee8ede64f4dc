// The one way the driver and its programs write diagnostic lines. Each line has a level; lines
// below the threshold are dropped, the rest go to the sink (standard error unless a program or a
// test routes them elsewhere: a capture tool that shows only warnings, an INDI driver that
// forwards them to its client, a test that checks them).
#pragma once

#include <cstdarg>
#include <functional>
#include <string>

namespace qor::platform {

enum class LogLevel { Error = 0, Warning = 1, Info = 2, Debug = 3 };

// Lines whose level is at or below the threshold are written. The default is Info: every
// program that says nothing sees the driver's messages as before. QORVANTA_DEBUG raises the
// threshold for any program without rebuilding it ("1", "2", "info": Info; "3", "debug":
// Debug): the threshold in force is the higher of the two, so a program that lowers it for its
// users still shows everything when the variable asks for it.
void setLogThreshold(LogLevel threshold);
LogLevel logThreshold();

// Receives each line that passes the threshold, without its trailing newline. An empty sink
// restores standard error. Returns the previous sink. Lines reach the sink one at a time, from
// whichever thread logs them, never from two at once; a sink must not log itself.
using LogSink = std::function<void(LogLevel, const std::string &)>;
LogSink setLogSink(LogSink sink);

// "error", "warning", "info", "debug".
const char *logLevelName(LogLevel level);

// printf-style; a trailing newline in the format is optional.
void log(LogLevel level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void vlog(LogLevel level, const char *format, va_list args);

} // namespace qor::platform
