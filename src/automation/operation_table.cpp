#include "automation/operation_table.h"

#include <sstream>
#include <stdexcept>

namespace vexon {

namespace {

struct TRow {
  int Number;
  int32_t DispId;
  const char* Name;
  bool Queued;
  const char* Args;   // "Name:TYPE" or "Name:TYPE:io", blank-separated, interface order
  const char* Value;  // type of Value (retval), or "" when the operation has none
  const char* Summary;
};

// Queued operations take EventID [in,out] first. Types where the Parts are
// silent: I4 for numbers, counts, card numbers and anything compared as
// signed; UI1 for the small values that go into one byte of a command.
const TRow kRows[] = {
    {1, 1, "sysvexon_OpenSerialPort", false, "PortNumber:I4", "I4", "open serial port COM+number"},
    {2, 2, "sysvexon_CloseSerialPort", false, "", "I4", "close the serial port"},
    {3, 3, "sysvexon_GetOpenSerialPortNumber", false, "PortNumber:I4:io", "I4", "number of the open port"},
    {4, 4, "sysvexon_GetErrorDescription", false, "Code:I4", "BSTR", "text of a result code"},
    {5, 5, "sysvexon_Autoconfig", true, "EventID:I4:io", "I4", "clear the request queue, then find the controllers"},
    {6, 6, "sysvexon_GetCommandState", false, "EventID:I4", "I4", "state of a request"},
    {7, 7, "sysvexon_DeleteAnswer", false, "EventID:I4", "", "forget the answer of a request"},
    {8, 8, "sysvexon_GetControllerCount", false, "Cnt:I4:io", "I4", "number of controllers found"},
    {9, 10, "sysvexon_GetControllerInfo", false,
     "ControllerNum:I4 _SysAdr:UI1:io _MakeAdr:I4:io _Primary:UI1:io _Modem:UI1:io _DrvCount:UI1:io _Hub:UI1:io "
     "_SecondLevelAdr:UI1:io",
     "I4", "addresses and kind of one controller"},
    {10, 9, "sysvexon_GetDriverInfo", false,
     "ControllerNum:I4 DriverNum:I4 _DrvAdr:UI1:io _DrvType:UI1:io _DrvInp:UI1:io _DrvOut:UI1:io _DrvWOut:UI1:io "
     "_DrvIm:UI1:io",
     "I4", "one driver of one controller"},
    {11, 11, "sysvexon_StartMonitoring", false, "", "", "switch the monitoring poll on"},
    {12, 12, "sysvexon_StopMonitoring", false, "", "", "switch the monitoring poll off"},
    {13, 13, "sysvexon_GetMonEvent", false,
     "Year:I4:io Month:UI1:io Day:UI1:io Hour:UI1:io Minute:UI1:io Second:UI1:io MakeAdr:I4:io AdrAdd:UI1:io "
     "EventCode:UI1:io EventAdd:UI1:io CardID:I4:io FacilityCode:UI1:io",
     "I4", "take the oldest monitoring event"},
    {14, 14, "sysvexon_ClearMonJournal", false, "", "", "empty the monitoring journal"},
    {15, 15, "sysvexon_ClearCardSegments", false, "", "", "empty the pending segment list"},
    {16, 16, "sysvexon_SetCardSegment", false, "FacilityCode:UI1 FirstCard:I4 LastCard:I4", "I4",
     "add one segment to the pending list"},
    {17, 17, "sysvexon_SendCardSegments", true, "EventID:I4:io", "I4", "send the pending segment list"},
    {18, 18, "sysvexon_GetExtendedCommandState", false, "EventID:I4 Int1:I4:io Int2:I4:io Int3:I4:io", "I4",
     "state and three result integers of a request"},
    {19, 19, "sysvexon_SetReaderZone", true, "EventID:I4:io MakeAdr:I4 ReaderNumber:UI1 ZoneNumber:UI1", "I4",
     "zone of a reader"},
    {20, 20, "sysvexon_SetTimer", true, "EventID:I4:io", "I4", "set the controllers' clock to the server's clock"},
    {21, 21, "sysvexon_ClearToDefault", true, "EventID:I4:io MakeAdr:I4", "I4",
     "reset one controller (or all) to defaults"},
    {22, 22, "sysvexon_SetReaderParameters", true,
     "EventID:I4:io MakeAdr:I4 ReaderNumber:UI1 ReaderType:UI1 EnterOnCardPresent:UI1 PinCode:UI1 ImMask:UI1 "
     "Time:UI1",
     "I4", "reader settings"},
    {23, 23, "sysvexon_SetImParameters", true,
     "EventID:I4:io MakeAdr:I4 DriverAdr:UI1 ImNumber:UI1 ClosePower:UI1 CloseAfterOpen:UI1 NormalOpen:UI1 "
     "OpenTime:UI1 Trigger:UI1 TriggerTime:UI1 MaxOpenTime:UI1 OutActiveForOpen:UI1 InpNoAnalyzeForOpen:UI1 "
     "NoAnalyzeTime:UI1 InpForAutoOpen:UI1 InpForAutoClose:UI1 PDUWeek:UI1 AutoOpenWeek:UI1 PDUTimeZoneNum:UI1 "
     "AutoTimeZoneNum:UI1",
     "I4", "lock-mechanism settings"},
    {24, 24, "sysvexon_SetInpParameters", true,
     "EventID:I4:io MakeAdr:I4 DriverAdr:UI1 InpNumber:UI1 NormalOpen:UI1 NoAnalyzeTime:UI1 OutActiveForInp:UI1 "
     "InpNoAnalyzeForInp:UI1 Week:UI1 AnalyzeType:UI1 AnalyzeTimeZone:UI1",
     "I4", "test-input settings"},
    {25, 25, "sysvexon_SetOutParameters", true,
     "EventID:I4:io MakeAdr:I4 DriverAdr:UI1 OutNumber:UI1 NormalClose:UI1 ActivateTime:UI1 Week:UI1 "
     "ActivateType:UI1 AutoactiveTimeZone:UI1",
     "I4", "relay-output settings"},
    {26, 26, "sysvexon_SetWOutParameters", true,
     "EventID:I4:io MakeAdr:I4 DriverAdr:UI1 WOutNumber:UI1 Info:UI1 Settings:UI1 Reaction1:UI1 Reaction2:UI1 "
     "Reaction3:UI1 Reaction4:UI1 Reaction5:UI1 Reaction6:UI1 Reaction7:UI1 Reaction8:UI1",
     "I4", "service-output settings"},
    {27, 27, "sysvexon_SetAlarmGenParameters", true,
     "EventID:I4:io MakeAdr:I4 DriverAdr:UI1 OutNumber:UI1 OnCard:UI1 OnState:UI1 OnInp1:UI1 OnInp2:UI1", "I4",
     "alarm-generator settings of an output"},
    {28, 28, "sysvexon_SetSystemRKDwithProperties", true,
     "EventID:I4:io MakeAdr:I4 AdditionAdr:UI1 RKDCode:UI1 Property1:UI1 Property2:UI1", "I4",
     "system access mode with properties"},
    {29, 29, "sysvexon_SetAutoRKDwithProperties", true,
     "EventID:I4:io MakeAdr:I4 AdditionAdr:UI1 Property1:UI1 Property2:UI1", "I4",
     "autonomous access mode with properties"},
    {30, 30, "sysvexon_SetRKD", true, "EventID:I4:io MakeAdr:I4 AdditionAdr:UI1 RKDCode:UI1", "I4", "access mode"},
    {31, 31, "sysvexon_OpenIm", true, "EventID:I4:io MakeAdr:I4 DriverAdr:UI1 ImNumber:UI1", "I4",
     "open a lock mechanism"},
    {32, 32, "sysvexon_CloseIm", true, "EventID:I4:io MakeAdr:I4 DriverAdr:UI1 ImNumber:UI1", "I4",
     "close a lock mechanism"},
    {33, 34, "sysvexon_SetAlarm", true, "EventID:I4:io MakeAdr:I4 AdditionAdr:UI1", "I4", "raise the alarm"},
    {34, 35, "sysvexon_ClearAlarm", true, "EventID:I4:io MakeAdr:I4 AdditionAdr:UI1", "I4", "clear the alarm"},
    {35, 36, "sysvexon_SetOut", true, "EventID:I4:io MakeAdr:I4 DriverAdr:UI1 OutNumber:UI1 ActivateType:UI1", "I4",
     "activate a relay output"},
    {36, 37, "sysvexon_ClearOut", true, "EventID:I4:io MakeAdr:I4 DriverAdr:UI1 OutNumber:I4", "I4",
     "release a relay output"},
    {37, 33, "sysvexon_SetCardZone", true, "EventID:I4:io FacilityCode:UI1 CardID:I4 ZoneNumber:UI1", "I4",
     "record the zone of a card"},
    {38, 38, "sysvexon_SetEnableCard", true, "EventID:I4:io Enable:UI1 FacilityCode:UI1 CardID:I4", "I4",
     "block or unblock a card"},
    {39, 39, "sysvexon_PermitPass", true, "EventID:I4:io MakeAdr:I4 ReaderNumber:UI1", "I4",
     "permit a pass at a reader"},
    {40, 40, "sysvexon_ProhibitPass", true, "EventID:I4:io MakeAdr:I4 ReaderNumber:UI1", "I4",
     "prohibit a pass at a reader"},
    {41, 41, "sysvexon_GetCardZone", true, "EventID:I4:io FacilityCode:UI1 CardID:I4", "I4", "ask the zone of a card"},
    {42, 42, "sysvexon_ClearCalendarBuf", false, "", "", "empty the calendar buffer"},
    {43, 43, "sysvexon_PrepareCalendarBuf", false,
     "Month:UI1 b1:UI1 b2:UI1 b3:UI1 b4:UI1 b5:UI1 b6:UI1 b7:UI1 b8:UI1", "I4",
     "fill one month of the calendar buffer"},
    {44, 44, "sysvexon_SendCalendar", true, "EventID:I4:io", "I4", "send the calendar buffer"},
    {45, 45, "sysvexon_SendTimeZone", true,
     "EventID:I4:io ZoneNumber:UI1 "
     "H1Start:I4 M1Start:I4 H1End:I4 M1End:I4 H2Start:I4 M2Start:I4 H2End:I4 M2End:I4 "
     "H3Start:I4 M3Start:I4 H3End:I4 M3End:I4 H4Start:I4 M4Start:I4 H4End:I4 M4End:I4 "
     "H5Start:I4 M5Start:I4 H5End:I4 M5End:I4 H6Start:I4 M6Start:I4 H6End:I4 M6End:I4 "
     "H7Start:I4 M7Start:I4 H7End:I4 M7End:I4 H8Start:I4 M8Start:I4 H8End:I4 M8End:I4",
     "I4", "send one time zone"},
    {46, 46, "sysvexon_SendWeekDiagram", true,
     "EventID:I4:io DiagramNumber:UI1 Zone1:UI1 Zone2:UI1 Zone3:UI1 Zone4:UI1 Zone5:UI1 Zone6:UI1 Zone7:UI1 "
     "Zone8:UI1 Zone9:UI1 Zone10:UI1",
     "I4", "send one week schedule"},
    {47, 47, "sysvexon_SendShiftDiagram", true,
     "EventID:I4:io DiagramNumber:UI1 DayCount:UI1 CurDay:UI1 Days1_3:I4 Days4_6:I4 Days7_9:I4 Days10_12:I4 "
     "Days13_15:I4 Days16_18:I4 Days19_21:I4 Days22_24:I4 Days25_27:I4 Days28_30:I4",
     "I4", "send one shift schedule"},
    {48, 48, "sysvexon_SendClearCardList", true, "EventID:I4:io MakeAdr:I4", "I4",
     "clear the card list of a controller"},
    {49, 49, "sysvexon_SendNormalCard", true,
     "EventID:I4:io MakeAdr:I4 FacilityCode:UI1 CardID:I4 Properties:UI1 Times:UI1 CFacilityCode:UI1 CCardID:I4",
     "I4", "store a normal card"},
    {50, 50, "sysvexon_SendOneTimeCard", true,
     "EventID:I4:io MakeAdr:I4 FacilityCode:UI1 CardID:I4 Enable:UI1 APB:UI1 TimeDiagram:UI1 R1Num:UI1 R2Num:UI1",
     "I4", "store a temporary card"},
    {51, 51, "sysvexon_SendStopListCard", true, "EventID:I4:io MakeAdr:I4 FacilityCode:UI1 CardID:I4", "I4",
     "store a stop-list card"},
    {52, 52, "sysvexon_SendGeneralCard", true, "EventID:I4:io MakeAdr:I4 FacilityCode:UI1 CardID:I4 Enable:UI1",
     "I4", "store a general card"},
    {53, 53, "sysvexon_SendGuardCard", true,
     "EventID:I4:io MakeAdr:I4 FacilityCode:UI1 CardID:I4 Enable:UI1 ShiftDiagram:I4", "I4", "store a guard card"},
    {54, 54, "sysvexon_ClearRegJournal", false, "", "", "empty the registration journal"},
    {55, 55, "sysvexon_GetRegJournal", true, "EventID:I4:io MakeAdr:I4", "I4", "read a controller's stored journal"},
    {56, 56, "sysvexon_GetRegEvent", false,
     "Year:I4:io Month:UI1:io Day:UI1:io Hour:UI1:io Minute:UI1:io Second:UI1:io MakeAdr:I4:io AdrAdd:UI1:io "
     "EventType:UI1:io Event:UI1:io Alarm:UI1:io FacilityCode:UI1:io CardID:I4:io",
     "I4", "take the oldest registration event"},
    {57, 57, "sysvexon_GetRegEventDescription", false, "EventType:UI1 Event:UI1", "BSTR",
     "text of a registration event"},
    {58, 58, "sysvexon_GetMonEventDescription", false, "EventCode:UI1 EventAdd:UI1", "BSTR",
     "text of a monitoring event"},
    {59, 59, "sysvexon_GetServerState", false, "", "I4", "configured and cards loaded?"},
    {60, 60, "sysvexon_GetControllerDesc", false,
     "ControllerNum:I4 b1:UI1:io b2:UI1:io b3:UI1:io b4:UI1:io b5:UI1:io b6:UI1:io b7:UI1:io b8:UI1:io", "I4",
     "8 description bytes of a controller"},
    {61, 61, "sysvexon_GetControllerUSCS", false,
     "ControllerNum:I4 MakeAdr:I4:io USCSChanged:UI1:io USCSValid:UI1:io b1:UI1:io b2:UI1:io b3:UI1:io b4:UI1:io "
     "b5:UI1:io b6:UI1:io b7:UI1:io",
     "I4", "USCS bytes of a controller"},
    {62, 62, "sysvexon_SendTimeZonesBS", true, "EventID:I4:io TimeZones:VARIANT", "I4", "send all 256 time zones"},
    {63, 63, "sysvexon_SendWeekListBS", true, "EventID:I4:io WeekList:VARIANT", "I4", "send all 128 week schedules"},
    {64, 64, "sysvexon_SendShiftListBS", true, "EventID:I4:io ShiftList:VARIANT", "I4", "send all 32 shift schedules"},
    {65, 65, "sysvexon_SendDeviceCardListBS", true, "EventID:I4:io MakeAdr:I4 Cl:VARIANT ClSize:I4", "I4",
     "send a whole card list to a controller"},
    {66, 66, "sysvexon_SendClearCardSegments", true, "EventID:I4:io MakeAdr:I4", "I4",
     "clear the card segments of a controller (or all)"},
    {67, 67, "sysvexon_SendCardSegmentsBS", true, "EventID:I4:io Segmrnts:VARIANT SegmentsCount:I4", "I4",
     "send a segment list given as an array"},
    {68, 68, "sysvexon_LockServer", false, "", "", "set the server lock"},
    {69, 69, "sysvexon_UnLockServer", false, "", "", "clear the server lock"},
    {70, 70, "sysvexon_SetTimerBS", true, "EventID:I4:io DT:DATE", "I4", "set the controllers' clock to a given time"},
    {71, 71, "sysvexon_SendAutDeviceCardListBS", true, "EventID:I4:io MakeAdr:I4 Cl:VARIANT ClSize:I4", "I4",
     "send an autonomous card list"},
    {72, 72, "sysvexon_ClearAutCardListBS", true, "EventID:I4:io MakeAdr:I4", "I4", "clear the autonomous card list"},
    {73, 73, "sysvexon_SendAutRkd", true, "EventID:I4:io MakeAdr:I4 Param1:I4", "I4", "autonomous access mode"},
    {74, 74, "sysvexon_GetRegEventArray", false, "EventArray:VARIANT:io Count:I4:io", "I4",
     "take up to 1024 registration events"},
    {75, 75, "sysvexon_SetAutoAlarmOut", true, "EventID:I4:io MakeAdr:I4 DriverAdr:UI1 OutNumber:UI1", "I4",
     "automatic alarm output"},
    {76, 76, "sysvexon_SendDeviceCardList", true, "AEventID:I4:io AMakeAdr:I4 ACards:VARIANT", "I4",
     "send a checked card list to a controller"},
    {77, 77, "sysvexon_CheckDispatch", false,
     "AIdentifier:BSTR ATimeOut:I4 AReaderName:BSTR ATypeInquery:I4 ADenyReason:BSTR:io AErrorMessage:BSTR:io", "I4",
     "identifier check"},
};

// The inherited application-server interface: its seven operations come
// first in the table of functions and have nothing to serve here.
const char* const kInherited[] = {"AS_ApplyUpdates", "AS_GetRecords", "AS_DataRequest", "AS_GetProviderNames",
                                  "AS_GetParams",    "AS_RowRequest", "AS_Execute"};

TArgType ParseType(const std::string& t) {
  if (t == "I4") return TArgType::I4;
  if (t == "UI1") return TArgType::UI1;
  if (t == "BSTR") return TArgType::BSTR;
  if (t == "DATE") return TArgType::DATE;
  if (t == "VARIANT") return TArgType::VARIANT;
  throw std::logic_error("operation table: unknown type " + t);
}

std::vector<TOpDesc> Build() {
  std::vector<TOpDesc> ops;
  for (int i = 0; i < 7; ++i)
    ops.push_back({0, 20000000 + i, kInherited[i], false, true, "inherited placeholder (not served)", {}});
  for (const TRow& r : kRows) {
    TOpDesc op{r.Number, r.DispId, r.Name, r.Queued, false, r.Summary, {}};
    std::istringstream in(r.Args);
    std::string tok;
    while (in >> tok) {
      const auto a = tok.find(':');
      const auto b = tok.find(':', a + 1);
      const std::string name = tok.substr(0, a);
      const std::string type = tok.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
      const bool io = b != std::string::npos && tok.substr(b + 1) == "io";
      op.Args.push_back({name, ParseType(type), io ? TArgDir::InOut : TArgDir::In});
    }
    if (*r.Value) op.Args.push_back({"Value", ParseType(r.Value), TArgDir::RetVal});
    op.Ref = &OperationReference(r.Number);
    for (const TArgNote& note : op.Ref->Args) {
      bool known = false;
      for (const TArgDesc& a : op.Args) known = known || (a.Name == note.Name && a.Dir != TArgDir::RetVal);
      if (!known) throw std::logic_error("operation table: " + op.Name + " has no argument " + note.Name);
    }
    ops.push_back(std::move(op));
  }
  return ops;
}

}  // namespace

const std::vector<TOpDesc>& OperationTable() {
  static const std::vector<TOpDesc> ops = Build();
  return ops;
}

const TOpDesc* FindOperation(const std::string& name) {
  for (const auto& op : OperationTable())
    if (op.Name == name || (!op.Inherited && op.Name == "sysvexon_" + name)) return &op;
  return nullptr;
}

const char* TypeName(TArgType t) {
  switch (t) {
    case TArgType::I4: return "I4";
    case TArgType::UI1: return "UI1";
    case TArgType::BSTR: return "BSTR";
    case TArgType::DATE: return "DATE";
    case TArgType::VARIANT: return "VARIANT";
  }
  return "?";
}

const char* DirName(TArgDir d) {
  switch (d) {
    case TArgDir::In: return "in";
    case TArgDir::InOut: return "inout";
    case TArgDir::RetVal: return "retval";
  }
  return "?";
}

}  // namespace vexon
