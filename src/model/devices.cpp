#include "model/devices.h"

#include <set>

#include "util/result_codes.h"

namespace vexon {

bool TTKDList::Add(const TTKDItem& item) {
  std::lock_guard<std::mutex> g(lock_);
  const bool added = items_.emplace(item.SysAdr, item).second;
  count_ = items_.size();
  return added;
}

void TTKDList::Clear() {
  std::lock_guard<std::mutex> g(lock_);
  items_.clear();
  count_ = 0;
}

void TTKDList::Assign(const std::vector<TTKDItem>& items) {
  std::lock_guard<std::mutex> g(lock_);
  items_.clear();
  for (const auto& i : items) items_.emplace(i.SysAdr, i);
  count_ = items_.size();
}

std::vector<TTKDItem> TTKDList::Snapshot() const {
  std::lock_guard<std::mutex> g(lock_);
  std::vector<TTKDItem> v;
  v.reserve(items_.size());
  for (const auto& [a, r] : items_) v.push_back(r);
  return v;
}

bool TTKDList::GetRecordAt(size_t position, TTKDItem& out) const {
  std::lock_guard<std::mutex> g(lock_);
  if (position >= items_.size()) return false;
  out = std::next(items_.begin(), static_cast<long>(position))->second;
  return true;
}

bool TTKDList::GetRecord(uint8_t sysAdr, TTKDItem& out) const {
  std::lock_guard<std::mutex> g(lock_);
  auto it = items_.find(sysAdr);
  if (it == items_.end()) return false;
  out = it->second;
  return true;
}

bool TTKDList::IsReady(uint8_t sysAdr) const {
  std::lock_guard<std::mutex> g(lock_);
  auto it = items_.find(sysAdr);
  return it != items_.end() && it->second.IsReady();
}

int TTKDList::CountControllers() const {
  std::lock_guard<std::mutex> g(lock_);
  int n = 0;
  for (const auto& [a, r] : items_) n += r.Hub != 1;
  return n;
}

int TTKDList::CountReady() const {
  std::lock_guard<std::mutex> g(lock_);
  int n = 0;
  for (const auto& [a, r] : items_) n += r.Hub != 1 && r.IsReady();
  return n;
}

int TTKDList::CountZone(uint8_t zone, bool readyOnly) const {
  std::lock_guard<std::mutex> g(lock_);
  int n = 0;
  for (const auto& [a, r] : items_) {
    if (r.Hub == 1 || (r.Zone1 != zone && r.Zone2 != zone)) continue;
    if (readyOnly && !r.IsReady()) continue;
    if (n < 255) ++n;
  }
  return n;
}

int TTKDList::CountInZone(uint8_t zone) const { return CountZone(zone, false); }
int TTKDList::CountReadyInZone(uint8_t zone) const { return CountZone(zone, true); }

bool TTKDList::GetStatusByte(uint8_t sysAdr, int n, uint8_t& value) const {
  if (n < 1 || n > kStatusBytes) return false;
  std::lock_guard<std::mutex> g(lock_);
  auto it = items_.find(sysAdr);
  if (it == items_.end()) return false;
  value = it->second.Status[n - 1];
  return true;
}

bool TTKDList::SetStatusByte(uint8_t sysAdr, int n, uint8_t value) {
  if (n < 1 || n > kStatusBytes) return false;
  return Update(sysAdr, [&](TTKDItem& r) {
    r.Status[n - 1] = value;
    r.USCSValid = 1;
    r.USCSChanged = 1;
  });
}

bool TTKDList::TakeRecordAt(size_t position, TTKDItem& out) {
  std::lock_guard<std::mutex> g(lock_);
  if (position >= items_.size()) return false;
  TTKDItem& rec = std::next(items_.begin(), static_cast<long>(position))->second;
  out = rec;
  rec.USCSChanged = 0;
  return true;
}

bool TTKDList::SetReaderZone(uint8_t sysAdr, uint8_t reader, uint8_t zone) {
  if (reader > 1 || zone >= 128) return false;
  return Update(sysAdr, [&](TTKDItem& r) { (reader == 0 ? r.Zone1 : r.Zone2) = zone; });
}

void TAdrList::Assign(std::vector<TAdrItem> items) {
  std::lock_guard<std::mutex> g(lock_);
  items_ = std::move(items);
}

int32_t TAdrList::FindSysAdr(int32_t makeAdr) const {
  if (makeAdr == 0) return kAllControllers;
  std::lock_guard<std::mutex> g(lock_);
  for (const auto& i : items_)
    if (i.MakeAdr == makeAdr) return i.SysAdr;
  return -1;
}

int32_t TAdrList::FindMakeAdr(int32_t sysAdr) const {
  std::lock_guard<std::mutex> g(lock_);
  for (const auto& i : items_)
    if (i.SysAdr == sysAdr) return i.MakeAdr;
  return -1;
}

size_t TAdrList::Count() const {
  std::lock_guard<std::mutex> g(lock_);
  return items_.size();
}

void TDeviceInfoList::Clear() {
  std::lock_guard<std::mutex> g(lock_);
  items_.clear();
}

void TDeviceInfoList::Append(const TDescriptor& d) {
  std::lock_guard<std::mutex> g(lock_);
  items_.push_back(d);
}

bool TDeviceInfoList::Get(size_t position, TDescriptor& out) const {
  std::lock_guard<std::mutex> g(lock_);
  if (position >= items_.size()) return false;
  out = items_[position];
  return true;
}

bool TDeviceInfoList::Find(uint8_t sysAdr, TDescriptor& out) const {
  std::lock_guard<std::mutex> g(lock_);
  for (const auto& d : items_)
    if (d[0] == sysAdr) {
      out = d;
      return true;
    }
  return false;
}

size_t TDeviceInfoList::Count() const {
  std::lock_guard<std::mutex> g(lock_);
  return items_.size();
}

bool TDeviceModel::BuildControllerList(std::vector<TDescriptor>* descriptors) {
  // Every record is built before the list is touched: a descriptor that
  // cannot become a record leaves the working configuration in place, so a
  // failed autoconfiguration followed by a restart does not save an empty
  // list over "new_sys.bin".
  if (!descriptors) return false;
  std::vector<TTKDItem> records;
  std::set<uint8_t> seen;
  for (auto& d : *descriptors) {
    NormaliseDescriptor(d);
    TTKDItem r;
    if (!BuildRecord(d, r)) return false;
    if (seen.insert(r.SysAdr).second) records.push_back(r);
  }
  Controllers.Assign(records);
  return true;
}

void TDeviceModel::BuildAddressList() {
  std::vector<TAdrItem> items;
  for (const auto& r : Controllers.Snapshot()) items.push_back({r.SysAdr, r.MakeAdr});
  Addresses.Assign(std::move(items));
}

int32_t TDeviceModel::GetControllerCount(int32_t& count) const {
  if (!IsConfigured()) return rcNotConfigured;
  count = static_cast<int32_t>(Controllers.Count());
  return rcOk;
}

int32_t TDeviceModel::GetControllerInfo(int32_t controllerNum, TControllerInfo& out) const {
  if (!IsConfigured()) return rcNotConfigured;
  TTKDItem r;
  if (controllerNum < 1 || !Controllers.GetRecordAt(static_cast<size_t>(controllerNum - 1), r)) return rcBadController;
  out = {r.SysAdr, r.MakeAdr, r.Primary, r.Modem, r.DrvCount, r.Hub, r.SecondLevelAdr};
  return rcOk;
}

int32_t TDeviceModel::GetDriverInfo(int32_t controllerNum, int32_t driverNum, TDriverInfo& out) const {
  if (driverNum < 1 || driverNum > kDriverSlots) return rcBadDriver;
  if (!IsConfigured()) return rcNotConfigured;
  TTKDItem r;
  if (controllerNum < 1 || !Controllers.GetRecordAt(static_cast<size_t>(controllerNum - 1), r)) return rcBadController;
  const TDriverSlot& s = r.Drivers[driverNum - 1];
  if (!s.DrvPresent) return rcDriverMissing;
  out = {s.DrvAdr, s.DrvType, s.DrvInp, s.DrvOut, s.DrvWOut, s.DrvIm};
  return rcOk;
}

int32_t TDeviceModel::GetControllerDesc(int32_t controllerNum, TDescriptor& out) const {
  if (!IsConfigured()) return rcNotConfigured;
  TTKDItem r;
  if (controllerNum < 1 || !Controllers.GetRecordAt(static_cast<size_t>(controllerNum - 1), r)) return rcBadController;
  if (!DeviceInfo.Find(r.SysAdr, out)) return kNoDescriptor;
  return rcOk;
}

int32_t TDeviceModel::GetControllerUSCS(int32_t controllerNum, TControllerUSCS& out) {
  if (!IsConfigured()) return rcNotConfigured;
  TTKDItem r;
  if (controllerNum < 1 || !Controllers.TakeRecordAt(static_cast<size_t>(controllerNum - 1), r)) return rcBadController;
  out.MakeAdr = r.MakeAdr;
  out.USCSChanged = r.USCSChanged ? 1 : 0;
  out.USCSValid = r.USCSValid ? 1 : 0;
  out.Status = r.Status;
  return rcOk;
}

}  // namespace vexon
