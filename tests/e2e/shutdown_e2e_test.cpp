// What an orderly stop leaves on disk and what the next start takes from
// it: the controller records with their status blocks and reader zones in
// "new_sys.bin", the active segments in "cards.bin", and the exchange log
// "SrvVexon.Log" when a block transfer took place.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "e2e_fixture.h"

using namespace vexon;
using namespace vexon::testing;
using nlohmann::json;

namespace {

class ShutdownE2e : public E2eTest {
 protected:
  std::vector<uint8_t> Bytes(const std::string& name) {
    std::ifstream f(dir_ + "/" + name, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  }
  std::string Sim(const std::string& command) {
    sim_.WriteLine(command);
    return sim_.ReadLine();
  }
  // Lines of a file split at CR LF.
  std::vector<std::string> Lines(const std::string& name) {
    std::ifstream f(dir_ + "/" + name, std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<std::string> out;
    size_t at = 0;
    for (size_t crlf; (crlf = all.find("\r\n", at)) != std::string::npos; at = crlf + 2)
      out.push_back(all.substr(at, crlf - at));
    EXPECT_EQ(at, all.size()) << "every line ends with CR LF";
    return out;
  }
  json Uscs(int n) { return Call("sysvexon_GetControllerUSCS", {{"ControllerNum", n}}); }
};

}  // namespace

TEST_F(ShutdownE2e, StatusZonesAndSegmentsSurviveAnOrderlyRestart) {
  OpenAndAutoconfigure();
  auto r = Call("sysvexon_SetReaderZone", {{"MakeAdr", 564}, {"ReaderNumber", 0}, {"ZoneNumber", 7}});
  ASSERT_EQ(WaitAnswer(r["EventID"])["Value"], 0);
  ASSERT_EQ(Call("sysvexon_SetCardSegment", {{"FacilityCode", 12}, {"FirstCard", 1000}, {"LastCard", 1049}})["Value"], 0);
  r = Call("sysvexon_SendCardSegments");
  ASSERT_EQ(WaitAnswer(r["EventID"])["Value"], 0);
  EXPECT_EQ(Call("sysvexon_GetServerState")["Value"], 0);

  // A status change that only the monitoring poll sees: bit 2 of b2 of the
  // last controller goes on at the controller.
  Call("sysvexon_StartMonitoring");
  WaitFirstMonitoringPass();
  ASSERT_EQ(Sim("flag 2 2 1"), "ok");
  const auto t0 = std::chrono::steady_clock::now();
  int b2 = 0;
  while (((b2 = Uscs(3)["b2"].get<int>()) & 0x04) == 0) {
    ASSERT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10)) << "the poll never saw the flag";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const auto before = Uscs(3);
  Call("sysvexon_StopMonitoring");

  RestartServer();
  const auto sys = Bytes("new_sys.bin");
  ASSERT_EQ(sys.size(), 180u) << "three 60-byte controller records";
  EXPECT_EQ(sys[36], 7) << "zone of reader 0 of the primary controller";
  EXPECT_EQ(sys[120 + 41] & 0x04, 0x04) << "b2 of the third controller as the poll left it";
  const auto cards = Bytes("cards.bin");
  ASSERT_EQ(cards.size(), 9u) << "one 9-byte segment record";

  // The new process took all of it back.
  EXPECT_EQ(Call("sysvexon_GetServerState")["Value"], 0) << "configured, with the segments loaded";
  const auto after = Uscs(3);
  ASSERT_EQ(after["Value"], 0);
  for (const char* b : {"b1", "b2", "b3", "b4", "b5", "b6", "b7"}) EXPECT_EQ(after[b], before[b]) << b;
  // And what was loaded is what the next stop writes back, unchanged.
  RestartServer();
  EXPECT_EQ(Bytes("new_sys.bin"), sys);
  EXPECT_EQ(Bytes("cards.bin"), cards);
}

TEST_F(ShutdownE2e, ExchangeLogWrittenAtStopAfterBlockTransfers) {
  OpenAndAutoconfigure();
  RestartServer();  // a run without any block transfer
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/SrvVexon.Log")) << "autoconfiguration and status queries are no block transfers";

  ASSERT_EQ(Call("sysvexon_OpenSerialPort", {{"PortNumber", 1}})["Value"], 0);
  auto r = Call("sysvexon_SetTimer");
  ASSERT_EQ(WaitAnswer(r["EventID"])["Value"], 0);
  ASSERT_EQ(Sim("fault noanswer"), "ok");
  ASSERT_EQ(Sim("fault noanswer"), "ok");
  r = Call("sysvexon_SetTimer");
  EXPECT_NE(WaitAnswer(r["EventID"])["Value"], 0);
  r = Call("sysvexon_SetTimer");
  ASSERT_EQ(WaitAnswer(r["EventID"])["Value"], 0);
  client_.Close();
  ASSERT_EQ(server_.Stop(), 0);

  const auto lines = Lines("SrvVexon.Log");
  ASSERT_EQ(lines.size(), 4u);
  const std::string dateTime = R"(\d{2}\.\d{2}\.\d{4} \d{2}:\d{2}:\d{2})";
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(dateTime + " Пошел первый кадр\\.\\.\\."))) << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(dateTime + " Ошибка GetQuality\\. Всего кадров: 2, из них с ошибкой: 1")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(
      lines[2], std::regex(dateTime + " Ошибка GetQuality после удачного повторного SendBlock\\. Всего кадров: 2, из них с ошибкой: 2")))
      << lines[2];
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(R"(\d{2}:\d{2}:\d{2} END All: 3  With Error: 2)"))) << lines[3];

  // The log is discarded once written: a next run without block transfers
  // leaves the file of this one as it is.
  const auto written = std::filesystem::last_write_time(dir_ + "/SrvVexon.Log");
  StartServer();
  client_.Close();
  ASSERT_EQ(server_.Stop(), 0);
  EXPECT_EQ(std::filesystem::last_write_time(dir_ + "/SrvVexon.Log"), written);
  EXPECT_EQ(Lines("SrvVexon.Log").size(), 4u);
}
