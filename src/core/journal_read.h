// The registration-journal read (kind 48 with a TCardRegistrationItem), one
// page per executor step.
//
// A read asks for its first page with 0x30 and for every further page with
// 0x31, which also confirms the page before it; while the controller's
// JournalPending flag is set, its next read starts with 0x31. The events of
// each page are on stable storage (TRegJournal::AddEventsDurable) before the
// step returns, so before any command can confirm that page. A read fails
// over to a fresh first-page read once; a second failure in a row ends it
// with the link's code. It ends with 0 when the controller answers 0x31 with
// an empty page, or when the registration list has no room for another page
// (events read are never dropped for room). A request whose ControllerIndex
// names no controller record is answered 32 and touches no record.
#pragma once

#include <map>
#include <string>

#include "core/multi_pass.h"
#include "journals/reg_decode.h"

namespace vexon {

class TJournalReadStep final : public TMultiPass {
 public:
  explicit TJournalReadStep(TServerCore& core) : core_(core) {}
  bool Step(const TRequestPtr& r, const std::string& key) override;

 private:
  void SetPending(uint8_t sysAdr, uint8_t value);

  TServerCore& core_;
  // Last date record per controller, kept between pages and reads.
  std::map<uint16_t, TJournalDecodeState> decode_;
};

}  // namespace vexon
