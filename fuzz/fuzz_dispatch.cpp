// libFuzzer: any text handed to the JSON-RPC dispatcher gets an answer (or
// none) and never crashes the server or corrupts its state.
#include <filesystem>

#include "automation/server_object.h"
#include "core/server_core.h"
#include "core/monitor.h"
#include "rpc/dispatcher.h"
#include "util/log.h"

using namespace vexon;

namespace {
struct TWorld {
  TWorld() : core(SystemClock(), display, Config()), monitor(core, journal), services{core, monitor, journal, calendar, 0} {
    spdlog::set_level(spdlog::level::off);
    core.LoadAndCreate();
    journal.Create();
  }
  static TServerConfig Config() {
    TServerConfig c;
    c.DataDir = (std::filesystem::temp_directory_path() / "vexon-fuzz").string();
    std::filesystem::create_directories(c.DataDir);
    return c;
  }
  THeadlessDisplay display;
  TServerCore core;
  TMonJournal journal;
  TMonitor monitor;
  TCalendarBuffer calendar;
  TServices services;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TWorld world;
  TRpcDispatcher d(world.services);
  d.Handle(std::string(reinterpret_cast<const char*>(data), size));
  if (world.core.Requests.RequestCount() > 1000) world.core.Requests.ClearRequests();
  return 0;
}
