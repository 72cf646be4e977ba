#include "ui/window_app.h"

#include <pthread.h>

#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>

#include "app/stop_signals.h"
#include "ui/form_placement.h"
#include "ui/main_form.h"
#include "ui/setup_form.h"
#include "ui/tray.h"
#include "util/clock.h"
#include "util/log.h"

namespace vexon {

bool WindowDisplayAvailable() {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* v = std::getenv(name);
    if (v && *v) return true;
  }
  return false;
}

QUrl HelpUrl(const std::string& programDir) {
  const QString dir = QString::fromStdString(programDir);
  const QFileInfo hlp(dir + "/srvvexon.hlp");
  if (hlp.isFile()) return QUrl::fromLocalFile(hlp.absoluteFilePath());
  QFileInfo readme(dir + "/README.md");
#ifdef VEXON_SOURCE_README
  if (!readme.isFile()) readme = QFileInfo(VEXON_SOURCE_README);
#endif
  QUrl url = QUrl::fromLocalFile(readme.absoluteFilePath());
  url.setFragment("the-operator-window");
  return url;
}

int RunServerWithWindow(const TAppOptions& options, const sigset_t& stopSignals) {
  // Qt gets only the program name: the server's own options are not Qt's.
  static char name[] = "srvvexon";
  static char* qtArgv[] = {name, nullptr};
  static int qtArgc = 1;
  QApplication app(qtArgc, qtArgv);
  QApplication::setApplicationName("srvvexon");
  QApplication::setApplicationDisplayName("KELVO-SYSTEM-VEXON COM/DCOM сервер");
  QApplication::setQuitOnLastWindowClosed(false);  // hiding the window is not an end

  TMainForm form;
  if (auto pos = LoadFormPosition(options.SettingsPath)) form.move(*pos);
  TSettings settings;
  LoadSettings(options.SettingsPath, settings);
  const std::string programDir = QCoreApplication::applicationDirPath().toStdString();
  form.OpenSettings = [&] { ShowSetupDialog(options.SettingsPath, settings); };
  form.OpenHelp = [programDir] {
    const QUrl url = HelpUrl(programDir);
    if (!QDesktopServices::openUrl(url)) log::warn("help: no viewer opened {}", url.toString().toStdString());
  };
  QObject::connect(&form, &TMainForm::ExitRequested, &app, &QCoreApplication::quit, Qt::QueuedConnection);

  TServerApp server(options, SystemClock(), form);
  if (!server.StartUpAndAnnounce("started with the operator window, data in " + options.DataDir)) return 1;

  TTrayIcon tray(form);
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    log::warn("the desktop has no system tray: showing the window instead of the tray icon");
    form.ShowNormal();
  }

  {
    // SIGINT, SIGTERM and SIGHUP end the server as "Выход" does; a second
    // SIGINT or SIGTERM while it stops ends the stop grace.
    TStopSignals signalWatch(stopSignals, server, [&form](int) {
      QMetaObject::invokeMethod(&form, &TMainForm::Exit, Qt::QueuedConnection);
    });
    app.exec();
    signalWatch.MarkStopping();  // "Выход": a signal from now on only shortens the grace
    SaveFormPosition(options.SettingsPath, form.pos());
    server.ShutDown();
  }
  log::info("stopped");
  return 0;
}

}  // namespace vexon
