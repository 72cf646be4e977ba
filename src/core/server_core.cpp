#include "core/server_core.h"

#include "model/system_file.h"
#include "util/log.h"

namespace vexon {

TServerCore::TServerCore(TClock& clock, TOperatorDisplay& display, TServerConfig config)
    : Clock(clock),
      Display(display),
      Config(std::move(config)),
      Requests(Answers),
      ServerLock(clock),
      Suppression(clock),
      Port(Ports, Config.Timings),
      Link(Port, Model, clock),
      Commands(Link, Segments, Health, DataFile("new_sys.bin")) {
  Requests.SetWakeup(&Wakeup);
  Segments.SetCardFilePath(CardFilePath());
}

std::string TServerCore::DataFile(const char* name) const {
  std::string dir = Config.DataDir.empty() ? "." : Config.DataDir;
  if (dir.back() != '/') dir += '/';
  return dir + name;
}

void TServerCore::LoadAndCreate() {
  if (!LoadConfiguration(Model, SystemFilePath()))
    log::info("{} not loaded: the server starts unconfigured", SystemFilePath());
  Port.SetReadTimeoutForCount(static_cast<int>(Model.Controllers.Count()));
  Segments.CreateActive();
  Segments.LoadCardFile();
  Segments.CreatePending();
  Suppression.Create();
  Answers.CreateAnswerQueue();
  Requests.CreateRequestQueue(Config.ArrivalOrder);
  log::info("loaded {} controllers and {} card segments", Model.Controllers.Count(), Segments.ActiveCount());
}

void TServerCore::SaveAndFree() {
  if (!SaveSystemFile(Model.Controllers, SystemFilePath())) log::error("saving {} failed", SystemFilePath());
  Answers.FreeAnswerQueue();
  Requests.FreeRequestQueue();
  Segments.FreePending();
  Segments.FreeActive();
  Suppression.Free();
}

void TServerCore::RefreshIndicators() {
  Display.ShowStatus(Model.IsConfigured());
  RefreshDataIndicator();
}

void TServerCore::RefreshDataIndicator() { Display.ShowDataState(Model.IsConfigured(), Segments.ActiveCount() > 0); }

}  // namespace vexon
