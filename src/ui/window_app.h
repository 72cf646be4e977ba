// Running the server with the operator window and the tray icon.
#pragma once

#include <signal.h>

#include <chrono>
#include <string>

#include "app/server_app.h"

namespace vexon {

class TMainForm;

// Whether a display is named: a Qt platform in QT_QPA_PLATFORM, or an X11
// or Wayland display. Says nothing of whether it can be reached.
bool WindowDisplayAvailable();

// Why the window cannot run here, or empty when it can: "no display" when
// none is named, else what stopped Qt's platform from starting (a display
// that does not answer, refuses the connection or answers nothing within
// `limit`). Qt ends the process when its platform cannot start, so the
// question is put to a child process that starts the platform and ends; the
// server itself has started nothing of Qt yet. Call it before any other
// thread exists.
std::string WhyNoWindow(std::chrono::milliseconds limit = std::chrono::seconds(10));

// Keeps the window's position in section "Main Form" of the settings file
// at `path`, but only when the window was shown during the run: the place
// of a window never shown is no place the operator chose, and writing it
// would move the next shown window from where it was kept.
void SaveWindowPlace(const std::string& path, const TMainForm& form);

// Starts the server with `display` being the window, runs the window and the
// tray until "Выход" or one of `stopSignals` (blocked by the caller), then
// saves the window position and runs the server's shut-down. The window stays
// hidden at start; when the desktop has no tray to put the icon in, the
// window is shown instead so the operator can still reach it. Returns the
// process exit code.
int RunServerWithWindow(const TAppOptions& options, const sigset_t& stopSignals);

}  // namespace vexon
