// Result codes of the server and their Russian texts.
//
// Every operation reports a signed 32-bit code; 0 is success. Codes 91 to 96
// name the card on which a card-list preparation stopped: it records the
// failing row's card with SetCardErrorContext when, and only when, it
// returns one of these codes, and GetErrorStr substitutes it into the text
// (0 / 0 before any such failure). The two numbers are kept as one value.
#pragma once

#include <cstdint>
#include <string>

namespace vexon {

// Named codes that the code base produces directly.
enum ResultCode : int32_t {
  rcOk = 0,
  rcPortNotOpened = 1,
  rcPortClosed = 2,
  rcPortAlreadyOpen = 3,
  rcPortOpenFailed = 4,
  rcPortQueues = 5,
  rcPortGetState = 6,
  rcPortSetState = 7,
  rcPortTimeouts = 8,
  rcPortAlreadyClosed = 9,
  rcPortCloseFailed = 10,
  rcQueueFailed = 11,
  rcBadCommand = 12,
  rcPrimaryConfigBroken = 13,
  rcCommandFailed = 14,
  rcNotConfigured = 31,
  rcBadController = 32,
  rcBadDriver = 33,
  rcDriverMissing = 34,
  rcNoMonEvents = 35,
  rcInternal = 36,
  rcSegmentListTooLong = 37,
  rcBadSegment = 38,
  rcSegmentListEmpty = 39,
  rcBadSystemSegment = 40,
  rcBadReader = 41,
  rcBadZone = 42,
  rcBadCard = 57,
  rcBadMonth = 58,
  rcBadWeekDiagram = 59,
  rcBadShiftDiagram = 60,
  rcBadShiftLength = 61,
  rcBadShiftDay = 62,
  rcBadTimeType = 63,
  rcBadOneTimeLimit = 64,
  rcBadCommissionCard = 65,
  rcBadPinCode = 66,
  rcNoRegEvents = 67,
  rcNoCardSegments = 68,
  rcAbortedByAutoconfig = 88,
  rcNoCardArray = 90,
  rcListNotSystemCard = 91,
  rcListBadTimeType = 92,
  rcListBadWeekDiagram = 93,
  rcListBadShiftDiagram = 94,
  rcListBadCommissionCard = 95,
  rcListBadPinCode = 96,
};

// The text of a code; "Неизвестная ошибка." for any undefined code.
std::string GetErrorStr(int32_t code);
// The text as defined, with the two "%s" of codes 91 to 96 left in place
// (the operations reference prints it); empty for an undefined code.
std::string GetErrorTemplate(int32_t code);

// Records the card on which a card-list preparation failed (codes 91 to 96);
// both numbers are replaced at once.
void SetCardErrorContext(int32_t facilityCode, int32_t cardId);

}  // namespace vexon
