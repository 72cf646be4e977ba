// srvvexon: the server. Owns the serial line to the primary controller and
// serves the 77 operations over JSON-RPC.
//
//   srvvexon [/X] [--headless] [--data-dir DIR] [--config FILE]
//            [--port COMn=PATH]... [--rpc-tcp HOST:PORT|off]
//            [--rpc-unix PATH|off] [--rpc-http HOST:PORT|off]
//            [--rpc-max-connections N] [--rpc-token-file FILE] [--trace FILE]
//
// "/X" (or "/x") as the first parameter keeps the request queue in arrival
// order. Runs until SIGINT or SIGTERM, then shuts down in order.
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/server_app.h"
#ifdef VEXON_WITH_UI
#include "ui/window_app.h"
#endif
#include "util/log.h"

#include <spdlog/sinks/stdout_sinks.h>

using namespace vexon;

namespace {
std::string ExecutableDir() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = '\0';
  return std::filesystem::path(buf).parent_path().string();
}
}  // namespace

int main(int argc, char** argv) {
  TAppOptions opt;
  // The queue-order switch comes first and is not an option in the usual
  // sense; everything after it goes to the option parser.
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty()) {
    std::string first = args.front();
    for (auto& ch : first) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    if (first == "/X") {
      opt.ArrivalOrder = true;
      args.erase(args.begin());
    } else if (first == "/REGSERVER" || first == "/UNREGSERVER" || first == "-REGSERVER" || first == "-UNREGSERVER") {
      std::fprintf(stderr, "srvvexon: registration is not supported by this build; start the server directly\n");
      return 1;
    }
  }

  CLI::App app{"srvvexon: the access-control server (JSON-RPC on TCP, a Unix socket and HTTP)"};
  bool headless = false;
  bool verbose = false;
  std::string dataDir = ExecutableDir();
  std::string config = DefaultSettingsPath();
  opt.Tcp.clear();
  opt.Http.clear();
  app.add_flag("--headless", headless, "run without the operator window and the tray icon");
  app.add_option("--data-dir", dataDir, "folder of new_sys.bin, cards.bin, SrvVexon.Log, test.txt");
  app.add_option("--config", config, "settings file (default ~/.config/srvvexon.ini)");
  app.add_option("--port", opt.PortAssignments,
                 "map a port: COM3=/dev/ttyUSB0 (repeatable). The line runs 9600 8E1 without flow control and "
                 "keeps DTR and RTS low: a converter powered from them needs its own supply");
  app.add_option("--rpc-tcp", opt.Tcp, "JSON-RPC over TCP, one JSON text per line (default 127.0.0.1:47301)");
  app.add_option("--rpc-unix", opt.Unix, "JSON-RPC over a Unix socket, one JSON text per line");
  app.add_option("--rpc-http", opt.Http, "JSON-RPC over HTTP, POST /rpc (default 127.0.0.1:47380)");
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
  app.add_flag("-v,--verbose", verbose, "log more");
  app.add_option("--check-dispatch-wait-ms", opt.CheckDispatchWaitMs, "wait of the identifier check for 65567")
      ->group("");
  std::reverse(args.begin(), args.end());
  try {
    app.parse(args);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  opt.DataDir = dataDir;
  if (earlyOption->count() > 0) opt.EarlyFrameEnd = earlyFrameEnd;
  opt.SettingsPath = config;
  spdlog::set_default_logger(spdlog::stderr_logger_mt("srvvexon"));
  spdlog::set_level(verbose ? spdlog::level::debug : spdlog::level::info);
  spdlog::set_pattern("%Y-%m-%d %H:%M:%S.%e srvvexon %l: %v");

  // Signals are taken by sigwait on this thread only.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // Defaults apply only when neither the command line nor the settings file
  // names an endpoint.
  TSettings probe;
  LoadSettings(config, probe);
  if (opt.Tcp.empty() && probe.Tcp.empty()) opt.Tcp = "127.0.0.1:47301";
  if (opt.Http.empty() && probe.Http.empty()) opt.Http = "127.0.0.1:47380";
  opt.Rpc.MaxConnections = maxConnections > 0 ? maxConnections : probe.RpcMaxConnections;
  opt.Rpc.AllowedOrigins = probe.RpcAllowedOrigins;
  opt.Rpc.AllowedHosts = probe.RpcAllowedHosts;
  opt.Rpc.UnixSocketMode = probe.RpcUnixSocketMode;
  opt.Rpc.UnixSocketGroup = probe.RpcUnixSocketGroup;
  opt.Rpc.Token = probe.RpcToken;
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

#ifdef VEXON_WITH_UI
  // With a display the window is the operator display; without one the
  // server runs exactly as with --headless.
  if (!headless) {
    if (WindowDisplayAvailable()) return RunServerWithWindow(opt, sigs);
    log::info("no display: running without the operator window");
  }
#endif
  THeadlessDisplay display;
  TServerApp server(opt, SystemClock(), display);
  if (!server.StartUpAndAnnounce("started with data in " + dataDir)) return 1;
  int sig = 0;
  sigwait(&sigs, &sig);
  log::info("stopping ({})", sig == SIGINT ? "SIGINT" : "SIGTERM");
  server.ShutDown();
  log::info("stopped");
  return 0;
}
