// srvvexon: the server. Owns the serial line to the primary controller and
// serves the 77 operations over JSON-RPC. `srvvexon --help` describes the
// command line, the settings file and the service setup.
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/activation.h"
#include "app/command_line.h"
#include "app/lifecycle.h"
#include "app/registration.h"
#include "app/server_app.h"
#include "app/stop_signals.h"
#ifdef VEXON_WITH_UI
#include "ui/window_app.h"
#endif
#include "util/log.h"

#include <spdlog/sinks/stdout_sinks.h>

using namespace vexon;

namespace {

const char* kDescription =
    "srvvexon: the access-control server. It owns the serial line to the primary controller and serves the "
    "automation operations over JSON-RPC (TCP and a Unix socket with one JSON text per line, HTTP with POST /rpc).\n\n"
    "Command line: srvvexon [/X] [-Embedding] [/regserver | /unregserver] [OPTIONS]\n\n"
    "Switches (written with - or /, in any case):\n"
    "  /X                 as the FIRST parameter: the request queue keeps arrival order instead of sorting by\n"
    "                     priority. Any other first parameter leaves the queue sorted; one that is not an\n"
    "                     option (a word, or a switch written with \"/\") is ignored.\n"
    "  -Embedding, -Automation\n"
    "                     started by the service manager for a client (the service unit passes -Embedding):\n"
    "                     the server ends by itself once its last RPC connection has closed and the idle-exit\n"
    "                     grace has passed without a new one. Started by hand it runs until a signal.\n"
    "  /regserver         install the service registration and end: systemd user units srvvexon.socket and\n"
    "                     srvvexon.service in $XDG_CONFIG_HOME/systemd/user (default ~/.config/systemd/user)\n"
    "                     and the record $XDG_CONFIG_HOME/srvvexon/registration.ini. The socket listens on the\n"
    "                     endpoints this command line and the settings give; --data-dir, --config, --port\n"
    "                     and the other options given are passed on to the service. Without --data-dir the\n"
    "                     service keeps its data in the program's folder when it can write it, else in\n"
    "                     $XDG_STATE_HOME/srvvexon (default ~/.local/state/srvvexon), created; it says which.\n"
    "  /unregserver       remove everything /regserver wrote, and end.\n";

const char* kFooter =
    "Signals: SIGINT, SIGTERM and SIGHUP stop the server in order: no new call starts, calls in progress get\n"
    "the stop grace to answer, then every connection is closed, the exchange log and new_sys.bin are written.\n"
    "A second SIGINT or SIGTERM during the stop ends the grace at once; the files are still written.\n\n"
    "Settings file (--config, default $XDG_CONFIG_HOME/srvvexon.ini or ~/.config/srvvexon.ini):\n"
    "  [SETTINS]    MinimizeOnRun=1, ForwardAntiPass=0 (\"1\"/\"0\"; kept for the operator window)\n"
    "  [Main Form]  Left, Top: position of the operator window\n"
    "  [Ports]      COMn=DEVICE, e.g. COM1=/dev/ttyUSB0 (default /dev/ttyS<n-1>); --port overrides\n"
    "  [Automation] Tcp, Unix, Http: RPC endpoints (HOST:PORT, PATH, HOST:PORT; \"off\" disables)\n"
    "  [Rpc]        Tcp, Unix, Http (win over [Automation]); MaxConnections=256; AllowedOrigins and\n"
    "               AllowedHosts (comma-separated); UnixSocketMode=0600 (octal); UnixSocketGroup;\n"
    "               Token (required from every client; needed to listen beyond loopback)\n"
    "  [LINE]       EarlyFrameEnd=0 (1/true/yes/on: end a one-frame read when the frame is whole);\n"
    "               StatusQueryMs=70 (10 to 10000: the time a controller has to answer a status query)\n"
    "  [Service]    IdleExitGrace=30 (seconds a server started for a client stays after its last client),\n"
    "               StopGrace=5 (seconds calls in progress may take at a stop); fractions allowed\n"
    "  [Events]     Keep=10000 (events kept per stream for resuming), SubscriberQueue=10000 (events\n"
    "               queued per subscription)\n"
    "  [Console]    SessionHours=12 (how long a web console stays signed in with the token)\n"
    "Command-line options win over the file.\n\n"
    "Files in the data directory: new_sys.bin, cards.bin, buffer.bin, buffer.log, SrvVexon.Log, test.txt,\n"
    "console-sessions (the web console's sign-ins), and srvvexon.lock and srvvexon.run while the server runs.\n\n"
    "As a service started on the first client:\n"
    "  srvvexon /regserver --data-dir ~/vexon-data\n"
    "  systemctl --user daemon-reload\n"
    "  systemctl --user enable --now srvvexon.socket\n"
    "and to remove it:\n"
    "  systemctl --user disable --now srvvexon.socket; srvvexon /unregserver; systemctl --user daemon-reload\n";

std::string ExecutablePath() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  buf[n] = '\0';
  return buf;
}

std::string Absolute(const std::string& p) {
  std::error_code ec;
  const auto a = std::filesystem::absolute(p, ec);
  return ec ? p : a.lexically_normal().string();
}

std::string Endpoint(const std::string& given, const std::string& fromFile) {
  const std::string e = given.empty() ? fromFile : given;
  return e == "off" ? std::string() : e;
}

}  // namespace

int main(int argc, char** argv) {
  TAppOptions opt;
  const TLaunch launch = ScanCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (!launch.Error.empty()) {
    std::fprintf(stderr, "srvvexon: %s\n", launch.Error.c_str());
    return 2;
  }
  opt.ArrivalOrder = launch.ArrivalOrder;

  CLI::App app{kDescription, "srvvexon"};
  app.footer(kFooter);
  bool headless = false;
  bool verbose = false;
  const std::string exePath = ExecutablePath();
  std::string dataDir = exePath.empty() ? "." : std::filesystem::path(exePath).parent_path().string();
  std::string config = DefaultSettingsPath();
  opt.Tcp.clear();
  opt.Http.clear();
  app.add_flag("--headless", headless, "run without the operator window and the tray icon");
  CLI::Option* dataOption = app.add_option(
      "--data-dir", dataDir, "folder of new_sys.bin, cards.bin, buffer.bin, buffer.log, SrvVexon.Log, test.txt (default: the program's folder)");
  CLI::Option* configOption = app.add_option("--config", config, "settings file (default $XDG_CONFIG_HOME/srvvexon.ini, else ~/.config/srvvexon.ini)");
  app.add_option("--port", opt.PortAssignments,
                 "map a port: COM3=/dev/ttyUSB0 (repeatable). The line runs 9600 8E1 without flow control and "
                 "keeps DTR and RTS low: a converter powered from them needs its own supply");
  app.add_option("--rpc-tcp", opt.Tcp, "JSON-RPC over TCP, one JSON text per line (default 127.0.0.1:47301; off)");
  app.add_option("--rpc-unix", opt.Unix, "JSON-RPC over a Unix socket, one JSON text per line (default none; off)");
  app.add_option("--rpc-http", opt.Http, "JSON-RPC over HTTP, POST /rpc; GET /metrics (default 127.0.0.1:47380; off)");
  std::string tokenFile;
  app.add_option("--rpc-token-file", tokenFile, "file whose first line is the token every RPC client must present");
  int maxConnections = 0;
  app.add_option("--rpc-max-connections", maxConnections, "RPC connections at once (default 256)")
      ->check(CLI::Range(1, 65536));
  // Time-outs of slow and idle RPC peers; settable so tests need not wait
  // for the real values.
  app.add_option("--rpc-partial-timeout-ms", opt.Rpc.PartialMessageMs, "close a half-sent message after this")
      ->group("");
  app.add_option("--rpc-http-idle-ms", opt.Rpc.HttpIdleMs, "close an idle HTTP keep-alive connection after this")
      ->group("");
  app.add_option("--rpc-write-timeout-ms", opt.Rpc.WriteTimeoutMs, "give up a write to a peer that does not read")
      ->group("");
  app.add_option("--trace", opt.TraceFile, "write every frame on the line to this file");
  bool earlyFrameEnd = false;
  CLI::Option* earlyOption = app.add_flag(
      "--early-frame-end,!--no-early-frame-end", earlyFrameEnd,
      "end a read that expects one answer as soon as the frame is whole (its length and checksum hold) instead of "
      "after 30 ms of silence; overrides EarlyFrameEnd of section LINE in the settings file (default off)");
  uint32_t statusQueryMs = 0;
  CLI::Option* statusQueryOption =
      app.add_option("--status-query-ms", statusQueryMs,
                     "MS a controller has to answer a status query of the monitoring poll before it counts as "
                     "silent; overrides StatusQueryMs of section LINE (default 70)")
          ->check(CLI::Range(kMinStatusQueryMs, kMaxStatusQueryMs));
  double idleExitGrace = -1, stopGrace = -1;
  app.add_option("--idle-exit-grace", idleExitGrace,
                 "SECONDS a server started for a client (-Embedding) stays after its last client has gone; "
                 "overrides IdleExitGrace of section Service (default 30; fractions allowed)")
      ->check(CLI::Range(0.0, 86400.0));
  app.add_option("--stop-grace", stopGrace,
                 "SECONDS calls in progress may take to answer once a stop is asked; overrides StopGrace of "
                 "section Service (default 5; fractions allowed)")
      ->check(CLI::Range(0.0, 86400.0));
  app.add_flag("-v,--verbose", verbose, "log more");
  app.add_option("--check-dispatch-wait-ms", opt.CheckDispatchWaitMs, "wait of the identifier check for 65567")
      ->group("");
  std::vector<std::string> args = launch.Rest;
  std::reverse(args.begin(), args.end());
  try {
    app.parse(args);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  opt.DataDir = dataDir;
  if (earlyOption->count() > 0) opt.EarlyFrameEnd = earlyFrameEnd;
  if (statusQueryOption->count() > 0) opt.StatusQueryMs = statusQueryMs;
  opt.SettingsPath = config;
  spdlog::set_default_logger(spdlog::stderr_logger_mt("srvvexon"));
  spdlog::set_level(verbose ? spdlog::level::debug : spdlog::level::info);
  spdlog::set_pattern("%Y-%m-%d %H:%M:%S.%e srvvexon %l: %v");
  if (!launch.IgnoredFirst.empty()) log::info("first parameter '{}' ignored: the request queue stays sorted", launch.IgnoredFirst);

  // A settings file that exists but cannot be read stops everything but
  // /unregserver: the server would run without its token, ports and
  // endpoints. Defaults apply only when neither the command line nor the
  // settings file names an endpoint.
  TSettings probe;
  if (std::string error; !LoadSettings(config, probe, &error) && !error.empty() &&
                         launch.Registration != TRegistrationAction::Unregister) {
    std::fprintf(stderr, "srvvexon: %s\n", error.c_str());
    return 1;
  }
  if (opt.Tcp.empty() && probe.Tcp.empty()) opt.Tcp = "127.0.0.1:47301";
  if (opt.Http.empty() && probe.Http.empty()) opt.Http = "127.0.0.1:47380";

  if (launch.Registration != TRegistrationAction::None) {
    std::string error;
    const std::string home = ConfigHome();
    if (launch.Registration == TRegistrationAction::Unregister) {
      if (!Unregister(home, error)) {
        std::fprintf(stderr, "srvvexon: unregistration failed: %s\n", error.c_str());
        return 1;
      }
      std::printf("srvvexon: registration removed from %s\n", home.c_str());
      return 0;
    }
    TRegistration reg;
    reg.ConfigHome = home;
    reg.ProgramPath = exePath;
    reg.Tcp = Endpoint(opt.Tcp, probe.Tcp);
    reg.Http = Endpoint(opt.Http, probe.Http);
    reg.Unix = Endpoint(opt.Unix, probe.Unix);
    reg.UnixSocketMode = probe.RpcUnixSocketMode;
    // The service knows its endpoints, so that it can tell the passed sockets apart.
    auto& a = reg.ServiceArgs;
    for (const auto& [flag, value] : {std::pair{"--rpc-tcp", reg.Tcp}, {"--rpc-http", reg.Http}, {"--rpc-unix", reg.Unix}})
      a.insert(a.end(), {flag, value.empty() ? "off" : value});
    // The service must be able to write its data folder: the program's
    // folder only when it can (not /usr/bin), else the user's state folder.
    std::string dataWhy = "given with --data-dir";
    if (dataOption->count() > 0) {
      reg.DataDir = Absolute(dataDir);
    } else if (!exePath.empty() && WritableFolder(dataDir)) {
      reg.DataDir = dataDir;
      dataWhy = "the program's folder";
    } else {
      reg.DataDir = StateDataDir();
      dataWhy = "the program's folder " + dataDir + " cannot be written";
      if (reg.DataDir.empty()) error = dataWhy + ", and neither XDG_STATE_HOME nor HOME is set";
    }
    a.insert(a.end(), {"--data-dir", reg.DataDir});
    if (configOption->count() > 0) a.insert(a.end(), {"--config", Absolute(config)});
    for (const auto& p : opt.PortAssignments) a.insert(a.end(), {"--port", p});
    if (!tokenFile.empty()) a.insert(a.end(), {"--rpc-token-file", Absolute(tokenFile)});
    if (maxConnections > 0) a.insert(a.end(), {"--rpc-max-connections", std::to_string(maxConnections)});
    if (!opt.TraceFile.empty()) a.insert(a.end(), {"--trace", Absolute(opt.TraceFile)});
    if (opt.EarlyFrameEnd) a.push_back(*opt.EarlyFrameEnd ? "--early-frame-end" : "--no-early-frame-end");
    if (opt.StatusQueryMs) a.insert(a.end(), {"--status-query-ms", std::to_string(*opt.StatusQueryMs)});
    if (idleExitGrace >= 0) a.insert(a.end(), {"--idle-exit-grace", std::to_string(idleExitGrace)});
    if (stopGrace >= 0) a.insert(a.end(), {"--stop-grace", std::to_string(stopGrace)});
    if (verbose) a.push_back("--verbose");
    if (reg.ProgramPath.empty()) error = "cannot find this program's path";
    if (!error.empty() || !Register(reg, error)) {
      std::fprintf(stderr, "srvvexon: registration failed: %s\n", error.c_str());
      return 1;
    }
    std::printf("srvvexon: registered in %s and %s\n", UnitDir(home).c_str(), RecordPath(home).c_str());
    std::printf("srvvexon: the service keeps its data in %s (%s)\n", reg.DataDir.c_str(), dataWhy.c_str());
    std::printf("srvvexon: start it with: systemctl --user daemon-reload && systemctl --user enable --now srvvexon.socket\n");
    return 0;
  }
  // An existing registration follows the program; nothing is created here,
  // and a failure only costs the refresh.
  if (std::string error; !RefreshRecord(ConfigHome(), exePath, error)) log::debug("registration record: {}", error);

  opt.Rpc.MaxConnections = maxConnections > 0 ? maxConnections : probe.RpcMaxConnections;
  opt.Rpc.AllowedOrigins = probe.RpcAllowedOrigins;
  opt.Rpc.AllowedHosts = probe.RpcAllowedHosts;
  opt.Rpc.UnixSocketMode = probe.RpcUnixSocketMode;
  opt.Rpc.UnixSocketGroup = probe.RpcUnixSocketGroup;
  opt.Rpc.Token = probe.RpcToken;
  opt.Rpc.ConsoleSessionHours = probe.ConsoleSessionHours;
  if (!tokenFile.empty()) {
    std::ifstream in(tokenFile);
    std::string token;
    std::getline(in, token);
    while (!token.empty() && (token.back() == '\r' || token.back() == ' ' || token.back() == '\t')) token.pop_back();
    if (!in && !in.eof()) token.clear();
    if (token.empty()) {
      std::fprintf(stderr, "srvvexon: cannot read a token from %s\n", tokenFile.c_str());
      return 1;
    }
    opt.Rpc.Token = token;
  }
  if (stopGrace >= 0) opt.StopGrace = std::chrono::milliseconds(static_cast<int64_t>(stopGrace * 1000));
  const double idleSeconds = idleExitGrace >= 0 ? idleExitGrace : probe.IdleExitGraceSeconds;

  // Signals are taken by sigwait on one thread only.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  sigaddset(&sigs, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
  signal(SIGPIPE, SIG_IGN);

  opt.Passed = TakePassedSockets(Endpoint(opt.Http, probe.Http));
  if (!opt.Passed.empty()) log::info("socket activation: {} listening socket(s) passed", opt.Passed.size());

#ifdef VEXON_WITH_UI
  // With a display the window is the operator display; without one, or
  // with one that cannot be reached, the server runs exactly as with
  // --headless. A server started for a client has no operator: it runs
  // without the window.
  if (!headless && !launch.ForClient) {
    const std::string why = WhyNoWindow();
    if (why.empty()) return RunServerWithWindow(opt, sigs);
    log::info("{}: running without the operator window", why);
  }
#endif
  (void)headless;
  std::optional<std::chrono::milliseconds> idleGrace;
  if (launch.ForClient) idleGrace = std::chrono::milliseconds(static_cast<int64_t>(idleSeconds * 1000));
  TLifecycle life(idleGrace);
  opt.OnConnections = [&life](int open) { life.ConnectionsChanged(open); };
  THeadlessDisplay display;
  TServerApp server(opt, SystemClock(), display);
  if (!server.StartUpAndAnnounce("started with data in " + dataDir)) return 1;
  // Queued requests, and the card list or journal read part-way among them,
  // keep a server started for a client until they are done.
  life.SetBusy([&server] { return server.Core().Requests.RequestCount() > 0; });
  if (idleGrace) log::info("started for a client: ends {} s after the last client", idleSeconds);

  {
    // The first signal stops the server; a second SIGINT or SIGTERM while it
    // stops ends the stop grace.
    TStopSignals signalWatch(sigs, server, [&life](int sig) { life.Signal(sig); });
    if (life.Wait() == TLifecycle::TReason::Idle && signalWatch.MarkStopping())
      log::info("stopping: no client for {} s", idleSeconds);
    server.ShutDown();
  }
  log::info("stopped");
  return 0;
}
