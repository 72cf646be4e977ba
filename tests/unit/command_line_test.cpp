#include <gtest/gtest.h>
#include <INIReader.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/activation.h"
#include "app/command_line.h"
#include "app/lifecycle.h"
#include "app/registration.h"
#include "app/settings.h"

using namespace vexon;
namespace fs = std::filesystem;

namespace {
// Every path under `root`, relative, sorted.
std::vector<std::string> Tree(const fs::path& root) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) out.push_back(fs::relative(e.path(), root).string());
  std::sort(out.begin(), out.end());
  return out;
}
fs::path FreshDir(const char* name) {
  const fs::path d = fs::path(::testing::TempDir()) / name;
  fs::remove_all(d);
  fs::create_directories(d);
  return d;
}
}  // namespace

TEST(CommandLine, QueueOrderSwitchOnlyAsFirstParameterWithDashOrSlashInAnyCase) {
  for (const char* x : {"/X", "/x", "-X", "-x"}) {
    const auto l = ScanCommandLine({x, "--headless"});
    EXPECT_TRUE(l.ArrivalOrder) << x;
    EXPECT_EQ(l.Rest, (std::vector<std::string>{"--headless"})) << x << " is not left for the option parser";
    EXPECT_EQ(l.IgnoredFirst, "") << x;
  }
  EXPECT_FALSE(ScanCommandLine({}).ArrivalOrder);
  EXPECT_FALSE(ScanCommandLine({"--headless", "/X"}).ArrivalOrder) << "/X later is no switch";
  EXPECT_FALSE(ScanCommandLine({"/XX"}).ArrivalOrder);
  EXPECT_FALSE(ScanCommandLine({"--x"}).ArrivalOrder) << "a long option, not the switch";
  EXPECT_FALSE(ScanCommandLine({"X"}).ArrivalOrder);
  // Not first: handed to the option parser, which refuses it.
  EXPECT_EQ(ScanCommandLine({"--headless", "/X"}).Rest, (std::vector<std::string>{"--headless", "/X"}));
  EXPECT_EQ(ScanCommandLine({"--headless", "-x"}).Rest, (std::vector<std::string>{"--headless", "-x"}));
}

TEST(CommandLine, AnyOtherFirstParameterLeavesTheQueueSorted) {
  const auto word = ScanCommandLine({"/Y", "--data-dir", "d"});
  EXPECT_FALSE(word.ArrivalOrder);
  EXPECT_EQ(word.IgnoredFirst, "/Y");
  EXPECT_EQ(word.Rest, (std::vector<std::string>{"--data-dir", "d"}));
  EXPECT_EQ(ScanCommandLine({"hello"}).IgnoredFirst, "hello");
  // An option first is parsed normally, an unknown one included.
  const auto option = ScanCommandLine({"--bogus", "x"});
  EXPECT_EQ(option.IgnoredFirst, "");
  EXPECT_EQ(option.Rest, (std::vector<std::string>{"--bogus", "x"}));
  // Only the first parameter is dropped: a later word reaches the parser.
  EXPECT_EQ(ScanCommandLine({"a", "b"}).Rest, (std::vector<std::string>{"b"}));
}

TEST(CommandLine, ClientAndRegistrationSwitchesAnywhereWithDashOrSlash) {
  for (const char* s : {"-Embedding", "/embedding", "-AUTOMATION", "/Automation"}) {
    const auto l = ScanCommandLine({"--headless", s});
    EXPECT_TRUE(l.ForClient) << s;
    EXPECT_EQ(l.Rest, (std::vector<std::string>{"--headless"})) << s;
  }
  const auto first = ScanCommandLine({"-Embedding", "/x"});
  EXPECT_TRUE(first.ForClient);
  EXPECT_FALSE(first.ArrivalOrder) << "the queue-order switch counts only first";
  EXPECT_FALSE(ScanCommandLine({"--embedding"}).ForClient);
  EXPECT_FALSE(ScanCommandLine({"-Embeddings"}).ForClient);

  EXPECT_EQ(ScanCommandLine({"/RegServer"}).Registration, TRegistrationAction::Register);
  EXPECT_EQ(ScanCommandLine({"--data-dir", "d", "-regserver"}).Registration, TRegistrationAction::Register);
  EXPECT_EQ(ScanCommandLine({"/UNREGSERVER"}).Registration, TRegistrationAction::Unregister);
  EXPECT_EQ(ScanCommandLine({"-unRegServer"}).Registration, TRegistrationAction::Unregister);
  EXPECT_EQ(ScanCommandLine({"/regserver"}).IgnoredFirst, "");
  EXPECT_TRUE(ScanCommandLine({"/regserver"}).Error.empty());
  EXPECT_FALSE(ScanCommandLine({"/regserver", "/unregserver"}).Error.empty());
}

TEST(Activation, NamesDecideThenKindAndHttpPortThenOrder) {
  std::vector<std::string> unused;
  // Named: the order and the port do not matter.
  auto s = ClassifyPassed({{3, "http", false, true, 47301}, {4, "TCP", false, true, 47380}, {5, "unix", true, false, 0}},
                          47380, unused);
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0].Fd, 3);
  EXPECT_EQ(s[0].Kind, "http");
  EXPECT_EQ(s[1].Kind, "tcp");
  EXPECT_EQ(s[2].Kind, "unix");
  EXPECT_TRUE(unused.empty());

  // Unnamed (all take the unit's name): the HTTP port first, then in order.
  s = ClassifyPassed({{3, "srvvexon.socket", false, true, 9000}, {4, "srvvexon.socket", false, true, 47380},
                      {5, "srvvexon.socket", true, false, 0}},
                     47380, unused);
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0].Kind, "tcp");
  EXPECT_EQ(s[1].Kind, "http");
  EXPECT_EQ(s[2].Kind, "unix");
  s = ClassifyPassed({{3, "", false, true, 47380}}, 47380, unused);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].Kind, "http") << "a lone socket on the HTTP port is HTTP";
  s = ClassifyPassed({{3, "", false, true, 1}, {4, "", false, true, 2}}, 0, unused);
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].Kind, "tcp");
  EXPECT_EQ(s[1].Kind, "http");
  EXPECT_TRUE(unused.empty());

  // What fits nothing is reported, never served.
  s = ClassifyPassed({{3, "unix", false, true, 1}, {4, "", false, false, 0}, {5, "tcp", false, true, 1},
                      {6, "tcp", false, true, 2}, {7, "", true, false, 0}, {8, "", true, false, 0}},
                     0, unused);
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].Fd, 5);
  EXPECT_EQ(s[1].Fd, 7);
  EXPECT_EQ(unused.size(), 4u);
}

TEST(Settings, ServiceSectionTakesSecondsAndKeepsDefaultsForBadValues) {
  const fs::path dir = FreshDir("service-settings");
  TSettings s;
  ASSERT_FALSE(LoadSettings((dir / "none.ini").string(), s));
  EXPECT_EQ(s.IdleExitGraceSeconds, 30);
  EXPECT_EQ(s.StopGraceSeconds, 5);
  std::ofstream(dir / "a.ini") << "[Service]\nIdleExitGrace=0.25\nStopGrace=12\n";
  ASSERT_TRUE(LoadSettings((dir / "a.ini").string(), s));
  EXPECT_DOUBLE_EQ(s.IdleExitGraceSeconds, 0.25);
  EXPECT_DOUBLE_EQ(s.StopGraceSeconds, 12);
  std::ofstream(dir / "b.ini") << "[Service]\nIdleExitGrace=-1\nStopGrace=5s\n";
  ASSERT_TRUE(LoadSettings((dir / "b.ini").string(), s));
  EXPECT_EQ(s.IdleExitGraceSeconds, 30);
  EXPECT_EQ(s.StopGraceSeconds, 5);
  double v = 0;
  EXPECT_FALSE(ParseSeconds("", v));
  EXPECT_FALSE(ParseSeconds("1e3", v));
  EXPECT_FALSE(ParseSeconds("86401", v));
  EXPECT_FALSE(ParseSeconds("1.2.3", v));
  EXPECT_TRUE(ParseSeconds("0", v));
  EXPECT_EQ(v, 0);
}

TEST(Registration, UnitTextsCarryEndpointsAndQuotedArguments) {
  TRegistration r;
  r.ConfigHome = "/home/u/.config";
  r.ProgramPath = "/opt/vexon dir/srvvexon";
  r.Tcp = "127.0.0.1:47301";
  r.Http = "[::1]:47380";
  r.Unix = "/run/user/1000/vexon.sock";
  r.UnixSocketMode = 0660;
  r.ServiceArgs = {"--data-dir", "/var/100%/data", "--port", "COM1=/dev/ttyUSB0"};
  const std::string sock = SocketUnitText(r);
  EXPECT_NE(sock.find("\n[Socket]\nListenStream=127.0.0.1:47301\nListenStream=[::1]:47380\n"
                      "ListenStream=/run/user/1000/vexon.sock\nSocketMode=0660\nService=srvvexon.service\n"),
            std::string::npos)
      << sock;
  EXPECT_NE(sock.find("WantedBy=sockets.target"), std::string::npos);
  const std::string svc = ServiceUnitText(r);
  EXPECT_NE(svc.find("\nExecStart=\"/opt/vexon dir/srvvexon\" -Embedding --data-dir /var/100%%/data --port "
                     "COM1=/dev/ttyUSB0\n"),
            std::string::npos)
      << svc;
  EXPECT_NE(svc.find("Requires=srvvexon.socket"), std::string::npos);
  EXPECT_EQ(QuoteUnitWord("a\"b\\c$"), "\"a\\\"b\\\\c$$\"");
  EXPECT_EQ(QuoteUnitWord(""), "\"\"");
}

TEST(Registration, RegisterThenUnregisterLeavesNothingBehind) {
  const fs::path home = FreshDir("reg-home");
  std::ofstream(home / "keep.txt") << "x";  // someone else's file stays
  const auto before = Tree(home);
  TRegistration r;
  r.ConfigHome = (home / "config").string();
  r.ProgramPath = "/usr/bin/srvvexon";
  r.Tcp = "127.0.0.1:47301";
  std::string error;
  ASSERT_TRUE(Register(r, error)) << error;
  ASSERT_TRUE(Register(r, error)) << "registering again: " << error;
  const std::string record = RecordPath(r.ConfigHome);
  INIReader ini(record);
  ASSERT_EQ(ini.ParseError(), 0);
  const std::string cls = "CLSID\\{A7E4D1C2-3B58-4F96-8D0A-61C9E2B47F05}";
  EXPECT_EQ(ini.Get(cls, "Sockets", ""), "1");
  EXPECT_EQ(ini.Get(cls, "Web", ""), "1");
  EXPECT_EQ(ini.Get(cls, "ProgID", ""), "SrvVexon.SysVexonComServer");
  EXPECT_EQ(ini.Get(cls, "Description", ""), "SysVexonComServer Object");
  EXPECT_EQ(ini.Get(cls, "LocalServer", ""), "/usr/bin/srvvexon");
  EXPECT_EQ(ini.Get("TypeLib\\{5B0C6E3A-8F21-4D7B-9A4E-2C61D0F7B913}", "HelpString", ""), "SrvVexon Library");
  EXPECT_EQ(ini.Get("TypeLib\\{5B0C6E3A-8F21-4D7B-9A4E-2C61D0F7B913}", "Locale", ""), "0x409");
  EXPECT_EQ(ini.Get("Interface\\{3F9D2A71-C6B4-4E08-B51D-9E7A04C8D362}", "Name", ""), "ISysVexonComServer");
  EXPECT_EQ(ini.Get("SrvVexon.SysVexonComServer", "CLSID", ""), "{A7E4D1C2-3B58-4F96-8D0A-61C9E2B47F05}");
  // A start refreshes the program path of an existing record only.
  ASSERT_TRUE(RefreshRecord(r.ConfigHome, "/opt/srvvexon", error)) << error;
  EXPECT_EQ(INIReader(record).Get(cls, "LocalServer", ""), "/opt/srvvexon");
  // "systemctl --user enable" leaves a link that must go too.
  fs::create_directories(UnitDir(r.ConfigHome) + "/sockets.target.wants");
  fs::create_symlink(UnitDir(r.ConfigHome) + "/srvvexon.socket", UnitDir(r.ConfigHome) + "/sockets.target.wants/srvvexon.socket");
  ASSERT_TRUE(Unregister(r.ConfigHome, error)) << error;
  EXPECT_EQ(Tree(home), before);
  ASSERT_TRUE(Unregister(r.ConfigHome, error)) << "nothing registered is no error: " << error;
  // No record: a start creates none.
  ASSERT_TRUE(RefreshRecord(r.ConfigHome, "/opt/srvvexon", error));
  EXPECT_EQ(Tree(home), before);
}

TEST(Registration, KeepsFoldersItDidNotCreateAndRefusesWhatSystemdCannotUse) {
  const fs::path home = FreshDir("reg-home2");
  fs::create_directories(home / "systemd/user");
  std::ofstream(home / "systemd/user/other.service") << "[Service]\n";
  TRegistration r;
  r.ConfigHome = home.string();
  r.ProgramPath = "/usr/bin/srvvexon";
  r.Unix = "/tmp/x.sock";
  std::string error;
  ASSERT_TRUE(Register(r, error)) << error;
  EXPECT_TRUE(fs::exists(home / "systemd/user/srvvexon.socket"));
  ASSERT_TRUE(Unregister(r.ConfigHome, error)) << error;
  EXPECT_EQ(Tree(home), (std::vector<std::string>{"systemd", "systemd/user", "systemd/user/other.service"}));

  for (const auto& [tcp, unixPath] : {std::pair<std::string, std::string>{"localhost:47301", ""}, {"127.0.0.1:0", ""},
                                      {"", "relative.sock"}, {"", ""}}) {
    r.Tcp = tcp;
    r.Unix = unixPath;
    error.clear();
    EXPECT_FALSE(Register(r, error)) << tcp << unixPath;
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(fs::exists(home / "systemd/user/srvvexon.socket"));
  }
  r.ConfigHome.clear();
  EXPECT_FALSE(Register(r, error));
}

TEST(Lifecycle, StartedByHandEndsOnlyOnASignal) {
  TLifecycle life(std::nullopt);
  life.ConnectionsChanged(1);
  life.ConnectionsChanged(0);
  std::thread t([&] { life.Signal(15); });
  EXPECT_EQ(life.Wait(), TLifecycle::TReason::Signal);
  t.join();
  EXPECT_EQ(life.LastSignal(), 15);
}

TEST(Lifecycle, ForAClientEndsOnceIdleForTheGraceAndNotWhileAConnectionIsOpen) {
  TLifecycle idle(std::chrono::milliseconds(0));
  EXPECT_EQ(idle.Wait(), TLifecycle::TReason::Idle) << "no client at all ends it too";

  // A connection open: only the signal ends the wait, however short the grace.
  TLifecycle busy(std::chrono::milliseconds(0));
  busy.ConnectionsChanged(1);
  std::thread signal([&] { busy.Signal(2); });
  EXPECT_EQ(busy.Wait(), TLifecycle::TReason::Signal);
  signal.join();

  // The last one closing starts the grace.
  TLifecycle life(std::chrono::milliseconds(0));
  life.ConnectionsChanged(2);
  life.ConnectionsChanged(1);
  std::thread close([&] { life.ConnectionsChanged(0); });
  EXPECT_EQ(life.Wait(), TLifecycle::TReason::Idle);
  close.join();
  EXPECT_EQ(life.LastSignal(), 0);
}
