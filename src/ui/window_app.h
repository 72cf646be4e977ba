// Running the server with the operator window and the tray icon.
#pragma once

#include <signal.h>

#include <QUrl>
#include <string>

#include "app/server_app.h"

namespace vexon {

// Whether a window can be shown here: a Qt platform is named in
// QT_QPA_PLATFORM, or an X11 or Wayland display is set. Checked before any
// Qt object exists, because Qt ends the process when it cannot reach the
// display it was told to use.
bool WindowDisplayAvailable();

// What "Помощь" opens: "srvvexon.hlp" in `programDir` when it exists,
// otherwise the operator section of the README (beside the program, else in
// the source tree the program was built from).
QUrl HelpUrl(const std::string& programDir);

// Starts the server with `display` being the window, runs the window and the
// tray until "Выход" or one of `stopSignals` (blocked by the caller), then
// saves the window position and runs the server's shut-down. The window stays
// hidden at start; when the desktop has no tray to put the icon in, the
// window is shown instead so the operator can still reach it. Returns the
// process exit code.
int RunServerWithWindow(const TAppOptions& options, const sigset_t& stopSignals);

}  // namespace vexon
