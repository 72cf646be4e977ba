// Request kinds and their priority classes. For requests that carry a ready
// command buffer the kind equals the controller command code.
#pragma once

#include <cstdint>

namespace vexon {

enum RequestKind : uint8_t {
  rkAutoconfig = 0,
  rkSetReaderZone = 4,
  rkSetTimer = 5,
  rkClearToDefault = 6,
  rkSetReaderParameters = 7,
  rkSetImParameters = 8,
  rkSetInpParameters = 9,
  rkSetOutParameters = 10,
  rkSetWOutParameters = 11,
  rkSetAlarmGen = 12,
  rkSendCalendar = 16,
  rkSendTimeZone = 17,
  rkSendWeekDiagram = 18,
  rkSendShiftDiagram = 19,
  rkSendSegments = 32,
  rkClearSegments = 33,
  rkSendCard = 35,
  rkClearCardList = 36,
  rkSendAutCardList = 37,
  rkClearAutCardList = 39,
  rkSendAutRkd = 40,
  rkReadRegJournal = 48,
  rkSetRKD = 64,
  rkSetRKDProperties = 65,
  rkOpenIm = 66,
  rkCloseIm = 67,
  rkSetAlarm = 68,
  rkClearAlarm = 69,
  rkSetOut = 70,
  rkClearOut = 71,
  rkSetCardZone = 72,
  rkDisableCard = 73,
  rkEnableCard = 74,
  rkPermitPass = 75,
  rkProhibitPass = 76,
  rkGetCardZone = 144,
};

enum BufKindCode : uint8_t {
  bkBuffer = 0,  // a TBufItem holding a ready controller command
  bkObject = 1,  // a single parameter object
  bkList = 2,    // a list object, usually carried out in several passes
};

// Two-character priority class of a kind: "00", "01", "02", "03", "05", "99".
const char* PriorityClass(uint8_t kind);

}  // namespace vexon
