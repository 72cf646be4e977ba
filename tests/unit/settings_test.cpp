#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

// The line timings of a server started in `dir` with the settings file
// `file` and the command line's choices in `opt`.
TLinkTimings StartedTimings(const std::string& dir, const std::string& file, TAppOptions opt) {
  opt.DataDir = dir;
  opt.SettingsPath = file;
  opt.Tcp = "off";
  opt.Http = "off";
  TManualClock clock;
  THeadlessDisplay display;
  TServerApp app(opt, clock, display);
  std::string error;
  EXPECT_TRUE(app.StartUp(error)) << error;
  const TLinkTimings t = app.Core().Port.Timings();
  app.ShutDown();
  return t;
}
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
  std::string error;
  EXPECT_FALSE(LoadSettings(Temp("none.ini"), s, &error));
  EXPECT_EQ(error, "") << "a missing file is no error";
  fs::create_directories(Temp("dir.ini"));  // exists, cannot be read as a file
  s.ForwardAntiPass = true;
  EXPECT_FALSE(LoadSettings(Temp("dir.ini"), s, &error));
  EXPECT_FALSE(s.MinimizeOnRun);
  EXPECT_FALSE(s.ForwardAntiPass);
  EXPECT_EQ(error, "cannot read the settings file " + Temp("dir.ini") + ": " + std::strerror(EISDIR));
}

// A save changes its own keys where they stand and nothing else: comments,
// blank lines, other sections, the way a key was written, the mode (a
// token kept at 0600), the owner, and a symbolic link to the file.
TEST(Settings, SaveChangesItsKeysInPlaceAndKeepsEveryOtherByteTheModeAndTheOwner) {
  const fs::path dir = Temp("kept");
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string p = (dir / "srvvexon.ini").string();
  std::ofstream(p) << "; site settings, by hand\n[Rpc]\nToken = s3cret ; keep private\n\n[settins]\n"
                      "MinimizeOnRun = 0   ; by hand\n# a second copy below\n[Ports]\nCOM1=/dev/ttyUSB0\n"
                      "[SETTINS]\nMinimizeOnRun=0";
  ASSERT_EQ(::chmod(p.c_str(), 0600), 0);
  // Root can give the file to someone else: the save must give it back.
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0);
  }
  struct stat before {};
  ASSERT_EQ(::stat(p.c_str(), &before), 0);
  fs::create_symlink(p, dir / "link.ini");

  TSettings s;
  s.MinimizeOnRun = true;
  s.ForwardAntiPass = false;
  ASSERT_TRUE(SaveSettings((dir / "link.ini").string(), s));
  EXPECT_EQ(ReadAll(p),
            "; site settings, by hand\n[Rpc]\nToken = s3cret ; keep private\n\n[settins]\n"
            "MinimizeOnRun = 1   ; by hand\nForwardAntiPass=0\n# a second copy below\n[Ports]\nCOM1=/dev/ttyUSB0\n"
            "[SETTINS]\n");
  struct stat after {};
  ASSERT_EQ(::stat(p.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0600u);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_TRUE(fs::is_symlink(dir / "link.ini")) << "the link stays a link";
  TSettings back;
  ASSERT_TRUE(LoadSettings(p, back));
  EXPECT_EQ(back.RpcToken, "s3cret");
  EXPECT_TRUE(back.MinimizeOnRun) << "the later copy no longer overrides the value written";
  EXPECT_EQ(back.Ports.at(1), "/dev/ttyUSB0");
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"link.ini", "srvvexon.ini"})) << "no temporary file is left";
}

// A file that exists but cannot be read is never replaced by a save that
// would hold only the keys written. Root reads everything, so the save runs
// as another user whose own file denies it reading.
TEST(Settings, SaveNeverReplacesAFileItCannotRead) {
  const fs::path dir = Temp("unreadable");
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::permissions(dir, fs::perms::all);  // the other user may put a file beside it
  const std::string p = (dir / "srvvexon.ini").string();
  std::ofstream(p) << "[Rpc]\nToken=s3cret\n";
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(::chmod(p.c_str(), 0), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (root && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    ::_exit(SaveSettings(p, TSettings{}) ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the save reported success, 3: cannot become the other user";
  ASSERT_EQ(::chmod(p.c_str(), 0600), 0);
  EXPECT_EQ(ReadAll(p), "[Rpc]\nToken=s3cret\n");
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
    opt.EarlyFrameEnd = c.flag;
    EXPECT_EQ(StartedTimings(dir, c.file, opt).EarlyFrameEnd, c.expect)
        << c.file << " flag " << (c.flag ? (*c.flag ? "on" : "off") : "unset");
  }
}

// The status query's time-out: the line's 70 ms unless section "LINE" sets
// one within 10..10000 ms; --status-query-ms wins over the file.
TEST(Settings, StatusQueryTimeOutFromFileAndCommandLine) {
  const std::string p = Temp("status.ini");
  TSettings s;
  for (const auto& [text, expect] : std::vector<std::pair<std::string, uint32_t>>{
           {"", 0}, {"250", 250}, {"10", 10}, {"10000", 10000}, {"9", 0}, {"10001", 0}, {"-70", 0}, {"fast", 0}}) {
    std::ofstream(p) << "[LINE]\nStatusQueryMs=" << text << "\n";
    ASSERT_TRUE(LoadSettings(p, s));
    EXPECT_EQ(s.StatusQueryMs, expect) << "'" << text << "'";
  }
  const std::string dir = Temp("status-app");
  fs::create_directories(dir);
  std::ofstream(p) << "[LINE]\nStatusQueryMs=250\n";
  const std::string none = Temp("status-none.ini");
  fs::remove(none);
  struct Case {
    std::string file;
    std::optional<uint32_t> flag;
    uint32_t expect;
  };
  for (const Case& c : {Case{none, std::nullopt, 70}, Case{p, std::nullopt, 250}, Case{p, 1000u, 1000}}) {
    TAppOptions opt;
    opt.StatusQueryMs = c.flag;
    EXPECT_EQ(StartedTimings(dir, c.file, opt).StatusQueryMs, c.expect) << c.file;
  }
}

TEST(Settings, EventsKeepAndSubscriberQueue) {
  TSettings s;
  fs::remove(Temp("none.ini"));
  LoadSettings(Temp("none.ini"), s);
  EXPECT_EQ(s.EventsKeep, 10000u);
  EXPECT_EQ(s.EventsSubscriberQueue, 10000u);
  std::ofstream(Temp("events.ini")) << "[Events]\nKeep=0\nSubscriberQueue=250\n";
  ASSERT_TRUE(LoadSettings(Temp("events.ini"), s));
  EXPECT_EQ(s.EventsKeep, 0u);
  EXPECT_EQ(s.EventsSubscriberQueue, 250u);
  // Out of range keeps the default: a queue of none would lose everything.
  std::ofstream(Temp("events.ini")) << "[Events]\nKeep=-1\nSubscriberQueue=0\n";
  ASSERT_TRUE(LoadSettings(Temp("events.ini"), s));
  EXPECT_EQ(s.EventsKeep, 10000u);
  EXPECT_EQ(s.EventsSubscriberQueue, 10000u);
}

TEST(Settings, ConsoleSessionHours) {
  TSettings s;
  fs::remove(Temp("none.ini"));
  LoadSettings(Temp("none.ini"), s);
  EXPECT_EQ(s.ConsoleSessionHours, 12);
  for (const auto& [text, hours] : std::vector<std::pair<std::string, int>>{
           {"1", 1}, {"8760", 8760}, {"0", 12}, {"8761", 12}, {"-3", 12}, {"soon", 12}}) {
    std::ofstream(Temp("console.ini")) << "[Console]\nSessionHours=" << text << "\n";
    ASSERT_TRUE(LoadSettings(Temp("console.ini"), s));
    EXPECT_EQ(s.ConsoleSessionHours, hours) << text;
  }
}
