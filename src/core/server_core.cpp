#include "core/server_core.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "model/record_file.h"
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
  RegJournal.SetBufferFilePath(BufferFilePath());
}

std::string TServerCore::DataFile(const char* name) const {
  std::string dir = Config.DataDir.empty() ? "." : Config.DataDir;
  if (dir.back() != '/') dir += '/';
  return dir + name;
}

bool TServerCore::LoadAndCreate(std::string* error) {
  auto fail = [&](std::string text) {
    log::error("{}", text);
    if (error) *error = std::move(text);
    return false;
  };
  RemoveInterruptedSaves({SystemFilePath(), CardFilePath(), BufferFilePath(), RegJournal.LogFilePath(),
                          RegJournal.LogFilePath() + ".new", RunMarkerPath()});
  if (!LoadConfiguration(Model, SystemFilePath()))
    log::info("{} not loaded: the server starts unconfigured", SystemFilePath());
  std::error_code ec;
  previousRunUnclean_ = std::filesystem::exists(RunMarkerPath(), ec);
  if (previousRunUnclean_) {
    log::warn("the previous run did not end in order: every journal read starts again with a first page");
    // Its flags cannot be cleared on disk without saving what could be
    // read of it in place of what could not.
    if (IsMarkedUnreadable(SystemFilePath()))
      return fail(SystemFilePath() + " cannot be read whole after a run that did not end in order: its journal "
                                     "flags cannot be cleared, so the server does not start");
    bool cleared = false;
    for (const auto& rec : Model.Controllers.Snapshot()) {
      if (rec.JournalPending == 0) continue;
      Model.Controllers.Update(rec.SysAdr, [](TTKDItem& r) { r.JournalPending = 0; });
      cleared = true;
    }
    // On disk at once: a later start must not trust the flags even if the
    // marker is lost (a failed start, a file removed by hand).
    if (cleared && !SaveSystemFile(Model.Controllers, SystemFilePath()))
      return fail("cannot save " + SystemFilePath() +
                  " with its journal flags cleared after a run that did not end in order; the server does not "
                  "start");
  }
  // Synced, with its directory: a power cut soon after start must still
  // leave the marker behind.
  const std::string pid = std::to_string(getpid()) + "\n";
  if (!AtomicWriteFile(RunMarkerPath(), std::vector<uint8_t>(pid.begin(), pid.end())))
    return fail("cannot write " + RunMarkerPath() +
                ": a crash of this run would not be recognised, so the server does not start");
  wroteMarker_ = true;
  Port.SetReadTimeoutForCount(static_cast<int>(Model.Controllers.Count()));
  Segments.CreateActive();
  Segments.LoadCardFile();
  Segments.CreatePending();
  RegJournal.Create();
  if (!RegJournal.LoadBufferFile() && RegJournal.BufferFileUnreadable())
    log::error("{} cannot be read: it is kept as it is and new events go to {}", BufferFilePath(),
               RegJournal.LogFilePath());
  Suppression.Create();
  Answers.CreateAnswerQueue();
  Requests.CreateRequestQueue(Config.ArrivalOrder);
  log::info("loaded {} controllers, {} card segments and {} registration events", Model.Controllers.Count(),
            Segments.ActiveCount(), RegJournal.Count());
  return true;
}

void TServerCore::SaveAndFree() {
  const bool eventsSaved = RegJournal.SaveBufferFile();
  if (!eventsSaved) log::error("saving {} failed: the events stay in {}", BufferFilePath(), RegJournal.LogFilePath());
  const bool systemSaved = SaveSystemFile(Model.Controllers, SystemFilePath());
  if (!systemSaved) log::error("saving {} failed", SystemFilePath());
  // Only a stop that saved the controller records may vouch for their
  // JournalPending flags.
  std::error_code ec;
  if (systemSaved) std::filesystem::remove(RunMarkerPath(), ec);
  wroteMarker_ = false;
  FreeLists();
}

void TServerCore::AbandonStart() {
  std::error_code ec;
  if (wroteMarker_ && !previousRunUnclean_) std::filesystem::remove(RunMarkerPath(), ec);
  wroteMarker_ = false;
  FreeLists();
}

void TServerCore::FreeLists() {
  RegJournal.Free();
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
