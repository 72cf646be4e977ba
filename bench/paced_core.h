// A server core on a fresh data directory, talking to a simulator at
// 9600-baud pacing over a pseudo-terminal, port open and the network
// autoconfigured: the starting point of the paced benchmarks.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "core/executor.h"
#include "core/server_core.h"
#include "sim/simulator.h"
#include "util/clock.h"
#include "util/operator_display.h"

namespace vexon::bench {

class TPacedCore {
 public:
  explicit TPacedCore(const char* name, double turnaroundMs = 2.0) : dir_(std::filesystem::temp_directory_path() / name) {
    Options.Pacing = true;
    Options.TurnaroundMs = turnaroundMs;
    Sim = std::make_unique<sim::TSimulator>(sim::TSimNetwork::Default(), Options);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    Config.DataDir = dir_.string();
  }
  ~TPacedCore() {
    if (Sim) Sim->Stop();
    if (Core) Core->SaveAndFree();
    std::filesystem::remove_all(dir_);
  }

  // Starts the simulator, opens COM1 and autoconfigures; false on failure.
  bool Start() {
    if (!Sim->Start()) return false;
    Core = std::make_unique<TServerCore>(SystemClock(), display_, Config);
    Core->Ports.Set(1, Sim->SlavePath());
    Core->LoadAndCreate();
    Executor = std::make_unique<TExecutor>(*Core);
    if (Core->Port.OpenPort(1) != 0) return false;
    int32_t id = 0;
    uint8_t buf[3] = {255, 255, 0};
    Core->Requests.PutBufRequest(0, 3, buf, id);
    Drain();
    return Core->Answers.GetCommandState(id) == 0;
  }
  void Drain() {
    while (Core->Requests.RequestCount()) Executor->ExecuteRequests(0);
  }

  sim::TSimOptions Options;
  TServerConfig Config;
  std::unique_ptr<sim::TSimulator> Sim;
  std::unique_ptr<TServerCore> Core;
  std::unique_ptr<TExecutor> Executor;

 private:
  std::filesystem::path dir_;
  THeadlessDisplay display_;
};

}  // namespace vexon::bench
