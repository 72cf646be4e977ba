// srvvexon started from its settings file alone (ports and endpoints), and a
// start whose communication thread cannot be created.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
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
  std::string Sim(const std::string& command) {
    sim_.WriteLine(command);
    return sim_.ReadLine();
  }
  // srvvexon on this folder and the simulator's line, with its own socket,
  // run until it ends (at most 20 s): its exit status (-1 for a signal, -2
  // when it had to be killed) and everything it wrote.
  std::pair<int, std::string> RunServer(const std::string& socket) {
    const std::string out = dir_ + "/out.txt";
    const pid_t pid = fork();
    if (pid < 0) return {-3, "fork failed"};
    if (pid == 0) {
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      const std::string data = dir_, port = "COM1=" + dir_ + "/tty", none = dir_ + "/none.ini";
      execl(VEXON_SERVER_PATH, VEXON_SERVER_PATH, "--data-dir", data.c_str(), "--config", none.c_str(), "--port",
            port.c_str(), "--rpc-unix", socket.c_str(), "--rpc-tcp", "127.0.0.1:0", "--rpc-http", "off",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    const auto t0 = std::chrono::steady_clock::now();
    bool killed = false;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(20)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        killed = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string text = ReadAll(out);
    std::filesystem::remove(out);
    return {killed ? -2 : WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
  }
  // Every file of the data folder: its inode and its bytes.
  std::map<std::string, std::pair<ino_t, std::string>> Files() {
    std::map<std::string, std::pair<ino_t, std::string>> files;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      struct stat st {};
      if (!e.is_regular_file() || ::stat(e.path().c_str(), &st) != 0) continue;
      files[e.path().filename().string()] = {st.st_ino, ReadAll(e.path().string())};
    }
    return files;
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

  const auto [status, text] = RunServer(dir_ + "/rpc.sock");
  ASSERT_GE(status, 0) << "srvvexon kept running without its communication thread, or a signal ended it: " << text;
  EXPECT_NE(status, 0);
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

TEST_F(StartupE2e, ASecondServerOnTheSameDataFolderRefusesAndChangesNothing) {
  StartServer();
  OpenAndAutoconfigure();
  ASSERT_EQ(Sim("regfill 0 40"), "ok 40");
  const auto r = Call("sysvexon_GetRegJournal", {{"MakeAdr", 564}});
  ASSERT_EQ(WaitAnswer(r["EventID"])["Value"], 0);
  const auto before = Files();
  ASSERT_TRUE(before.count("buffer.log") && before.count("srvvexon.run") && before.count("new_sys.bin"));

  const auto [status, text] = RunServer(dir_ + "/second.sock");
  EXPECT_EQ(status, 1) << text;
  EXPECT_NE(text.find("the data folder " + dir_ + " is in use by process "), std::string::npos) << text;
  EXPECT_EQ(text.find("listening on"), std::string::npos) << text;
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/second.sock"));
  EXPECT_EQ(Files(), before) << "every file of the first server as it was, the same inode";

  // The first server goes on: its journal and its log are its own.
  EXPECT_EQ(Call("sysvexon_GetRegEvent")["Value"], 0);
  ASSERT_EQ(Sim("regfill 0 5"), "ok 5");
  EXPECT_EQ(WaitAnswer(Call("sysvexon_GetRegJournal", {{"MakeAdr", 564}})["EventID"])["Value"], 0);
  client_.Close();
  ASSERT_EQ(server_.Stop(), 0);
  // Once it has ended, the folder is free and every event is there.
  StartServer();
  int events = 0;
  while (Call("sysvexon_GetRegEvent")["Value"] == 0 && events < 100) ++events;
  EXPECT_EQ(events, 39 + 5);
}

TEST_F(StartupE2e, AFailedStartAfterACrashKeepsTheJournalReadFromConfirmingAnUnstoredPage) {
  StartServer();
  OpenAndAutoconfigure();
  client_.Close();
  ASSERT_EQ(server_.Stop(), 0);
  // A run that stopped in order with a page read but not yet confirmed:
  // every controller's JournalPending flag (byte 56 of its 60-byte record)
  // is set on disk. Then a run that was killed: its marker stays.
  std::string system = ReadAll(dir_ + "/new_sys.bin");
  ASSERT_EQ(system.size(), 180u);
  for (size_t rec = 0; rec < 3; ++rec) system[rec * 60 + 56] = 1;
  std::ofstream(dir_ + "/new_sys.bin", std::ios::binary | std::ios::trunc) << system;
  StartServer();
  client_.Close();
  server_.Stop(SIGKILL);
  ASSERT_TRUE(std::filesystem::exists(dir_ + "/srvvexon.run"));
  ASSERT_EQ(Sim("regfill 0 40"), "ok 40");

  // A start that fails ("test.txt" cannot be created) forgets nothing.
  std::filesystem::remove(dir_ + "/test.txt");
  std::filesystem::create_directory(dir_ + "/test.txt");
  const auto [status, text] = RunServer(dir_ + "/rpc.sock");
  EXPECT_EQ(status, 1) << text;
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/srvvexon.run")) << "the crash is still on record";
  system = ReadAll(dir_ + "/new_sys.bin");
  ASSERT_EQ(system.size(), 180u);
  for (size_t rec = 0; rec < 3; ++rec) EXPECT_EQ(system[rec * 60 + 56], 0) << "the flags cleared on disk, record " << rec;

  // The next start reads the journal from its first page (0x30): the
  // controller deletes only pages that were stored, and all 40 come out.
  std::filesystem::remove(dir_ + "/test.txt");
  StartServer();
  ASSERT_EQ(Call("sysvexon_OpenSerialPort", {{"PortNumber", 1}})["Value"], 0);
  EXPECT_EQ(WaitAnswer(Call("sysvexon_GetRegJournal", {{"MakeAdr", 564}})["EventID"])["Value"], 0);
  int events = 0;
  while (Call("sysvexon_GetRegEvent")["Value"] == 0 && events < 100) ++events;
  EXPECT_EQ(events, 40);
}

TEST_F(StartupE2e, LeftoversOfInterruptedSavesAreRemovedAtStart) {
  const std::vector<std::string> leftovers = {"new_sys.bin.tmpA1b2C3", "cards.bin.tmpzzzzzz", "buffer.bin.tmp000000",
                                              "buffer.log.tmpQwErTy", "buffer.log.new.tmpXy12Z9"};
  const std::vector<std::string> others = {"new_sys.bin.tmpABC", "notes.tmpABCDEF", "cards.bin.tmpAB-DEF"};
  for (const auto& n : leftovers) std::ofstream(dir_ + "/" + n) << std::string(1000, 'x');
  for (const auto& n : others) std::ofstream(dir_ + "/" + n) << "keep";
  StartServer();
  for (const auto& n : leftovers) EXPECT_FALSE(std::filesystem::exists(dir_ + "/" + n)) << n;
  for (const auto& n : others) EXPECT_TRUE(std::filesystem::exists(dir_ + "/" + n)) << n;
}
