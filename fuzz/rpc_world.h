// The server a dispatcher harness talks to: a configured core (two
// controllers, one card segment, loaded from files in a scratch directory)
// with its queues and journals, no communication thread and no serial line
// (every port number names a missing device). After each input the harness
// checks, through the same dispatcher, that the server still answers and
// that what only the communication thread may change has not changed.
#pragma once

#include <nlohmann/json.hpp>

#include "automation/server_object.h"
#include "core/monitor.h"
#include "core/server_core.h"
#include "fuzz_util.h"
#include "model/system_file.h"
#include "rpc/dispatcher.h"
#include "util/log.h"

namespace vexon::fuzz {

class TRpcWorld {
 public:
  TRpcWorld()
      : dir_(Prepare()),
        core(SystemClock(), display, Config(dir_)),
        monitor(core, journal),
        services{core, monitor, journal, calendar, 0} {
    for (int n = 1; n <= 255; ++n) core.Ports.Set(n, (dir_ / ("no-such-port-" + std::to_string(n))).string());
    core.LoadAndCreate();
    journal.Create();
    FUZZ_CHECK(core.Model.Controllers.Count() == 2);
    FUZZ_CHECK(core.Segments.ActiveCount() == 1);
    TRpcDispatcher d(services);
    probeAnswer_ = Probe(d);
  }

  // Whether `text` is a well-formed answer: one response object, or an
  // array of them, each with "jsonrpc" 2.0, an id, and exactly one of result
  // and error (with a code of the dispatcher's set).
  static void CheckAnswer(const std::string& text) {
    FUZZ_CHECK(text.size() <= TRpcDispatcher::kMaxAnswer + 4096);
    const nlohmann::json a = nlohmann::json::parse(text, nullptr, false);
    FUZZ_CHECK(!a.is_discarded());
    if (a.is_array()) {
      FUZZ_CHECK(!a.empty());
      for (const auto& r : a) CheckResponse(r);
    } else {
      CheckResponse(a);
    }
  }

  static void CheckResponse(const nlohmann::json& r) {
    FUZZ_CHECK(r.is_object());
    FUZZ_CHECK(r.contains("jsonrpc") && r["jsonrpc"] == "2.0");
    FUZZ_CHECK(r.contains("id"));
    const auto& id = r["id"];
    FUZZ_CHECK(id.is_null() || id.is_string() || id.is_number());
    FUZZ_CHECK(r.contains("result") != r.contains("error"));
    if (r.contains("error")) {
      const auto& e = r["error"];
      FUZZ_CHECK(e.is_object() && e.contains("code") && e["code"].is_number_integer());
      FUZZ_CHECK(e.contains("message") && e["message"].is_string());
      const int code = e["code"].get<int>();
      FUZZ_CHECK(code == -32700 || code == -32600 || code == -32601 || code == -32602 || code == -32000 ||
                 code == -32603);
    }
  }

  // After an input: the server still answers a fixed call as it did at
  // start, the controller list and the active card segments (which only the
  // communication thread changes) are as loaded, and the request queue is
  // kept small so that inputs stay independent.
  void CheckAfter(TRpcDispatcher& d) {
    FUZZ_CHECK(Probe(d) == probeAnswer_);
    FUZZ_CHECK(core.Model.Controllers.Count() == 2);
    FUZZ_CHECK(core.Segments.ActiveCount() == 1);
    if (core.Requests.RequestCount() > 1000) core.Requests.ClearRequests();
  }

 private:
  static std::filesystem::path Prepare() {
    spdlog::set_level(spdlog::level::off);
    const std::filesystem::path dir = ScratchDir("rpc");
    TDeviceModel model;
    std::vector<TDescriptor> d = {{1, 1, 0, 0x80, 0x0B, 0, 0, 0}, {3, 2, 0, 0, 0x0B, 0x1A, 0, 0}};
    FUZZ_CHECK(model.BuildControllerList(&d));
    FUZZ_CHECK(SaveSystemFile(model.Controllers, (dir / "new_sys.bin").string()));
    TCardSegments cards;
    cards.SetCardFilePath((dir / "cards.bin").string());
    cards.CreateActive();
    TCardList l;
    l.AddIt({0, 7, 0, 999, 1, 1});
    FUZZ_CHECK(cards.CopyListToActive(l));
    return dir;
  }
  static TServerConfig Config(const std::filesystem::path& dir) {
    TServerConfig c;
    c.DataDir = dir.string();
    return c;
  }
  static std::string Probe(TRpcDispatcher& d) {
    const auto a = d.Handle(
        R"({"jsonrpc":"2.0","id":"probe","method":"sysvexon_GetErrorDescription","params":{"Code":19}})");
    FUZZ_CHECK(a.has_value());
    FUZZ_CHECK(a->find("\"result\"") != std::string::npos);
    return *a;
  }

  std::filesystem::path dir_;

 public:
  THeadlessDisplay display;
  TServerCore core;
  TMonJournal journal;
  TMonitor monitor;
  TCalendarBuffer calendar;
  TServices services;

 private:
  std::string probeAnswer_;
};

}  // namespace vexon::fuzz
