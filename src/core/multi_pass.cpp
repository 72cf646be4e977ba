#include "core/multi_pass.h"

#include "link/protocol.h"
#include "util/log.h"
#include "util/result_codes.h"

namespace vexon {

void FinishRequest(TServerCore& core, const TRequestPtr& r, const std::string& key, int32_t value, int32_t a,
                   int32_t b, int32_t c) {
  if (!r->Cancelled) core.Answers.StoreAnswer({r->EventID, value, a, b, c});
  core.Requests.RemoveRequest(key);
}

bool TMultiPassSteps::Step(const TRequestPtr& r, const std::string& key) {
  if (r->Kind == rkSendCard) {
    if (auto* item = dynamic_cast<TSendCardListItem*>(r->Buf.get())) return StepCardList(r, key, *item);
  } else if (r->Kind == rkSendAutCardList) {
    if (auto* item = dynamic_cast<TSendAutCardListItem*>(r->Buf.get())) return StepAutCardList(r, key, *item);
  } else if (r->Kind == rkReadRegJournal) {
    if (journal_) return journal_->Step(r, key);
    log::warn("registration-journal read {} dropped: not carried out by this build", r->EventID);
    core_.Requests.RemoveRequest(key);
    return true;
  }
  FinishRequest(core_, r, key, rcBadCommand, 0, 0, 0);
  return true;
}

bool TMultiPassSteps::AfterBlock(const TRequestPtr& r, const std::string& key, bool ok, const TTransactResult& t,
                                 size_t& index, size_t count) {
  TLink& link = core_.Link;
  if (!ok || link.Status() != lsOk) {
    FinishRequest(core_, r, key, link.GetLinkResult(), 0, 0, 0);
    return true;
  }
  ++index;
  if (index >= count) {
    FinishRequest(core_, r, key, link.GetLinkResult(), t.Quality, t.Expected, t.Ready);
    return true;
  }
  return false;
}

bool TMultiPassSteps::StepCardList(const TRequestPtr& r, const std::string& key, TSendCardListItem& item) {
  TTransactResult t;
  bool ok = true;
  if (item.Index < item.Cards.size()) {
    const TCardBufItem& block = item.Cards[item.Index];
    const uint8_t command = block.BlockType == 0 ? proto::cmdCardListBlock : proto::cmdCardRecord;
    ok = core_.Commands.SendCardBlock(command, item.MakeAdr, block.Data.data(), block.Length, t);
  } else {
    // Nothing to send: the answer is this transfer's, not the status an
    // earlier request left behind.
    core_.Link.SetStatus(lsOk);
  }
  return AfterBlock(r, key, ok, t, item.Index, item.Cards.size());
}

bool TMultiPassSteps::StepAutCardList(const TRequestPtr& r, const std::string& key, TSendAutCardListItem& item) {
  TTransactResult t;
  bool ok = true;
  const size_t count = item.Cards.size();
  if (item.Index < count) {
    const TAutCardBufItem& block = item.Cards[item.Index];
    const uint8_t command = item.Index + 1 < count ? proto::cmdAutCardBlock : proto::cmdAutCardBlock2;
    ok = core_.Commands.SendCardBlock(command, item.MakeAdr, block.Data.data(), block.Length, t);
  } else {
    core_.Link.SetStatus(lsOk);
  }
  return AfterBlock(r, key, ok, t, item.Index, count);
}

}  // namespace vexon
