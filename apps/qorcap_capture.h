// qorcap's capture: frames from an opened camera into the recorder until the count or the time
// is reached, a stop signal comes or something fails; then the queue is written, the files
// closed and a summary printed.
#pragma once

#include "qorcap_options.h"

#include "capture/session.h"

namespace qor::apps {

// Runs the capture the options describe. Exit code. From its start SIGINT and SIGTERM ask it to
// stop cleanly.
int runCapture(const Options &options, capture::Camera &camera);

} // namespace qor::apps
