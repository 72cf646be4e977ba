// Settings, access-mode and direct-command operations: each checks its
// arguments in order, builds one command buffer and queues it.
#include <optional>

#include "automation/server_object.h"
#include "util/result_codes.h"

namespace vexon {

namespace {

std::optional<uint8_t> Controller(TSysVexonComServer& srv, TCall& c) { return srv.ConfiguredController(c, "MakeAdr"); }

// Driver channel addressing: the controller, then DriverAdr <= 4 (33), then
// the operation's channel check. The channel byte is built from the
// unmasked number.
struct TChannel {
  uint8_t Sys;
  uint8_t Byte;
};
std::optional<TChannel> Channel(TSysVexonComServer& srv, TCall& c, int64_t number, bool (*valid)(int64_t),
                                int32_t invalidCode) {
  const auto sys = Controller(srv, c);
  if (!sys) return std::nullopt;
  const uint8_t driver = c.UI1("DriverAdr");
  if (driver > 4) {
    c.SetValue(rcBadDriver);
    return std::nullopt;
  }
  if (!valid(number)) {
    c.SetValue(invalidCode);
    return std::nullopt;
  }
  const int64_t channel = driver * 16 + number;
  if (channel > 255) throw TAutomationError("channel " + std::to_string(channel) + " does not fit in one byte");
  return TChannel{*sys, static_cast<uint8_t>(channel)};
}

// Access-mode addressing: a controller and reader (MakeAdr > 0), a zone of
// the whole system (MakeAdr -1) or the whole system (0 or below -1).
std::optional<std::pair<uint8_t, uint8_t>> AccessMode(TSysVexonComServer& srv, TCall& c) {
  if (!srv.ConfiguredWithAddresses()) {
    c.SetValue(rcNotConfigured);
    return std::nullopt;
  }
  const int32_t make = c.I4("MakeAdr");
  const uint8_t addition = c.UI1("AdditionAdr");
  if (make > 0) {
    const int32_t sys = srv.FindSysAdr(TSysVexonComServer::Check16("MakeAdr", make));
    if (sys < 0) {
      c.SetValue(rcBadController);
      return std::nullopt;
    }
    if (addition != 255 && addition > 1) {
      c.SetValue(rcBadReader);
      return std::nullopt;
    }
    return std::make_pair(static_cast<uint8_t>(sys), addition);
  }
  if (make == -1) {
    if (addition >= 128) {
      c.SetValue(rcBadZone);
      return std::nullopt;
    }
    return std::make_pair(uint8_t{255}, addition);
  }
  return std::make_pair(uint8_t{255}, uint8_t{255});
}

bool Flag(uint8_t v) { return v == 1; }

void SetReaderZone(TSysVexonComServer& srv, TCall& c) {
  const auto sys = Controller(srv, c);
  if (!sys) return;
  const uint8_t reader = c.UI1("ReaderNumber"), zone = c.UI1("ZoneNumber");
  if (reader > 1) return c.SetValue(rcBadReader);
  if (zone > 127) return c.SetValue(rcBadZone);
  const uint8_t b[4] = {*sys, reader, 4, zone};
  srv.QueueBuffer(c, rkSetReaderZone, b, 4);
}

void ClearToDefault(TSysVexonComServer& srv, TCall& c) {
  const auto sys = Controller(srv, c);
  if (!sys) return;
  const uint8_t b[3] = {*sys, 255, 6};
  srv.QueueBuffer(c, rkClearToDefault, b, 3);
}

void SetReaderParameters(TSysVexonComServer& srv, TCall& c) {
  const auto sys = Controller(srv, c);
  if (!sys) return;
  const uint8_t reader = c.UI1("ReaderNumber"), type = c.UI1("ReaderType");
  if (reader > 1) return c.SetValue(rcBadReader);
  if (type > 2) return c.SetValue(43);
  uint8_t rb = 0;
  if (c.UI1("EnterOnCardPresent") != 0) rb |= 0x80;
  if (type & 1) rb |= 0x20;
  if (type & 2) rb |= 0x40;
  if (c.UI1("PinCode") != 0) rb |= 0x10;
  if (type != 0) rb = static_cast<uint8_t>(rb | (c.UI1("ImMask") & 0x0F));
  const uint8_t b[5] = {*sys, reader, 7, rb, c.UI1("Time")};
  srv.QueueBuffer(c, rkSetReaderParameters, b, 5);
}

void SetImParameters(TSysVexonComServer& srv, TCall& c) {
  const auto ch = Channel(srv, c, c.UI1("ImNumber"), [](int64_t n) { return (n & 7) == 1 || (n & 7) == 2; }, 44);
  if (!ch) return;
  if (c.UI1("OpenTime") > 31) return c.SetValue(45);
  if (c.UI1("TriggerTime") > 127) return c.SetValue(46);
  for (const char* n : {"OutActiveForOpen", "InpNoAnalyzeForOpen", "InpForAutoOpen", "InpForAutoClose"})
    if (c.UI1(n) > 15) return c.SetValue(47);
  uint8_t b[12] = {ch->Sys, ch->Byte, 8};
  b[3] = static_cast<uint8_t>((Flag(c.UI1("ClosePower")) ? 128 : 0) + (Flag(c.UI1("CloseAfterOpen")) ? 64 : 0) +
                              (Flag(c.UI1("NormalOpen")) ? 32 : 0)) |
         c.UI1("OpenTime");
  b[4] = static_cast<uint8_t>((Flag(c.UI1("Trigger")) ? 128 : 0) | c.UI1("TriggerTime"));
  b[5] = c.UI1("MaxOpenTime");
  b[6] = static_cast<uint8_t>(c.UI1("OutActiveForOpen") * 16 + c.UI1("InpNoAnalyzeForOpen"));
  b[7] = c.UI1("NoAnalyzeTime");
  b[8] = static_cast<uint8_t>(c.UI1("InpForAutoOpen") * 16 + c.UI1("InpForAutoClose"));
  b[9] = static_cast<uint8_t>((Flag(c.UI1("PDUWeek")) ? 128 : 0) + (Flag(c.UI1("AutoOpenWeek")) ? 64 : 0));
  b[10] = c.UI1("PDUTimeZoneNum");
  b[11] = c.UI1("AutoTimeZoneNum");
  srv.QueueBuffer(c, rkSetImParameters, b, 12);
}

void SetInpParameters(TSysVexonComServer& srv, TCall& c) {
  const auto ch = Channel(srv, c, c.UI1("InpNumber"), [](int64_t n) { return (n & 7) >= 1 && (n & 7) <= 4; }, 48);
  if (!ch) return;
  if (c.UI1("NoAnalyzeTime") > 127) return c.SetValue(49);
  if (c.UI1("OutActiveForInp") > 15 || c.UI1("InpNoAnalyzeForInp") > 15) return c.SetValue(47);
  if (c.UI1("AnalyzeType") > 3) return c.SetValue(50);
  const uint8_t b[7] = {ch->Sys,
                        ch->Byte,
                        9,
                        static_cast<uint8_t>((Flag(c.UI1("NormalOpen")) ? 128 : 0) | c.UI1("NoAnalyzeTime")),
                        static_cast<uint8_t>(c.UI1("OutActiveForInp") * 16 + c.UI1("InpNoAnalyzeForInp")),
                        static_cast<uint8_t>((Flag(c.UI1("Week")) ? 128 : 0) | c.UI1("AnalyzeType")),
                        c.UI1("AnalyzeTimeZone")};
  srv.QueueBuffer(c, rkSetInpParameters, b, 7);
}

void SetOutParameters(TSysVexonComServer& srv, TCall& c) {
  const auto ch = Channel(srv, c, c.UI1("OutNumber"), [](int64_t n) { return (n & 7) >= 1 && (n & 7) <= 4; }, 51);
  if (!ch) return;
  if (c.UI1("ActivateTime") > 127) return c.SetValue(52);
  if (c.UI1("ActivateType") > 3) return c.SetValue(53);
  const uint8_t b[6] = {ch->Sys,
                        ch->Byte,
                        10,
                        static_cast<uint8_t>((Flag(c.UI1("NormalClose")) ? 128 : 0) | c.UI1("ActivateTime")),
                        static_cast<uint8_t>((Flag(c.UI1("Week")) ? 128 : 0) | c.UI1("ActivateType")),
                        c.UI1("AutoactiveTimeZone")};
  srv.QueueBuffer(c, rkSetOutParameters, b, 6);
}

void SetWOutParameters(TSysVexonComServer& srv, TCall& c) {
  const auto ch = Channel(srv, c, c.UI1("WOutNumber"), [](int64_t n) { return n >= 1 && n <= 4; }, 54);
  if (!ch) return;
  if (((c.UI1("Info") >> 4) & 7) > 2) return c.SetValue(55);
  uint8_t b[13] = {ch->Sys, ch->Byte, 11, c.UI1("Info"), c.UI1("Settings")};
  static const char* const kReactions[] = {"Reaction1", "Reaction2", "Reaction3", "Reaction4",
                                           "Reaction5", "Reaction6", "Reaction7", "Reaction8"};
  for (int i = 0; i < 8; ++i) b[5 + i] = c.UI1(kReactions[i]);
  srv.QueueBuffer(c, rkSetWOutParameters, b, 13);
}

void SetAlarmGenParameters(TSysVexonComServer& srv, TCall& c) {
  const auto ch = Channel(srv, c, c.UI1("OutNumber"), [](int64_t n) { return n <= 4; }, 51);
  if (!ch) return;
  const uint8_t b[7] = {ch->Sys, ch->Byte, 12, c.UI1("OnCard"), c.UI1("OnState"), c.UI1("OnInp1"), c.UI1("OnInp2")};
  srv.QueueBuffer(c, rkSetAlarmGen, b, 7);
}

void SetAutoAlarmOut(TSysVexonComServer& srv, TCall& c) {
  const auto ch = Channel(srv, c, c.UI1("OutNumber"), [](int64_t n) { return n <= 4; }, 51);
  if (!ch) return;
  const uint8_t b[3] = {ch->Sys, ch->Byte, 13};
  srv.QueueBuffer(c, rkSetAlarmGen, b, 3);
}

void SetRKD(TSysVexonComServer& srv, TCall& c) {
  const auto a = AccessMode(srv, c);
  if (!a) return;
  if (c.UI1("RKDCode") > 4) return c.SetValue(56);
  const uint8_t b[4] = {a->first, a->second, 64, c.UI1("RKDCode")};
  srv.QueueBuffer(c, rkSetRKD, b, 4);
}

void SetSystemRKDwithProperties(TSysVexonComServer& srv, TCall& c) {
  const auto a = AccessMode(srv, c);
  if (!a) return;
  const uint8_t code = c.UI1("RKDCode");
  if (code != 2 && code != 3) return c.SetValue(56);
  const uint8_t b[6] = {a->first, a->second, 65, code, c.UI1("Property1"), c.UI1("Property2")};
  srv.QueueBuffer(c, rkSetRKDProperties, b, 6);
}

void SetAutoRKDwithProperties(TSysVexonComServer& srv, TCall& c) {
  const auto a = AccessMode(srv, c);
  if (!a) return;
  const uint8_t b[6] = {a->first, a->second, 65, 1, c.UI1("Property1"), c.UI1("Property2")};
  srv.QueueBuffer(c, rkSetRKDProperties, b, 6);
}

void Alarm(TSysVexonComServer& srv, TCall& c, uint8_t command) {
  const auto a = AccessMode(srv, c);
  if (!a) return;
  const uint8_t b[3] = {a->first, a->second, command};
  srv.QueueBuffer(c, command, b, 3);
}

void Im(TSysVexonComServer& srv, TCall& c, uint8_t command) {
  const auto ch = Channel(srv, c, c.UI1("ImNumber"), [](int64_t n) { return n == 1 || n == 2; }, 44);
  if (!ch) return;
  const uint8_t b[3] = {ch->Sys, ch->Byte, command};
  srv.QueueBuffer(c, command, b, 3);
}

void SetOut(TSysVexonComServer& srv, TCall& c) {
  const auto ch = Channel(srv, c, c.UI1("OutNumber"), [](int64_t n) { return n >= 1 && n <= 4; }, 51);
  if (!ch) return;
  const uint8_t b[4] = {ch->Sys, ch->Byte, 70, c.UI1("ActivateType")};
  srv.QueueBuffer(c, rkSetOut, b, 4);
}

void ClearOut(TSysVexonComServer& srv, TCall& c) {
  const auto ch = Channel(srv, c, c.I4("OutNumber"), [](int64_t n) { return n >= 1 && n <= 4; }, 51);
  if (!ch) return;
  const uint8_t b[3] = {ch->Sys, ch->Byte, 71};
  srv.QueueBuffer(c, rkClearOut, b, 3);
}

void Pass(TSysVexonComServer& srv, TCall& c, uint8_t command) {
  const auto sys = Controller(srv, c);
  if (!sys) return;
  const uint8_t reader = c.UI1("ReaderNumber");
  if (reader > 1) return c.SetValue(rcBadReader);
  const uint8_t b[3] = {*sys, reader, command};
  srv.QueueBuffer(c, command, b, 3);
}

void SendAutRkd(TSysVexonComServer& srv, TCall& c) {
  if (!srv.ConfiguredWithAddresses()) return c.SetValue(rcNotConfigured);
  const int32_t make = c.I4("MakeAdr");
  uint8_t sys = 255;
  if (make > 0) {
    const int32_t s = srv.FindSysAdr(TSysVexonComServer::Check16("MakeAdr", make));
    if (s < 0) return c.SetValue(rcBadController);
    sys = static_cast<uint8_t>(s);
  }
  const int32_t p = c.I4("Param1");
  if (p < 0 || p > 2) return c.SetValue(56);
  const uint8_t b[6] = {sys, 255, 40, static_cast<uint8_t>(p), 0, 0};
  srv.QueueBuffer(c, rkSendAutRkd, b, 6);
}

}  // namespace

void AddCommandOperations(TOperationMap& ops) {
  ops["sysvexon_SetReaderZone"] = SetReaderZone;
  ops["sysvexon_ClearToDefault"] = ClearToDefault;
  ops["sysvexon_SetReaderParameters"] = SetReaderParameters;
  ops["sysvexon_SetImParameters"] = SetImParameters;
  ops["sysvexon_SetInpParameters"] = SetInpParameters;
  ops["sysvexon_SetOutParameters"] = SetOutParameters;
  ops["sysvexon_SetWOutParameters"] = SetWOutParameters;
  ops["sysvexon_SetAlarmGenParameters"] = SetAlarmGenParameters;
  ops["sysvexon_SetAutoAlarmOut"] = SetAutoAlarmOut;
  ops["sysvexon_SetRKD"] = SetRKD;
  ops["sysvexon_SetSystemRKDwithProperties"] = SetSystemRKDwithProperties;
  ops["sysvexon_SetAutoRKDwithProperties"] = SetAutoRKDwithProperties;
  ops["sysvexon_SetAlarm"] = [](TSysVexonComServer& s, TCall& c) { Alarm(s, c, 68); };
  ops["sysvexon_ClearAlarm"] = [](TSysVexonComServer& s, TCall& c) { Alarm(s, c, 69); };
  ops["sysvexon_OpenIm"] = [](TSysVexonComServer& s, TCall& c) { Im(s, c, 66); };
  ops["sysvexon_CloseIm"] = [](TSysVexonComServer& s, TCall& c) { Im(s, c, 67); };
  ops["sysvexon_SetOut"] = SetOut;
  ops["sysvexon_ClearOut"] = ClearOut;
  ops["sysvexon_PermitPass"] = [](TSysVexonComServer& s, TCall& c) { Pass(s, c, 75); };
  ops["sysvexon_ProhibitPass"] = [](TSysVexonComServer& s, TCall& c) { Pass(s, c, 76); };
  ops["sysvexon_SendAutRkd"] = SendAutRkd;
}

}  // namespace vexon
