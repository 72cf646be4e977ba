#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "sim_fixture.h"
#include "test_support.h"
#include "util/date_time.h"

using namespace vexon;
using namespace vexon::testing;
using sim::TSimFault;

using SerialPortTest = SimLinkTest;

TEST_F(SerialPortTest, ResultCodesOfOpenCloseAndNumber) {
  int32_t n = -1;
  EXPECT_EQ(port_->ClosePort(), 1);
  EXPECT_EQ(port_->GetPortNumber(n), 1);
  ports_.Set(7, "/dev/does-not-exist-vexon");
  EXPECT_EQ(port_->OpenPort(7), 4);
  EXPECT_EQ(port_->GetPortNumber(n), 2);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(port_->OpenPort(1), 0) << "a valid number opens on the same object";
  EXPECT_EQ(port_->GetPortNumber(n), 0);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(port_->OpenPort(7), 3);
  EXPECT_EQ(port_->GetPortNumber(n), 0);
  EXPECT_EQ(n, 1) << "already open: the number does not change";
  EXPECT_EQ(port_->ClosePort(), 0);
  EXPECT_EQ(port_->ClosePort(), 9);
  EXPECT_EQ(port_->GetPortNumber(n), 2);
  EXPECT_EQ(n, 0);
}

TEST_F(SerialPortTest, TwoDigitPortNamesAndReopen) {
  ports_.Set(12, sim_.SlavePath());
  EXPECT_EQ(port_->OpenPort(12), 0);
  int32_t n = 0;
  EXPECT_EQ(port_->GetPortNumber(n), 0);
  EXPECT_EQ(n, 12);
  EXPECT_EQ(port_->Uart()->PortName(), "COM12");
  EXPECT_EQ(port_->ClosePort(), 0);
  EXPECT_EQ(port_->OpenPort(1), 0);
  EXPECT_EQ(port_->Uart()->PortName(), "COM1");
}

TEST_F(SerialPortTest, SecondServerOnTheSameLineIsRefused) {
  OpenPort();
  TSerialPort other(ports_, timings_);
  EXPECT_EQ(other.OpenPort(1), 4);
  EXPECT_EQ(port_->ClosePort(), 0);
  EXPECT_EQ(other.OpenPort(1), 0) << "free again after the first closes";
}

TEST_F(SerialPortTest, ReadTimeoutForCountAndOversizedSend) {
  port_->SetReadTimeoutForCount(11);
  EXPECT_EQ(port_->ReadTotalTimeout(), 660u);
  port_->SetReadTimeoutForCount(3);
  EXPECT_EQ(port_->ReadTotalTimeout(), 600u);
  OpenPort();
  EXPECT_EQ(port_->Uart()->ReadTimeout(), 600u) << "remembered value used by the open";
  std::vector<uint8_t> big(1025, 0);
  EXPECT_FALSE(port_->Uart()->Send(big.data(), big.size()));
  EXPECT_EQ(port_->Uart()->LastError.load(), 1);
  EXPECT_EQ(sim_.FrameCount(), 0u);
}

TEST_F(SerialPortTest, PortMapParsing) {
  TPortMap m;
  EXPECT_TRUE(m.SetFromText("COM3=/dev/ttyUSB0"));
  EXPECT_EQ(m.PathOf(3), "/dev/ttyUSB0");
  EXPECT_EQ(m.PathOf(4), "/dev/ttyS3");
  EXPECT_TRUE(m.SetFromText("com12=/dev/pts/9"));
  EXPECT_EQ(m.PathOf(12), "/dev/pts/9");
  EXPECT_FALSE(m.SetFromText("COM=/dev/x"));
  EXPECT_FALSE(m.SetFromText("COM0=/dev/x"));
  EXPECT_FALSE(m.SetFromText("LPT1=/dev/x"));
  EXPECT_FALSE(m.SetFromText("COM3="));
  EXPECT_FALSE(m.SetFromText("COMx=/dev/x"));
}

using LinkTest = SimLinkTest;

TEST_F(LinkTest, PrimitivesWithoutAnOpenPort) {
  uint8_t code;
  uint8_t data[4096];
  size_t len;
  EXPECT_FALSE(link_->SendEmpty(1, 0xFF, 0xFF, 0x21));
  EXPECT_EQ(link_->Status(), lsNoPort);
  EXPECT_EQ(link_->GetLinkResult(), 1);
  OpenPort();
  port_->ClosePort();
  EXPECT_FALSE(link_->ReceiveAnswer(code, data, len));
  EXPECT_EQ(link_->Status(), lsPortClosed);
  EXPECT_EQ(link_->GetLinkResult(), 2);
}

TEST_F(LinkTest, StatusQueryOnTheLine) {
  OpenPort();
  ASSERT_TRUE(link_->SendFrame(std::vector<uint8_t>{0x00, 0x04, 0x00, 0x00, 0x72, 0x00, 0x76}.data()));
  uint8_t code;
  uint8_t data[4096];
  size_t len = 0;
  ASSERT_TRUE(link_->ReceiveAnswer(code, data, len));
  EXPECT_EQ(code, 0x72);
  EXPECT_EQ(len, 7u);
  EXPECT_EQ(data[2], 0x1F);
  ASSERT_TRUE(sim_.WaitForFrames(1, 1000));
  EXPECT_EQ(sim_.ReceivedFrames()[0], (std::vector<uint8_t>{0x00, 0x04, 0x00, 0x00, 0x72, 0x00, 0x76}));
}

struct FaultCase {
  TSimFault fault;
  uint16_t status;
  int32_t result;
};

TEST_F(LinkTest, EachFaultEndsInItsLinkStatus) {
  OpenPort();
  const FaultCase cases[] = {
      {{TSimFault::Garbage, 3}, lsLength, 21},       {{TSimFault::NoAnswer}, lsNoAnswer, 26},
      {{TSimFault::BadLength}, lsLength, 21},        {{TSimFault::BadChecksum}, lsChecksum, 19},
      {{TSimFault::TerminalSilent}, lsTerminalSilent, 24}, {{TSimFault::PrimaryRxError}, lsPrimaryRxError, 25},
      {{TSimFault::TwoFrames}, lsLength, 21},
  };
  for (const auto& c : cases) {
    sim_.InjectFault(c.fault);
    ASSERT_TRUE(link_->SendEmpty(1, 0xFF, 0xFF, 0x21));
    uint8_t code;
    uint8_t data[4096];
    size_t len;
    EXPECT_FALSE(link_->ReceiveAnswer(code, data, len)) << c.fault.What;
    EXPECT_EQ(link_->Status(), c.status) << c.fault.What;
    EXPECT_EQ(link_->GetLinkResult(), c.result) << c.fault.What;
  }
}

TEST_F(LinkTest, QualityAnswerChecks) {
  OpenPort();
  int32_t q = -1;
  sim_.InjectFault({TSimFault::QualityTwoBytes});
  ASSERT_TRUE(link_->SendEmpty(1, 0xFF, 0xFF, 0x21));
  EXPECT_FALSE(link_->ReceiveQuality(q));
  EXPECT_EQ(link_->Status(), lsLength);
  sim_.InjectFault({TSimFault::WrongCode, 0x81});
  ASSERT_TRUE(link_->SendEmpty(1, 0xFF, 0xFF, 0x21));
  EXPECT_FALSE(link_->ReceiveQuality(q));
  EXPECT_EQ(link_->Status(), lsAnswerCode);
  sim_.InjectFault({TSimFault::Waits, 2});
  ASSERT_TRUE(link_->SendEmpty(1, 0xFF, 0xFF, 0x21));
  EXPECT_TRUE(link_->ReceiveQuality(q));
  EXPECT_EQ(q, 2);
  EXPECT_EQ(link_->Status(), lsOk);
}

// A communication thread held off the processor through the pauses after
// wait answers reads them and the answer at once: the answer still counts,
// and a wait answer alone behind an answer's bytes is no answer.
TEST_F(LinkTest, WaitAnswersReadTogetherWithTheAnswer) {
  OpenPort();
  uint8_t wait[8], quality[8];
  const size_t w = BuildAnswerFrame(proto::ansWait, nullptr, 0, wait);
  const uint8_t three = 3;
  const size_t n = BuildAnswerFrame(proto::ansQuality, &three, 1, quality);
  // Sends a request the simulator leaves unanswered, then hands the server
  // `line` in one piece as that request's answer.
  size_t sent = 0;
  const auto answerWith = [&](const std::vector<uint8_t>& line) {
    sim_.InjectFault({TSimFault::NoAnswer});
    ASSERT_TRUE(link_->SendEmpty(1, 0xFF, 0xFF, 0x21));
    ASSERT_TRUE(sim_.WaitForFrames(++sent, 10000));
    sim_.SendRaw(line);
  };
  std::vector<uint8_t> line(wait, wait + w);
  line.insert(line.end(), wait, wait + w);
  line.insert(line.end(), quality, quality + n);
  answerWith(line);
  int32_t q = -1;
  ASSERT_TRUE(link_->ReceiveQuality(q)) << link_->Status();
  EXPECT_EQ(q, 3);
  // The other way round it stays a length fault: the answer's bytes first.
  line.assign(quality, quality + n);
  line.insert(line.end(), wait, wait + w);
  answerWith(line);
  EXPECT_FALSE(link_->ReceiveQuality(q));
  EXPECT_EQ(link_->Status(), lsLength);
  // Three bytes behind a wait answer are no frame (found by fuzzing: they
  // passed the length and checksum checks as an empty answer).
  line.assign(wait, wait + w);
  line.insert(line.end(), {0, 0, 0});
  answerWith(line);
  EXPECT_FALSE(link_->ReceiveQuality(q));
  EXPECT_EQ(link_->Status(), lsLength);
}

TEST_F(LinkTest, EndlessWaitAnswersAreBounded) {
  timings_.WaitAnswerLimitTimeouts = 2;
  port_ = std::make_unique<TSerialPort>(ports_, timings_);
  link_ = std::make_unique<TLink>(*port_, model_, clock_);
  OpenPort();
  port_->SetReadTotalTimeout(100);
  sim_.InjectFault({TSimFault::Waits, 20});  // 20 waits 60 ms apart
  ASSERT_TRUE(link_->SendEmpty(1, 0xFF, 0xFF, 0x21));
  const auto t0 = std::chrono::steady_clock::now();
  uint8_t code;
  uint8_t data[4096];
  size_t len;
  EXPECT_FALSE(link_->ReceiveAnswer(code, data, len));
  EXPECT_EQ(link_->Status(), lsNoAnswer);
  EXPECT_LT(MsSince(t0), 800);
}

TEST_F(LinkTest, ReceiveAnswersSplitsOneRead) {
  OpenPort();
  sim_.InjectFault({TSimFault::TwoFrames});
  ASSERT_TRUE(link_->SendEmpty(1, 0xFF, 0xFF, 0x21));
  std::vector<TAskItem> items;
  ASSERT_TRUE(link_->ReceiveAnswers(items));
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].Code, 0x80);
  EXPECT_EQ(items[1].Len, 1);
  // A zero length byte is refused rather than read before its data.
  sim_.SendRaw({0x00, 0x00, 0x80, 0x80});
  items.clear();
  EXPECT_FALSE(link_->ReceiveAnswers(items));
  EXPECT_EQ(link_->Status(), lsLength);
}

TEST_F(LinkTest, ReadEndsOnTheIdleCutNotTheTotalTimeOut) {
  OpenPort();
  // A total far beyond anything a busy machine holds the answer back: the
  // read that ends well before it ended on the idle cut.
  port_->SetReadTotalTimeout(20000);
  ASSERT_TRUE(link_->SendEmpty(1, 0xFF, 0xFF, 0x21));
  auto t0 = std::chrono::steady_clock::now();
  int32_t q = 0;
  ASSERT_TRUE(link_->ReceiveQuality(q));
  const int64_t answered = MsSince(t0);
  EXPECT_GE(answered, 30);
  EXPECT_LT(answered, 10000);

  port_->SetReadTotalTimeout(200);
  sim_.InjectFault({TSimFault::NoAnswer});
  ASSERT_TRUE(link_->SendEmpty(1, 0xFF, 0xFF, 0x21));
  t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(link_->ReceiveQuality(q));
  const int64_t silent = MsSince(t0);
  EXPECT_EQ(link_->Status(), lsNoAnswer);
  EXPECT_GE(silent, 195);
  EXPECT_LT(silent, 5000) << "ended by the total time-out";
}

TEST_F(LinkTest, TransactCountsExpectedAndRepeatsOnWrongQuality) {
  ConfigureModelFromSim();
  OpenPort();
  const uint8_t all[3] = {0xFF, 0xFF, 0x21};
  TTransactResult r;
  ASSERT_TRUE(link_->Transact(all, 3, r));
  EXPECT_EQ(link_->Status(), lsOk);
  EXPECT_EQ(r.Quality, 2);
  EXPECT_EQ(r.Expected, 2) << "three controllers, one a hub";
  EXPECT_EQ(r.Ready, 2);
  EXPECT_EQ(sim_.FrameCount(), 1u);

  sim_.ClearReceived();
  for (int i = 0; i < 3; ++i) sim_.InjectFault({TSimFault::Quality, 1});
  ASSERT_TRUE(link_->Transact(all, 3, r)) << "the transaction itself reports success";
  EXPECT_EQ(sim_.FrameCount(), 3u);
  EXPECT_EQ(link_->Status(), lsQuality);
  EXPECT_EQ(link_->GetLinkResult(), 27);
  EXPECT_EQ(r.Quality, 1);

  sim_.ClearReceived();
  sim_.InjectFault({TSimFault::Quality, 1});
  ASSERT_TRUE(link_->Transact(all, 3, r));
  EXPECT_EQ(sim_.FrameCount(), 2u) << "the second transfer got the right quality";
  EXPECT_EQ(link_->Status(), lsOk);

  const uint8_t one[4] = {2, 0, 0x04, 7};  // reader zone of controller 2
  ASSERT_TRUE(link_->Transact(one, 4, r));
  EXPECT_EQ(r.Expected, 1);
  EXPECT_EQ(r.Quality, 1);
  model_.Controllers.SetReaderZone(2, 0, 7);
  const uint8_t zone[3] = {0xFF, 7, 0x44};
  ASSERT_TRUE(link_->Transact(zone, 3, r));
  EXPECT_EQ(r.Expected, 1);
  EXPECT_EQ(r.Quality, 1) << "the simulator followed the zone command";
}

TEST_F(LinkTest, SendBlockRepeatsAndLogsExactLines) {
  ConfigureModelFromSim();
  OpenPort();
  uint8_t frame[8];
  BuildEmptyFrame(1, 0xFF, 0xFF, 0x21, frame);
  int32_t q = 0;
  sim_.InjectFault({TSimFault::NoAnswer});
  ASSERT_TRUE(link_->SendBlock(frame, q)) << "the repeat after a failed quality succeeds";
  sim_.InjectFault({TSimFault::NoAnswer});
  sim_.InjectFault({TSimFault::BadChecksum});
  EXPECT_FALSE(link_->SendBlock(frame, q));
  EXPECT_EQ(link_->Status(), lsChecksum);
  EXPECT_EQ(link_->FramesSent(), 2);
  EXPECT_EQ(link_->FramesFailed(), 3);
  const std::string stamp = "09.12.2025 12:00:00";  // the fixture's clock: day 46000.5
  auto lines = link_->ExchangeLog().Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], stamp + " Пошел первый кадр...");
  EXPECT_EQ(lines[1], stamp + " Ошибка GetQuality. Всего кадров: 1, из них с ошибкой: 1");
  EXPECT_EQ(lines[2], stamp + " Ошибка GetQuality. Всего кадров: 2, из них с ошибкой: 2");
  EXPECT_EQ(lines[3], stamp + " Ошибка GetQuality после удачного повторного SendBlock. Всего кадров: 2, из них с ошибкой: 3");

  port_->ClosePort();
  EXPECT_FALSE(link_->SendBlock(frame, q));
  lines = link_->ExchangeLog().Lines();
  EXPECT_EQ(lines[4], stamp + "Ошибка SendBlock Всего кадров: 3, из них с ошибкой: 4");
  EXPECT_EQ(lines[5], stamp + "Ошибка при повторном SendBlock. Всего кадров: 3, из них с ошибкой: 5");

  const std::string path = ::testing::TempDir() + "/SrvVexon.Log";
  ASSERT_TRUE(link_->WriteExchangeLog(path));
  std::ifstream f(path);
  std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_NE(all.find("\r\n12:00:00 END All: 3  With Error: 5\r\n"), std::string::npos) << all;
  EXPECT_FALSE(link_->ExchangeLog().Exists());
}

TEST_F(LinkTest, CloseWakesAWaitingRead) {
  OpenPort();
  port_->SetReadTotalTimeout(5000);
  sim_.InjectFault({TSimFault::NoAnswer});
  ASSERT_TRUE(link_->SendEmpty(1, 0xFF, 0xFF, 0x21));
  const auto t0 = std::chrono::steady_clock::now();
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(port_->ClosePort(), 0);
  });
  int32_t q;
  EXPECT_FALSE(link_->ReceiveQuality(q));
  closer.join();
  EXPECT_EQ(link_->Status(), lsPortClosed);
  EXPECT_LT(MsSince(t0), 1000);
}

TEST_F(LinkTest, InterruptEndsAReadAtOnce) {
  OpenPort();
  port_->SetReadTotalTimeout(5000);
  sim_.InjectFault({TSimFault::NoAnswer});
  ASSERT_TRUE(link_->SendEmpty(1, 0xFF, 0xFF, 0x21));
  const auto t0 = std::chrono::steady_clock::now();
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    port_->Uart()->Interrupt();
  });
  int32_t q;
  EXPECT_FALSE(link_->ReceiveQuality(q));
  stopper.join();
  EXPECT_LT(MsSince(t0), 1000);
  port_->Uart()->ClearInterrupt();
  // The silent exchange's frame must have reached the simulator (and used
  // up its fault) before the next send purges the line: a pseudo-terminal
  // on a busy machine can still hold it.
  ASSERT_TRUE(sim_.WaitForFrames(1, 10000));
  ASSERT_TRUE(link_->SendEmpty(1, 0xFF, 0xFF, 0x21));
  EXPECT_TRUE(link_->ReceiveQuality(q));
}

TEST_F(LinkTest, DeviceThatDisappearsMidExchange) {
  OpenPort();
  port_->SetReadTotalTimeout(3000);
  sim_.InjectFault({TSimFault::Hangup});
  ASSERT_TRUE(link_->SendEmpty(1, 0xFF, 0xFF, 0x21));
  const auto t0 = std::chrono::steady_clock::now();
  int32_t q;
  EXPECT_FALSE(link_->ReceiveQuality(q));
  EXPECT_EQ(link_->Status(), lsReadFailed);
  EXPECT_LT(MsSince(t0), 1000) << "a vanished device fails the read at once";
  // Further exchanges fail without spinning, and the port can be closed.
  EXPECT_FALSE(link_->ReceiveQuality(q));
  EXPECT_EQ(port_->ClosePort(), 0);
}

TEST_F(LinkTest, FrameTraceRecordsBothDirections) {
  const std::string path = ::testing::TempDir() + "/vexon-trace.txt";
  std::remove(path.c_str());
  ASSERT_TRUE(link_->Trace().Open(path));
  OpenPort();
  int32_t q = 0;
  ASSERT_TRUE(link_->SendEmpty(1, 0xFF, 0xFF, 0x21));
  ASSERT_TRUE(link_->ReceiveQuality(q));
  link_->Trace().Close();
  std::ifstream f(path);
  std::string tx, rx;
  std::getline(f, tx);
  std::getline(f, rx);
  EXPECT_NE(tx.find(" TX 01 03 FF FF 21 23"), std::string::npos) << tx;
  EXPECT_NE(rx.find(" RX 00 02 80 02 80"), std::string::npos) << rx;
  EXPECT_EQ(tx[4], '-');   // a date first
  EXPECT_EQ(tx[23], ' ');  // then hh:mm:ss.mmm
}
