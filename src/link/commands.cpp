#include "link/commands.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "model/system_file.h"
#include "util/bytes.h"
#include "util/log.h"

namespace vexon {

using namespace proto;

namespace {
size_t TableRecordSize(uint8_t command, size_t& records) {
  switch (command) {
    case cmdTimeZone:
      records = 256;
      return 24;
    case cmdWeekDiagram:
      records = 128;
      return 10;
    case cmdShiftDiagram:
      records = 32;
      return 32;
    default:
      records = 0;
      return 0;
  }
}
}  // namespace

void EncodeClock(double dateTime, uint8_t* out) {
  const TDateFields f = DecodeDateTime(dateTime);
  out[0] = ToBcd(f.Second);
  out[1] = ToBcd(f.Minute);
  out[2] = ToBcd(f.Hour);
  out[3] = ToBcd(f.DayOfWeek);
  out[4] = ToBcd(f.Day);
  out[5] = ToBcd(f.Month);
  out[6] = ToBcd(f.Year >= 2000 ? f.Year - 2000 : f.Year - 1900);
}

TCommands::TCommands(TLink& link, TCardSegments& segments, TLinkHealth& health, std::string systemFilePath)
    : link_(link), segments_(segments), health_(health), systemFile_(std::move(systemFilePath)) {}

int32_t TCommands::AddressOf(int32_t makeAdr) {
  const int32_t sys = link_.Model().Addresses.FindSysAdr(makeAdr);
  if (sys < 0) link_.SetStatus(lsUnknownController);
  return sys;
}

bool TCommands::CardIndex(uint8_t facilityCode, uint32_t cardId, uint16_t& index) {
  switch (segments_.GetSystemIndexFromCard(facilityCode, cardId, index)) {
    case TLookup::Found:
      return true;
    case TLookup::OutOfRange:
      link_.SetStatus(lsCardIndexRange);
      return false;
    case TLookup::NotFound:
      break;
  }
  link_.SetStatus(lsUnknownCard);
  return false;
}

bool TCommands::Autoconfigure() {
  TDeviceModel& model = link_.Model();
  TSerialPort& port = link_.Port();
  model.DeviceInfo.Clear();
  std::array<uint8_t, 7> status{};
  if (!QueryStatus(0, status)) return false;
  const uint32_t saved = port.ReadTotalTimeout();
  port.SetReadTotalTimeout(port.Timings().AutoconfigMs);
  auto fail = [&] {
    port.SetReadTotalTimeout(saved);
    return false;
  };
  if (!link_.SendEmpty(1, kAll, kAll, cmdAutoconfig)) return fail();
  std::vector<TAskItem> blocks;
  if (!link_.ReceiveAnswers(blocks)) return fail();
  TUart* uart = port.Uart();
  // The closing frame follows the descriptor blocks after a pause, but a
  // server held off the processor during that pause reads both at once: a
  // closing frame behind the blocks is taken from there, and no second read
  // waits for it (the autoconfiguration time-out is an hour). Any other
  // frame that is not a descriptor block fails the blocks below first.
  std::optional<TAskItem> closing;
  if (!blocks.empty() && blocks.back().Code == ansAutoconfigEnd) {
    closing = blocks.back();
    blocks.pop_back();
  }
  for (const TAskItem& b : blocks) {
    if (b.Code == ansDescriptors) continue;
    if (uart) uart->LastError = uePrimaryRxError;
    link_.SetStatus(lsPrimaryRxError);
    return fail();
  }
  if (blocks.empty()) {
    if (uart) uart->LastError = ueLength;
    link_.SetStatus(lsLength);
    return fail();
  }
  uint8_t closeCode = 0;
  uint8_t closeData[kIoBuffer];
  size_t closeLen = 0;
  if (closing) {
    closeCode = closing->Code;
    closeLen = static_cast<size_t>(closing->Len);
  } else if (!link_.ReceiveAnswer(closeCode, closeData, closeLen)) {
    return fail();
  }
  std::vector<TDescriptor> descriptors;
  for (const TAskItem& b : blocks) {
    if (b.Len % static_cast<int32_t>(kDescriptorLen) != 0) {
      if (uart) uart->LastError = ueLength;
      link_.SetStatus(lsLength);
      return fail();
    }
    port.PurgeRx();
    if (b.Code != ansDescriptors) {
      if (uart) uart->LastError = uePrimaryRxError;
      link_.SetStatus(lsPrimaryRxError);
      return fail();
    }
    for (int32_t off = 0; off < b.Len; off += static_cast<int32_t>(kDescriptorLen)) {
      TDescriptor d;
      std::memcpy(d.data(), b.Data.data() + off, kDescriptorLen);
      descriptors.push_back(d);
    }
  }
  port.SetReadTotalTimeout(saved);
  if (!link_.CheckAnswer(closeCode, ansAutoconfigEnd, closeLen, 0)) return false;
  if (!model.BuildControllerList(&descriptors)) {
    link_.SetStatus(lsBuildList);
    return false;
  }
  port.SetReadTimeoutForCount(static_cast<int>(model.Controllers.Count()));
  const bool saved_ok = SaveSystemFile(model.Controllers, systemFile_);
  // The address list follows the new controller list even when the save
  // failed: a stale list would send one controller's commands to another.
  model.BuildAddressList();
  for (const auto& d : descriptors) model.DeviceInfo.Append(d);
  if (!saved_ok) {
    link_.SetStatus(lsSaveList);
    return false;
  }
  link_.SetStatus(lsOk);
  return true;
}

bool TCommands::SendRecord(uint8_t command, const uint8_t* data, size_t n, TTransactResult& r) {
  uint8_t req[3 + kMaxRequestData];
  if (n > kMaxRequestData) n = kMaxRequestData;
  req[0] = kAll;
  req[1] = kAll;
  req[2] = command;
  std::memcpy(req + 3, data, n);
  return link_.Transact(req, n + 3, r);
}

bool TCommands::SendTable(uint8_t command, const uint8_t* table, size_t size, TTransactResult& r) {
  size_t records = 0;
  const size_t rec = TableRecordSize(command, records);
  if (rec == 0) {
    link_.SetStatus(lsAnswerCode);
    return false;
  }
  records = std::min(records, size / rec);
  bool quality15 = false;
  int32_t smallest = 0xFF;
  TTransactResult last;
  uint8_t req[3 + 1 + 32];
  for (size_t i = 0; i < records; ++i) {
    req[0] = kAll;
    req[1] = kAll;
    req[2] = command;
    req[3] = static_cast<uint8_t>(i);
    std::memcpy(req + 4, table + i * rec, rec);
    if (!link_.Transact(req, 4 + rec, last)) return false;
    if (link_.Status() == lsQuality) quality15 = true;
    smallest = std::min(smallest, last.Quality);
  }
  link_.SetStatus(quality15 ? lsQuality : lsOk);
  r = last;
  r.Quality = records ? smallest : 0;
  return true;
}

bool TCommands::SendSegmentsFrom(TCardList& list, bool pending, TTransactResult& r) {
  const uint8_t clear[3] = {kAll, kAll, cmdClearSegments};
  if (!link_.Transact(clear, 3, r)) return false;
  int32_t smallest = 0xFF;
  bool qualityWrong = false;
  // A clearing that too few controllers accepted is no success either:
  // some controller may keep old segments beside the new ones. It counts
  // as a segment with that fault would.
  if (link_.Status() == lsQuality) {
    if (!pending) return false;
    qualityWrong = true;
    smallest = r.Quality;
  }
  TTransactResult last = r;
  for (size_t i = 0; i < list.Count(); ++i) {
    const TCardItem s = list.At(i);
    uint8_t req[3 + 8] = {kAll, kAll, cmdSegment, static_cast<uint8_t>(i), s.FacilityCode};
    PutU16(req + 5, s.FirstCard);
    PutU16(req + 7, s.LastCard);
    PutU16(req + 9, s.FirstIndex);
    if (!link_.Transact(req, sizeof req, last)) return false;
    if (link_.Status() == lsQuality) {
      if (!pending) return false;
      qualityWrong = true;
    }
    list.At(i).Sent = 1;
    smallest = std::min(smallest, last.Quality);
  }
  // Some controller may lack a segment: the transfer reports it.
  if (qualityWrong) link_.SetStatus(lsQuality);
  r = last;
  r.Quality = smallest;
  return true;
}

bool TCommands::SendPendingSegments(TCardList& list, TTransactResult& r) { return SendSegmentsFrom(list, true, r); }

bool TCommands::SendSegmentList(TCardList& list, TTransactResult& r) { return SendSegmentsFrom(list, false, r); }

bool TCommands::SendClearSegments(int32_t makeAdr, TTransactResult& r) {
  const int32_t sys = AddressOf(makeAdr);
  if (sys < 0) return false;
  const uint8_t req[3] = {static_cast<uint8_t>(sys), kAll, cmdClearSegments};
  return link_.Transact(req, 3, r);
}

bool TCommands::SendClearCards(int32_t makeAdr, TTransactResult& r) {
  const int32_t sys = AddressOf(makeAdr);
  if (sys < 0) return false;
  const uint8_t req[3] = {static_cast<uint8_t>(sys), kAll, cmdClearCardList};
  return link_.Transact(req, 3, r);
}

bool TCommands::SendCardBlock(uint8_t command, int32_t makeAdr, const uint8_t* bytes, size_t n, TTransactResult& r) {
  if (n == 0) {
    link_.SetStatus(lsOk);
    return true;
  }
  if (n > kMaxRequestData) {
    link_.SetStatus(lsDataTooLong);
    return false;
  }
  const int32_t sys = AddressOf(makeAdr);
  if (sys < 0) return false;
  uint8_t req[3 + kMaxRequestData];
  req[0] = static_cast<uint8_t>(sys);
  req[1] = kAll;
  req[2] = command;
  std::memcpy(req + 3, bytes, n);
  return link_.Transact(req, 3 + n, r);
}

bool TCommands::ReadJournalPage(uint8_t command, int32_t makeAdr, TPage& page) {
  link_.ForgetLastFrame();  // LastFrameLeft must speak of this command
  const int32_t sys = AddressOf(makeAdr);
  if (sys < 0) return false;
  if (!link_.SendEmpty(RouteOf(command), static_cast<uint8_t>(sys), kAll, command)) return false;
  uint8_t code;
  uint8_t data[kIoBuffer];
  size_t len = 0;
  if (!link_.ReceiveAnswer(code, data, len)) return false;
  if (code != cmdJournalPage && code != cmdJournalPageClear) {
    link_.SetStatus(lsAnswerCode);
    return false;
  }
  if (len % kRecordLen != 0 || len > kMaxPageData) {
    link_.SetStatus(lsJournalLength);
    return false;
  }
  page.Records = static_cast<int32_t>(len / kRecordLen);
  page.SecondCode = code == cmdJournalPageClear;
  page.Data.assign(data, data + len);
  return true;
}

bool TCommands::ReadMonitorPage(uint8_t command, TPage& page) {
  if (!link_.SendEmpty(0, 0, 0, command)) return false;
  uint8_t code;
  uint8_t data[kIoBuffer];
  size_t len = 0;
  if (!link_.ReceiveAnswer(code, data, len)) return false;
  // A wrong code or length fails the read with the status left at 0.
  if (code != cmdMonitorPage && code != cmdMonitorPageClear) return false;
  if (len % kRecordLen != 0 || len > kMaxPageData) return false;
  page.Records = static_cast<int32_t>(len / kRecordLen);
  page.SecondCode = code == cmdMonitorPageClear;
  page.Data.assign(data, data + len);
  return true;
}

bool TCommands::QueryPrimary(uint8_t command, const uint8_t* data, size_t n, size_t answerLen, uint8_t* answer) {
  uint8_t frame[kRequestHeader + 8];
  BuildFrame(0, 0, 0, command, data, n, frame);
  if (!link_.SendFrame(frame)) return false;
  uint8_t code;
  uint8_t received[kIoBuffer];
  size_t len = 0;
  if (!link_.ReceiveAnswer(code, received, len)) return false;
  if (!link_.CheckAnswer(code, command, len, answerLen)) return false;
  std::memcpy(answer, received, answerLen);
  return true;
}

bool TCommands::QueryStatus(uint8_t sysAdr, std::array<uint8_t, 7>& status) {
  return QueryPrimary(cmdStatus, &sysAdr, 1, kStatusLen, status.data());
}

bool TCommands::ProbePrimaryIfDown() {
  if (!health_.LinkDown) return true;
  TUart* uart = link_.Port().Uart();
  const uint32_t previous = uart ? uart->ReadTimeout() : 0;
  if (uart) uart->SetReadTimeout(link_.Port().Timings().StatusQueryMs);
  std::array<uint8_t, 7> status{};
  const bool ok = QueryStatus(0, status);
  if (uart) uart->SetReadTimeout(previous);
  if (!ok) link_.SetStatus(lsNoAnswer);
  return ok;
}

bool TCommands::SendNoAnswer(uint8_t command, const uint8_t* data, size_t n, uint32_t waitMs) {
  uint8_t frame[16];
  BuildFrame(RouteOf(command), kAll, kAll, command, data, n, frame);
  const bool ok = link_.SendFrame(frame);
  std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
  return ok;
}

bool TCommands::SendCardZone(uint8_t facilityCode, uint32_t cardId, uint8_t zone) {
  if (!ProbePrimaryIfDown()) return false;
  uint16_t index = 0;
  if (!CardIndex(facilityCode, cardId, index)) return false;
  const uint8_t data[3] = {LowByte(index), HighByte(index), zone};
  return SendNoAnswer(cmdCardZone, data, 3, CardZoneWaitMs);
}

bool TCommands::SendCardFlag(uint8_t facilityCode, uint32_t cardId, int flag, TTransactResult& r) {
  uint16_t index = 0;
  if (!CardIndex(facilityCode, cardId, index)) return false;
  if (flag == 1) {
    const uint8_t req[5] = {kAll, kAll, cmdEnableCard, LowByte(index), HighByte(index)};
    return link_.Transact(req, 5, r);
  }
  if (!ProbePrimaryIfDown()) return false;
  const uint8_t data[2] = {LowByte(index), HighByte(index)};
  return SendNoAnswer(cmdDisableCard, data, 2, DisableWaitMs);
}

bool TCommands::QueryCardZone(uint8_t facilityCode, uint32_t cardId, uint8_t& zone) {
  uint16_t index = 0;
  if (!CardIndex(facilityCode, cardId, index)) return false;
  const uint8_t data[2] = {LowByte(index), HighByte(index)};
  return QueryPrimary(cmdCardZoneQuery, data, 2, kCardZoneLen, &zone);
}

}  // namespace vexon
