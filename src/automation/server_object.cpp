#include "automation/server_object.h"

#include <map>

#include "util/result_codes.h"

namespace vexon {

namespace {
const TOperationMap& Registry() {
  static const TOperationMap r = [] {
    TOperationMap m;
    AddServerOperations(m);
    AddCommandOperations(m);
    AddMonitoringOperations(m);
    AddCardOperations(m);
    AddJournalOperations(m);
    return m;
  }();
  return r;
}
}  // namespace

void TCalendarBuffer::Clear() {
  std::lock_guard<std::mutex> g(lock_);
  bytes_.fill(0);
}

void TCalendarBuffer::SetMonth(int month, const uint8_t* bytes8) {
  std::lock_guard<std::mutex> g(lock_);
  for (int i = 0; i < 8; ++i) bytes_[static_cast<size_t>((month - 1) * 8 + i)] = bytes8[i];
}

std::array<uint8_t, 96> TCalendarBuffer::Copy() const {
  std::lock_guard<std::mutex> g(lock_);
  return bytes_;
}

bool TSysVexonComServer::Available(const std::string& name) { return Registry().count(name) != 0; }

void TSysVexonComServer::Invoke(TCall& call) {
  const TOpDesc& op = call.Op();
  if (op.Inherited) throw TAutomationError(op.Name + ": the application-server interface has nothing to serve");
  auto it = Registry().find(op.Name);
  if (it == Registry().end()) throw TAutomationError(op.Name + " is not available in this version of the server");
  it->second(*this, call);
}

bool TSysVexonComServer::ConfiguredWithAddresses() const {
  return s_.Core.Model.IsConfigured() && s_.Core.Model.Addresses.Count() > 0;
}

uint16_t TSysVexonComServer::Check16(const char* name, int64_t value) {
  if (value < 0 || value > 0xFFFF)
    throw TAutomationError(std::string(name) + " " + std::to_string(value) + " is outside 0..65535");
  return static_cast<uint16_t>(value);
}

int32_t TSysVexonComServer::FindSysAdr(int32_t makeAdr) const { return s_.Core.Model.Addresses.FindSysAdr(makeAdr); }

std::optional<uint8_t> TSysVexonComServer::ConfiguredController(TCall& call, const char* name) {
  if (!ConfiguredWithAddresses()) {
    call.SetValue(rcNotConfigured);
    return std::nullopt;
  }
  const int32_t sys = FindSysAdr(Check16(name, call.I4(name)));
  if (sys < 0) {
    call.SetValue(rcBadController);
    return std::nullopt;
  }
  return static_cast<uint8_t>(sys);
}

void TSysVexonComServer::QueueBuffer(TCall& call, uint8_t kind, const uint8_t* bytes, uint8_t length) {
  QueueObject(call, kind, bkBuffer, std::make_unique<TBufItem>(length, bytes));
}

void TSysVexonComServer::QueueObject(TCall& call, uint8_t kind, uint8_t bufKind, std::unique_ptr<TParamObject> obj) {
  int32_t id = 0;
  if (s_.Core.Requests.PutRequest(kind, bufKind, obj, id)) {
    call.Set(call.Op().Args.front().Name.c_str(), id);
    call.SetValue(rcOk);
  } else {
    call.SetValue(rcQueueFailed);
  }
}

}  // namespace vexon
