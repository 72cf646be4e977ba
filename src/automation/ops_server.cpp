// Port, answer, state, autoconfiguration, configuration reports, clock and
// identifier-check operations.
#include <chrono>
#include <cstdlib>
#include <thread>

#include "automation/server_object.h"
#include "link/commands.h"
#include "util/date_time.h"
#include "util/log.h"
#include "util/result_codes.h"

namespace vexon {

namespace {

void OpenSerialPort(TSysVexonComServer& srv, TCall& c) {
  const int32_t n = c.I4("PortNumber");
  const int32_t v = srv.S().Core.Port.OpenPort(n);
  if (v == rcOk) {
    srv.S().Core.Display.ShowPort(n);
    srv.S().Core.Wakeup.Notify();
    log::info("port COM{} opened", n);
  } else {
    log::warn("opening COM{} failed: {}", n, GetErrorStr(v));
  }
  c.SetValue(v);
}

void CloseSerialPort(TSysVexonComServer& srv, TCall& c) {
  const int32_t v = srv.S().Core.Port.ClosePort();
  if (v == rcOk) {
    srv.S().Core.Display.ShowPort(0);
    log::info("port closed");
  }
  c.SetValue(v);
}

void GetOpenSerialPortNumber(TSysVexonComServer& srv, TCall& c) {
  int32_t n = 0;
  c.SetValue(srv.S().Core.Port.GetPortNumber(n));
  c.Set("PortNumber", n);  // always written
}

void GetErrorDescription(TSysVexonComServer&, TCall& c) { c.SetValue(GetErrorStr(c.I4("Code"))); }

void Autoconfig(TSysVexonComServer& srv, TCall& c) {
  srv.S().Core.Requests.ClearRequests();
  const uint8_t bytes[3] = {255, 255, 0};
  srv.QueueBuffer(c, rkAutoconfig, bytes, 3);
}

void GetCommandState(TSysVexonComServer& srv, TCall& c) {
  c.SetValue(srv.S().Core.Answers.GetCommandState(c.I4("EventID")));
}

void GetExtendedCommandState(TSysVexonComServer& srv, TCall& c) {
  int32_t a = c.I4("Int1"), b = c.I4("Int2"), d = c.I4("Int3");
  const int32_t v = srv.S().Core.Answers.GetExtendedCommandState(c.I4("EventID"), a, b, d);
  c.Set("Int1", a);
  c.Set("Int2", b);
  c.Set("Int3", d);
  c.SetValue(v);
}

void DeleteAnswer(TSysVexonComServer& srv, TCall& c) { srv.S().Core.Answers.DiscardAnswer(c.I4("EventID")); }

void GetServerState(TSysVexonComServer& srv, TCall& c) {
  TServerCore& core = srv.S().Core;
  if (!core.Model.IsConfigured())
    c.SetValue(rcNotConfigured);
  else if (core.Segments.ActiveCount() == 0)
    c.SetValue(68);
  else
    c.SetValue(rcOk);
}

void LockServer(TSysVexonComServer& srv, TCall&) { srv.S().Core.ServerLock.SetServerLock(); }
void UnLockServer(TSysVexonComServer& srv, TCall&) { srv.S().Core.ServerLock.ClearServerLock(); }

void GetControllerCount(TSysVexonComServer& srv, TCall& c) {
  int32_t n = 0;
  const int32_t v = srv.S().Core.Model.GetControllerCount(n);
  if (v == rcOk) c.Set("Cnt", n);
  c.SetValue(v);
}

void GetControllerInfo(TSysVexonComServer& srv, TCall& c) {
  TControllerInfo i{};
  const int32_t v = srv.S().Core.Model.GetControllerInfo(c.I4("ControllerNum"), i);
  if (v == rcOk) {
    c.Set("_SysAdr", i.SysAdr);
    c.Set("_MakeAdr", i.MakeAdr);
    c.Set("_Primary", i.Primary);
    c.Set("_Modem", i.Modem);
    c.Set("_DrvCount", i.DrvCount);
    c.Set("_Hub", i.Hub);
    c.Set("_SecondLevelAdr", i.SecondLevelAdr);
  }
  c.SetValue(v);
}

void GetDriverInfo(TSysVexonComServer& srv, TCall& c) {
  TDriverInfo d{};
  const int32_t v = srv.S().Core.Model.GetDriverInfo(c.I4("ControllerNum"), c.I4("DriverNum"), d);
  if (v == rcOk) {
    c.Set("_DrvAdr", d.DrvAdr);
    c.Set("_DrvType", d.DrvType);
    c.Set("_DrvInp", d.DrvInp);
    c.Set("_DrvOut", d.DrvOut);
    c.Set("_DrvWOut", d.DrvWOut);
    c.Set("_DrvIm", d.DrvIm);
  }
  c.SetValue(v);
}

void GetControllerDesc(TSysVexonComServer& srv, TCall& c) {
  const int32_t num = c.I4("ControllerNum");
  TDescriptor d{};
  const int32_t v = srv.S().Core.Model.GetControllerDesc(num, d);
  if (v == TDeviceModel::kNoDescriptor)
    throw TAutomationError("no descriptor of controller " + std::to_string(num) + " since the last start");
  if (v == rcOk) {
    static const char* const kNames[] = {"b1", "b2", "b3", "b4", "b5", "b6", "b7", "b8"};
    for (int i = 0; i < 8; ++i) c.Set(kNames[i], d[static_cast<size_t>(i)]);
  }
  c.SetValue(v);
}

void GetControllerUSCS(TSysVexonComServer& srv, TCall& c) {
  TControllerUSCS u;
  const int32_t v = srv.S().Core.Model.GetControllerUSCS(c.I4("ControllerNum"), u);
  if (v == rcOk) {
    c.Set("MakeAdr", u.MakeAdr);
    c.Set("USCSChanged", u.USCSChanged);
    c.Set("USCSValid", u.USCSValid);
    static const char* const kNames[] = {"b1", "b2", "b3", "b4", "b5", "b6", "b7"};
    for (int i = 0; i < 7; ++i) c.Set(kNames[i], u.Status[static_cast<size_t>(i)]);
  }
  c.SetValue(v);
}

void QueueClock(TSysVexonComServer& srv, TCall& c, double dt) {
  const TDateFields f = DecodeDateTime(dt);
  if (f.Year < 1900 || f.Year > 2099)
    throw TAutomationError("DT " + FormatDateTime(dt) + " is outside the years 1900..2099 the controllers keep");
  uint8_t bytes[10] = {255, 255, 5};
  EncodeClock(dt, bytes + 3);
  srv.QueueBuffer(c, rkSetTimer, bytes, 10);
}

void SetTimer(TSysVexonComServer& srv, TCall& c) { QueueClock(srv, c, srv.S().Core.Clock.Now()); }
void SetTimerBS(TSysVexonComServer& srv, TCall& c) { QueueClock(srv, c, c.Date("DT")); }

void CheckDispatch(TSysVexonComServer& srv, TCall& c) {
  c.SetValue(rcOk);
  c.Set("ADenyReason", std::string());
  const std::string& text = c.Str("AIdentifier");
  errno = 0;
  char* end = nullptr;
  const long long n = std::strtoll(text.c_str(), &end, 10);
  // The whole text must be the number: a NUL inside ends strtoll early.
  if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE) {
    c.SetValue(1);
    c.Set("AErrorMessage", std::string("Идентификатор - не число"));
    return;
  }
  if (n == 999999999999999LL) {
    c.Set("ADenyReason", std::string("Идентификатор 999999999999999 не найден"));
    return;
  }
  if (n == 65567) {
    // Holds up only this client's connection, and never the shut-down.
    const std::chrono::milliseconds wait(srv.S().CheckDispatchWaitMs);
    if (srv.S().Shutdown)
      srv.S().Shutdown->WaitFor(wait);
    else
      std::this_thread::sleep_for(wait);
  }
  switch (static_cast<uint32_t>(static_cast<uint64_t>(n))) {
    case 65569:
      c.Set("ADenyReason", std::string("Доступ запрещен - не оплачен счет в баре"));
      break;
    case 65629:
      c.Set("ADenyReason", std::string("Выход запрещен - не оплачен счет в баре, сауна, массаж"));
      break;
    default:
      break;
  }
}

}  // namespace

void AddServerOperations(TOperationMap& ops) {
  ops["sysvexon_OpenSerialPort"] = OpenSerialPort;
  ops["sysvexon_CloseSerialPort"] = CloseSerialPort;
  ops["sysvexon_GetOpenSerialPortNumber"] = GetOpenSerialPortNumber;
  ops["sysvexon_GetErrorDescription"] = GetErrorDescription;
  ops["sysvexon_Autoconfig"] = Autoconfig;
  ops["sysvexon_GetCommandState"] = GetCommandState;
  ops["sysvexon_GetExtendedCommandState"] = GetExtendedCommandState;
  ops["sysvexon_DeleteAnswer"] = DeleteAnswer;
  ops["sysvexon_GetServerState"] = GetServerState;
  ops["sysvexon_LockServer"] = LockServer;
  ops["sysvexon_UnLockServer"] = UnLockServer;
  ops["sysvexon_GetControllerCount"] = GetControllerCount;
  ops["sysvexon_GetControllerInfo"] = GetControllerInfo;
  ops["sysvexon_GetDriverInfo"] = GetDriverInfo;
  ops["sysvexon_GetControllerDesc"] = GetControllerDesc;
  ops["sysvexon_GetControllerUSCS"] = GetControllerUSCS;
  ops["sysvexon_SetTimer"] = SetTimer;
  ops["sysvexon_SetTimerBS"] = SetTimerBS;
  ops["sysvexon_CheckDispatch"] = CheckDispatch;
}

}  // namespace vexon
