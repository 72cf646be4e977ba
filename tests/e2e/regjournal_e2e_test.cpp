// Cards and the registration journal with the real programs: a 1,000-card
// list granting at the door; a registration event from the door to the
// client across an orderly restart, taken once and only once; vexonctl
// regevents; and kill -9 of the server in the middle of journal reads,
// after which every event the simulator has deleted must still come out of
// the server (scripts/crash-test runs the same at length).
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <map>
#include <random>
#include <regex>
#include <thread>
#include <utility>

#include "e2e_fixture.h"

using namespace vexon;
using namespace vexon::testing;
using nlohmann::json;

namespace {

constexpr int kPrimary = 564;  // SysAdr 0
constexpr int kSecond = 565;   // SysAdr 2; SysAdr 1 is a hub

// (MakeAdr, CardID) of an event, with repeats counted.
using TEventCounts = std::map<std::pair<int, int>, int>;

class RegJournalE2e : public E2eTest {
 protected:
  std::string Sim(const std::string& command) {
    sim_.WriteLine(command);
    return sim_.ReadLine();
  }
  // "controller SYS: pending N confirmed M" of the simulator's journal.
  std::pair<size_t, uint64_t> Reg(int sys) {
    const std::string line = Sim("reg " + std::to_string(sys));
    std::smatch m;
    static const std::regex re("controller [0-9]+: pending ([0-9]+) confirmed ([0-9]+)");
    if (!std::regex_match(line, m, re)) {
      ADD_FAILURE() << "reg answered '" << line << "'";
      return {0, 0};
    }
    return {std::stoul(m[1]), std::stoull(m[2])};
  }
  // Polls `done` every 5 ms until it holds or `timeoutMs` has passed.
  template <class F>
  bool WaitFor(F&& done, int timeoutMs = 10000) {
    const auto t0 = std::chrono::steady_clock::now();
    while (!done()) {
      if (std::chrono::steady_clock::now() - t0 > std::chrono::milliseconds(timeoutMs)) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  void OpenPort() {
    const auto v = Call("sysvexon_OpenSerialPort", {{"PortNumber", 1}})["Value"];
    EXPECT_TRUE(v == 0 || v == 3) << v;  // 3: already open
  }
  void SendSegment(int facility, int first, int last) {
    ASSERT_EQ(Call("sysvexon_SetCardSegment", {{"FacilityCode", facility}, {"FirstCard", first}, {"LastCard", last}})
                  ["Value"],
              0);
    const auto r = Call("sysvexon_SendCardSegments");
    ASSERT_EQ(r["Value"], 0);
    ASSERT_EQ(WaitAnswer(r["EventID"])["Value"], 0);
  }
  // Cards facility/first .. facility/first+count-1, ordinary, schedule 0.
  void SendCardList(int makeAdr, int facility, int first, int count) {
    json rows = json::array();
    for (int n = first; n < first + count; ++n) rows.push_back({facility, n & 0xFF, n >> 8, 0, 0, 0, 0, 0});
    const auto r = Call("sysvexon_SendDeviceCardList", {{"AMakeAdr", makeAdr}, {"ACards", rows}});
    ASSERT_EQ(r["Value"], 0);
    ASSERT_EQ(WaitAnswer(r["AEventID"], 30000)["Value"], 0);
  }
  // Monitoring on, and past its first poll, whose events are not published
  // (it learns the state of the network): a poll sends at least two frames
  // (status, first page) and the first one four more (every controller's
  // status), so a dozen frames more cover the poll under way, the first
  // pass and the start of the next.
  void StartMonitoringPastFirstPass() {
    const size_t before = std::stoul(Sim("frames"));
    Call("sysvexon_StartMonitoring");
    EXPECT_TRUE(WaitFor([&] { return std::stoul(Sim("frames")) >= before + 12; }));
  }
  // The next monitoring event, passing over changes of the registration
  // flag (event 15), which card events raise.
  json NextMonEvent() {
    json e;
    WaitFor([&] {
      e = Call("sysvexon_GetMonEvent");
      return e["Value"] == 0 && e["EventCode"] != 15;
    }, 5000);
    return e;
  }
  // Takes the whole registration journal with sysvexon_GetRegEventArray,
  // oldest first, each event as an object with GetRegEvent's field names.
  // The journal holds at most `most` events: a server that never answers
  // 67 fails the test after that many instead of looping on.
  std::vector<json> DrainArray(size_t most) {
    static const char* const names[] = {"Year",      "Month", "Day",   "Hour",  "Minute",       "Second", "MakeAdr",
                                        "AdrAdd",    "EventType", "Event", "Alarm", "FacilityCode", "CardID"};
    std::vector<json> out;
    for (size_t round = 0; round <= most / 1024 + 1; ++round) {
      const json r = Call("sysvexon_GetRegEventArray", {{"EventArray", nullptr}, {"Count", 0}});
      const int count = r.value("Count", -1);
      EXPECT_TRUE(r["Value"] == 0 || r["Value"] == 67) << r["Value"];
      EXPECT_EQ(r["EventArray"]["lbound"], json({1, 1}));
      const json& data = r["EventArray"]["data"];
      EXPECT_EQ(data.size(), 1024u) << "the array the server made";
      if (count < 0 || static_cast<size_t>(count) > data.size()) {
        ADD_FAILURE() << "Count " << count << " beside an array of " << data.size();
        return out;
      }
      for (int i = 0; i < count; ++i) {
        json e = json::object();
        for (int col = 0; col < 13; ++col) e[names[col]] = data[i].at(col);
        out.push_back(e);
      }
      if (r["Value"] != 0) return out;
      EXPECT_EQ(count, 1024) << "0 only with a full array";
    }
    ADD_FAILURE() << "no 67 after " << out.size() << " events, more than the " << most << " given";
    return out;
  }
  // vexonctl with its standard error on standard output.
  std::pair<int, std::vector<std::string>> Ctl(const std::string& args) {
    TProcess p;
    const std::string cmd = std::string(VEXON_CTL_PATH) + " --unix " + dir_ + "/rpc.sock " + args + " 2>&1";
    EXPECT_TRUE(p.Start({"/bin/sh", "-c", cmd}));
    std::vector<std::string> lines;
    for (std::string l; !(l = p.ReadLine(10000)).empty();) lines.push_back(l);
    return {p.Stop(0), lines};
  }
  std::string MonText(const json& e) {
    const json args = {{"EventCode", e["EventCode"]}, {"EventAdd", e["EventAdd"]}};
    return Call("sysvexon_GetMonEventDescription", args)["Value"];
  }
  std::string RegText(int type, int event) {
    return Call("sysvexon_GetRegEventDescription", {{"EventType", type}, {"Event", event}})["Value"];
  }
};

// The simulator dates its records with the local time: an event just made
// lies within a minute of now.
bool DatedNow(const json& e) {
  std::tm tm{};
  tm.tm_year = e["Year"].get<int>() - 1900;
  tm.tm_mon = e["Month"].get<int>() - 1;
  tm.tm_mday = e["Day"];
  tm.tm_hour = e["Hour"];
  tm.tm_min = e["Minute"];
  tm.tm_sec = e["Second"];
  tm.tm_isdst = -1;
  return std::abs(std::difftime(std::mktime(&tm), std::time(nullptr))) < 60;
}

TEST_F(RegJournalE2e, ThousandCardListGrantsAtTheDoorAndMonitoringTellsIt) {
  OpenAndAutoconfigure();
  SendSegment(12, 1000, 2999);  // system indexes 1..2000
  SendCardList(kPrimary, 12, 1000, 1000);
  const std::string held = Sim("cards 0");
  EXPECT_EQ(held.rfind("controller 0: 1000 cards 1=12/1000 2=12/1001 ", 0), 0u) << held.substr(0, 80);
  EXPECT_NE(held.find(" 1000=12/1999;"), std::string::npos) << "the last row arrived";
  EXPECT_EQ(held.find("1001="), std::string::npos) << "and nothing beyond it";
  EXPECT_EQ(Sim("cards 2"), "controller 2: 0 cards; 0 autonomous entries in 0 blocks");

  StartMonitoringPastFirstPass();
  EXPECT_EQ(Sim("card 0 1 12/1500"), "granted index 501");
  json e = NextMonEvent();
  ASSERT_EQ(e["Value"], 0);
  EXPECT_EQ(e["EventCode"], 1);
  EXPECT_EQ(e["MakeAdr"], kPrimary);
  EXPECT_EQ(e["AdrAdd"], 2) << "reader 1 of the simulator is the second reader";
  EXPECT_EQ(e["FacilityCode"], 12);
  EXPECT_EQ(e["CardID"], 1500);
  EXPECT_EQ(MonText(e), "Запрос на проход");

  // The ends of the list: its last card passes, the next card of the same
  // segment does not.
  EXPECT_EQ(Sim("card 0 0 12/1999"), "granted index 1000");
  e = NextMonEvent();
  EXPECT_EQ(e["EventCode"], 1);
  EXPECT_EQ(e["CardID"], 1999);
  EXPECT_EQ(Sim("card 0 0 12/2000"), "refused index 1001: not in the controller's card list");
  e = NextMonEvent();
  EXPECT_EQ(e["CardID"], 2000);
  EXPECT_EQ(MonText(e), "Нарушение РКД - НЕ СИСТЕМНЫЙ пропуск");
  EXPECT_EQ(Sim("card 2 0 12/1500"), "refused index 501: not in the controller's card list")
      << "the list went to one controller only";
}

TEST_F(RegJournalE2e, RegistrationEventIsTakenOnceAcrossAnOrderlyRestart) {
  OpenAndAutoconfigure();
  SendSegment(12, 1000, 1049);
  SendCardList(kPrimary, 12, 1000, 10);
  EXPECT_EQ(Call("sysvexon_GetRegEvent")["Value"], 67) << "nothing yet";

  // The monitoring poll sees the controller's registration flag and reads
  // its journal by itself.
  StartMonitoringPastFirstPass();
  EXPECT_EQ(Sim("card 0 1 12/1003"), "granted index 4");
  json ev;
  ASSERT_TRUE(WaitFor([&] { return (ev = Call("sysvexon_GetRegEvent"))["Value"] == 0; })) << "the journal was not read";
  EXPECT_EQ(ev["MakeAdr"], kPrimary);
  EXPECT_EQ(ev["AdrAdd"], 2);
  EXPECT_EQ(ev["EventType"], 1);
  EXPECT_EQ(ev["Event"], 1);
  EXPECT_EQ(ev["Alarm"], 0);
  EXPECT_EQ(ev["FacilityCode"], 12) << "the system index resolved through the segments";
  EXPECT_EQ(ev["CardID"], 1003);
  EXPECT_TRUE(DatedNow(ev)) << ev.dump();
  EXPECT_EQ(RegText(ev["EventType"], ev["Event"]), "Проход");

  // Two more events, read and confirmed but not taken; one after the
  // other, so that their order in the server is known.
  EXPECT_EQ(Sim("card 0 0 12/1040"), "refused index 41: not in the controller's card list");
  ASSERT_TRUE(WaitFor([&] { return Reg(0) == std::make_pair(size_t{0}, uint64_t{2}); })) << Sim("reg 0");
  EXPECT_EQ(Sim("input 2 1 2 1"), "ok");
  ASSERT_TRUE(WaitFor([&] { return Reg(2) == std::make_pair(size_t{0}, uint64_t{1}); })) << Sim("reg 2");

  RestartServer();
  // The line stays closed: what comes out now was kept by the server.
  ev = Call("sysvexon_GetRegEvent");
  ASSERT_EQ(ev["Value"], 0);
  EXPECT_EQ(ev["MakeAdr"], kPrimary);
  EXPECT_EQ(ev["AdrAdd"], 1);
  EXPECT_EQ(ev["Event"], 10);
  EXPECT_EQ(ev["FacilityCode"], 12);
  EXPECT_EQ(ev["CardID"], 1040) << "the event taken before the restart does not come back";
  EXPECT_EQ(RegText(ev["EventType"], ev["Event"]), "Отказ в доступе,не системная");

  auto [rc, lines] = Ctl("regevents --json");
  EXPECT_EQ(rc, 0);
  ASSERT_EQ(lines.size(), 1u) << "one event left";
  const json last = json::parse(lines[0]);
  EXPECT_EQ(last["MakeAdr"], kSecond);
  EXPECT_EQ(last["EventType"], 3);
  EXPECT_EQ(last["Event"], 1);
  EXPECT_EQ(last["AdrAdd"], 1) << "driver";
  EXPECT_EQ(last["CardID"], 2) << "input";
  EXPECT_EQ(last["Text"], "Активизация входа");
  EXPECT_TRUE(DatedNow(last)) << lines[0];

  // Taking is kept too: nothing comes back after another restart.
  RestartServer();
  EXPECT_EQ(Call("sysvexon_GetRegEvent")["Value"], 67);
  std::tie(rc, lines) = Ctl("regevents");
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(lines.empty()) << lines[0];
}

TEST_F(RegJournalE2e, RegeventsDrainsInPagesAndFollowReadsTheControllers) {
  OpenAndAutoconfigure();
  // 1,030 events: two calls of sysvexon_GetRegEventArray (1024 + 6).
  ASSERT_EQ(Sim("regfill 0 1030"), "ok 1030");
  ASSERT_EQ(Call("sysvexon_GetRegJournal", {{"MakeAdr", kPrimary}})["Value"], 0);
  ASSERT_TRUE(WaitFor([&] { return Reg(0).first == 0; }, 20000));
  auto [rc, lines] = Ctl("regevents");
  EXPECT_EQ(rc, 0);
  ASSERT_EQ(lines.size(), 1030u);
  // regfill numbers its cards from 1, in journal order; no segments here,
  // so the card is the system index with facility code 0.
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}  "
                                                    "controller 564 +reader 1  card +0/1 +Проход")))
      << lines[0];
  EXPECT_NE(lines[1029].find("card   0/1030 "), std::string::npos) << lines[1029];
  EXPECT_EQ(Call("sysvexon_GetRegEvent")["Value"], 67);
  std::tie(rc, lines) = Ctl("regevents regevents");
  EXPECT_EQ(rc, 2);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "vexonctl: regevents takes no arguments (see --help)");

  // --follow with monitoring off: only its own reads bring the events, and
  // it prints them from the registration stream without taking them. The
  // hub has no journal; a read of it would fail and be reported.
  TProcess follow;
  ASSERT_TRUE(follow.Start({"/bin/sh", "-c", "exec " + std::string(VEXON_CTL_PATH) + " --unix " + dir_ +
                                                 "/rpc.sock regevents --follow --interval 0.2 2>&1"}));
  EXPECT_NE(follow.ReadLine().find("following the registration stream"), std::string::npos);
  EXPECT_EQ(Sim("input 2 3 4 1"), "ok");
  std::string line = follow.ReadLine(10000);
  EXPECT_NE(line.find("controller 565    driver 3  item 4"), std::string::npos) << line;
  EXPECT_NE(line.find("Активизация входа"), std::string::npos) << line;
  EXPECT_EQ(Sim("card 0 1 7"), "refused index 7: not in the controller's card list");
  line = follow.ReadLine(10000);
  EXPECT_NE(line.find("controller 564    reader 2  card   0/7"), std::string::npos) << line;
  EXPECT_NE(line.find("Отказ в доступе,не системная"), std::string::npos) << line;
  // A few more intervals, then Ctrl+C: no complaint was printed meanwhile.
  const uint64_t before = Reg(0).second;
  EXPECT_EQ(Sim("regfill 0 1"), "ok 1");
  ASSERT_TRUE(WaitFor([&] { return Reg(0).second > before; }));
  line = follow.ReadLine(10000);
  EXPECT_NE(line.find("Проход"), std::string::npos) << line;
  EXPECT_EQ(follow.Stop(SIGINT), 0) << "Ctrl+C is the normal end";
  // Nothing was taken: the site's client still gets the input change first.
  const json first = Call("sysvexon_GetRegEvent");
  EXPECT_EQ(first["Value"], 0);
  EXPECT_EQ(first["EventType"], 3);
}

// kill -9 at random points of journal reads. After each crash the server
// starts with its line closed, so what it hands out is exactly what it
// kept: every event the simulator deleted (confirmed) must be there. A
// short version of scripts/crash-test.
TEST_F(RegJournalE2e, KillDashNineDuringJournalReadsLosesNoConfirmedEvent) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  OpenAndAutoconfigure();

  std::map<int, std::vector<int>> added;  // per controller, in journal order
  int nextIndex = 1;
  TEventCounts drained;
  auto take = [&] {
    for (const json& e : DrainArray(static_cast<size_t>(nextIndex))) {
      EXPECT_EQ(e["EventType"], 1);
      ++drained[{e["MakeAdr"].get<int>(), e["CardID"].get<int>()}];
    }
  };
  // Events of `make` among the first `n` it was given that did not come out.
  auto missing = [&](int make, uint64_t n) {
    TEventCounts need;
    for (uint64_t i = 0; i < n && i < added[make].size(); ++i) ++need[{make, added[make][i]}];
    int lost = 0;
    for (const auto& [k, count] : need) {
      const auto it = drained.find(k);
      lost += std::max(0, count - (it == drained.end() ? 0 : it->second));
    }
    return lost;
  };
  const std::map<int, int> sysOf = {{kPrimary, 0}, {kSecond, 2}};

  constexpr int kRuns = 5;
  int killedMidRead = 0;
  for (int run = 1; run <= kRuns; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    for (const auto& [make, sys] : sysOf) {
      const int n = std::uniform_int_distribution<int>(make == kPrimary ? 150 : 20, make == kPrimary ? 300 : 80)(rng);
      ASSERT_EQ(Sim("regfill " + std::to_string(sys) + " " + std::to_string(n)), "ok " + std::to_string(n));
      for (int i = 0; i < n; ++i) added[make].push_back(nextIndex++);
    }
    const uint64_t before = Reg(0).second;
    const size_t waiting = Reg(0).first;
    OpenPort();
    for (const auto& [make, sys] : sysOf) ASSERT_EQ(Call("sysvexon_GetRegJournal", {{"MakeAdr", make}})["Value"], 0);
    // The moment of the kill: once a random share of the primary's journal
    // has been confirmed, plus up to 40 ms more, so that it falls anywhere
    // in the cycle of a page (waiting for the answer, storing, confirming).
    const uint64_t target = before + std::uniform_int_distribution<uint64_t>(0, waiting * 3 / 4)(rng);
    ASSERT_TRUE(WaitFor([&] { return Reg(0).second >= target; }, 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 40)(rng)));
    client_.Close();
    server_.Stop(SIGKILL);
    const auto [pending0, confirmed0] = Reg(0);
    const uint64_t confirmed2 = Reg(2).second;
    if (pending0 > 0 && confirmed0 > before) ++killedMidRead;

    StartServer();  // the line stays closed
    ASSERT_FALSE(HasFatalFailure());
    take();
    EXPECT_EQ(missing(kPrimary, confirmed0), 0) << "confirmed " << confirmed0;
    EXPECT_EQ(missing(kSecond, confirmed2), 0) << "confirmed " << confirmed2;
  }
  EXPECT_GE(killedMidRead, 1) << "at least one kill fell between two confirmed pages";

  // The rest is read, nothing is missing, and after an orderly stop nothing
  // comes out again.
  OpenPort();
  ASSERT_TRUE(WaitFor([&] {
    if (Reg(0).first == 0 && Reg(2).first == 0) return true;
    for (const auto& [make, sys] : sysOf) WaitAnswer(Call("sysvexon_GetRegJournal", {{"MakeAdr", make}})["EventID"]);
    return false;
  }, 30000));
  take();
  for (const auto& [make, sys] : sysOf) EXPECT_EQ(missing(make, added[make].size()), 0);
  RestartServer();
  EXPECT_EQ(Call("sysvexon_GetRegEvent")["Value"], 67);
}

}  // namespace
