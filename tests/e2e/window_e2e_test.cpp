// srvvexon built with the operator window, started as a process: with a
// display (here Qt's offscreen platform) it runs the window and still serves
// its clients, and a stop signal ends it through the normal shut-down, which
// also keeps the window's position; without any display it runs headless.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e_fixture.h"

namespace vexon::testing {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Standard output of a shell command (empty when it fails).
std::string Output(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[256];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

bool Have(const char* program) { return Output(std::string("command -v ") + program).size() > 0; }

// Each test names the display the server sees before the fixture starts it.
class WindowE2eTest : public E2eTest {
 protected:
  void SetUp() override {
    for (const char* v : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
      if (const char* old = std::getenv(v)) saved_.emplace_back(v, old);
      ::unsetenv(v);
    }
    if (Platform()) ::setenv("QT_QPA_PLATFORM", Platform(), 1);
    BeforeServerStarts();
    E2eTest::SetUp();
  }
  void TearDown() override {
    E2eTest::TearDown();
    ::unsetenv("QT_QPA_PLATFORM");
    for (const auto& [k, v] : saved_) ::setenv(k.c_str(), v.c_str(), 1);
  }
  virtual const char* Platform() const { return "offscreen"; }
  virtual void BeforeServerStarts() {}
  std::vector<std::pair<std::string, std::string>> saved_;
};

class NoDisplayE2eTest : public WindowE2eTest {
 protected:
  const char* Platform() const override { return nullptr; }
};

TEST_F(WindowE2eTest, ServesClientsWithTheWindowAndShutsDownInOrder) {
  OpenAndAutoconfigure();
  EXPECT_EQ(Call("sysvexon_GetOpenSerialPortNumber")["PortNumber"], 1);
  client_.Close();
  ASSERT_EQ(server_.Stop(), 0);
  // The shut-down saved the configuration and the window's position.
  EXPECT_EQ(std::filesystem::file_size(dir_ + "/new_sys.bin") % 60, 0u);
  EXPECT_GT(std::filesystem::file_size(dir_ + "/new_sys.bin"), 0u);
  const std::string ini = ReadText(dir_ + "/none.ini");
  EXPECT_NE(ini.find("[Main Form]"), std::string::npos) << ini;
  EXPECT_NE(ini.find("Left="), std::string::npos) << ini;

  // The next start places the window where the file says, before it is ever
  // shown, and the next shut-down keeps that place and the other sections.
  std::ofstream(dir_ + "/none.ini") << "[SETTINS]\nMinimizeOnRun=0\nForwardAntiPass=1\n[Main Form]\nLeft=37\nTop=41\n";
  StartServer();
  client_.Close();
  ASSERT_EQ(server_.Stop(), 0);
  const std::string again = ReadText(dir_ + "/none.ini");
  EXPECT_NE(again.find("Left=37\nTop=41"), std::string::npos) << again;
  EXPECT_NE(again.find("ForwardAntiPass=1"), std::string::npos) << again;
}

// SIGHUP is an orderly stop with the window too.
TEST_F(WindowE2eTest, SighupEndsTheServerThroughTheNormalShutDown) {
  OpenAndAutoconfigure();
  client_.Close();
  std::filesystem::remove(dir_ + "/new_sys.bin");
  ASSERT_EQ(server_.Stop(SIGHUP), 0);
  EXPECT_GT(std::filesystem::file_size(dir_ + "/new_sys.bin"), 0u);
  EXPECT_NE(ReadText(dir_ + "/none.ini").find("[Main Form]"), std::string::npos);
}

// A virtual X server of its own, without a tray host: the server shows its
// window at start, and the test works it with real mouse input.
class XvfbWindowE2eTest : public WindowE2eTest {
 protected:
  void SetUp() override {
    for (const char* p : {"Xvfb", "xdotool", "xclip"})
      if (!Have(p)) GTEST_SKIP() << p << " is not installed (scripts/install-deps installs it)";
    // A display number of this process's own, told by Xvfb once it listens.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_TRUE(xvfb_.Start({"/usr/bin/Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "800x600x24",
                             "-nolisten", "tcp"}));
    ::close(fds[1]);
    char buf[32] = {};
    const ssize_t n = ::read(fds[0], buf, sizeof buf - 1);
    ::close(fds[0]);
    ASSERT_GT(n, 0) << "Xvfb did not start";
    display_ = ":" + std::to_string(std::atoi(buf));
    WindowE2eTest::SetUp();
  }
  void TearDown() override {
    if (!display_.empty()) {
      WindowE2eTest::TearDown();
      ::unsetenv("DISPLAY");
    }
    xvfb_.Stop();
  }
  const char* Platform() const override { return nullptr; }
  void BeforeServerStarts() override { ::setenv("DISPLAY", display_.c_str(), 1); }
  std::string X(const std::string& args) { return Output("DISPLAY=" + display_ + " " + args + " 2>/dev/null"); }
  // The server's window once it is mapped.
  std::string Window() {
    const auto t0 = std::chrono::steady_clock::now();
    for (;;) {
      const std::string id = X("xdotool search --onlyvisible --name 'System-Vexon'");
      if (!id.empty()) return id.substr(0, id.find('\n'));
      if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(20)) return "";
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  // Double-clicks a field (selecting its word) and reads the X selection.
  std::string FieldText(const std::string& window, int x, int y) {
    X("xdotool mousemove --window " + window + " " + std::to_string(x) + " " + std::to_string(y) +
      " click --repeat 2 --delay 50 1");
    return X("xclip -o -selection primary");
  }

  TProcess xvfb_;
  std::string display_;
};

TEST_F(XvfbWindowE2eTest, TheExitButtonEndsTheServerThroughTheNormalShutDown) {
  const std::string window = Window();
  ASSERT_FALSE(window.empty()) << "no window on " << display_;
  OpenAndAutoconfigure();
  const auto r = Call("sysvexon_SetTimer");  // a block transfer, for the exchange log
  ASSERT_EQ(WaitAnswer(r["EventID"])["Value"], 0);
  // The port field (232, 16, 57 x 21) shows the port the client opened.
  std::string port;
  const auto t0 = std::chrono::steady_clock::now();
  while ((port = FieldText(window, 260, 26)) != "COM1" && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10))
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(port, "COM1");
  client_.Close();

  // "Выход" (256, 144, 32 x 25), clicked like an operator does.
  X("xdotool mousemove --window " + window + " 272 156 click 1");
  ASSERT_EQ(server_.WaitExit(30000), 0) << "the server did not end by itself";
  EXPECT_EQ(std::filesystem::file_size(dir_ + "/new_sys.bin"), 180u);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/srvvexon.run")) << "an orderly stop";
  std::ifstream log(dir_ + "/SrvVexon.Log", std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find(" END All: 1  With Error: 0\r\n"), std::string::npos) << text;
  const std::string ini = ReadText(dir_ + "/none.ini");
  EXPECT_NE(ini.find("[Main Form]"), std::string::npos) << ini;
}

TEST_F(NoDisplayE2eTest, RunsHeadlessWithoutADisplay) {
  OpenAndAutoconfigure();
  client_.Close();
  ASSERT_EQ(server_.Stop(), 0);
  EXPECT_GT(std::filesystem::file_size(dir_ + "/new_sys.bin"), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/none.ini")) << "no window, so no position was written";
}

}  // namespace
}  // namespace vexon::testing
