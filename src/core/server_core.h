// Everything the server keeps for the life of the process, wired together:
// queues, the server lock, the network model, the card lists, the serial
// port, the link and its encoders. One instance per process (tests make as
// many as they need).
#pragma once

#include <string>

#include "link/commands.h"
#include "link/link.h"
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

  // Creates the lists, loads "new_sys.bin" and "cards.bin", sets the read
  // time-out from the controller count, creates the answer and request
  // queues.
  void LoadAndCreate();
  // Saves "new_sys.bin" and frees queues and lists (the thread is stopped).
  void SaveAndFree();

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
  TLinkHealth Health;
  TPortMap Ports;
  TSerialPort Port;
  TLink Link;
  TCommands Commands;
};

}  // namespace vexon
