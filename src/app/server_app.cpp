#include "app/server_app.h"

#include <cstdio>

#include "util/log.h"

namespace vexon {

TServerApp::TServerApp(TAppOptions options, TClock& clock, TOperatorDisplay& display)
    : options_(std::move(options)), clock_(clock), display_(display) {}

TServerApp::~TServerApp() { ShutDown(); }

bool TServerApp::StartUp(std::string& error) {
  // Before anything in the data folder is read or written: a second server
  // on the same folder would replace the files under the first.
  if (!folderLock_.Acquire(options_.DataDir.empty() ? "." : options_.DataDir, error)) return false;
  // A settings file that exists but cannot be read must not leave the
  // server running without its token.
  if (std::string why; !LoadSettings(options_.SettingsPath, settings_, &why) && !why.empty()) {
    error = why;
    return false;
  }
  TServerConfig cfg;
  cfg.DataDir = options_.DataDir;
  cfg.ArrivalOrder = options_.ArrivalOrder;
  cfg.Timings = options_.Timings;
  cfg.Timings.EarlyFrameEnd = options_.EarlyFrameEnd.value_or(settings_.EarlyFrameEnd);
  if (cfg.Timings.EarlyFrameEnd) log::info("line: a read that expects one answer ends at the whole frame (early frame end)");
  if (options_.StatusQueryMs)
    cfg.Timings.StatusQueryMs = *options_.StatusQueryMs;
  else if (settings_.StatusQueryMs != 0)
    cfg.Timings.StatusQueryMs = settings_.StatusQueryMs;
  if (cfg.Timings.StatusQueryMs != TLinkTimings{}.StatusQueryMs)
    log::info("line: a controller has {} ms to answer a status query", cfg.Timings.StatusQueryMs);
  hub_ = std::make_unique<TEventHub>(settings_.EventsKeep, settings_.EventsSubscriberQueue);
  streamDisplay_ = std::make_unique<TStreamDisplay>(display_, *hub_);
  core_ = std::make_unique<TServerCore>(clock_, *streamDisplay_, cfg);
  FeedStreams(*hub_, *core_, journal_);
  // The settings file maps ports first; the command line overrides it.
  for (const auto& [n, path] : settings_.Ports) core_->Ports.Set(n, path);
  for (const auto& a : options_.PortAssignments) {
    if (!core_->Ports.SetFromText(a)) {
      error = "--port expects COMn=PATH, got '" + a + "'";
      return false;
    }
  }
  if (!options_.TraceFile.empty() && !core_->Link.Trace().Open(options_.TraceFile)) {
    error = "cannot open the frame trace " + options_.TraceFile;
    return false;
  }
  if (!core_->LoadAndCreate(&error)) {
    core_->AbandonStart();
    return false;
  }
  calendar_.Clear();
  core_->RefreshIndicators();
  journal_.Create();
  executor_ = std::make_unique<TExecutor>(*core_);
  monitor_ = std::make_unique<TMonitor>(*core_, journal_);
  monitor_->SetRefreshAll();
  services_ = std::make_unique<TServices>(
      TServices{*core_, *monitor_, journal_, calendar_, options_.CheckDispatchWaitMs, &shutdown_});
  thread_ = std::make_unique<TDeviceThread>(*core_, *executor_, monitor_.get());
  try {
    thread_->StartDeviceThread();
  } catch (const std::exception& e) {
    error = e.what();
    AbandonStart();
    return false;
  }
  // The thread waits until every endpoint is open: a request a client
  // queues before a later endpoint fails is never carried out.
  TRpcOptions rpcOptions = options_.Rpc;
  rpcOptions.ConsoleSessionFile = (options_.DataDir.empty() ? std::string(".") : options_.DataDir) + "/console-sessions";
  rpc_ = std::make_unique<TRpcServer>(*services_, rpcOptions);
  rpc_->SetEventHub(hub_.get());
  if (options_.OnConnections) rpc_->SetConnectionObserver(options_.OnConnections);
  if (!OpenEndpoints(error)) {
    AbandonStart();
    return false;
  }
  thread_->ResumeDeviceThread();
  running_ = true;
  return true;
}

bool TServerApp::OpenEndpoints(std::string& error) {
  if (!options_.Passed.empty()) {
    for (const auto& p : options_.Passed)
      if (!rpc_->Adopt(p.Fd, p.Kind, error)) return false;
    return true;
  }
  const std::string tcp = options_.Tcp.empty() ? settings_.Tcp : options_.Tcp;
  const std::string unixPath = options_.Unix.empty() ? settings_.Unix : options_.Unix;
  const std::string httpEp = options_.Http.empty() ? settings_.Http : options_.Http;
  if (!tcp.empty() && tcp != "off" && !rpc_->ListenTcp(tcp, error)) return false;
  if (!unixPath.empty() && unixPath != "off" && !rpc_->ListenUnix(unixPath, error)) return false;
  if (!httpEp.empty() && httpEp != "off" && !rpc_->ListenHttp(httpEp, error)) return false;
  return true;
}

void TServerApp::AbandonStart() {
  // The communication thread never ran a request, so nothing went onto the
  // line: no exchange log and no save of the lists (an early client's
  // queued requests are dropped unanswered with the queue).
  if (rpc_) rpc_->Stop(std::chrono::milliseconds(0));
  if (thread_) {
    thread_->RequestStop();
    try {
      thread_->StopDeviceThread();
    } catch (const std::exception& e) {
      log::error("{}", e.what());
    }
  }
  if (core_->Port.Uart()) core_->Port.ClosePort();
  core_->AbandonStart();
  journal_.Free();
}

bool TServerApp::StartUpAndAnnounce(const std::string& startedText) {
  std::string error;
  if (!StartUp(error)) {
    log::error("{}", error);
    return false;
  }
  for (const auto& ep : rpc_->Endpoints()) std::printf("srvvexon: listening on %s\n", ep.c_str());
  std::fflush(stdout);
  log::info("{}", startedText);
  return true;
}

void TServerApp::ShutDown() {
  if (!running_) return;
  running_ = false;
  shutdown_.Begin();
  // Nothing more goes onto the line from here on, however long the clients'
  // connections take to close: queued requests stay unanswered.
  if (thread_) thread_->RequestStop();
  const auto grace = options_.StopGrace.value_or(
      std::chrono::milliseconds(static_cast<int64_t>(settings_.StopGraceSeconds * 1000)));
  if (rpc_) rpc_->Stop(grace);
  if (core_->Link.WriteExchangeLog(core_->DataFile("SrvVexon.Log")))
    log::info("exchange log written to {}", core_->DataFile("SrvVexon.Log"));
  try {
    thread_->StopDeviceThread();
  } catch (const std::exception& e) {
    log::error("{}", e.what());
  }
  if (core_->Port.Uart()) core_->Port.ClosePort();
  core_->SaveAndFree();
  journal_.Free();
}

}  // namespace vexon

namespace vexon {

void TServerApp::SkipGrace() {
  if (rpc_) rpc_->EndGrace();
}

}  // namespace vexon
