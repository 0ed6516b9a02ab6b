// The qr-view program behind main(): the optional simulated camera, the
// window, and the run-to-count mode.
#pragma once

#include <QTextStream>

#include "options.h"

namespace qrview {

// Runs the viewer until its window is closed or, with options.frames, until
// that many pictures were shown or the time-out passed. Needs a QApplication.
// Exit codes: 0 done, 1 time-out or a file could not be written, 2 start-up
// failure. Leaves process-wide library state set up (QRNET_Cleanup is the
// caller's).
int RunViewer(const ViewerOptions& options, QTextStream& out, QTextStream& err);

}  // namespace qrview
