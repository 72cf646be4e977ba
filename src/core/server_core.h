// Everything the server keeps for the life of the process, wired together:
// queues, the server lock, the network model, the card lists, the serial
// port, the link and its encoders. One instance per process (tests make as
// many as they need).
#pragma once

#include <functional>
#include <string>

#include "link/commands.h"
#include "link/link.h"
#include "journals/reg_journal.h"
#include "link/uart.h"
#include "model/card_segments.h"
#include "model/card_zones.h"
#include "model/devices.h"
#include "model/disable_list.h"
#include "queue/answer_queue.h"
#include "queue/request_queue.h"
#include "util/clock.h"
#include "util/operator_display.h"
#include "util/server_lock.h"
#include "util/wakeup.h"

namespace vexon {

struct TServerConfig {
  std::string DataDir = ".";  // "new_sys.bin", "cards.bin", "buffer.bin", logs
  bool ArrivalOrder = false;  // the "/X" switch
  TLinkTimings Timings;
};

class TServerCore {
 public:
  TServerCore(TClock& clock, TOperatorDisplay& display, TServerConfig config);

  std::string DataFile(const char* name) const;
  std::string SystemFilePath() const { return DataFile("new_sys.bin"); }
  std::string CardFilePath() const { return DataFile("cards.bin"); }
  std::string BufferFilePath() const { return DataFile("buffer.bin"); }
  // Present while a server runs on the data directory; left behind by a run
  // that did not end in order.
  std::string RunMarkerPath() const { return DataFile("srvvexon.run"); }

  // Creates the lists, loads "new_sys.bin", "cards.bin" and "buffer.bin",
  // sets the read time-out from the controller count, creates the answer
  // and request queues. The leftovers of saves that were interrupted go
  // first. After a run that did not end in order, no controller's
  // JournalPending flag is trusted: the cleared flags are saved to
  // "new_sys.bin" before anything else is loaded, so each next journal read
  // starts with a first page and no page is confirmed unread, whatever
  // becomes of the run marker. False with `error` when that save or the
  // run marker cannot be written: a server that could not recognise its own
  // crash must not read journals. The caller holds the data folder.
  bool LoadAndCreate(std::string* error = nullptr);
  // Saves "buffer.bin" and "new_sys.bin" and frees queues and lists (the
  // thread is stopped).
  void SaveAndFree();
  // Ends a start that failed before it served: frees what LoadAndCreate
  // made and saves nothing. The run marker goes only when this start wrote
  // it over a clean stop; the marker of an unclean run stays.
  void AbandonStart();
  // Whether LoadAndCreate found the marker of a run that did not end in
  // order.
  bool PreviousRunUnclean() const { return previousRunUnclean_; }

  // Status and data indicators from the model.
  void RefreshIndicators();
  void RefreshDataIndicator();

  TClock& Clock;
  TOperatorDisplay& Display;
  const TServerConfig Config;
  TWakeup Wakeup;
  TAnswers Answers;
  TRequests Requests;
  TServerLock ServerLock;
  TDeviceModel Model;
  TCardSegments Segments;
  TCardZoneList CardZones;
  TSuppression Suppression;
  TRegJournal RegJournal;
  TLinkHealth Health;
  TPortMap Ports;
  TSerialPort Port;
  TLink Link;
  TCommands Commands;
  // Told when a controller's registration-journal read begins (started,
  // result 0) and ends (its result code), on the communication thread; must
  // not wait. Set before the thread starts.
  std::function<void(uint16_t makeAdr, bool started, int32_t result)> OnJournalRead;

 private:
  bool previousRunUnclean_ = false;
  bool wroteMarker_ = false;

  // The lists and queues LoadAndCreate made, freed without saving.
  void FreeLists();
};

}  // namespace vexon
