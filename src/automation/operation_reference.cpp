#include "automation/operation_reference.h"

#include <map>
#include <stdexcept>

namespace vexon {

namespace {

using C = std::vector<int32_t>;

// Answer codes of one exchange through the common transaction: the port
// (1, 2), the line (15, 16, 19 to 21, 24 to 26), the reception quality
// (27), the primary controller's broken configuration (13) and an
// autoconfiguration that ended the request (88).
const C kTransact = {0, 1, 2, 13, 15, 16, 19, 20, 21, 24, 25, 26, 27, 88};
// The same, where the transfer looks the controller up again (32).
const C kTransactAdr = {0, 1, 2, 13, 15, 16, 19, 20, 21, 24, 25, 26, 27, 32, 88};
// The same, for a command that names a card by its system index (57, 38).
const C kTransactCard = {0, 1, 2, 13, 15, 16, 19, 20, 21, 24, 25, 26, 27, 38, 57, 88};
// A card list sent block by block: a block too long for one frame (12).
const C kCardList = {0, 1, 2, 12, 13, 15, 16, 19, 20, 21, 24, 25, 26, 27, 32, 88};

const char* const kQueuedResult =
    "Value 0 and EventID the new request's number when queued. The answer (GetCommandState, "
    "GetExtendedCommandState) reads -1 while pending, then the result code of the work";
const char* const kQuality =
    "; Int1, Int2, Int3 are the reception quality (controllers that accepted the command), the number "
    "expected and the number ready, of the last transfer (0, 0, 0 when it failed).";

// A transfer of several records or segments keeps the worst quality.
const char* const kQualityTable =
    "; Int1 is the smallest reception quality over all the record transfers, Int2 and Int3 the number of "
    "controllers expected and the number ready of the last transfer (0, 0, 0 when it failed).";
const char* const kQualitySegments =
    "; Int1 is the smallest reception quality over all the segment transfers (and the clearing before them "
    "when too few controllers accepted it), Int2 and Int3 the number of controllers expected and the number "
    "ready of the last transfer (0, 0, 0 when it failed).";

std::string Queued(const std::string& more = kQuality) { return kQueuedResult + more; }

const std::map<std::string, std::string>& CommonNotes() {
  static const std::map<std::string, std::string> notes = {
      {"EventID", "[in,out] the request number: set to the new request's number when Value is 0, left as passed "
                  "otherwise (may be left out)"},
      {"AEventID", "[in,out] the request number: set to the new request's number when Value is 0, left as passed "
                   "otherwise (may be left out)"},
      {"MakeAdr", "factory address of a controller, 0..65535; 0 = every controller. Outside 0..65535 the call "
                  "fails with an RPC error"},
      {"AMakeAdr", "factory address of a controller, 0..65535; 0 = every controller"},
      {"DriverAdr", "driver 0..4 (else 33); the command's channel byte is DriverAdr x 16 + the channel number"},
      {"FacilityCode", "facility (series) code of the card, 0..255"},
      {"CardID", "card number, 0..65535 (outside it the call fails with an RPC error); with FacilityCode it "
                 "must fall in a sent card segment (else 57)"},
      {"ControllerNum", "position in the controller list, 1..GetControllerCount (else 32)"},
      {"ReaderNumber", "reader 0 or 1 (else 41)"},
      {"AdditionAdr", "with MakeAdr > 0 a reader: 0, 1, or 255 for both (else 41); with MakeAdr -1 a zone "
                      "0..127 (else 42); ignored for MakeAdr 0 or below -1 (the whole system)"},
  };
  return notes;
}

// MakeAdr of the access-mode operations.
const TArgNote kAccessMakeAdr = {
    "MakeAdr", "factory address > 0: one controller (else 32); -1: a zone of the whole system (AdditionAdr is "
               "the zone); 0 or below -1: the whole system"};

std::map<int, TOpReference> Build() {
  std::map<int, TOpReference> r;
  r[1] = {"Opens the serial port COM<PortNumber> to the primary controller (the device is mapped with --port "
          "COMn=PATH or [Ports] in the settings file; default /dev/ttyS<n-1>): 9600 baud, 8 data bits, even "
          "parity, 1 stop bit, opened exclusively. Only one port is open at a time.",
          {{"PortNumber", "port number n of COMn; not range-checked (a port with no device gives 4)"}},
          "Value 0 when the port is open; the operator window then shows COM<n>.",
          {0, 3, 4, 5, 6, 7, 8},
          {},
          "OpenSerialPort PortNumber=1"};
  r[2] = {"Closes the serial port. Queued requests stay; the ones carried out while it is closed answer 2.",
          {},
          "Value 0 when the port was open and is now closed.",
          {0, 1, 9, 10},
          {},
          "CloseSerialPort"};
  r[3] = {"Reports which port is open.",
          {{"PortNumber", "[in,out] always written: the open port's number when Value is 0, otherwise 0"}},
          "Value 0 when a port is open, else the port's state (1 never opened, 2 closed).",
          {0, 1, 2},
          {},
          "GetOpenSerialPortNumber"};
  r[4] = {"Gives the Russian text of a result code. Codes 91 to 96 name the card of the last failed card-list "
          "preparation; an undefined code gives \"Неизвестная ошибка.\".",
          {{"Code", "any result code"}},
          "Value is the text (a string); never fails.",
          {},
          {},
          "GetErrorDescription Code=31"};
  r[5] = {"Finds the controllers behind the primary controller and replaces the controller list with them, then "
          "reads every controller's status. Every request still queued is destroyed first and its answer becomes "
          "88, that of an Autoconfig still queued too. Works also before any configuration; the list is saved in new_sys.bin.",
          {},
          Queued("; Int1, Int2, Int3 are 0. The result is that of the last exchange, so a failed status read of the "
                 "last controller shows although the list was built."),
          {0, 11},
          {0, 1, 2, 15, 16, 19, 20, 21, 24, 25, 26, 29, 30, 88},
          "--wait Autoconfig"};
  r[6] = {"Reads the state of a queued request's answer without removing it.",
          {{"EventID", "the number a queued operation returned"}},
          "Value -1 while the request is pending, then the result code of the work; 14 when no answer has this "
          "number (never queued, already released, or a SetCardZone request, which leaves none).",
          {-1, 0, 14},
          {},
          "GetCommandState EventID=7"};
  r[7] = {"Releases the answer of a request. Call it once the answer has been read, so answers do not pile up.",
          {{"EventID", "the number a queued operation returned; an unknown number is ignored"}},
          "Nothing.",
          {},
          {},
          "DeleteAnswer EventID=7"};
  r[8] = {"Reports how many controllers the last autoconfiguration found.",
          {{"Cnt", "[in,out] the number of controllers, written when Value is 0"}},
          "Value 0 and Cnt.",
          {0, 31},
          {},
          "GetControllerCount"};
  r[9] = {"Reports the addresses and kind of one controller of the controller list.",
          {{"ControllerNum", ""},
           {"_SysAdr", "[in,out] system address (0 = the primary controller)"},
           {"_MakeAdr", "[in,out] factory address"},
           {"_Primary", "[in,out] 1 for the primary controller"},
           {"_Modem", "[in,out] 1 for a controller behind a modem (second-level address not 0)"},
           {"_DrvCount", "[in,out] number of drivers, 0..4"},
           {"_Hub", "[in,out] 1 for a hub"},
           {"_SecondLevelAdr", "[in,out] second-level address, 0..15"}},
          "Value 0 and the out arguments; they are written only when Value is 0.",
          {0, 31, 32},
          {},
          "GetControllerInfo ControllerNum=1"};
  r[10] = {"Reports one driver (extension board) of one controller: its address, type and resources.",
           {{"ControllerNum", ""},
            {"DriverNum", "driver slot 1..4, checked first (else 33)"},
            {"_DrvAdr", "[in,out] driver address 1..4"},
            {"_DrvType", "[in,out] driver type"},
            {"_DrvInp", "[in,out] test inputs"},
            {"_DrvOut", "[in,out] relay outputs"},
            {"_DrvWOut", "[in,out] service outputs"},
            {"_DrvIm", "[in,out] lock mechanisms"}},
           "Value 0 and the out arguments; 34 when the slot holds no driver.",
           {0, 31, 32, 33, 34},
           {},
           "GetDriverInfo ControllerNum=1 DriverNum=1"};
  r[11] = {"Switches the monitoring poll on: the communication thread asks the primary controller for its status "
           "and monitoring records every cycle and appends the events to the monitoring journal. The first pass "
           "starts again.",
           {},
           "Nothing.",
           {},
           {},
           "StartMonitoring"};
  r[12] = {"Switches the monitoring poll off; the journal keeps its events.", {}, "Nothing.", {}, {},
           "StopMonitoring"};
  r[13] = {"Takes (removes) the oldest event of the monitoring journal. Clients that only follow the events "
           "use the monitoring event stream instead (vexonctl watch), which takes nothing.",
           {{"Year", "[in,out] year"},
            {"Month", "[in,out] month 1..12"},
            {"Day", "[in,out] day 1..31"},
            {"Hour", "[in,out] hour"},
            {"Minute", "[in,out] minute"},
            {"Second", "[in,out] second"},
            {"MakeAdr", "[in,out] factory address of the controller that reported it"},
            {"AdrAdd", "[in,out] reader, driver channel or other sub-address of the event"},
            {"EventCode", "[in,out] event code (text from GetMonEventDescription)"},
            {"EventAdd", "[in,out] additional code"},
            {"CardID", "[in,out] card number, for card events"},
            {"FacilityCode", "[in,out] facility code, for card events"}},
           "Value 0 and every out argument written from the event; 35, nothing written, when the journal is empty.",
           {0, 35},
           {},
           "GetMonEvent"};
  r[14] = {"Deletes every event of the monitoring journal.", {}, "Nothing.", {}, {}, "ClearMonJournal"};
  r[15] = {"Empties the pending segment list that SetCardSegment fills. The active segments (those sent) are "
           "untouched.",
           {},
           "Nothing.",
           {},
           {},
           "ClearCardSegments"};
  r[16] = {"Adds one card segment (a facility code and a range of card numbers) to the pending segment list, at "
           "most 32. SendCardSegments then numbers and sends the list. No configuration needed.",
           {{"FacilityCode", ""},
            {"FirstCard", "first card number, 0..65535 (else the call fails with an RPC error)"},
            {"LastCard", "last card number, FirstCard..65535; below FirstCard gives 38 (checked first)"}},
           "Value 0 when added.",
           {0, 36, 37, 38},
           {},
           "SetCardSegment FacilityCode=12 FirstCard=1000 LastCard=1049"};
  r[17] = {"Numbers the pending segments (each gets its position and a first system index following the ones "
           "before it) and queues their transfer to every controller. When the transfer succeeds the segments "
           "become the active segment list, saved in cards.bin.",
           {{"EventID", ""}},
           Queued(kQualitySegments),
           {0, 11, 36, 39},
           kTransact,
           "--wait SendCardSegments"};
  r[18] = {"Reads the state of a queued request's answer and its three result integers, without removing it.",
           {{"EventID", "the number a queued operation returned"},
            {"Int1", "[in,out] first result integer (for most commands the reception quality; GetCardZone: the "
                     "zone read)"},
            {"Int2", "[in,out] second result integer (the number of controllers expected)"},
            {"Int3", "[in,out] third result integer (the number of controllers ready)"}},
           "Value as GetCommandState; Int1 to Int3 written only when the answer exists.",
           {-1, 0, 14},
           {},
           "GetExtendedCommandState EventID=7"};
  r[19] = {"Sets the zone of one reader of a controller. When the command succeeds the zone is also stored in the "
           "controller list (new_sys.bin), where zone-wide commands count the controllers of a zone.",
           {{"EventID", ""},
            {"MakeAdr", ""},
            {"ReaderNumber", ""},
            {"ZoneNumber", "zone 0..127 (else 42)"}},
           Queued(),
           {0, 11, 31, 32, 41, 42},
           kTransact,
           "--wait SetReaderZone MakeAdr=564 ReaderNumber=0 ZoneNumber=3"};
  r[20] = {"Sets every controller's clock to the server's local date and time. Needs no configuration; a closed "
           "port shows in the answer.",
           {{"EventID", ""}},
           Queued(),
           {0, 11},
           kTransact,
           "--wait SetTimer"};
  r[21] = {"Resets the settings of one controller, or of all, to their defaults.",
           {{"EventID", ""}, {"MakeAdr", ""}},
           Queued(),
           {0, 11, 31, 32},
           kTransact,
           "--wait ClearToDefault MakeAdr=564"};
  r[22] = {"Sends the settings of one reader: its type, whether the door opens on a card alone, PIN entry and "
           "the lock mechanisms it drives.",
           {{"EventID", ""},
            {"MakeAdr", ""},
            {"ReaderNumber", ""},
            {"ReaderType", "0..2 (else 43)"},
            {"EnterOnCardPresent", "not 0: bit 7 of the reader byte"},
            {"PinCode", "not 0: PIN entry (bit 4)"},
            {"ImMask", "lock mechanisms driven, bits 0..3 (used when ReaderType is not 0)"},
            {"Time", "sent as given"}},
           Queued(),
           {0, 11, 31, 32, 41, 43},
           kTransact,
           "--wait SetReaderParameters MakeAdr=564 ReaderNumber=0 ReaderType=1 EnterOnCardPresent=1 PinCode=0 "
           "ImMask=1 Time=5"};
  r[23] = {"Sends the settings of one lock mechanism: power and opening behaviour, times, the inputs and outputs "
           "tied to it and its schedules. Flags count only when exactly 1.",
           {{"EventID", ""},
            {"MakeAdr", ""},
            {"DriverAdr", ""},
            {"ImNumber", "mechanism; its low three bits must be 1 or 2 (else 44)"},
            {"ClosePower", "flag"},
            {"CloseAfterOpen", "flag"},
            {"NormalOpen", "flag"},
            {"OpenTime", "0..31 (else 45)"},
            {"Trigger", "flag"},
            {"TriggerTime", "0..127 (else 46)"},
            {"MaxOpenTime", "sent as given"},
            {"OutActiveForOpen", "0..15 (else 47)"},
            {"InpNoAnalyzeForOpen", "0..15 (else 47)"},
            {"NoAnalyzeTime", "sent as given"},
            {"InpForAutoOpen", "0..15 (else 47)"},
            {"InpForAutoClose", "0..15 (else 47)"},
            {"PDUWeek", "flag"},
            {"AutoOpenWeek", "flag"},
            {"PDUTimeZoneNum", "sent as given"},
            {"AutoTimeZoneNum", "sent as given"}},
           Queued(),
           {0, 11, 31, 32, 33, 44, 45, 46, 47},
           kTransact,
           "--wait SetImParameters MakeAdr=564 DriverAdr=2 ImNumber=1 ClosePower=1 CloseAfterOpen=1 NormalOpen=0 "
           "OpenTime=5 Trigger=0 TriggerTime=0 MaxOpenTime=30 OutActiveForOpen=0 InpNoAnalyzeForOpen=1 "
           "NoAnalyzeTime=10 InpForAutoOpen=0 InpForAutoClose=0 PDUWeek=0 AutoOpenWeek=0 PDUTimeZoneNum=0 "
           "AutoTimeZoneNum=0"};
  r[24] = {"Sends the settings of one test input: normal state, shunting, the outputs and inputs tied to it and "
           "how and when it is monitored.",
           {{"EventID", ""},
            {"MakeAdr", ""},
            {"DriverAdr", ""},
            {"InpNumber", "input; its low three bits must be 1..4 (else 48)"},
            {"NormalOpen", "flag"},
            {"NoAnalyzeTime", "0..127 (else 49)"},
            {"OutActiveForInp", "0..15 (else 47)"},
            {"InpNoAnalyzeForInp", "0..15 (else 47)"},
            {"Week", "flag"},
            {"AnalyzeType", "0..3 (else 50)"},
            {"AnalyzeTimeZone", "sent as given"}},
           Queued(),
           {0, 11, 31, 32, 33, 47, 48, 49, 50},
           kTransact,
           "--wait SetInpParameters MakeAdr=564 DriverAdr=2 InpNumber=1 NormalOpen=0 NoAnalyzeTime=5 "
           "OutActiveForInp=0 InpNoAnalyzeForInp=0 Week=0 AnalyzeType=1 AnalyzeTimeZone=0"};
  r[25] = {"Sends the settings of one relay output: normal state, activation time and type and its schedule.",
           {{"EventID", ""},
            {"MakeAdr", ""},
            {"DriverAdr", ""},
            {"OutNumber", "output; its low three bits must be 1..4 (else 51)"},
            {"NormalClose", "flag"},
            {"ActivateTime", "0..127 (else 52)"},
            {"Week", "flag"},
            {"ActivateType", "0..3 (else 53)"},
            {"AutoactiveTimeZone", "sent as given"}},
           Queued(),
           {0, 11, 31, 32, 33, 51, 52, 53},
           kTransact,
           "--wait SetOutParameters MakeAdr=564 DriverAdr=2 OutNumber=1 NormalClose=0 ActivateTime=10 Week=0 "
           "ActivateType=1 AutoactiveTimeZone=0"};
  r[26] = {"Sends the settings of one service output and its reactions to eight kinds of event.",
           {{"EventID", ""},
            {"MakeAdr", ""},
            {"DriverAdr", ""},
            {"WOutNumber", "service output 1..4 (else 54)"},
            {"Info", "bits 4..6, read as a number, 0..2 (else 55)"},
            {"Settings", "sent as given"},
            {"Reaction1", "sent as given (Reaction1..Reaction8 alike)"}},
           Queued(),
           {0, 11, 31, 32, 33, 54, 55},
           kTransact,
           "--wait SetWOutParameters MakeAdr=564 DriverAdr=2 WOutNumber=1 Info=0 Settings=0 Reaction1=1 Reaction2=0 "
           "Reaction3=0 Reaction4=0 Reaction5=0 Reaction6=0 Reaction7=0 Reaction8=0"};
  r[27] = {"Sends what raises the alarm generator of an output: a card, a state, or one of two inputs.",
           {{"EventID", ""},
            {"MakeAdr", ""},
            {"DriverAdr", ""},
            {"OutNumber", "output 0..4 (else 51)"},
            {"OnCard", "sent as given"},
            {"OnState", "sent as given"},
            {"OnInp1", "sent as given"},
            {"OnInp2", "sent as given"}},
           Queued(),
           {0, 11, 31, 32, 33, 51},
           kTransact,
           "--wait SetAlarmGenParameters MakeAdr=564 DriverAdr=2 OutNumber=1 OnCard=0 OnState=1 OnInp1=0 OnInp2=0"};
  r[28] = {"Sets a system access mode (РКД) with its two property bytes, at one controller and reader, a zone "
           "or the whole system.",
           {{"EventID", ""},
            kAccessMakeAdr,
            {"AdditionAdr", ""},
            {"RKDCode", "2 (system control) or 3 (guard) (else 56)"},
            {"Property1", "sent as given"},
            {"Property2", "sent as given"}},
           Queued(),
           {0, 11, 31, 32, 41, 42, 56},
           kTransact,
           "--wait SetSystemRKDwithProperties MakeAdr=564 AdditionAdr=255 RKDCode=2 Property1=0 Property2=0"};
  r[29] = {"Sets autonomous control with its two property bytes, at one controller and reader, a zone or the "
           "whole system.",
           {{"EventID", ""},
            kAccessMakeAdr,
            {"AdditionAdr", ""},
            {"Property1", "sent as given"},
            {"Property2", "sent as given"}},
           Queued(),
           {0, 11, 31, 32, 41, 42},
           kTransact,
           "--wait SetAutoRKDwithProperties MakeAdr=564 AdditionAdr=0 Property1=0 Property2=0"};
  r[30] = {"Sets the access mode (РКД): 0 open, 1 autonomous control, 2 system control, 3 guard, 4 closed; at one "
           "controller and reader, a zone or the whole system.",
           {{"EventID", ""}, kAccessMakeAdr, {"AdditionAdr", ""}, {"RKDCode", "0..4 (else 56)"}},
           Queued(),
           {0, 11, 31, 32, 41, 42, 56},
           kTransact,
           "--wait SetRKD MakeAdr=564 AdditionAdr=255 RKDCode=2"};
  r[31] = {"Opens a lock mechanism (a door) now.",
           {{"EventID", ""}, {"MakeAdr", ""}, {"DriverAdr", ""}, {"ImNumber", "mechanism 1 or 2 (else 44)"}},
           Queued(),
           {0, 11, 31, 32, 33, 44},
           kTransact,
           "--wait OpenIm MakeAdr=564 DriverAdr=2 ImNumber=1"};
  r[32] = {"Closes a lock mechanism now.",
           {{"EventID", ""}, {"MakeAdr", ""}, {"DriverAdr", ""}, {"ImNumber", "mechanism 1 or 2 (else 44)"}},
           Queued(),
           {0, 11, 31, 32, 33, 44},
           kTransact,
           "--wait CloseIm MakeAdr=564 DriverAdr=2 ImNumber=1"};
  r[33] = {"Raises the alarm at one controller and reader, a zone or the whole system.",
           {{"EventID", ""}, kAccessMakeAdr, {"AdditionAdr", ""}},
           Queued(),
           {0, 11, 31, 32, 41, 42},
           kTransact,
           "--wait SetAlarm MakeAdr=564 AdditionAdr=255"};
  r[34] = {"Clears the alarm at one controller and reader, a zone or the whole system.",
           {{"EventID", ""}, kAccessMakeAdr, {"AdditionAdr", ""}},
           Queued(),
           {0, 11, 31, 32, 41, 42},
           kTransact,
           "--wait ClearAlarm MakeAdr=564 AdditionAdr=255"};
  r[35] = {"Activates a relay output.",
           {{"EventID", ""},
            {"MakeAdr", ""},
            {"DriverAdr", ""},
            {"OutNumber", "output 1..4 (else 51)"},
            {"ActivateType", "sent as given"}},
           Queued(),
           {0, 11, 31, 32, 33, 51},
           kTransact,
           "--wait SetOut MakeAdr=564 DriverAdr=2 OutNumber=1 ActivateType=1"};
  r[36] = {"Releases a relay output.",
           {{"EventID", ""},
            {"MakeAdr", ""},
            {"DriverAdr", ""},
            {"OutNumber", "output 1..4 (else 51; zero and negative values too)"}},
           Queued(),
           {0, 11, 31, 32, 33, 51},
           kTransact,
           "--wait ClearOut MakeAdr=564 DriverAdr=2 OutNumber=1"};
  r[37] = {"Records the zone a card is in, in every controller (for location checks). When it succeeds the server "
           "keeps the zone too. The request leaves no answer: GetCommandState reads -1 while it waits, then 14.",
           {{"EventID", ""}, {"FacilityCode", ""}, {"CardID", ""}, {"ZoneNumber", "zone 0..127 (else 42)"}},
           kQueuedResult + std::string("; once carried out the answer is dropped (14)."),
           {0, 11, 31, 38, 42, 57, 68},
           {},
           "SetCardZone FacilityCode=12 CardID=1001 ZoneNumber=3"};
  r[38] = {"Blocks (Enable 0) or unblocks (Enable not 0) a card in every controller. For 10 seconds after a "
           "block, the monitoring reports of that card that the block itself causes are kept out of the journal.",
           {{"EventID", ""}, {"Enable", "0 block, anything else unblock"}, {"FacilityCode", ""}, {"CardID", ""}},
           Queued("; unblocking keeps the three transfer numbers in Int1 to Int3, blocking leaves 0, 0, 0."),
           {0, 11, 31, 38, 57, 68},
           kTransactCard,
           "--wait SetEnableCard Enable=0 FacilityCode=12 CardID=1001"};
  r[39] = {"Permits one pass at a reader now.",
           {{"EventID", ""}, {"MakeAdr", ""}, {"ReaderNumber", ""}},
           Queued(),
           {0, 11, 31, 32, 41},
           kTransact,
           "--wait PermitPass MakeAdr=564 ReaderNumber=0"};
  r[40] = {"Prohibits the pass at a reader now.",
           {{"EventID", ""}, {"MakeAdr", ""}, {"ReaderNumber", ""}},
           Queued(),
           {0, 11, 31, 32, 41},
           kTransact,
           "--wait ProhibitPass MakeAdr=564 ReaderNumber=0"};
  r[41] = {"Asks the primary controller which zone a card is in.",
           {{"EventID", ""}, {"FacilityCode", ""}, {"CardID", ""}},
           kQueuedResult + std::string("; Int1 is the zone read (0 when the exchange failed), Int2 and Int3 are 0."),
           {0, 11, 31, 38, 57, 68},
           kTransactCard,
           "--wait GetCardZone FacilityCode=12 CardID=1001"};
  r[42] = {"Sets the 96 bytes of the calendar buffer (12 months of 8 bytes) to 0. The buffer is the server's "
           "only and is not saved.",
           {},
           "Nothing.",
           {},
           {},
           "ClearCalendarBuf"};
  r[43] = {"Stores the 8 bytes of one month in the calendar buffer; SendCalendar sends the whole buffer. No "
           "configuration needed.",
           {{"Month", "1..12 (else 58, the buffer unchanged)"}, {"b1", "b1..b8: the month's bytes, stored as given"}},
           "Value 0 when stored.",
           {0, 58},
           {},
           "PrepareCalendarBuf Month=1 b1=1 b2=0 b3=0 b4=0 b5=0 b6=0 b7=0 b8=0"};
  r[44] = {"Sends the calendar buffer (as it is now) to every controller.",
           {{"EventID", ""}},
           Queued(),
           {0, 11, 31},
           kTransact,
           "--wait SendCalendar"};
  r[45] = {"Sends one time zone: eight intervals of the day, each a start and an end given as hour and minute "
           "(H1Start, M1Start, H1End, M1End ... H8End, M8End). Hours and minutes are not checked; each interval "
           "is packed in three bytes (start and end in minutes of the day).",
           {{"EventID", ""},
            {"ZoneNumber", "the time zone, sent as given"},
            {"H1Start", "hours and minutes of the eight intervals; a start or end above 65535 minutes, or a start "
                        "and end that do not fit three bytes, fail the call with an RPC error"}},
           Queued(),
           {0, 11, 31},
           kTransact,
           "--wait SendTimeZone ZoneNumber=1 H1Start=8 M1Start=0 H1End=17 M1End=30 H2Start=0 M2Start=0 H2End=0 "
           "M2End=0 H3Start=0 M3Start=0 H3End=0 M3End=0 H4Start=0 M4Start=0 H4End=0 M4End=0 H5Start=0 M5Start=0 "
           "H5End=0 M5End=0 H6Start=0 M6Start=0 H6End=0 M6End=0 H7Start=0 M7Start=0 H7End=0 M7End=0 H8Start=0 "
           "M8Start=0 H8End=0 M8End=0"};
  r[46] = {"Sends one week schedule: the time zones of the days of the week (Zone1..Zone10).",
           {{"EventID", ""},
            {"DiagramNumber", "0..127 (else 59)"},
            {"Zone1", "Zone1..Zone10: time-zone numbers, sent as given"}},
           Queued(),
           {0, 11, 31, 59},
           kTransact,
           "--wait SendWeekDiagram DiagramNumber=1 Zone1=1 Zone2=1 Zone3=1 Zone4=1 Zone5=1 Zone6=0 Zone7=0 Zone8=0 "
           "Zone9=0 Zone10=0"};
  r[47] = {"Sends one shift schedule: its length in days, the current day and one byte per day, three days per "
           "argument (Days1_3 .. Days28_30, least significant byte first).",
           {{"EventID", ""},
            {"DiagramNumber", "0..31 (else 60)"},
            {"DayCount", "1..30 (else 61)"},
            {"CurDay", "1..DayCount (else 62)"},
            {"Days1_3", "Days1_3..Days28_30: three day bytes each, low byte first; negative fails the call"}},
           Queued(),
           {0, 11, 31, 60, 61, 62},
           kTransact,
           "--wait SendShiftDiagram DiagramNumber=1 DayCount=4 CurDay=1 Days1_3=65793 Days4_6=0 Days7_9=0 "
           "Days10_12=0 Days13_15=0 Days16_18=0 Days19_21=0 Days22_24=0 Days25_27=0 Days28_30=0"};
  r[48] = {"Clears the whole card list of one controller (or of all).",
           {{"EventID", ""}, {"MakeAdr", ""}},
           Queued("; Int1, Int2, Int3 are 0."),
           {0, 11, 31, 32},
           kTransactAdr,
           "--wait SendClearCardList MakeAdr=564"};
  r[49] = {"Stores one normal card in a controller's card list, with its time criterion (week or shift schedule) "
           "and an optional commissioning: a second card or a PIN code.",
           {{"EventID", ""},
            {"MakeAdr", ""},
            {"FacilityCode", ""},
            {"CardID", ""},
            {"Properties", "property byte; bits 0..1 the time type, 3 refused (63); bit 5 commissioning, bit 4 by "
                           "card (else by PIN)"},
            {"Times", "schedule number: type 1 0..127 (else 59), type 2 0..31 (else 60)"},
            {"CFacilityCode", "facility code of the commissioning card (bits 5 and 4 set)"},
            {"CCardID", "commissioning card, a system card (else 65); or a PIN 0..9999 (else 66)"}},
           Queued(),
           {0, 11, 31, 32, 38, 57, 59, 60, 63, 65, 66, 68},
           kTransact,
           "--wait SendNormalCard MakeAdr=564 FacilityCode=12 CardID=1001 Properties=1 Times=1 CFacilityCode=0 "
           "CCardID=0"};
  r[50] = {"Stores one temporary card, valid for a limited number of presentations at the two readers.",
           {{"EventID", ""},
            {"MakeAdr", ""},
            {"FacilityCode", ""},
            {"CardID", ""},
            {"Enable", "not 0: enabled"},
            {"APB", "not 0: anti-passback"},
            {"TimeDiagram", "schedule, sent as given"},
            {"R1Num", "presentations at reader 0, 0..15 (else 64)"},
            {"R2Num", "presentations at reader 1, 0..15 (else 64)"}},
           Queued(),
           {0, 11, 31, 32, 38, 57, 64, 68},
           kTransact,
           "--wait SendOneTimeCard MakeAdr=564 FacilityCode=12 CardID=1002 Enable=1 APB=0 TimeDiagram=1 R1Num=3 "
           "R2Num=3"};
  r[51] = {"Puts one card on a controller's stop list: it is refused and reported.",
           {{"EventID", ""}, {"MakeAdr", ""}, {"FacilityCode", ""}, {"CardID", ""}},
           Queued(),
           {0, 11, 31, 32, 38, 57, 68},
           kTransact,
           "--wait SendStopListCard MakeAdr=564 FacilityCode=12 CardID=1040"};
  r[52] = {"Stores one general card (no time criterion) in a controller's card list.",
           {{"EventID", ""}, {"MakeAdr", ""}, {"FacilityCode", ""}, {"CardID", ""}, {"Enable", "not 0: enabled"}},
           Queued(),
           {0, 11, 31, 32, 38, 57, 68},
           kTransact,
           "--wait SendGeneralCard MakeAdr=564 FacilityCode=12 CardID=1003 Enable=1"};
  r[53] = {"Stores one guard card, tied to a shift schedule, in a controller's card list.",
           {{"EventID", ""},
            {"MakeAdr", ""},
            {"FacilityCode", ""},
            {"CardID", ""},
            {"Enable", "not 0: enabled"},
            {"ShiftDiagram", "shift schedule 0..31 (else 60; negative fails the call)"}},
           Queued(),
           {0, 11, 31, 32, 38, 57, 60, 68},
           kTransact,
           "--wait SendGuardCard MakeAdr=564 FacilityCode=12 CardID=1004 Enable=1 ShiftDiagram=1"};
  r[54] = {"Empties the server's registration journal; nothing is sent to the controllers. Fails with an RPC "
           "error, clearing nothing, when the clear cannot be written to buffer.log.",
           {},
           "Nothing.",
           {},
           {},
           "ClearRegJournal"};
  r[55] = {"Reads a controller's stored registration journal (or every controller's) page by page into the "
           "server's registration journal. Each page is on disk (buffer.log) before the controller is told to "
           "delete it. Other requests overtake the read between pages.",
           {{"EventID", ""}, {"MakeAdr", ""}},
           Queued("; Int1, Int2, Int3 are 0. 0 also when the journal was full and nothing was read."),
           {0, 11, 31, 32},
           {0, 1, 2, 13, 15, 16, 19, 20, 21, 22, 24, 25, 26, 32, 36, 88},
           "--wait GetRegJournal MakeAdr=564"};
  r[56] = {"Takes (removes) the oldest event of the registration journal. The take is written to buffer.log "
           "first; when it cannot be, the call fails with an RPC error and the event stays.",
           {{"Year", "[in,out] year"},
            {"Month", "[in,out] month"},
            {"Day", "[in,out] day"},
            {"Hour", "[in,out] hour"},
            {"Minute", "[in,out] minute"},
            {"Second", "[in,out] second"},
            {"MakeAdr", "[in,out] factory address of the controller"},
            {"AdrAdd", "[in,out] reader or sub-address"},
            {"EventType", "[in,out] 1 access, 2 access mode, 3 input/output, 5 system, 255 undecodable"},
            {"Event", "[in,out] event code (text from GetRegEventDescription)"},
            {"Alarm", "[in,out] 1 for an alarm, else 0"},
            {"FacilityCode", "[in,out] facility code"},
            {"CardID", "[in,out] card number"}},
           "Value 0 and every out argument written; 67, nothing written, when the journal is empty.",
           {0, 67},
           {},
           "GetRegEvent"};
  r[57] = {"Gives the Russian text of a registration event.",
           {{"EventType", "event type"}, {"Event", "event code"}},
           "Value is the text; never fails.",
           {},
           {},
           "GetRegEventDescription EventType=1 Event=1"};
  r[58] = {"Gives the Russian text of a monitoring event.",
           {{"EventCode", "event code"}, {"EventAdd", "additional code"}},
           "Value is the text; never fails.",
           {},
           {},
           "GetMonEventDescription EventCode=2 EventAdd=3"};
  r[59] = {"Tells whether the server is ready for card work: configured, and system card segments sent.",
           {},
           "Value 0 when configured with card segments, 31 when not configured, 68 when no segments are active.",
           {0, 31, 68},
           {},
           "GetServerState"};
  r[60] = {"Reports the 8 raw descriptor bytes that autoconfiguration received for a controller. Only an "
           "autoconfiguration of the running server fills them; otherwise the call fails with an RPC error.",
           {{"ControllerNum", ""}, {"b1", "[in,out] b1..b8: the descriptor bytes, b1 first"}},
           "Value 0 and b1 to b8.",
           {0, 31, 32},
           {},
           "GetControllerDesc ControllerNum=1"};
  r[61] = {"Reports a controller's status block (USCS) as the monitoring poll last read it. The changed flag is "
           "cleared by the call, so a second call reports 0 until the next change.",
           {{"ControllerNum", ""},
            {"MakeAdr", "[in,out] factory address"},
            {"USCSChanged", "[in,out] 1 when the block changed since the last call"},
            {"USCSValid", "[in,out] 1 when the block is valid"},
            {"b1", "[in,out] b1..b7: the status bytes"}},
           "Value 0 and the out arguments.",
           {0, 31, 32},
           {},
           "GetControllerUSCS ControllerNum=1"};
  r[62] = {"Sends all 256 time zones at once from a two-dimensional array [0..255, 1..24]: the low byte of each "
           "element, row after row.",
           {{"EventID", ""},
            {"TimeZones", "array of rows 0..255 and columns 1..24 (smaller fails the call with an RPC error)"}},
           Queued(kQualityTable),
           {0, 11, 31},
           kTransact,
           "--wait SendTimeZonesBS TimeZones=@timezones.json"};
  r[63] = {"Sends all 128 week schedules at once from a two-dimensional array [0..127, 1..10].",
           {{"EventID", ""}, {"WeekList", "array of rows 0..127 and columns 1..10"}},
           Queued(kQualityTable),
           {0, 11, 31},
           kTransact,
           "--wait SendWeekListBS WeekList=@weeks.json"};
  r[64] = {"Sends all 32 shift schedules at once from a two-dimensional array [0..31, 1..32].",
           {{"EventID", ""}, {"ShiftList", "array of rows 0..31 and columns 1..32"}},
           Queued(kQualityTable),
           {0, 11, 31},
           kTransact,
           "--wait SendShiftListBS ShiftList=@shifts.json"};
  r[65] = {"Sends a whole card list to a controller as given, 20 cards per block, one block per step of the "
           "communication thread, so other requests overtake it between blocks. Each row is one card entry: its "
           "system index (column 1 + 256 x column 2) and four bytes (columns 3 to 6), not checked.",
           {{"EventID", ""},
            {"MakeAdr", "factory address; not looked up here (an unknown one fails the transfer with 32)"},
            {"Cl", "array of ClSize rows (from 1) of 6 columns; a system index of 65536 or more fails the call "
                   "with an RPC error"},
            {"ClSize", "rows to send; 0 or less sends an empty list"}},
           Queued(),
           {0, 11, 31, 68},
           kCardList,
           "--wait SendDeviceCardListBS MakeAdr=564 Cl=@cards.csv ClSize=10"};
  r[66] = {"Clears the card segments of one controller (or of all, MakeAdr 0). The server's active segment list "
           "is emptied and saved in any case.",
           {{"EventID", ""}, {"MakeAdr", ""}},
           Queued(),
           {0, 11, 31, 32},
           kTransactAdr,
           "--wait SendClearCardSegments MakeAdr=0"};
  r[67] = {"Sends a segment list given as an array instead of the pending list; on success it becomes the active "
           "segment list (cards.bin).",
           {{"EventID", ""},
            {"Segmrnts", "array [1..SegmentsCount, 1..9]: segment number, facility code, first card (low, high), "
                         "last card (low, high), first index (low, high), and 1 for not sent; a reversed range "
                         "gives 38"},
            {"SegmentsCount", "rows; 0 or less queues an empty list"}},
           Queued(kQualitySegments),
           {0, 11, 31, 38},
           kTransact,
           "--wait SendCardSegmentsBS Segmrnts=@segments.json SegmentsCount=1"};
  r[68] = {"Sets the server lock for one hour (a second call restarts the hour): requests are carried out even "
           "while the primary controller reports a broken configuration.",
           {},
           "Nothing.",
           {},
           {},
           "LockServer"};
  r[69] = {"Clears the server lock.", {}, "Nothing.", {}, {}, "UnLockServer"};
  r[70] = {"Sets every controller's clock to the date and time given. Needs no configuration.",
           {{"EventID", ""}, {"DT", "date-time: days since 1899-12-30, or an ISO 8601 local date-time"}},
           Queued(),
           {0, 11},
           kTransact,
           "--wait SetTimerBS DT=2026-12-08T09:00:00"};
  r[71] = {"Sends an autonomous card list to a controller, 40 entries of three bytes (columns 1 to 3) per block, "
           "one block per step. A controller with a merged second driver is answered at once (0, 1, 1, 1) "
           "without traffic.",
           {{"EventID", ""},
            {"MakeAdr", ""},
            {"Cl", "array of ClSize rows (from 1) of 3 columns"},
            {"ClSize", "rows to send; 0 or less sends an empty list"}},
           Queued(),
           {0, 11, 31, 68},
           kCardList,
           "--wait SendAutDeviceCardListBS MakeAdr=564 Cl=@autcards.csv ClSize=5"};
  r[72] = {"Clears the autonomous card list of a controller.",
           {{"EventID", ""}, {"MakeAdr", ""}},
           Queued(),
           {0, 11, 31, 32},
           kTransact,
           "--wait ClearAutCardListBS MakeAdr=564"};
  r[73] = {"Sets the autonomous access mode of one controller, or of all (MakeAdr 0 or below).",
           {{"EventID", ""},
            {"MakeAdr", "factory address > 0 (else 32 when unknown); 0 or below: every controller"},
            {"Param1", "0..2 (else 56)"}},
           Queued(),
           {0, 11, 31, 32, 56},
           kTransact,
           "--wait SendAutRkd MakeAdr=564 Param1=1"};
  r[74] = {"Takes (removes) the oldest registration events into a two-dimensional array, one row per event "
           "from row 1: Year, Month, Day, Hour, Minute, Second, MakeAdr, AdrAdd, EventType, Event, Alarm, "
           "FacilityCode, CardID. It takes as many events as the array has rows from row 1 to its last, at most "
           "1024, so a smaller array loses none: the rest stay in the journal.",
           {{"EventArray", "[in,out] an array [1..N, 1..13] to fill, N rows from row 1 (may be left out: the "
                           "server makes one of 1024 rows); an array without row 1 or columns 1..13 fails the "
                           "call with an RPC error and takes nothing"},
            {"Count", "[in,out] rows written"}},
           "Value 0 when every row the call could fill was written (N, or 1024 when N is larger; more may wait: "
           "call again), 67 when the journal ran out first (Count may be above 0: the normal end).",
           {0, 67},
           {},
           "GetRegEventArray"};
  r[75] = {"Makes an output the automatic alarm output of its driver.",
           {{"EventID", ""}, {"MakeAdr", ""}, {"DriverAdr", ""}, {"OutNumber", "output 0..4 (else 51)"}},
           Queued(),
           {0, 11, 31, 32, 33, 51},
           kTransact,
           "--wait SetAutoAlarmOut MakeAdr=564 DriverAdr=2 OutNumber=1"};
  r[76] = {"Checks a card list row by row against the active card segments and sends it to a controller, 20 "
           "cards per block. A row is facility code, card number (column 2 + 256 x column 3), properties (bits 0 "
           "and 1 the time type, bit 5 commissioning, bit 4 by card), schedule number and, for commissioning, "
           "columns 6 to 8 (facility code and card, or the PIN). The first row that fails stops the call with a "
           "code naming its card (91 to 96, text from GetErrorDescription) and nothing is queued.",
           {{"AEventID", ""},
            {"AMakeAdr", "factory address of a controller (else 32)"},
            {"ACards", "array of rows (from 1) of 5 columns, 8 for commissioning rows; all its rows are sent; not "
                       "an array gives 90"}},
           Queued(),
           {0, 11, 31, 32, 68, 90, 91, 92, 93, 94, 95, 96},
           kCardList,
           "--wait SendDeviceCardList AMakeAdr=564 ACards=@cards.csv"};
  r[77] = {"Checks an identifier for admission against the identifiers the server knows, without the "
           "controllers. ATimeOut, AReaderName and ATypeInquery are accepted and not used.",
           {{"AIdentifier", "the identifier as decimal text (64-bit)"},
            {"ATimeOut", "not used"},
            {"AReaderName", "not used"},
            {"ATypeInquery", "not used"},
            {"ADenyReason", "[in,out] the reason for a refusal; empty when the pass is allowed"},
            {"AErrorMessage", "[in,out] set only when the identifier is not a number: \"Идентификатор - не "
                              "число\""}},
           "Value 0 when the identifier could be checked (ADenyReason says the outcome), 1 when it is not a "
           "number (not result code 1: AErrorMessage gives the text).",
           {0, 1},
           {},
           "CheckDispatch AIdentifier=65569 ATimeOut=0 AReaderName=R1 ATypeInquery=0",
           {{1, "Идентификатор - не число"}}};
  return r;
}

}  // namespace

const TOpReference& OperationReference(int number) {
  static const std::map<int, TOpReference> refs = Build();
  const auto it = refs.find(number);
  if (it == refs.end()) throw std::logic_error("operation table: no reference for operation " + std::to_string(number));
  return it->second;
}

std::string CommonArgNote(const std::string& name) {
  const auto& notes = CommonNotes();
  const auto it = notes.find(name);
  return it == notes.end() ? std::string() : it->second;
}

}  // namespace vexon
