// The command encoders that do more than hand a ready buffer to Transact:
// autoconfiguration, whole tables, card segments, card blocks, journal and
// monitoring pages, the status query, and the card commands.
//
// Each returns a boolean and leaves the link status; a MakeAdr that the
// address list does not hold ends the command before anything is sent
// (status 28), an unknown card likewise (status 30).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "link/link.h"
#include "model/card_segments.h"
#include "util/date_time.h"

namespace vexon {

// The 7 BCD bytes of the clock command: second, minute, hour, day of week
// (1 = Sunday), day, month, year (-2000 from 2000 on, else -1900).
void EncodeClock(double dateTime, uint8_t* out7);

// Set by the monitoring poll only.
struct TLinkHealth {
  std::atomic<bool> LinkDown{false};
  std::atomic<bool> PrimaryConfigBroken{false};
};

struct TPage {
  int32_t Records = 0;     // number of 4-byte records
  bool SecondCode = false;  // answered with 0x31 / 0x71
  std::vector<uint8_t> Data;
};

class TCommands {
 public:
  TCommands(TLink& link, TCardSegments& segments, TLinkHealth& health, std::string systemFilePath);

  // Discovers the network and replaces the three lists and "new_sys.bin".
  bool Autoconfigure();
  // One record of 0x11..0x13, or the 96-byte calendar 0x10.
  bool SendRecord(uint8_t command, const uint8_t* data, size_t n, TTransactResult& r);
  // A whole table of 0x11 (256 x 24), 0x12 (128 x 10) or 0x13 (32 x 32).
  bool SendTable(uint8_t command, const uint8_t* table, size_t size, TTransactResult& r);
  // 0x21 to all, then 0x20 per segment, marking each sent segment in
  // `list`. The pending form goes on after a clearing or a segment whose
  // quality stays wrong and ends with status 15 when any did; a carried
  // list (from a client's array) stops at such a clearing or segment.
  bool SendPendingSegments(TCardList& list, TTransactResult& r);
  bool SendSegmentList(TCardList& list, TTransactResult& r);
  bool SendClearSegments(int32_t makeAdr, TTransactResult& r);
  bool SendClearCards(int32_t makeAdr, TTransactResult& r);
  // 0x22, 0x23, 0x25, 0x26; n = 0 succeeds without sending; more than one
  // frame can carry is refused (status lsDataTooLong) and nothing is sent.
  bool SendCardBlock(uint8_t command, int32_t makeAdr, const uint8_t* bytes, size_t n, TTransactResult& r);
  bool ReadJournalPage(uint8_t command, int32_t makeAdr, TPage& page);
  bool ReadMonitorPage(uint8_t command, TPage& page);
  bool QueryStatus(uint8_t sysAdr, std::array<uint8_t, 7>& status);
  bool SendCardZone(uint8_t facilityCode, uint32_t cardId, uint8_t zone);
  // Flag 0: 0x49 (no answer); flag 1: 0x4A through Transact.
  bool SendCardFlag(uint8_t facilityCode, uint32_t cardId, int flag, TTransactResult& r);
  bool QueryCardZone(uint8_t facilityCode, uint32_t cardId, uint8_t& zone);

  // Waits after the commands without an answer (line pacing of the network).
  uint32_t CardZoneWaitMs = 60;
  uint32_t DisableWaitMs = 80;

  TLink& Link() { return link_; }

 private:
  // Address1 for a MakeAdr: 255 for 0, the SysAdr, or -1 (status 28 set).
  int32_t AddressOf(int32_t makeAdr);
  // The card's system index; status 30 (31 past the index line) when absent.
  bool CardIndex(uint8_t facilityCode, uint32_t cardId, uint16_t& index);
  bool ProbePrimaryIfDown();
  // A question the primary controller answers itself (Route 0, addresses
  // 0 and 0): the answer must carry the command's code and answerLen bytes.
  bool QueryPrimary(uint8_t command, const uint8_t* data, size_t n, size_t answerLen, uint8_t* answer);
  bool SendNoAnswer(uint8_t command, const uint8_t* data, size_t n, uint32_t waitMs);
  bool SendSegmentsFrom(TCardList& list, bool pending, TTransactResult& r);

  TLink& link_;
  TCardSegments& segments_;
  TLinkHealth& health_;
  std::string systemFile_;
};

}  // namespace vexon
