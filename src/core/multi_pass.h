// The transfers that take more than one step of the executor: a card list
// sent to a controller (kind 35 with a TSendCardListItem), an autonomous
// card list (kind 37 with a TSendAutCardListItem) and, when a journal step
// is installed, the registration-journal read (kind 48).
//
// Each step sends one block (or reads one page). The request keeps its
// place in the queue between steps, so requests whose key sorts before it
// are carried out between its blocks; it is answered only when it ends. A
// block that fails, or leaves a link status other than 0, ends the transfer
// with the link's code and the blocks after it are never sent. A list
// without blocks ends at its first step without traffic, answered 0.
#pragma once

#include <string>

#include "core/server_core.h"
#include "queue/request_queue.h"

namespace vexon {

// Steps of the transfers carried out one block or page at a time.
class TMultiPass {
 public:
  virtual ~TMultiPass() = default;
  // Carries out one step of `r`; true when the request is finished (the
  // implementation has then stored its answer and removed the request).
  virtual bool Step(const TRequestPtr& r, const std::string& key) = 0;
};

// Stores (value, a, b, c) as the request's answer, unless ClearRequests
// destroyed it meanwhile (its answer is then 88), and removes it.
void FinishRequest(TServerCore& core, const TRequestPtr& r, const std::string& key, int32_t value, int32_t a,
                   int32_t b, int32_t c);

class TMultiPassSteps final : public TMultiPass {
 public:
  explicit TMultiPassSteps(TServerCore& core) : core_(core) {}
  // The registration-journal read; without one a kind-48 request is
  // removed with a log line.
  void SetJournalStep(TMultiPass* step) { journal_ = step; }

  bool Step(const TRequestPtr& r, const std::string& key) override;

 private:
  bool StepCardList(const TRequestPtr& r, const std::string& key, TSendCardListItem& item);
  bool StepAutCardList(const TRequestPtr& r, const std::string& key, TSendAutCardListItem& item);
  // Common end of a block step: finish on failure or after the last block.
  bool AfterBlock(const TRequestPtr& r, const std::string& key, bool ok, const TTransactResult& t, size_t& index,
                  size_t count);

  TServerCore& core_;
  TMultiPass* journal_ = nullptr;
};

}  // namespace vexon
