// Every constant of the line protocol with the primary controller, named once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexon::proto {

// Frame layout.
constexpr size_t kRequestHeader = 5;    // Route, Length, Address1, Address2, Command
constexpr size_t kMaxRequestData = 252;  // Length byte at most 255
constexpr size_t kMaxRequestFrame = kMaxRequestData + 6;
constexpr size_t kMinAnswerFrame = 4;    // -, Length, AnswerCode, Check
constexpr size_t kLengthOverhead = 3;    // frame length = Length byte + 3
constexpr size_t kMaxSend = 1024;        // a longer send is refused
constexpr size_t kIoBuffer = 4096;

constexpr uint8_t kAll = 0xFF;  // all controllers / all zones / no sub-address

// Command codes.
enum Command : uint8_t {
  cmdAutoconfig = 0x00,
  cmdReaderZone = 0x04,
  cmdClock = 0x05,
  cmdClearToDefault = 0x06,
  cmdReaderParameters = 0x07,
  cmdImParameters = 0x08,
  cmdInpParameters = 0x09,
  cmdOutParameters = 0x0A,
  cmdWOutParameters = 0x0B,
  cmdAlarmGen = 0x0C,
  cmdAutoAlarmOut = 0x0D,
  cmdCalendar = 0x10,
  cmdTimeZone = 0x11,
  cmdWeekDiagram = 0x12,
  cmdShiftDiagram = 0x13,
  cmdSegment = 0x20,
  cmdClearSegments = 0x21,
  cmdCardListBlock = 0x22,
  cmdCardRecord = 0x23,
  cmdClearCardList = 0x24,
  cmdAutCardBlock = 0x25,
  cmdAutCardBlock2 = 0x26,
  cmdClearAutCardList = 0x27,
  cmdAutRkd = 0x28,
  cmdJournalPage = 0x30,
  cmdJournalPageClear = 0x31,
  cmdSetRkd = 0x40,
  cmdSetRkdProperties = 0x41,
  cmdOpenIm = 0x42,
  cmdCloseIm = 0x43,
  cmdSetAlarm = 0x44,
  cmdClearAlarm = 0x45,
  cmdSetOut = 0x46,
  cmdClearOut = 0x47,
  cmdCardZone = 0x48,
  cmdDisableCard = 0x49,
  cmdEnableCard = 0x4A,
  cmdPermitPass = 0x4B,
  cmdProhibitPass = 0x4C,
  cmdMonitorPage = 0x70,
  cmdMonitorPageClear = 0x71,
  cmdStatus = 0x72,
  cmdPrimary81 = 0x81,
  cmdCardZoneQuery = 0x90,
};

// Answer codes.
enum Answer : uint8_t {
  ansDescriptors = 0x03,
  ansAutoconfigEnd = 0x0F,
  ansQuality = 0x80,
  ansTerminalSilent = 0xF0,
  ansPrimaryRxError = 0xF3,
  ansWait = 0xF5,
};

// Data lengths of fixed answers.
constexpr size_t kQualityLen = 1;
constexpr size_t kStatusLen = 7;
constexpr size_t kCardZoneLen = 1;
constexpr size_t kDescriptorLen = 8;
constexpr size_t kMaxPageData = 128;
constexpr size_t kRecordLen = 4;

// Line timing at 9600 baud, 8E1: 11 bits per byte.
constexpr double kByteTimeMs = 11.0 * 1000.0 / 9600.0;

}  // namespace vexon::proto
