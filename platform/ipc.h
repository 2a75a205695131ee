// This process as other processes see it: its runtime folder and the termination signals
// that reach it. Windows themselves cross processes through the ordinary window calls.
#pragma once

#include <string>

#include "platform/window.h"

// From now on SIGTERM and SIGINT post WM_CLOSE to hwnd, a window of this process, so the
// process shuts down by that window's ordinary path; null gives the signals back their
// default action. FALSE when hwnd is not a window of this process.
BOOL RouteTerminationSignalsTo(HWND hwnd);

// The folder of sockets, window entries and lock files: VANTLO_RUNTIME_DIR, else
// $XDG_RUNTIME_DIR/vantlo, else /tmp/vantlo-<uid>; created with mode 0700. "" (traced)
// when it cannot be used, for instance because another user owns it.
std::string RuntimeDir();
