// srvvexon started from its settings file alone (ports and endpoints), and a
// start whose communication thread cannot be created.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_fixture.h"

using namespace vexon;
using namespace vexon::testing;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

class StartupE2e : public E2eTest {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vexon-start-XXXXXX").string();
    dir_ = mkdtemp(tmpl.data());
    StartSim();
  }
};

}  // namespace

TEST_F(StartupE2e, PortsAndEndpointsComeFromTheSettingsFile) {
  const std::string ini = dir_ + "/site.ini";
  {
    std::ofstream f(ini);
    f << "[Ports]\nCOM3=" << dir_ << "/tty\n\n[Rpc]\nUnix=" << dir_ << "/from-ini.sock\nTcp=127.0.0.1:0\nHttp=off\n";
  }
  ASSERT_TRUE(server_.Start({VEXON_SERVER_PATH, "--data-dir", dir_, "--config", ini}));
  std::vector<std::string> endpoints;
  for (;;) {
    const std::string l = server_.ReadLine(10000);
    ASSERT_NE(l, "") << "srvvexon did not announce its endpoints";
    if (l.find("listening on ") == std::string::npos) continue;
    endpoints.push_back(l.substr(l.find("listening on ") + 13));
    if (endpoints.size() == 2) break;
  }
  EXPECT_NE(std::find(endpoints.begin(), endpoints.end(), "unix " + dir_ + "/from-ini.sock"), endpoints.end())
      << "the Unix socket the file names";
  const auto tcp = std::find_if(endpoints.begin(), endpoints.end(), [](const std::string& e) { return e.rfind("tcp 127.0.0.1:", 0) == 0; });
  ASSERT_NE(tcp, endpoints.end()) << "the TCP endpoint the file names";
  EXPECT_NE(tcp->substr(14), "0") << "a port was chosen";
  EXPECT_NE(tcp->substr(14), "47301") << "not the default";
  EXPECT_EQ(server_.ReadLine(500).find("listening on http"), std::string::npos) << "Http=off";

  client_.Connect(dir_ + "/from-ini.sock");
  ASSERT_EQ(Call("sysvexon_OpenSerialPort", {{"PortNumber", 3}})["Value"], 0);
  EXPECT_EQ(Call("sysvexon_GetOpenSerialPortNumber")["PortNumber"], 3);
  const auto r = Call("sysvexon_Autoconfig");
  ASSERT_EQ(r["Value"], 0);
  EXPECT_EQ(WaitAnswer(r["EventID"])["Value"], 0) << "COM3 is the simulator's line";
  EXPECT_EQ(Call("sysvexon_GetControllerCount")["Cnt"], 3);
}

TEST_F(StartupE2e, CommunicationThreadThatCannotStartEndsTheStartCleanly) {
  // A first run leaves a configuration behind.
  StartServer();
  OpenAndAutoconfigure();
  client_.Close();
  ASSERT_EQ(server_.Stop(), 0);
  const std::string system = ReadAll(dir_ + "/new_sys.bin");
  ASSERT_EQ(system.size(), 180u);
  // "test.txt" cannot be created: a directory stands in its place.
  std::filesystem::remove(dir_ + "/test.txt");
  std::filesystem::create_directory(dir_ + "/test.txt");

  const std::string out = dir_ + "/out.txt";
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    const std::string data = dir_, port = "COM1=" + dir_ + "/tty", sock = dir_ + "/rpc.sock", none = dir_ + "/none.ini";
    execl(VEXON_SERVER_PATH, VEXON_SERVER_PATH, "--data-dir", data.c_str(), "--config", none.c_str(), "--port",
          port.c_str(), "--rpc-unix", sock.c_str(), "--rpc-tcp", "127.0.0.1:0", "--rpc-http", "off",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  const auto t0 = std::chrono::steady_clock::now();
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(20)) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      FAIL() << "srvvexon kept running without its communication thread";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal";
  EXPECT_NE(WEXITSTATUS(status), 0);
  const std::string text = ReadAll(out);
  EXPECT_NE(text.find("cannot create " + dir_ + "/test.txt"), std::string::npos) << text;
  EXPECT_EQ(text.find("listening on"), std::string::npos) << "no endpoint was offered";
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/rpc.sock")) << text;
  EXPECT_EQ(ReadAll(dir_ + "/new_sys.bin"), system) << "the configuration stays as it was";
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/srvvexon.run")) << "a start that never ran leaves no crash marker";

  // The next start, with the way clear, finds everything in order.
  std::filesystem::remove(dir_ + "/test.txt");
  StartServer();
  EXPECT_EQ(Call("sysvexon_GetControllerCount")["Cnt"], 3);
}
