// The examples of doc/formats.md read back through the server's own code:
// each "hex NAME" block is loaded (new_sys.bin, cards.bin, buffer.bin and
// buffer.log from files, as at start-up), built (frames) or written (the
// exchange log, the trace) by the code that owns the format, and every line
// "Field = value" of the matching "fields NAME" block must equal what that
// code made of it. A changed layout, or an example the code reads
// differently, fails here.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "journals/crc32.h"
#include "journals/reg_journal.h"
#include "journals/reg_log.h"
#include "link/exchange_log.h"
#include "link/frame_trace.h"
#include "link/frames.h"
#include "model/card_segments.h"
#include "model/system_file.h"
#include "test_support.h"
#include "util/date_time.h"

using namespace vexon;
using vexon::testing::TTempDir;

namespace {

using TBytes = std::vector<uint8_t>;
using TFields = std::vector<std::pair<std::string, std::string>>;

// The fenced blocks of the document by their info string ("hex cards.bin").
std::map<std::string, std::string> Blocks() {
  std::ifstream f(std::string(VEXON_SOURCE_DIR) + "/doc/formats.md");
  EXPECT_TRUE(f.good()) << "doc/formats.md cannot be read";
  std::map<std::string, std::string> blocks;
  std::string line, info, body;
  bool inside = false;
  while (std::getline(f, line)) {
    if (line.rfind("```", 0) == 0) {
      if (inside) blocks[info] = body;
      inside = !inside;
      info = inside ? line.substr(3) : "";
      body.clear();
    } else if (inside) {
      body += line + "\n";
    }
  }
  return blocks;
}

const std::map<std::string, std::string>& Doc() {
  static const auto blocks = Blocks();
  return blocks;
}

TBytes Hex(const std::string& name) {
  const auto it = Doc().find("hex " + name);
  if (it == Doc().end()) {
    ADD_FAILURE() << "doc/formats.md has no block \"hex " << name << "\"";
    return {};
  }
  TBytes out;
  std::istringstream in(it->second);
  std::string w;
  while (in >> w) out.push_back(static_cast<uint8_t>(std::stoul(w, nullptr, 16)));
  return out;
}

TFields Fields(const std::string& name) {
  TFields out;
  const auto it = Doc().find("fields " + name);
  if (it == Doc().end()) {
    ADD_FAILURE() << "doc/formats.md has no block \"fields " << name << "\"";
    return out;
  }
  std::istringstream in(it->second);
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find(" = ");
    if (eq == std::string::npos) continue;
    out.emplace_back(line.substr(0, eq), line.substr(eq + 3));
  }
  return out;
}

// Numbers compare by value (the document may write 0x21 for 33); anything
// else as text.
bool SameValue(const std::string& a, const std::string& b) {
  const auto number = [](const std::string& s, long long& v) {
    if (s.empty()) return false;
    char* end = nullptr;
    v = std::strtoll(s.c_str(), &end, 0);
    return *end == '\0';
  };
  long long x = 0, y = 0;
  if (number(a, x) && number(b, y)) return x == y;
  return a == b;
}

// Every field the document states must be one the code produced, with the
// same value; at least `minimum` of them, so a block cannot say nothing.
void ExpectFields(const std::string& name, const std::map<std::string, std::string>& decoded, size_t minimum) {
  const TFields stated = Fields(name);
  EXPECT_GE(stated.size(), minimum) << name;
  for (const auto& [field, value] : stated) {
    const auto it = decoded.find(field);
    if (it == decoded.end()) {
      ADD_FAILURE() << name << ": the document states " << field << ", which the code does not give";
      continue;
    }
    EXPECT_TRUE(SameValue(it->second, value))
        << name << ": " << field << " is " << it->second << ", the document says " << value;
  }
}

void WriteFile(const std::string& path, const TBytes& b) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::string Num(int64_t v) { return std::to_string(v); }
std::string HexList(const uint8_t* p, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02X", p[i]);
    s += (i ? " " : "") + std::string(b);
  }
  return s;
}
std::string Stamp(const TDateFields& f) {
  char b[32];
  std::snprintf(b, sizeof b, "%04d-%02d-%02d %02d:%02d:%02d", f.Year, f.Month, f.Day, f.Hour, f.Minute, f.Second);
  return b;
}

TEST(FormatsDoc, ControllerFileExampleLoads) {
  TTempDir dir("formats-doc");
  WriteFile(dir.File("new_sys.bin"), Hex("new_sys.bin"));
  TTKDList list;
  ASSERT_TRUE(LoadSystemFile(list, dir.File("new_sys.bin")));
  TTKDItem r;
  ASSERT_TRUE(list.GetRecordAt(0, r));
  std::map<std::string, std::string> d = {
      {"records", Num(static_cast<int64_t>(list.Count()))},
      {"SysAdr", Num(r.SysAdr)},
      {"MakeAdr", Num(r.MakeAdr)},
      {"Hub", Num(r.Hub)},
      {"SecondLevelAdr", Num(r.SecondLevelAdr)},
      {"Primary", Num(r.Primary)},
      {"Modem", Num(r.Modem)},
      {"DrvCount", Num(r.DrvCount)},
      {"Zone1", Num(r.Zone1)},
      {"Zone2", Num(r.Zone2)},
      {"USCSValid", Num(r.USCSValid)},
      {"USCSChanged", Num(r.USCSChanged)},
      {"StatusTime", Stamp(DecodeDateTime(r.StatusTime))},
      {"Drv2Merged", Num(r.Drv2Merged)},
      {"JournalPending", Num(r.JournalPending)},
  };
  for (int s = 0; s < kDriverSlots; ++s) {
    const TDriverSlot& x = r.Drivers[static_cast<size_t>(s)];
    const std::string p = "Slot" + Num(s + 1) + ".";
    d[p + "DrvPresent"] = Num(x.DrvPresent);
    d[p + "DrvAdr"] = Num(x.DrvAdr);
    d[p + "DrvType"] = Num(x.DrvType);
    d[p + "DrvInp"] = Num(x.DrvInp);
    d[p + "DrvOut"] = Num(x.DrvOut);
    d[p + "DrvWOut"] = Num(x.DrvWOut);
    d[p + "DrvIm"] = Num(x.DrvIm);
  }
  for (int i = 0; i < kStatusBytes; ++i) d["b" + Num(i + 1)] = Num(r.Status[static_cast<size_t>(i)]);
  ExpectFields("new_sys.bin", d, 20);
}

TEST(FormatsDoc, CardFileExampleLoads) {
  TTempDir dir("formats-doc");
  WriteFile(dir.File("cards.bin"), Hex("cards.bin"));
  TCardSegments seg;
  seg.SetCardFilePath(dir.File("cards.bin"));
  seg.CreateActive();
  ASSERT_TRUE(seg.LoadCardFile());
  const TCardList list = seg.ActiveCopy();
  std::map<std::string, std::string> d = {{"records", Num(static_cast<int64_t>(list.Count()))}};
  for (size_t i = 0; i < list.Count(); ++i) {
    const TCardItem& c = list.At(i);
    const std::string p = Num(static_cast<int64_t>(i)) + ".";
    d[p + "SegmentNumber"] = Num(c.SegmentNumber);
    d[p + "FacilityCode"] = Num(c.FacilityCode);
    d[p + "FirstCard"] = Num(c.FirstCard);
    d[p + "LastCard"] = Num(c.LastCard);
    d[p + "FirstIndex"] = Num(c.FirstIndex);
    d[p + "Sent"] = Num(c.Sent);
  }
  // "index of F/C" lines: the system index the loaded segments give.
  for (const auto& [field, value] : Fields("cards.bin")) {
    std::smatch m;
    if (!std::regex_match(field, m, std::regex(R"(index of (\d+)/(\d+))"))) continue;
    uint16_t index = 0;
    const TLookup found = seg.GetSystemIndexFromCard(static_cast<uint8_t>(std::stoi(m[1])),
                                                     static_cast<uint32_t>(std::stoul(m[2])), index);
    d[field] = found == TLookup::Found ? Num(index) : "not a system card";
  }
  ExpectFields("cards.bin", d, 10);
}

std::map<std::string, std::string> EventFields(const TEvItem& e, const std::string& p) {
  return {{p + "Day", Num(e.Day)},         {p + "Month", Num(e.Month)},        {p + "Year", Num(e.Year)},
          {p + "Seconds", Num(e.Seconds)}, {p + "Hour", Num(e.Hour)},          {p + "Minute", Num(e.Minute)},
          {p + "Second", Num(e.Second)},   {p + "MakeAdr", Num(e.MakeAdr)},    {p + "AdrAdd", Num(e.AdrAdd)},
          {p + "EventType", Num(e.EventType)}, {p + "Event", Num(e.Event)},    {p + "Alarm", Num(e.Alarm)},
          {p + "CardID", Num(e.CardID)},   {p + "FacilityCode", Num(e.FacilityCode)}};
}

std::vector<TEvItem> LoadJournal(const TTempDir& dir, size_t* count) {
  TRegJournal j;
  j.SetBufferFilePath(dir.File("buffer.bin"));
  j.SetFreeSpaceSource([](const std::string&) { return int64_t{1} << 40; });
  j.Create();
  j.LoadBufferFile();
  EXPECT_FALSE(j.LogUnreadable());
  *count = j.Count();
  std::vector<TEvItem> out;
  j.With([&](TRegEvList& l) { l.ForEach([&](const TEvItem& ev, int32_t) { out.push_back(ev); }); });
  j.Free();
  return out;
}

TEST(FormatsDoc, RegistrationBufferExampleLoads) {
  TTempDir dir("formats-doc");
  WriteFile(dir.File("buffer.bin"), Hex("buffer.bin"));
  size_t count = 0;
  const auto events = LoadJournal(dir, &count);
  ASSERT_EQ(events.size(), 1u);
  auto d = EventFields(events[0], "");
  d["records"] = Num(static_cast<int64_t>(count));
  ExpectFields("buffer.bin", d, 14);
}

TEST(FormatsDoc, RegistrationLogExampleDecodesAndLoadsWithoutItsTornTail) {
  const TBytes base = Hex("buffer.bin");
  const TBytes log = Hex("buffer.log");
  ASSERT_GE(log.size(), kRegLogHeaderSize);
  std::map<std::string, std::string> d;
  TRegLogHeader h;
  ASSERT_TRUE(DecodeRegLogHeader(log.data(), log.size(), h));
  d["mode"] = Num(static_cast<int>(h.Mode));
  d["base size"] = Num(static_cast<int64_t>(h.BaseSize));
  d["base CRC"] = Num(h.BaseCrc);
  // The header names the buffer.bin example it applies to.
  EXPECT_EQ(h.BaseSize, base.size());
  EXPECT_EQ(h.BaseCrc, Crc32(0, base.data(), base.size()));

  std::vector<TRegLogEntry> entries;
  const size_t good = ParseRegLogEntries(log.data() + kRegLogHeaderSize, log.size() - kRegLogHeaderSize, entries);
  d["entries"] = Num(static_cast<int64_t>(entries.size()));
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string p = "entry " + Num(static_cast<int64_t>(i)) + " ";
    d[p + "kind"] = Num(static_cast<int>(entries[i].Kind));
    d[p + "count"] = Num(entries[i].Count);
    for (size_t k = 0; k < entries[i].Events.size(); ++k)
      for (const auto& kv : EventFields(entries[i].Events[k], p + "event " + Num(static_cast<int64_t>(k)) + " "))
        d.insert(kv);
  }
  d["whole entries end at"] = Num(static_cast<int64_t>(kRegLogHeaderSize + good));
  const size_t rest = log.size() - kRegLogHeaderSize - good;
  d["torn tail"] = rest > 0 && IsTornTail(log.data() + kRegLogHeaderSize + good, rest) ? "yes" : "no";

  TTempDir dir("formats-doc");
  WriteFile(dir.File("buffer.bin"), base);
  WriteFile(dir.File("buffer.log"), log);
  size_t count = 0;
  const auto events = LoadJournal(dir, &count);
  d["events after load"] = Num(static_cast<int64_t>(count));
  for (size_t i = 0; i < events.size(); ++i) {
    const TEvItem& e = events[i];
    TDateFields f;
    f.Year = e.Year;
    f.Month = e.Month;
    f.Day = e.Day;
    f.Hour = e.Hour;
    f.Minute = e.Minute;
    f.Second = e.Second;
    d["event " + Num(static_cast<int64_t>(i)) + " after load"] =
        Stamp(f) + " MakeAdr " + Num(e.MakeAdr) + " AdrAdd " + Num(e.AdrAdd) + " EventType " + Num(e.EventType) +
        " Event " + Num(e.Event) + " FacilityCode " + Num(e.FacilityCode) + " CardID " + Num(e.CardID);
  }
  ExpectFields("buffer.log", d, 12);
}

TEST(FormatsDoc, ExchangeLogExampleIsWhatTheLogWrites) {
  const TFields lines = Fields("SrvVexon.Log");
  std::map<std::string, std::string> d;
  std::vector<std::string> text;
  for (const auto& [k, v] : lines)
    if (k.rfind("line ", 0) == 0) text.push_back(v);
  ASSERT_GE(text.size(), 2u);
  TTempDir dir("formats-doc");
  TExchangeLog log;
  log.Start(text.front());
  for (size_t i = 1; i + 1 < text.size(); ++i) log.Add(text[i]);
  ASSERT_TRUE(log.WriteAndDiscard(dir.File("SrvVexon.Log"), text.back()));
  const std::string written = ReadFile(dir.File("SrvVexon.Log"));
  const TBytes hex = Hex("SrvVexon.Log");
  EXPECT_EQ(written, std::string(hex.begin(), hex.end()));
  // Read back: CR LF lines.
  std::vector<std::string> back;
  for (size_t at = 0; at < written.size();) {
    const size_t end = written.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << "a line without CR LF";
    back.push_back(written.substr(at, end - at));
    at = end + 2;
  }
  d["lines"] = Num(static_cast<int64_t>(back.size()));
  for (size_t i = 0; i < back.size(); ++i) d["line " + Num(static_cast<int64_t>(i))] = back[i];
  ExpectFields("SrvVexon.Log", d, 3);
}

std::map<std::string, std::string> RequestFields(const TBytes& f) {
  std::map<std::string, std::string> d;
  if (f.size() < 6) return d;
  const size_t n = f.size() - 6;
  d["Route"] = Num(f[0]);
  d["Length"] = Num(f[1]);
  d["Address1"] = Num(f[2]);
  d["Address2"] = Num(f[3]);
  d["Command"] = Num(f[4]);
  d["data"] = HexList(f.data() + 5, n);
  d["Check"] = Num(f.back());
  // The frame the server builds from these fields is the example itself.
  uint8_t built[300];
  const size_t len = BuildFrame(RouteOf(f[4]), f[2], f[3], f[4], f.data() + 5, n, built);
  EXPECT_EQ(TBytes(built, built + len), f) << "BuildFrame does not give the example";
  EXPECT_EQ(FrameChecksum(f.data(), f.size()), f.back());
  return d;
}

std::map<std::string, std::string> AnswerFields(const TBytes& f) {
  std::map<std::string, std::string> d;
  EXPECT_TRUE(IsWholeAnswerFrame(f.data(), f.size())) << "not a whole answer frame";
  if (f.size() < 4) return d;
  d["Length"] = Num(f[1]);
  d["AnswerCode"] = Num(f[2]);
  d["data"] = HexList(f.data() + 3, f.size() - 4);
  d["Check"] = Num(f.back());
  uint8_t built[300];
  const size_t len = BuildAnswerFrame(f[2], f.data() + 3, f.size() - 4, built);
  EXPECT_EQ(TBytes(built + 1, built + len), TBytes(f.begin() + 1, f.end())) << "BuildAnswerFrame differs";
  return d;
}

TEST(FormatsDoc, FrameExamplesAreTheFramesTheServerBuildsAndAccepts) {
  ExpectFields("request", RequestFields(Hex("request")), 6);
  ExpectFields("status request", RequestFields(Hex("status request")), 6);
  ExpectFields("answer", AnswerFields(Hex("answer")), 4);
  ExpectFields("status answer", AnswerFields(Hex("status answer")), 4);
}

TEST(FormatsDoc, TraceExampleIsTheLineTheTraceWrites) {
  const TBytes frame = Hex("trace TX");
  auto d = RequestFields(frame);
  TTempDir dir("formats-doc");
  TFrameTrace trace;
  ASSERT_TRUE(trace.Open(dir.File("trace.txt")));
  trace.Record("TX", frame.data(), frame.size());
  trace.Close();
  std::string written = ReadFile(dir.File("trace.txt"));
  ASSERT_FALSE(written.empty());
  ASSERT_EQ(written.back(), '\n');
  written.pop_back();
  const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )");
  EXPECT_TRUE(std::regex_search(written, stamp)) << written;
  // The document's first trace line, after its time, is the line written.
  const auto block = Doc().find("trace");
  ASSERT_NE(block, Doc().end());
  const std::string docLine = block->second.substr(0, block->second.find('\n'));
  EXPECT_TRUE(std::regex_search(docLine, stamp)) << docLine;
  EXPECT_EQ(written.substr(24), docLine.substr(24));
  d["direction"] = written.substr(24, 2);
  ExpectFields("trace TX", d, 7);
}

}  // namespace
