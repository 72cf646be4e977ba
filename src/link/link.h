// Exchanges with the primary controller: send a request frame, receive and
// check the answer, and the common transaction that repeats a request while
// the reception quality differs from the number of controllers addressed.
//
// Every primitive returns a boolean and leaves its outcome in the link
// status, which GetLinkResult turns into a result code. Only the
// communication thread runs them; the status is atomic so others may read it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "link/exchange_log.h"
#include "link/frame_trace.h"
#include "link/frames.h"
#include "link/uart.h"
#include "model/devices.h"
#include "util/clock.h"

namespace vexon {

enum LinkStatus : uint16_t {
  lsOk = 0,
  lsNoPort = 1,
  lsPortClosed = 2,
  lsSendFailed = 3,
  lsReadFailed = 4,
  lsChecksum = 7,
  lsAnswerCode = 8,
  lsLength = 9,
  lsJournalLength = 10,
  lsTerminalSilent = 12,
  lsPrimaryRxError = 13,
  lsNoAnswer = 14,
  lsQuality = 15,
  lsBuildList = 26,
  lsSaveList = 27,
  lsUnknownController = 28,
  lsUnknownCard = 30,
  // A card whose computed system index would pass 65535 (result 38).
  lsCardIndexRange = 31,
  // More data than one request frame carries: refused, nothing sent
  // (result 12).
  lsDataTooLong = 32,
};

// Result code of a link status.
int32_t LinkResultOf(uint16_t status);

struct TTransactResult {
  int32_t Quality = 0;
  int32_t Expected = 0;
  int32_t Ready = 0;
};

class TLink {
 public:
  TLink(TSerialPort& port, TDeviceModel& model, TClock& clock);

  uint16_t Status() const { return status_.load(); }
  void SetStatus(uint16_t s) { status_ = s; }
  int32_t GetLinkResult() const { return LinkResultOf(status_.load()); }

  bool SendFrame(const uint8_t* frame);
  // Whether any byte of the last frame SendFrame was given reached the line
  // (false also when the port was not open).
  bool LastFrameLeft() const { return lastFrameLeft_.load(); }
  // Before an exchange that may end before its frame is sent.
  void ForgetLastFrame() { lastFrameLeft_ = false; }
  bool SendEmpty(uint8_t route, uint8_t address1, uint8_t address2, uint8_t command);
  // One answer frame; `data` receives up to 4096 bytes. With the early
  // frame end on (TLinkTimings::EarlyFrameEnd) the read ends as soon as one
  // whole frame with a right checksum has arrived; a wait answer (0xF5) still
  // ends on the idle interval, so the purge that follows it throws away only
  // what came with it, never the start of the real answer.
  bool ReceiveAnswer(uint8_t& code, uint8_t* data, size_t& length);
  // Several frames delivered by one read; `items` keeps what was parsed
  // even on failure. Always ends on the idle interval: the frames' number is
  // not known before they have all arrived.
  bool ReceiveAnswers(std::vector<TAskItem>& items);
  bool CheckAnswer(uint8_t code, uint8_t expectedCode, size_t length, size_t expectedLength);
  bool ReceiveQuality(int32_t& quality);
  bool SendBlock(const uint8_t* frame, int32_t& quality);
  // `request`: Address1, Address2, Command, data (length = 3 + data).
  bool Transact(const uint8_t* request, size_t length, TTransactResult& result);

  int32_t FramesSent() const { return framesSent_.load(); }
  int32_t FramesFailed() const { return framesFailed_.load(); }
  TExchangeLog& ExchangeLog() { return log_; }
  TFrameTrace& Trace() { return trace_; }
  // Writes "SrvVexon.Log" with its closing line when the log exists.
  bool WriteExchangeLog(const std::string& path);

  TSerialPort& Port() { return port_; }
  TDeviceModel& Model() { return model_; }
  TClock& Clock() { return clock_; }

 private:
  // Port checks shared by the primitives: false with status 1 or 2.
  TUart* OpenUart();
  // One read into rx_: false with status 2 (interrupted), 4 (read failed),
  // 14 (nothing) or 9 (shorter than a frame).
  bool ReadAnswerBytes(TUart* u, size_t& count, TUart::TReadComplete complete = nullptr);
  void LogLine(const std::string& text);

  TSerialPort& port_;
  TDeviceModel& model_;
  TClock& clock_;
  std::atomic<uint16_t> status_{0};
  std::atomic<bool> lastFrameLeft_{false};
  std::atomic<int32_t> framesSent_{0};
  std::atomic<int32_t> framesFailed_{0};
  TExchangeLog log_;
  TFrameTrace trace_;
  std::array<uint8_t, proto::kIoBuffer> rx_{};
  std::array<uint8_t, proto::kIoBuffer> tx_{};
};

}  // namespace vexon
