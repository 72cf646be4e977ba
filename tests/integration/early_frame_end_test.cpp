// The early frame end: a read that expects one answer ends at the whole
// frame instead of after 30 ms of silence, and every other read keeps the
// idle cut. The simulator runs with 9600-baud pacing, so answers arrive byte
// by byte as on a real line, and sends a trailer (the answer once more) a
// few ms after the server has taken the answer off the line: whether the
// trailer ends up in the read tells how the read ended, without timing the
// read itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "sim_fixture.h"

using namespace vexon;
using namespace vexon::testing;
using sim::TSimFault;

namespace {

// The default gap between bursts leaves the idle cut (30 ms) a margin of
// 120 ms, so a reader held off the processor on a loaded machine still ends
// before the next burst.
sim::TSimOptions Paced(int burstGapMs = 150) {
  sim::TSimOptions o;
  o.Pacing = true;
  o.BurstGapMs = burstGapMs;
  return o;
}

const std::vector<uint8_t> kQualityTwo = {0x00, 0x02, 0x80, 0x02, 0x80};

}  // namespace

class EarlyFrameEndTest : public SimLinkTest {
 protected:
  explicit EarlyFrameEndTest(sim::TSimOptions options = Paced()) : SimLinkTest(sim::TSimNetwork::Default(), options) {}

  void UseEarlyFrameEnd(bool on) {
    timings_.EarlyFrameEnd = on;
    link_.reset();
    port_ = std::make_unique<TSerialPort>(ports_, timings_);
    link_ = std::make_unique<TLink>(*port_, model_, clock_);
    OpenPort();
  }
  // Sends the broadcast 0x21 (answered with quality 2) with `fault` and
  // reads the quality answer.
  bool QualityExchange(TSimFault fault, int32_t& quality) {
    sim_.InjectFault(fault);
    if (!link_->SendEmpty(1, 0xFF, 0xFF, 0x21)) return false;
    return link_->ReceiveQuality(quality);
  }
  // The bytes still on the line after `trailers` trailers have been sent.
  std::vector<uint8_t> LeftOnTheLine(size_t trailers) {
    EXPECT_TRUE(sim_.WaitForTrailers(trailers, 3000));
    uint8_t buf[proto::kIoBuffer];
    size_t n = 0;
    EXPECT_EQ(port_->Uart()->Receive(buf, n), TReadResult::Ok);
    return std::vector<uint8_t>(buf, buf + n);
  }
};

TEST_F(EarlyFrameEndTest, SingleAnswerReadEndsAtTheWholeFrameAndLeavesTheNextBurst) {
  UseEarlyFrameEnd(true);
  // Each round must show it in one attempt of three: on a loaded machine
  // the pseudo-terminal can hold bytes back past the idle cut in the middle
  // of the answer, which no read setting can tell from a short frame. A
  // read that waits for the idle cut takes the trailer in every attempt.
  size_t trailers = 0;
  for (int round = 1; round <= 3; ++round) {
    bool shown = false;
    for (int attempt = 0; attempt < 3 && !shown; ++attempt) {
      int32_t q = -1;
      const bool ok = QualityExchange({TSimFault::None, 0, 5}, q);
      ++trailers;
      if (ok) {
        EXPECT_EQ(q, 2);
        EXPECT_EQ(link_->Status(), lsOk);
        // The second burst came after the read had ended and is still there.
        shown = LeftOnTheLine(trailers) == kQualityTwo;
      } else {
        ASSERT_TRUE(sim_.WaitForTrailers(trailers, 3000));
        uint8_t buf[proto::kIoBuffer];
        size_t n = 0;
        port_->Uart()->Receive(buf, n);  // whatever is left of this attempt
      }
    }
    EXPECT_TRUE(shown) << "round " << round << ", status " << link_->Status();
  }
}

TEST_F(EarlyFrameEndTest, StatusAnswerSplitAcrossTwoBurstsIsReadWhole) {
  UseEarlyFrameEnd(true);
  // Status byte b1 0x7A makes the first 4 bytes (00 08 72 7A) look like a
  // shortest frame with a right checksum; only the length byte, which says
  // 11, tells that more is coming.
  sim_.WithNetwork([](sim::TSimNetwork& n) { n.Find(0)->Status[0] = 0x7A; });
  for (int first : {2, 4, 10}) {
    sim_.InjectFault({TSimFault::Split, first});
    ASSERT_TRUE(link_->SendFrame(std::vector<uint8_t>{0x00, 0x04, 0x00, 0x00, 0x72, 0x00, 0x76}.data()));
    uint8_t code = 0;
    uint8_t data[proto::kIoBuffer];
    size_t len = 0;
    ASSERT_TRUE(link_->ReceiveAnswer(code, data, len)) << "split after " << first << ", status " << link_->Status();
    EXPECT_EQ(code, 0x72);
    EXPECT_EQ(len, 7u);
    EXPECT_EQ(data[0], 0x7A);
    EXPECT_EQ(data[2], 0x1F);
  }
}

TEST_F(EarlyFrameEndTest, CorruptChecksumIsNotTakenAsAWholeFrame) {
  UseEarlyFrameEnd(true);
  // The read must go on past the corrupt frame and so take the trailer too
  // (length fault); a read ended at it would report the checksum. A
  // simulator held off the processor past the idle cut would let the read
  // end before the trailer, so one attempt of three has to show it.
  bool tookTrailer = false;
  for (int attempt = 0; attempt < 3 && !tookTrailer; ++attempt) {
    int32_t q = -1;
    EXPECT_FALSE(QualityExchange({TSimFault::BadChecksum, 0, 5}, q));
    EXPECT_TRUE(link_->Status() == lsLength || link_->Status() == lsChecksum) << link_->Status();
    tookTrailer = link_->Status() == lsLength;
    ASSERT_TRUE(sim_.WaitForTrailers(static_cast<size_t>(attempt) + 1, 3000));
  }
  EXPECT_TRUE(tookTrailer);
  // And a wrong length byte with a right checksum is no whole frame either.
  int32_t q = -1;
  EXPECT_FALSE(QualityExchange({TSimFault::BadLength}, q));
  EXPECT_EQ(link_->Status(), lsLength);
}

TEST_F(EarlyFrameEndTest, MultiFrameReadsKeepTheIdleCut) {
  UseEarlyFrameEnd(true);
  // The answer, and the same frame again after the server has taken the
  // first: ReceiveAnswers waits for silence and gets both, where a read
  // ended at the first whole frame would get one. One attempt of three has
  // to show it (a simulator held off the processor past the idle cut would
  // send the second frame too late).
  size_t most = 0;
  for (int attempt = 0; attempt < 3 && most < 2; ++attempt) {
    sim_.InjectFault({TSimFault::None, 0, 5});
    ASSERT_TRUE(link_->SendEmpty(1, 0xFF, 0xFF, 0x21));
    std::vector<TAskItem> items;
    ASSERT_TRUE(link_->ReceiveAnswers(items)) << link_->Status();
    for (const auto& it : items) {
      EXPECT_EQ(it.Code, 0x80);
      EXPECT_EQ(it.Len, 1);
    }
    most = std::max(most, items.size());
    ASSERT_TRUE(sim_.WaitForTrailers(static_cast<size_t>(attempt) + 1, 3000));
  }
  EXPECT_EQ(most, 2u);
}

TEST_F(EarlyFrameEndTest, AutoconfigurationReadsEveryDescriptorBlock) {
  // A network large enough for two descriptor blocks in one burst, then the
  // closing frame after a pause.
  sim::TSimNetwork net = sim::TSimNetwork::Default();
  sim::TSimNetwork big = net;
  while (big.Controllers.size() < 40) {
    sim::TSimController c = net.Controllers.back();
    c.Descriptor[0] = static_cast<uint8_t>(big.Controllers.size());
    big.Controllers.push_back(c);
  }
  sim_.WithNetwork([&](sim::TSimNetwork& n) { n.Controllers = big.Controllers; });
  UseEarlyFrameEnd(true);
  ASSERT_TRUE(link_->SendEmpty(1, 0xFF, 0xFF, 0x00));
  port_->SetReadTotalTimeout(2000);
  std::vector<TAskItem> blocks;
  ASSERT_TRUE(link_->ReceiveAnswers(blocks)) << link_->Status();
  // A reader held off the processor through the pause also takes the
  // closing frame in the same read (autoconfiguration takes it from there).
  if (blocks.size() == 3u) {
    EXPECT_EQ(blocks[2].Code, proto::ansAutoconfigEnd);
    blocks.pop_back();
  } else {
    uint8_t code = 0;
    uint8_t data[proto::kIoBuffer];
    size_t len = 0;
    ASSERT_TRUE(link_->ReceiveAnswer(code, data, len)) << link_->Status();
    EXPECT_EQ(code, proto::ansAutoconfigEnd);
  }
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].Len + blocks[1].Len, static_cast<int32_t>(40 * proto::kDescriptorLen));
}

TEST_F(EarlyFrameEndTest, WaitAnswersThenTheAnswerInBothModes) {
  for (bool on : {false, true}) {
    UseEarlyFrameEnd(on);
    int32_t q = -1;
    ASSERT_TRUE(QualityExchange({TSimFault::Waits, 2}, q)) << "early " << on << ", status " << link_->Status();
    EXPECT_EQ(q, 2);
    EXPECT_EQ(link_->Status(), lsOk);
  }
}

TEST_F(EarlyFrameEndTest, OffByDefaultAndOffKeepsTheIdleCut) {
  EXPECT_FALSE(TLinkTimings{}.EarlyFrameEnd);
  UseEarlyFrameEnd(false);
  // The read waits for silence, so the trailer joins it: two frames in one
  // read, a length fault, as without the setting. One attempt of three has
  // to show it (a simulator held off the processor past the idle cut would
  // send the trailer too late).
  bool tookTrailer = false;
  for (int attempt = 0; attempt < 3 && !tookTrailer; ++attempt) {
    int32_t q = -1;
    const bool ok = QualityExchange({TSimFault::None, 0, 5}, q);
    tookTrailer = !ok && link_->Status() == lsLength;
    ASSERT_TRUE(sim_.WaitForTrailers(static_cast<size_t>(attempt) + 1, 3000));
  }
  EXPECT_TRUE(tookTrailer);
  // An exchange without a trailer succeeds as before.
  int32_t q = -1;
  ASSERT_TRUE(QualityExchange({TSimFault::None}, q));
  EXPECT_EQ(q, 2);
}

// A controller that sends the answer 10 ms after its wait answer, inside the
// idle cut: the wait answer's read still waits for silence and takes both,
// and the answer behind the wait answer counts. A read ended at the wait
// answer would purge the answer's first bytes away.
class EarlyFrameEndCloseBurstsTest : public EarlyFrameEndTest {
 protected:
  EarlyFrameEndCloseBurstsTest() : EarlyFrameEndTest(Paced(10)) {}
};

TEST_F(EarlyFrameEndCloseBurstsTest, WaitAnswerReadKeepsTheIdleCut) {
  UseEarlyFrameEnd(true);
  for (int attempt = 0; attempt < 3; ++attempt) {
    int32_t q = -1;
    ASSERT_TRUE(QualityExchange({TSimFault::Waits, 1}, q)) << "attempt " << attempt << ", status " << link_->Status();
    EXPECT_EQ(q, 2);
  }
}
