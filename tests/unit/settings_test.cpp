#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "app/server_app.h"
#include "app/settings.h"
#include "util/clock.h"
#include "util/operator_display.h"

using namespace vexon;
namespace fs = std::filesystem;

namespace {
std::string Temp(const char* name) { return (fs::path(::testing::TempDir()) / name).string(); }
std::string ReadAll(const std::string& p) {
  std::ifstream f(p);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}
}  // namespace

TEST(Settings, MissingFileGivesDefaultsAndUnreadableGivesFalse) {
  TSettings s;
  s.MinimizeOnRun = false;
  fs::remove(Temp("none.ini"));
  EXPECT_FALSE(LoadSettings(Temp("none.ini"), s));
  EXPECT_TRUE(s.MinimizeOnRun);
  EXPECT_FALSE(s.ForwardAntiPass);
  fs::create_directories(Temp("dir.ini"));  // exists, cannot be read as a file
  s.ForwardAntiPass = true;
  EXPECT_FALSE(LoadSettings(Temp("dir.ini"), s));
  EXPECT_FALSE(s.MinimizeOnRun);
  EXPECT_FALSE(s.ForwardAntiPass);
}

TEST(Settings, KeysPortsAndEndpoints) {
  const std::string p = Temp("srvvexon.ini");
  std::ofstream(p) << "[SETTINS]\nMinimizeOnRun=0\nForwardAntiPass=7\n[Ports]\nCOM3=/dev/ttyUSB0\nCOM12=/dev/pts/4\n"
                      "[Automation]\nTcp=0.0.0.0:5000\nHttp=off\n[Main Form]\nLeft=10\n";
  TSettings s;
  ASSERT_TRUE(LoadSettings(p, s));
  EXPECT_FALSE(s.MinimizeOnRun);
  EXPECT_TRUE(s.ForwardAntiPass) << "any non-zero integer is true";
  EXPECT_EQ(s.Ports.at(3), "/dev/ttyUSB0");
  EXPECT_EQ(s.Ports.at(12), "/dev/pts/4");
  EXPECT_EQ(s.Tcp, "0.0.0.0:5000");
  EXPECT_EQ(s.Http, "off");

  s.MinimizeOnRun = true;
  ASSERT_TRUE(SaveSettings(p, s));
  const std::string text = ReadAll(p);
  EXPECT_NE(text.find("MinimizeOnRun=1"), std::string::npos);
  EXPECT_NE(text.find("ForwardAntiPass=1"), std::string::npos);
  EXPECT_NE(text.find("[Main Form]\nLeft=10"), std::string::npos) << "other sections are kept";
  EXPECT_EQ(text.find("MinimizeOnRun=0"), std::string::npos);
  TSettings back;
  ASSERT_TRUE(LoadSettings(p, back));
  EXPECT_TRUE(back.MinimizeOnRun);
  EXPECT_EQ(back.Ports.at(3), "/dev/ttyUSB0");
}

TEST(Settings, SaveCreatesTheFileWithBothKeys) {
  const std::string p = Temp("fresh.ini");
  fs::remove(p);
  TSettings s;
  ASSERT_TRUE(SaveSettings(p, s));
  EXPECT_EQ(ReadAll(p), "[SETTINS]\nMinimizeOnRun=1\nForwardAntiPass=0\n");
}

TEST(Settings, EarlyFrameEndInSectionLine) {
  const std::string p = Temp("line.ini");
  TSettings s;
  std::ofstream(p) << "[SETTINS]\nMinimizeOnRun=1\n";
  ASSERT_TRUE(LoadSettings(p, s));
  EXPECT_FALSE(s.EarlyFrameEnd) << "off unless the file turns it on";
  for (const char* on : {"1", "true", "yes", "on"}) {
    std::ofstream(p) << "[LINE]\nEarlyFrameEnd=" << on << "\n";
    ASSERT_TRUE(LoadSettings(p, s));
    EXPECT_TRUE(s.EarlyFrameEnd) << on;
  }
  for (const char* off : {"0", "false", "", "fast"}) {
    std::ofstream(p) << "[LINE]\nEarlyFrameEnd=" << off << "\n[Other]\nEarlyFrameEnd=1\n";
    ASSERT_TRUE(LoadSettings(p, s));
    EXPECT_FALSE(s.EarlyFrameEnd) << "'" << off << "'";
  }
}

// The line the server builds takes the early frame end from the command
// line when given there, else from section "LINE".
TEST(Settings, ServerTakesEarlyFrameEndFromCommandLineOverFile) {
  const std::string dir = Temp("early-app");
  fs::create_directories(dir);
  const std::string on = Temp("early-on.ini");
  std::ofstream(on) << "[LINE]\nEarlyFrameEnd=1\n";
  const std::string none = Temp("early-none.ini");
  fs::remove(none);
  struct Case {
    std::string file;
    std::optional<bool> flag;
    bool expect;
  };
  const Case cases[] = {{none, std::nullopt, false}, {on, std::nullopt, true}, {on, false, false}, {none, true, true}};
  for (const auto& c : cases) {
    TAppOptions opt;
    opt.DataDir = dir;
    opt.SettingsPath = c.file;
    opt.Tcp = "off";
    opt.Http = "off";
    opt.EarlyFrameEnd = c.flag;
    TManualClock clock;
    THeadlessDisplay display;
    TServerApp app(opt, clock, display);
    std::string error;
    ASSERT_TRUE(app.StartUp(error)) << error;
    EXPECT_EQ(app.Core().Port.Timings().EarlyFrameEnd, c.expect)
        << c.file << " flag " << (c.flag ? (*c.flag ? "on" : "off") : "unset");
    app.ShutDown();
  }
}
