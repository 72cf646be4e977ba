#include "ui/window_app.h"

#include <pthread.h>

#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

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

  // SIGINT and SIGTERM end the server as "Выход" does. The waiting thread is
  // woken with SIGTERM of its own when the window ends first.
  std::atomic<bool> ending{false};
  sigset_t sigs = stopSignals;
  std::thread signalThread([&form, &ending, sigs] {
    int sig = 0;
    sigwait(&sigs, &sig);
    if (ending.load()) return;
    log::info("stopping ({})", sig == SIGINT ? "SIGINT" : "SIGTERM");
    QMetaObject::invokeMethod(&form, &TMainForm::Exit, Qt::QueuedConnection);
  });

  app.exec();
  ending.store(true);
  pthread_kill(signalThread.native_handle(), SIGTERM);
  signalThread.join();

  SaveFormPosition(options.SettingsPath, form.pos());
  server.ShutDown();
  log::info("stopped");
  return 0;
}

}  // namespace vexon
