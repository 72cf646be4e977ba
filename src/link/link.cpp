#include "link/link.h"

#include <chrono>
#include <cstring>

#include "util/date_time.h"
#include "util/result_codes.h"

namespace vexon {

using namespace proto;

int32_t LinkResultOf(uint16_t status) {
  switch (status) {
    case 0: return 0;
    case 1: return 1;
    case 2: return 2;
    case 3: return 15;
    case 4: return 16;
    case 5: return 17;
    case 6: return 18;
    case 7: return 19;
    case 8: return 20;
    case 9: return 21;
    case 10: return 22;
    case 11: return 23;
    case 12: return 24;
    case 13: return 25;
    case 14: return 26;
    case 15: return 27;
    case 16: return 13;
    case 17: return 28;
    case 26: return 29;
    case 27: return 30;
    case 28: return 32;
    case 29: return 41;
    case 30: return 57;
    case 31: return 38;
    case 32: return 12;
    default: return 14;
  }
}

TLink::TLink(TSerialPort& port, TDeviceModel& model, TClock& clock) : port_(port), model_(model), clock_(clock) {}

TUart* TLink::OpenUart() {
  TUart* u = port_.Uart();
  if (!u) {
    status_ = lsNoPort;
    return nullptr;
  }
  if (u->IsClosed()) {
    status_ = lsPortClosed;
    u->LastError = ueOk;
    return nullptr;
  }
  // The communication thread is stopping: the work it cuts short ends as on
  // a closed port, without another byte on the line.
  if (u->Interrupted()) {
    status_ = lsPortClosed;
    return nullptr;
  }
  return u;
}

namespace {

// Ends a single-answer read at its whole frame. A wait answer is left to the
// idle interval: the purge after it must not reach bytes of the real answer
// that may already follow it.
bool IsWholeSingleAnswer(const uint8_t* bytes, size_t count) {
  return IsWholeAnswerFrame(bytes, count) && bytes[2] != ansWait;
}

// Wait answers at the front of a read that holds more after them are
// dropped, as if each had been read on its own: a controller leaves a pause
// after a wait answer, but a communication thread held off the processor
// through that pause reads the wait answer and what followed it at once.
// Returns the bytes left; a read that is one frame, or whose first frame is
// not a whole wait answer, is left as it is.
size_t DropLeadingWaitAnswers(uint8_t* bytes, size_t count) {
  for (;;) {
    if (count < kMinAnswerFrame) return count;
    const size_t length = static_cast<size_t>(bytes[1]) + kLengthOverhead;
    if (length >= count || bytes[2] != ansWait || !IsWholeAnswerFrame(bytes, length)) return count;
    std::memmove(bytes, bytes + length, count - length);
    count -= length;
  }
}

}  // namespace

bool TLink::ReadAnswerBytes(TUart* u, size_t& count, TUart::TReadComplete complete) {
  const TReadResult rr = u->Receive(rx_.data(), count, complete);
  if (rr == TReadResult::Interrupted) {
    status_ = lsPortClosed;
    return false;
  }
  if (rr == TReadResult::Failed) {
    status_ = lsReadFailed;
    return false;
  }
  if (count) trace_.Record("RX", rx_.data(), count);
  if (count < kMinAnswerFrame) {
    u->LastError = count == 0 ? ueNoAnswer : ueLength;
    status_ = count == 0 ? lsNoAnswer : lsLength;
    return false;
  }
  return true;
}

bool TLink::SendFrame(const uint8_t* frame) {
  lastFrameLeft_ = false;
  TUart* u = OpenUart();
  if (!u) return false;
  status_ = lsSendFailed;
  port_.PurgeAll();
  const size_t len = static_cast<size_t>(frame[1]) + kLengthOverhead;
  trace_.Record("TX", frame, len);
  const bool ok = u->Send(frame, len);
  lastFrameLeft_ = u->LastSentBytes() > 0;
  if (ok) status_ = lsOk;
  return ok;
}

bool TLink::SendEmpty(uint8_t route, uint8_t address1, uint8_t address2, uint8_t command) {
  uint8_t frame[8];
  BuildEmptyFrame(route, address1, address2, command, frame);
  return SendFrame(frame);
}

bool TLink::ReceiveAnswer(uint8_t& code, uint8_t* data, size_t& length) {
  TUart* u = OpenUart();
  if (!u) return false;
  // Wait answers are followed for a bounded time only: a controller that
  // never stops sending them must not hold the communication thread.
  const auto waitLimit = std::chrono::milliseconds(static_cast<int64_t>(u->ReadTimeout()) *
                                                   port_.Timings().WaitAnswerLimitTimeouts);
  const auto start = std::chrono::steady_clock::now();
  const TUart::TReadComplete complete = port_.Timings().EarlyFrameEnd ? &IsWholeSingleAnswer : nullptr;
  for (;;) {
    size_t count = 0;
    if (!ReadAnswerBytes(u, count, complete)) return false;
    count = DropLeadingWaitAnswers(rx_.data(), count);
    // What followed the wait answers may be too short to be a frame at all.
    if (count < kMinAnswerFrame || rx_[1] != count - kLengthOverhead) {
      u->LastError = ueLength;
      status_ = lsLength;
      return false;
    }
    if (FrameChecksum(rx_.data(), count) != rx_[count - 1]) {
      u->LastError = ueChecksum;
      status_ = lsChecksum;
      return false;
    }
    code = rx_[2];
    if (code == ansTerminalSilent) {
      u->LastError = ueTerminalSilent;
      status_ = lsTerminalSilent;
      return false;
    }
    if (code == ansPrimaryRxError) {
      u->LastError = uePrimaryRxError;
      status_ = lsPrimaryRxError;
      return false;
    }
    if (code == ansWait) {
      if (std::chrono::steady_clock::now() - start > waitLimit) {
        u->LastError = ueNoAnswer;
        status_ = lsNoAnswer;
        return false;
      }
      port_.PurgeRx();
      continue;
    }
    length = count - 4;
    std::memcpy(data, rx_.data() + 3, length);
    status_ = lsOk;
    return true;
  }
}

bool TLink::ReceiveAnswers(std::vector<TAskItem>& items) {
  TUart* u = OpenUart();
  if (!u) return false;
  size_t count = 0;
  if (!ReadAnswerBytes(u, count)) return false;
  size_t pos = 0;
  while (pos < count) {
    const size_t remaining = count - pos;
    const uint8_t* f = rx_.data() + pos;
    // A frame needs its length byte, and a length byte below 1 would make
    // it end before its own data.
    if (remaining < 2 || static_cast<size_t>(f[1]) + kLengthOverhead < kMinAnswerFrame ||
        remaining < static_cast<size_t>(f[1]) + kLengthOverhead) {
      u->LastError = ueLength;
      status_ = lsLength;
      return false;
    }
    const size_t L = static_cast<size_t>(f[1]) + kLengthOverhead;
    if (FrameChecksum(f, L) != f[L - 1]) {
      u->LastError = ueChecksum;
      status_ = lsChecksum;
      return false;
    }
    if (f[2] == ansTerminalSilent || f[2] == ansPrimaryRxError) {
      const bool silent = f[2] == ansTerminalSilent;
      u->LastError = silent ? ueTerminalSilent : uePrimaryRxError;
      status_ = silent ? lsTerminalSilent : lsPrimaryRxError;
      return false;
    }
    TAskItem item;
    item.Code = f[2];
    item.Len = static_cast<int32_t>(L - 4);
    std::memcpy(item.Data.data(), f + 3, L - 4);
    items.push_back(item);
    pos += L;
  }
  status_ = lsOk;
  return true;
}

bool TLink::CheckAnswer(uint8_t code, uint8_t expectedCode, size_t length, size_t expectedLength) {
  TUart* u = port_.Uart();
  if (code != expectedCode) {
    if (u) u->LastError = ueAnswerCode;
    status_ = lsAnswerCode;
    return false;
  }
  if (length != expectedLength) {
    if (u) u->LastError = ueLength;
    status_ = lsLength;
    return false;
  }
  status_ = lsOk;
  return true;
}

bool TLink::ReceiveQuality(int32_t& quality) {
  uint8_t code = 0;
  uint8_t data[kIoBuffer];
  size_t len = 0;
  if (!ReceiveAnswer(code, data, len)) return false;
  if (!CheckAnswer(code, ansQuality, len, kQualityLen)) return false;
  quality = data[0];
  return true;
}

void TLink::LogLine(const std::string& text) { log_.Add(FormatDateTime(clock_.Now()) + text); }

bool TLink::SendBlock(const uint8_t* frame, int32_t& quality) {
  bool sent = SendFrame(frame);
  ++framesSent_;
  if (!log_.Exists()) log_.Start(FormatDateTime(clock_.Now()) + " Пошел первый кадр...");
  auto counts = [this] {
    return std::to_string(framesSent_.load()) + ", из них с ошибкой: " + std::to_string(framesFailed_.load());
  };
  if (!sent) {
    ++framesFailed_;
    LogLine("Ошибка SendBlock Всего кадров: " + counts());
    if (!SendFrame(frame)) {
      ++framesFailed_;
      LogLine("Ошибка при повторном SendBlock. Всего кадров: " + counts());
      return false;
    }
  }
  if (ReceiveQuality(quality)) return true;
  ++framesFailed_;
  LogLine(" Ошибка GetQuality. Всего кадров: " + counts());
  if (!SendFrame(frame)) {
    ++framesFailed_;
    LogLine("Ошибка при повторном SendBlock после ошибки на GetQuality. Всего кадров: " + counts());
    return false;
  }
  if (ReceiveQuality(quality)) return true;
  ++framesFailed_;
  LogLine(" Ошибка GetQuality после удачного повторного SendBlock. Всего кадров: " + counts());
  return false;
}

bool TLink::Transact(const uint8_t* request, size_t length, TTransactResult& result) {
  const uint8_t a1 = request[0];
  const uint8_t a2 = request[1];
  const uint8_t cmd = request[2];
  BuildFrame(RouteOf(cmd), a1, a2, cmd, request + 3, length - 3, tx_.data());
  const TTKDList& tkd = model_.Controllers;
  if (a1 != kAll) {
    result.Expected = 1;
    result.Ready = tkd.IsReady(a1) ? 1 : 0;
  } else if (a2 == kAll) {
    result.Expected = tkd.CountControllers();
    result.Ready = tkd.CountReady();
  } else {
    result.Expected = tkd.CountInZone(a2);
    result.Ready = tkd.CountReadyInZone(a2);
  }
  int32_t quality = 0;
  if (!SendBlock(tx_.data(), quality)) return false;
  for (int repeat = 0; repeat < 2 && quality != result.Expected; ++repeat) {
    if (!SendBlock(tx_.data(), quality)) break;
  }
  if (quality != result.Expected && status_ == lsOk) status_ = lsQuality;
  result.Quality = quality;
  return true;
}

bool TLink::WriteExchangeLog(const std::string& path) {
  if (!log_.Exists()) return false;
  const std::string closing = FormatTime(clock_.Now()) + " END All: " + std::to_string(framesSent_.load()) +
                              "  With Error: " + std::to_string(framesFailed_.load());
  return log_.WriteAndDiscard(path, closing);
}

}  // namespace vexon
