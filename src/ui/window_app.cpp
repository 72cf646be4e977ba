#include "ui/window_app.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QGuiApplication>
#include <cerrno>
#include <cstdlib>

#include "app/stop_signals.h"
#include "ui/form_placement.h"
#include "ui/help.h"
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

namespace {

// The child's Qt messages go to the parent through this pipe; a fatal one
// (the platform could not start) ends the child at once with status 3
// instead of Qt's abort, which would leave a core behind.
int probeFd = -1;

void ProbeMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
  const QByteArray line = message.toUtf8() + '\n';
  (void)!::write(probeFd, line.constData(), static_cast<size_t>(line.size()));
  if (type == QtFatalMsg) ::_exit(3);
}

}  // namespace

std::string WhyNoWindow(std::chrono::milliseconds limit) {
  if (!WindowDisplayAvailable()) return "no display";
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return "";  // cannot ask: Qt is left to try
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return "";
  }
  if (pid == 0) {
    ::close(fds[0]);
    probeFd = fds[1];
    qInstallMessageHandler(ProbeMessage);
    static char name[] = "srvvexon";
    static char* argv[] = {name, nullptr};
    static int argc = 1;
    QGuiApplication probe(argc, argv);
    ::_exit(0);  // the platform started: nothing more to learn
  }
  ::close(fds[1]);
  std::string messages;
  bool timedOut = false;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buf[512];
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the child has ended
    if (messages.size() < 4096) messages.append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  if (timedOut) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!timedOut && WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";

  const char* display = std::getenv("DISPLAY");
  std::string why = "the display";
  if (display && *display) why += std::string(" ") + display;
  if (timedOut) return why + " did not answer within " + std::to_string(limit.count() / 1000) + " s";
  // Qt's first message names the cause ("could not connect to display :99").
  std::string first = messages.substr(0, messages.find('\n'));
  if (first.empty()) first = "the window system could not be started";
  return why + " cannot be used (" + first + ")";
}

void SaveWindowPlace(const std::string& path, const TMainForm& form) {
  if (form.WasShown()) SaveFormPosition(path, form.pos());
}

int RunServerWithWindow(const TAppOptions& options, const sigset_t& stopSignals) {
  // Qt gets only the program name: the server's own options are not Qt's.
  static char name[] = "srvvexon";
  static char* qtArgv[] = {name, nullptr};
  static int qtArgc = 1;
  QApplication app(qtArgc, qtArgv);
  QApplication::setApplicationName("srvvexon");
  // No application display name: on X11 Qt appends it to every window's
  // title, and the window and the dialog carry their own titles alone. The
  // application's title captions its message boxes (kApplicationTitle).
  QApplication::setQuitOnLastWindowClosed(false);  // hiding the window is not an end

  TMainForm form;
  if (auto pos = LoadFormPosition(options.SettingsPath)) form.move(*pos);
  TSettings settings;
  LoadSettings(options.SettingsPath, settings);
  form.OpenSettings = [&] { ShowSetupDialog(options.SettingsPath, settings); };
  THelp help(QCoreApplication::applicationDirPath(), &form);
  form.OpenHelp = [&help] { help.Show(); };
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
    SaveWindowPlace(options.SettingsPath, form);
    server.ShutDown();
  }
  log::info("stopped");
  return 0;
}

}  // namespace vexon
