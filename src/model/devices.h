// The server's picture of the controller network: the controller list, the
// address list (factory address <-> system address) and the descriptors of
// the last autoconfiguration.
//
// Every list has its own lock and every method takes it; an operation that
// needs both takes the controller-list lock first. The controller list is one
// object for the life of the process, emptied and refilled in place; its
// count is atomic so IsConfigured can be read without the lock. Operations
// that take a system address find the record with that SysAdr (not the
// record at that position), so a network with a gap in its numbering never
// reaches another controller's record.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "model/controller_record.h"

namespace vexon {

class TTKDList {
 public:
  // Adds a record under its SysAdr; an address already present keeps the
  // first record and the new one is dropped (false).
  bool Add(const TTKDItem& item);
  void Clear();
  // Replaces the whole list (records in any order; first of a SysAdr wins).
  void Assign(const std::vector<TTKDItem>& items);
  std::vector<TTKDItem> Snapshot() const;
  size_t Count() const { return count_.load(); }

  // Record at a 0-based list position.
  bool GetRecordAt(size_t position, TTKDItem& out) const;
  // Record of a system address.
  bool GetRecord(uint8_t sysAdr, TTKDItem& out) const;
  bool IsReady(uint8_t sysAdr) const;
  int CountControllers() const;
  int CountReady() const;
  int CountInZone(uint8_t zone) const;
  int CountReadyInZone(uint8_t zone) const;
  bool GetStatusByte(uint8_t sysAdr, int n, uint8_t& value) const;
  bool SetStatusByte(uint8_t sysAdr, int n, uint8_t value);
  // Copies the record at `position` and clears its changed flag in the same
  // hold of the lock, so a change stored in between is never lost.
  bool TakeRecordAt(size_t position, TTKDItem& out);
  bool SetReaderZone(uint8_t sysAdr, uint8_t reader, uint8_t zone);
  // Applies a change to the record of a system address under the lock.
  template <class F>
  bool Update(uint8_t sysAdr, F&& f) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = items_.find(sysAdr);
    if (it == items_.end()) return false;
    f(it->second);
    return true;
  }

 private:
  int CountZone(uint8_t zone, bool readyOnly) const;
  mutable std::mutex lock_;
  std::map<uint8_t, TTKDItem> items_;  // ascending SysAdr
  std::atomic<size_t> count_{0};
};

struct TAdrItem {
  uint8_t SysAdr;
  uint16_t MakeAdr;
};

class TAdrList {
 public:
  static constexpr int32_t kAllControllers = 255;
  void Assign(std::vector<TAdrItem> items);
  // 0 -> 255 (all controllers); otherwise the SysAdr of the first entry with
  // that factory address, or -1.
  int32_t FindSysAdr(int32_t makeAdr) const;
  // The factory address of the first entry with that SysAdr, or -1.
  int32_t FindMakeAdr(int32_t sysAdr) const;
  size_t Count() const;

 private:
  mutable std::mutex lock_;
  std::vector<TAdrItem> items_;
};

class TDeviceInfoList {
 public:
  void Clear();
  void Append(const TDescriptor& d);
  bool Get(size_t position, TDescriptor& out) const;
  // The first descriptor whose d0 is `sysAdr` (the one the controller
  // record was built from).
  bool Find(uint8_t sysAdr, TDescriptor& out) const;
  size_t Count() const;

 private:
  mutable std::mutex lock_;
  std::vector<TDescriptor> items_;
};

struct TControllerInfo {
  int32_t SysAdr, MakeAdr, Primary, Modem, DrvCount, Hub, SecondLevelAdr;
};
struct TDriverInfo {
  int32_t DrvAdr, DrvType, DrvInp, DrvOut, DrvWOut, DrvIm;
};
struct TControllerUSCS {
  int32_t MakeAdr = 0;
  int32_t USCSChanged = 0;
  int32_t USCSValid = 0;
  std::array<uint8_t, kStatusBytes> Status{};
};

// The three lists together, with the building and reading logic.
class TDeviceModel {
 public:
  TTKDList Controllers;
  TAdrList Addresses;
  TDeviceInfoList DeviceInfo;

  bool IsConfigured() const { return Controllers.Count() > 0; }

  // Rebuilds the controller list from freshly received descriptors, which
  // are normalised in place (and d5 cleared where a driver was merged).
  // Fails, leaving the list as it was, when a descriptor's factory address
  // does not fit in 16 bits or no descriptor list is given. The caller sets
  // the link's read time-out afterwards.
  bool BuildControllerList(std::vector<TDescriptor>* descriptors);
  void BuildAddressList();

  // Reading for the automation operations; results are codes, ControllerNum
  // is a 1-based list position.
  int32_t GetControllerCount(int32_t& count) const;
  int32_t GetControllerInfo(int32_t controllerNum, TControllerInfo& out) const;
  int32_t GetDriverInfo(int32_t controllerNum, int32_t driverNum, TDriverInfo& out) const;
  // The descriptor of the controller at position controllerNum - 1 of the
  // controller list, found by its SysAdr (d0) among the descriptors of the
  // last autoconfiguration. The controller list is in address order while
  // the descriptors keep the order of the answer, so the two positions name
  // different controllers whenever the controllers answered out of order.
  // kNoDescriptor when the position is a controller's but no descriptor of
  // it is held (they come only from an autoconfiguration of this run):
  // that is no result code, the operation fails the call.
  static constexpr int32_t kNoDescriptor = -1;
  int32_t GetControllerDesc(int32_t controllerNum, TDescriptor& out) const;
  int32_t GetControllerUSCS(int32_t controllerNum, TControllerUSCS& out);
};

}  // namespace vexon
