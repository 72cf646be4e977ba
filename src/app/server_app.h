// The server process: every process-wide piece, created in the start-up
// order and torn down in the shut-down order.
//
// Start-up: settings; the controller list from "new_sys.bin" and the
// address list; the active segments from "cards.bin"; the pending segments;
// the calendar; the indicators; the answer queue; the request queue; the
// monitoring journal (with a status refresh of every controller); the
// communication thread; then the RPC endpoints.
// Shut-down: long waits inside calls are cut short; the RPC endpoints stop
// (a call in progress gets the stop grace to finish, then its connection is
// closed); the exchange log "SrvVexon.Log"; the communication thread stops;
// the port closes; "new_sys.bin" is saved; queues and lists are freed.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/activation.h"
#include "app/data_folder_lock.h"
#include "app/settings.h"
#include "automation/server_object.h"
#include "core/device_thread.h"
#include "core/executor.h"
#include "core/server_core.h"
#include "journals/mon_journal.h"
#include "core/monitor.h"
#include "rpc/stream_feed.h"
#include "rpc/transports.h"
#include "util/clock.h"
#include "util/operator_display.h"

namespace vexon {

struct TAppOptions {
  std::string DataDir;
  std::string SettingsPath;
  bool ArrivalOrder = false;
  std::vector<std::string> PortAssignments;  // "COM3=/dev/ttyUSB0"
  std::string Tcp = "127.0.0.1:47301";       // "off" disables an endpoint
  std::string Unix;
  std::string Http = "127.0.0.1:47380";
  std::string TraceFile;
  // --early-frame-end / --no-early-frame-end; unset: the settings file says.
  std::optional<bool> EarlyFrameEnd;
  // --status-query-ms; unset: StatusQueryMs of section LINE, else
  // Timings.StatusQueryMs.
  std::optional<uint32_t> StatusQueryMs;
  // The line's time-outs (EarlyFrameEnd above still applies); the defaults
  // unless a program embedding the server sets them.
  TLinkTimings Timings;
  uint32_t CheckDispatchWaitMs = 10001;
  TRpcOptions Rpc;  // limits and allow-lists of the RPC transports
  // Grace of calls in progress at shut-down; unset: the settings file says.
  std::optional<std::chrono::milliseconds> StopGrace;
  // Sockets handed over by the service manager: when there are any, they
  // are the endpoints and nothing is bound.
  std::vector<TPassedSocket> Passed;
  // Told the number of open RPC connections after each change.
  std::function<void(int)> OnConnections;
};

class TServerApp {
 public:
  TServerApp(TAppOptions options, TClock& clock, TOperatorDisplay& display);
  ~TServerApp();

  // False with `error` when the data folder is another server's, the files
  // cannot be made trustworthy, the communication thread cannot start or an
  // endpoint cannot be opened. A start that fails saves nothing of its own:
  // what it changed in the data folder is what loading does with files it
  // read whole (the registration log folded into "buffer.bin", a torn tail
  // cut, leftovers of interrupted saves removed, after an unclean run the
  // cleared journal flags) and "test.txt"; no request was carried out, so
  // nothing went onto the line. It needs no ShutDown().
  bool StartUp(std::string& error);
  // StartUp for the program: on failure logs the error and shuts down what
  // started; on success prints "srvvexon: listening on ..." per endpoint (a
  // line callers and tests wait for) and logs `startedText`.
  bool StartUpAndAnnounce(const std::string& startedText);
  void ShutDown();
  // Ends the stop grace of a ShutDown() in progress (another thread).
  void SkipGrace();

  TServerCore& Core() { return *core_; }
  TEventHub& Events() { return *hub_; }
  TMonJournal& MonJournal() { return journal_; }
  TRpcServer& Rpc() { return *rpc_; }
  TMonitor& Monitor() { return *monitor_; }
  const TSettings& Settings() const { return settings_; }

 private:
  TAppOptions options_;
  TClock& clock_;
  TOperatorDisplay& display_;
  // Declared first, so released last: held until every save is done.
  TDataFolderLock folderLock_;
  TSettings settings_;
  // The event streams and the display that tells the state stream; made
  // before the core, which shows through the display, and kept after it.
  std::unique_ptr<TEventHub> hub_;
  std::unique_ptr<TStreamDisplay> streamDisplay_;
  std::unique_ptr<TServerCore> core_;
  std::unique_ptr<TExecutor> executor_;
  TMonJournal journal_;
  std::unique_ptr<TMonitor> monitor_;
  TCalendarBuffer calendar_;
  TShutdownNotice shutdown_;
  std::unique_ptr<TServices> services_;
  std::unique_ptr<TDeviceThread> thread_;
  std::unique_ptr<TRpcServer> rpc_;
  bool running_ = false;

  bool OpenEndpoints(std::string& error);
  void AbandonStart();
};

}  // namespace vexon
