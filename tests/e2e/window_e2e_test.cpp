// srvvexon built with the operator window, started as a process: with a
// display (here Qt's offscreen platform) it runs the window and still serves
// its clients, and a stop signal ends it through the normal shut-down, which
// also keeps the window's position; without any display it runs headless.
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "e2e_fixture.h"

namespace vexon::testing {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Each test names the display the server sees before the fixture starts it.
class WindowE2eTest : public E2eTest {
 protected:
  void SetUp() override {
    for (const char* v : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
      if (const char* old = std::getenv(v)) saved_.emplace_back(v, old);
      ::unsetenv(v);
    }
    if (Platform()) ::setenv("QT_QPA_PLATFORM", Platform(), 1);
    E2eTest::SetUp();
  }
  void TearDown() override {
    E2eTest::TearDown();
    ::unsetenv("QT_QPA_PLATFORM");
    for (const auto& [k, v] : saved_) ::setenv(k.c_str(), v.c_str(), 1);
  }
  virtual const char* Platform() const { return "offscreen"; }
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

TEST_F(NoDisplayE2eTest, RunsHeadlessWithoutADisplay) {
  OpenAndAutoconfigure();
  client_.Close();
  ASSERT_EQ(server_.Stop(), 0);
  EXPECT_GT(std::filesystem::file_size(dir_ + "/new_sys.bin"), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/none.ini")) << "no window, so no position was written";
}

}  // namespace
}  // namespace vexon::testing
