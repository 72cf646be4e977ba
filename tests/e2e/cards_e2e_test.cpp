// The road of a card list from a site's export to a door: vexonctl reads the
// list from a CSV or JSON file and the server sends it to the simulator,
// whose controller then grants the listed cards presented at its reader and
// refuses the others, and the monitoring journal tells the client which.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "e2e_fixture.h"

using namespace vexon;
using namespace vexon::testing;
using nlohmann::json;

namespace {

class CardsE2e : public E2eTest {
 protected:
  // vexonctl with its standard error on standard output; exit status and
  // everything it printed.
  std::pair<int, std::string> Ctl(const std::string& args) {
    TProcess p;
    EXPECT_TRUE(p.Start({"/bin/sh", "-c", std::string(VEXON_CTL_PATH) + " --unix " + dir_ + "/rpc.sock " + args + " 2>&1"}));
    std::string out;
    for (std::string l; !(l = p.ReadLine(10000)).empty();) out += l + "\n";
    return {p.Stop(0), out};
  }
  std::string Sim(const std::string& command) {
    sim_.WriteLine(command);
    return sim_.ReadLine();
  }
  std::string File(const std::string& name, const std::string& text) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << text;
    return path;
  }
  // The next monitoring event, waiting for the poll to bring it; changes of
  // the registration-journal flag (event 15), which card events may raise,
  // are passed over.
  json NextEvent() {
    const auto t0 = std::chrono::steady_clock::now();
    for (;;) {
      auto e = Call("sysvexon_GetMonEvent");
      if (e["Value"] == 0 && e["EventCode"] == 15) continue;
      if (e["Value"] == 0 || std::chrono::steady_clock::now() - t0 > std::chrono::seconds(5)) return e;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  std::string Text(const json& e) {
    return Call("sysvexon_GetMonEventDescription", {{"EventCode", e["EventCode"]}, {"EventAdd", e["EventAdd"]}})["Value"];
  }
};

TEST_F(CardsE2e, CardListFromFilesGrantsAtTheDoor) {
  OpenAndAutoconfigure();
  ASSERT_EQ(Call("sysvexon_SetCardSegment", {{"FacilityCode", 12}, {"FirstCard", 1000}, {"LastCard", 1049}})["Value"], 0);
  auto r = Call("sysvexon_SendCardSegments");
  ASSERT_EQ(r["Value"], 0);
  ASSERT_EQ(WaitAnswer(r["EventID"])["Value"], 0);

  // A malformed export is refused by vexonctl before anything is sent.
  const std::string frames = Sim("frames");
  const std::string bad = File("bad.csv", "12,232,3,0,0,0,0,0\n12,234,3,0,0,0,0\n");
  auto [rc, out] = Ctl("--wait SendDeviceCardList AMakeAdr=564 ACards=@" + bad);
  EXPECT_EQ(rc, 2);
  EXPECT_EQ(out, "vexonctl: " + bad + ": line 2 has 7 values; line 1 has 8\n");
  EXPECT_EQ(Sim("frames"), frames) << "nothing reached the line";
  Call("sysvexon_StartMonitoring");

  // Cards 12/1000 and 12/1002 to the primary controller (564) from CSV,
  // card 12/1001 to the other one (565) from JSON.
  const std::string csv = File("cards.csv", "# facility, low, high, properties, schedule, c. facility, c. low, c. high\n"
                                            "12,232,3,0,0,0,0,0\n\n12,234,3,1,5,0,0,0\n");
  std::tie(rc, out) = Ctl("--wait SendDeviceCardList AMakeAdr=564 ACards=@" + csv);
  ASSERT_EQ(rc, 0) << out;
  const std::string js = File("cards.json", "{\"lbound\":[1,1],\"data\":[[12,233,3,0,0,0,0,0]]}");
  std::tie(rc, out) = Ctl("--wait SendDeviceCardList AMakeAdr=565 ACards=@" + js);
  ASSERT_EQ(rc, 0) << out;
  EXPECT_EQ(Sim("cards 0"), "controller 0: 2 cards 1=12/1000 3=12/1002; 0 autonomous entries in 0 blocks");
  EXPECT_EQ(Sim("cards 2"), "controller 2: 1 cards 2=12/1001; 0 autonomous entries in 0 blocks");

  EXPECT_EQ(Sim("card 0 1 12/1002"), "granted index 3");
  auto e = NextEvent();
  ASSERT_EQ(e["Value"], 0);
  EXPECT_EQ(e["MakeAdr"], 564);
  EXPECT_EQ(e["AdrAdd"], 2);
  EXPECT_EQ(e["FacilityCode"], 12);
  EXPECT_EQ(e["CardID"], 1002);
  EXPECT_EQ(Text(e), "Запрос на проход");

  EXPECT_EQ(Sim("card 0 0 12/1001"), "refused index 2: not in the controller's card list");
  e = NextEvent();
  EXPECT_EQ(e["CardID"], 1001);
  EXPECT_EQ(Text(e), "Нарушение РКД - НЕ СИСТЕМНЫЙ пропуск");

  EXPECT_EQ(Sim("card 2 0 2"), "granted index 2") << "by system index";
  e = NextEvent();
  EXPECT_EQ(e["MakeAdr"], 565);
  EXPECT_EQ(e["CardID"], 1001);

  // Blocked for the whole network; the stdin syntax is checked.
  r = Call("sysvexon_SetEnableCard", {{"Enable", 0}, {"FacilityCode", 12}, {"CardID", 1000}});
  ASSERT_EQ(r["Value"], 0);
  for (int i = 0; i < 500 && Sim("card 0 0 12/1000") != "refused index 1: blocked"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(Sim("card 0 0 12/1000"), "refused index 1: blocked");
  EXPECT_EQ(Sim("card 0 2 12/1000"), "usage: card SYS READER INDEX | card SYS READER FC/NUMBER (READER 0 or 1)");
  EXPECT_EQ(Sim("card 1 0 5"), "no controller with readers at 1");
}

}  // namespace

TEST_F(CardsE2e, AServerStartedForAClientFinishesTheListItsClientLeftBehind) {
  // Controllers that take 100 ms to answer each block: the list of 1,200
  // cards takes about eight seconds, more than twice the grace, which counts
  // from the start and leaves the test time to connect on a busy machine.
  sim_.Stop(SIGKILL);
  StartSim({"--turnaround", "100"});
  RestartServer({"-Embedding", "--idle-exit-grace", "3"});
  OpenAndAutoconfigure();
  ASSERT_EQ(Call("sysvexon_SetCardSegment", {{"FacilityCode", 12}, {"FirstCard", 1000}, {"LastCard", 2199}})["Value"], 0);
  auto r = Call("sysvexon_SendCardSegments");
  ASSERT_EQ(WaitAnswer(r["EventID"])["Value"], 0);
  json rows = json::array();
  for (int card = 1000; card < 2200; ++card) rows.push_back({12, card & 0xFF, card >> 8, 0, 0, 0, 0, 0});
  r = Call("sysvexon_SendDeviceCardList", {{"AMakeAdr", 564}, {"ACards", {{"lbound", {1, 1}}, {"data", rows}}}});
  ASSERT_EQ(r["Value"], 0);
  // The client goes at once; the answer waits for nobody.
  client_.Close();
  ASSERT_EQ(server_.WaitExit(120000), 0) << "the server ends once the list is on the controller";
  const std::string cards = Sim("cards 0");
  EXPECT_EQ(cards.substr(0, cards.find(" cards")), "controller 0: 1200") << cards.substr(0, 200);
}
