// The server's life as a service, with the real executable: the command
// line's switches, registration in a throw-away home, start by socket
// activation and the end after the last client, and the stop on signals
// with clients that are in a call or do not read.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "ctl/rpc_client.h"
#include "e2e_fixture.h"
#include "test_support.h"

namespace vexon::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string ReadAll(const fs::path& p) {
  std::ifstream f(p);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::vector<std::string> Tree(const fs::path& root) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) out.push_back(fs::relative(e.path(), root).string());
  std::sort(out.begin(), out.end());
  return out;
}

// The client's connection is served: a call comes back with its answer.
bool Answers(TRpcClient& c) {
  const auto v = c.Call("sysvexon_GetErrorDescription", {{"Code", 0}})["Value"];
  return v.is_string() && !v.get<std::string>().empty();
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A child whose standard output and error come through one pipe, with an
// environment of its own and a wait for its end.
class TChild {
 public:
  ~TChild() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }
  bool Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {}) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
      dup2(out[1], 1);
      dup2(out[1], 2);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    return true;
  }
  // The next line of output, or "" after the time-out or at the end.
  std::string ReadLine(int timeoutMs = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (std::string l; vexon::testing::TakeLine(buf_, l)) {
        all_ += l + "\n";
        return l;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return "";
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char chunk[4096];
      const ssize_t r = read(out_, chunk, sizeof chunk);
      if (r <= 0) return "";
      buf_.append(chunk, static_cast<size_t>(r));
    }
  }
  // Reads until a line contains `text`; that line, or "".
  std::string WaitFor(const std::string& text, int timeoutMs = 20000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      std::string l = ReadLine(static_cast<int>(std::max<int64_t>(left, 1)));
      if (l.find(text) != std::string::npos) return l;
    }
    return "";
  }
  // The exit status once the child has ended, -1 for a signal; nothing
  // while it runs past the time-out.
  std::optional<int> WaitExit(int timeoutMs = 20000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (Clock::now() > deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  // Everything written up to the end.
  std::string Output() {
    while (!ReadLine(2000).empty() || !buf_.empty()) {
    }
    return all_;
  }
  void Signal(int sig) { kill(pid_, sig); }
  bool Running() {
    return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buf_, all_;
};

std::string Request(const std::string& method, const nlohmann::json& params, int id) {
  return nlohmann::json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump();
}

class ServiceE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "vexon-svc-XXXXXX").string();
    dir_ = mkdtemp(tmpl.data());
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The server's own options for a test: its data and a settings file here.
  std::vector<std::string> Common() const {
    return {"--data-dir", dir_, "--config", dir_ + "/none.ini", "--rpc-tcp", "off", "--rpc-http", "off"};
  }
  // Starts the server with `first` before the common options and a Unix
  // socket, and waits for it to listen.
  void StartServer(TChild& server, std::vector<std::string> first, std::vector<std::string> more = {}) {
    std::vector<std::string> argv = {VEXON_SERVER_PATH};
    argv.insert(argv.end(), first.begin(), first.end());
    for (const auto& v : {Common(), std::vector<std::string>{"--rpc-unix", Sock()}, more})
      argv.insert(argv.end(), v.begin(), v.end());
    ASSERT_TRUE(server.Start(argv));
    ASSERT_NE(server.WaitFor("listening on unix"), "") << "srvvexon did not start";
  }
  std::string Sock() const { return dir_ + "/rpc.sock"; }
  // new_sys.bin written and the run marker gone: the shut-down saved.
  void ExpectSaved() {
    EXPECT_TRUE(fs::exists(dir_ + "/new_sys.bin"));
    EXPECT_FALSE(fs::exists(dir_ + "/srvvexon.run")) << "the stop did not get to saving";
  }

  std::string dir_;
};

TEST_F(ServiceE2e, UnknownFirstParameterStartsTheServerAndUnknownOptionsAreRefused) {
  for (const char* first : {"/Y", "hello", "-Embedding"}) {
    fs::remove(Sock());
    TChild server;
    StartServer(server, {first}, {"--idle-exit-grace", "600"});
    TRpcClient c;
    c.Connect(Sock());
    EXPECT_TRUE(Answers(c)) << first;
    c.Close();
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitExit(), 0) << first;
  }
  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--bogus"}, {"/x", "--bogus"}, {"/Y", "/Z"},
                                            {"/regserver", "/unregserver"}, {"--stop-grace", "-1"}}) {
    TChild server;
    std::vector<std::string> argv = {VEXON_SERVER_PATH};
    argv.insert(argv.end(), bad.begin(), bad.end());
    ASSERT_TRUE(server.Start(argv));
    const auto code = server.WaitExit();
    ASSERT_TRUE(code.has_value());
    EXPECT_NE(*code, 0) << bad.back();
    EXPECT_NE(server.Output(), "") << "no message for " << bad.back();
    EXPECT_FALSE(fs::exists(dir_ + "/srvvexon.run"));
  }
}

// Which of two requests queued while the executor is busy is carried out
// first: a class 02 request queued before a class 00 one. The first one
// carried out meets the terminal's silence (0xF0) lined up behind the two
// lost answers of the request that keeps the executor busy.
class QueueOrderE2e : public E2eTest {
 protected:
  std::string FirstCarriedOut(std::vector<std::string> first) {
    RestartServer(std::move(first));
    EXPECT_EQ(Call("sysvexon_OpenSerialPort", {{"PortNumber", 1}})["Value"], 0);
    for (const char* f : {"fault noanswer", "fault noanswer", "fault f0", "fault f0"}) {
      sim_.WriteLine(f);
      EXPECT_EQ(sim_.ReadLine(), "ok");
    }
    const int64_t busy = Call("sysvexon_SetTimer")["EventID"];
    const int64_t low = Call("sysvexon_PermitPass", {{"MakeAdr", 564}, {"ReaderNumber", 0}})["EventID"];
    const int64_t high = Call("sysvexon_SetTimer")["EventID"];
    EXPECT_EQ(Call("sysvexon_GetCommandState", {{"EventID", busy}})["Value"], -1) << "queued while busy";
    const auto lowAnswer = WaitAnswer(low), highAnswer = WaitAnswer(high);
    const bool lowFailed = lowAnswer["Value"] != 0, highFailed = highAnswer["Value"] != 0;
    EXPECT_NE(lowFailed, highFailed) << lowAnswer.dump() << " " << highAnswer.dump();
    return lowFailed ? "low" : "high";
  }
};

TEST_F(QueueOrderE2e, UpperCaseXKeepsArrivalOrderAnyOtherFirstParameterSorts) {
  OpenAndAutoconfigure();
  EXPECT_EQ(FirstCarriedOut({"/X"}), "low") << "/X: arrival order";
  EXPECT_EQ(FirstCarriedOut({"/Y"}), "high") << "another first parameter: sorted";
  EXPECT_EQ(FirstCarriedOut({"-Embedding", "--idle-exit-grace", "600"}), "high") << "started for a client: sorted";
}

TEST_F(ServiceE2e, HelpDescribesEverySwitchOptionAndSettingsSection) {
  TChild help;
  ASSERT_TRUE(help.Start({VEXON_SERVER_PATH, "--help"}));
  ASSERT_EQ(help.WaitExit(), 0);
  const std::string text = help.Output();
  for (const char* word : {"/X", "-Embedding", "-Automation", "/regserver", "/unregserver", "--idle-exit-grace",
                           "--stop-grace", "--data-dir", "--config", "--port", "--rpc-tcp", "--rpc-unix", "--rpc-http",
                           "--rpc-token-file", "--rpc-max-connections", "--trace", "--early-frame-end", "--headless",
                           "[SETTINS]", "[Ports]", "[Automation]", "[Rpc]", "[LINE]", "[Service]", "[Events]",
                           "IdleExitGrace", "StopGrace", "SIGHUP", "systemctl --user enable --now srvvexon.socket"})
    EXPECT_NE(text.find(word), std::string::npos) << word;
}

TEST_F(ServiceE2e, StartedForAClientEndsAfterTheLastClientAndTheGraceStartedByHandDoesNot) {
  {
    TChild byHand;
    StartServer(byHand, {}, {"--idle-exit-grace", "0"});
    for (int i = 0; i < 3; ++i) {
      TRpcClient c;
      c.Connect(Sock());  // would fail once a server with no grace had gone
      EXPECT_TRUE(Answers(c));
    }
    EXPECT_TRUE(byHand.Running());
    byHand.Signal(SIGTERM);
    EXPECT_EQ(byHand.WaitExit(), 0);
  }
  fs::remove(dir_ + "/new_sys.bin");
  TChild server;
  StartServer(server, {"/Embedding"}, {"--idle-exit-grace", "0.3"});
  auto a = std::make_unique<TRpcClient>(), b = std::make_unique<TRpcClient>();
  a->Connect(Sock());
  b->Connect(Sock());
  EXPECT_TRUE(Answers(*a));
  a.reset();
  // The second client keeps it going well past the grace.
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(Answers(*b));
  EXPECT_FALSE(server.WaitExit(600).has_value()) << "ended while a client was connected";
  const auto closed = Clock::now();
  b.reset();
  const auto code = server.WaitExit();
  ASSERT_TRUE(code.has_value()) << "still running after the last client and the grace";
  EXPECT_EQ(*code, 0);
  EXPECT_GE(Ms(Clock::now() - closed), 300) << "ended before the grace had passed";
  ExpectSaved();
  EXPECT_FALSE(fs::exists(Sock())) << "its own socket file is removed";
}

TEST_F(ServiceE2e, RegisterAndUnregisterInAThrowAwayHome) {
  const fs::path home = dir_ + "/home";
  fs::create_directories(home);
  const std::map<std::string, std::string> env = {{"HOME", home.string()},
                                                  {"XDG_CONFIG_HOME", (home / ".config").string()}};
  TChild reg;
  ASSERT_TRUE(reg.Start({VEXON_SERVER_PATH, "/RegServer", "--data-dir", dir_ + "/data", "--config", dir_ + "/s.ini",
                         "--rpc-tcp", "127.0.0.1:47399", "--rpc-unix", dir_ + "/svc.sock", "--stop-grace", "2"},
                        env));
  ASSERT_EQ(reg.WaitExit(), 0) << reg.Output();
  const fs::path units = home / ".config/systemd/user";
  const std::string service = ReadAll(units / "srvvexon.service");
  const std::string socket = ReadAll(units / "srvvexon.socket");
  const std::string exe = fs::canonical(VEXON_SERVER_PATH).string();
  EXPECT_NE(service.find("\nExecStart=" + exe + " -Embedding --rpc-tcp 127.0.0.1:47399 --rpc-http 127.0.0.1:47380 "
                         "--rpc-unix " + dir_ + "/svc.sock --data-dir " + dir_ + "/data --config " + dir_ + "/s.ini"),
            std::string::npos)
      << service;
  EXPECT_NE(service.find("--stop-grace 2"), std::string::npos) << service;
  EXPECT_NE(socket.find("ListenStream=127.0.0.1:47399\nListenStream=127.0.0.1:47380\nListenStream=" + dir_ +
                        "/svc.sock\nSocketMode=0600\n"),
            std::string::npos)
      << socket;
  const std::string record = ReadAll(home / ".config/srvvexon/registration.ini");
  for (const std::string& line : std::vector<std::string>{"[CLSID\\{A7E4D1C2-3B58-4F96-8D0A-61C9E2B47F05}]", "ProgID=SrvVexon.SysVexonComServer",
                                 "LocalServer=" + exe, "Sockets=1", "Web=1", "HelpString=SrvVexon Library",
                                 "Name=ISysVexonComServer", "Version=1.0", "Locale=0x409"})
    EXPECT_NE(record.find(line + "\n"), std::string::npos) << line << "\n" << record;

  // systemd itself finds nothing to complain about in the units.
  if (fs::exists("/usr/bin/systemd-analyze")) {
    TChild verify;
    ASSERT_TRUE(verify.Start({"/usr/bin/systemd-analyze", "verify", (units / "srvvexon.socket").string(),
                              (units / "srvvexon.service").string()}));
    EXPECT_EQ(verify.WaitExit(60000), 0);
    EXPECT_EQ(verify.Output(), "");
  }

  TChild unreg;
  ASSERT_TRUE(unreg.Start({VEXON_SERVER_PATH, "-unregserver"}, env));
  ASSERT_EQ(unreg.WaitExit(), 0) << unreg.Output();
  EXPECT_EQ(Tree(home), std::vector<std::string>{}) << "left behind";

  // Refused: an address systemd cannot listen on, and a home it cannot write.
  TChild badAddress;
  ASSERT_TRUE(badAddress.Start({VEXON_SERVER_PATH, "/regserver", "--rpc-tcp", "localhost:47399"}, env));
  EXPECT_EQ(badAddress.WaitExit(), 1);
  EXPECT_NE(badAddress.Output().find("registration failed"), std::string::npos);
  std::ofstream(home / "file") << "x";
  TChild badHome;
  ASSERT_TRUE(badHome.Start({VEXON_SERVER_PATH, "/regserver"}, {{"XDG_CONFIG_HOME", (home / "file").string()}}));
  EXPECT_EQ(badHome.WaitExit(), 1);
  EXPECT_NE(badHome.Output().find("registration failed"), std::string::npos);
}

// A program in a folder its service cannot write (as in /usr/bin) is
// registered with the user's state folder for its data, created and named;
// a program in a folder it can write keeps its data beside itself.
TEST_F(ServiceE2e, RegisteredFromAFolderItCannotWriteTheDataGoToTheStateFolder) {
  const fs::path home = dir_ + "/home", bin = dir_ + "/bin";
  fs::create_directories(home);
  fs::create_directories(bin);
  fs::copy_file(VEXON_SERVER_PATH, bin / "srvvexon");
  const auto readOnly = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                        fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;
  fs::permissions(bin, readOnly);
  // Writable again at the end, whatever happens, so that the folder can go.
  const std::unique_ptr<const fs::path, void (*)(const fs::path*)> restore(
      &bin, [](const fs::path* b) { fs::permissions(*b, fs::perms::owner_all, fs::perm_options::add); });
  std::map<std::string, std::string> env = {
      {"HOME", home.string()}, {"XDG_CONFIG_HOME", (home / ".config").string()}, {"XDG_STATE_HOME", ""}};
  const auto registerFrom = [&](const fs::path& expectData, const std::string& why) {
    TChild reg;
    ASSERT_TRUE(reg.Start({(bin / "srvvexon").string(), "/regserver", "--rpc-tcp", "127.0.0.1:47399", "--rpc-http", "off"}, env));
    ASSERT_EQ(reg.WaitExit(), 0);
    const std::string out = reg.Output();
    EXPECT_NE(out.find("srvvexon: the service keeps its data in " + expectData.string() + " (" + why + ")\n"),
              std::string::npos)
        << out;
    EXPECT_TRUE(fs::is_directory(expectData));
    const std::string service = ReadAll(home / ".config/systemd/user/srvvexon.service");
    EXPECT_NE(service.find("\nExecStart=" + (bin / "srvvexon").string() +
                           " -Embedding --rpc-tcp 127.0.0.1:47399 --rpc-http off --rpc-unix off --data-dir " +
                           expectData.string() + "\n"),
              std::string::npos)
        << service;
  };
  const std::string notWritable = "the program's folder " + bin.string() + " cannot be written";
  registerFrom(home / ".local/state/srvvexon", notWritable);
  env["XDG_STATE_HOME"] = (home / "state").string();
  registerFrom(home / "state/srvvexon", notWritable);
  fs::permissions(bin, fs::perms::owner_write, fs::perm_options::add);
  registerFrom(bin, "the program's folder");

  // The state folders the registrations created go with it while empty.
  TChild unreg;
  ASSERT_TRUE(unreg.Start({(bin / "srvvexon").string(), "/unregserver"}, env));
  ASSERT_EQ(unreg.WaitExit(), 0) << unreg.Output();
  EXPECT_EQ(Tree(home), std::vector<std::string>{}) << "left behind";
}

// A settings file that exists but cannot be read (a directory in its place
// reads as EISDIR, for root too) stops the start, with the file and the
// reason named, before anything is served or written; /regserver refuses
// too, and /unregserver, which needs no settings, still works.
TEST_F(ServiceE2e, SettingsFileThatCannotBeReadStopsTheStart) {
  const std::string ini = dir_ + "/site.ini";
  fs::create_directory(ini);
  const std::string message = "srvvexon: cannot read the settings file " + ini + ": " + std::strerror(EISDIR) + "\n";
  const std::map<std::string, std::string> env = {{"HOME", dir_}, {"XDG_CONFIG_HOME", dir_ + "/config"}};
  TChild server;
  ASSERT_TRUE(server.Start({VEXON_SERVER_PATH, "--data-dir", dir_, "--config", ini, "--rpc-tcp", "off", "--rpc-http",
                            "off", "--rpc-unix", Sock()},
                           env));
  EXPECT_EQ(server.WaitExit(), 1);
  EXPECT_NE(server.Output().find(message), std::string::npos) << server.Output();
  EXPECT_EQ(Tree(dir_), std::vector<std::string>{"site.ini"}) << "nothing served, nothing written";

  TChild reg;
  ASSERT_TRUE(reg.Start({VEXON_SERVER_PATH, "/regserver", "--config", ini}, env));
  EXPECT_EQ(reg.WaitExit(), 1);
  EXPECT_NE(reg.Output().find(message), std::string::npos) << reg.Output();
  TChild unreg;
  ASSERT_TRUE(unreg.Start({VEXON_SERVER_PATH, "/unregserver", "--config", ini}, env));
  EXPECT_EQ(unreg.WaitExit(), 0) << unreg.Output();
}

TEST_F(ServiceE2e, SocketActivationStartsOnTheFirstClientAndEndsAfterTheLast) {
  const std::string activate = "/usr/bin/systemd-socket-activate";
  if (!fs::exists(activate)) GTEST_SKIP() << "systemd-socket-activate is not installed";
  // A free TCP port for the HTTP socket.
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
  const int port = ntohs(a.sin_port);
  close(probe);

  TChild server;
  const std::string sock = dir_ + "/act.sock";
  std::vector<std::string> argv = {activate, "-l", sock, "-l", "127.0.0.1:" + std::to_string(port), "--fdname=unix:http",
                                   VEXON_SERVER_PATH, "-Embedding", "--idle-exit-grace", "0.5"};
  for (const auto& o : Common()) argv.push_back(o);
  ASSERT_TRUE(server.Start(argv));
  ASSERT_NE(server.WaitFor("as 4"), "") << "systemd-socket-activate did not listen";
  EXPECT_FALSE(fs::exists(dir_ + "/srvvexon.run")) << "the server started before any client";

  const auto t0 = Clock::now();
  TRpcClient c;
  c.Connect(sock);
  EXPECT_TRUE(Answers(c));
  const double firstAnswerMs = Ms(Clock::now() - t0);
  std::printf("[measure] socket activation: first connection to first answer %.1f ms\n", firstAnswerMs);
  EXPECT_TRUE(fs::exists(dir_ + "/srvvexon.run"));
  EXPECT_NE(server.WaitFor("listening on http 127.0.0.1:" + std::to_string(port)), "");

  // The HTTP socket is served too, by the same process.
  {
    TRpcClient h;
    h.Connect("127.0.0.1:" + std::to_string(port));
    const std::string body = Request("sysvexon_GetOpenSerialPortNumber", nlohmann::json::object(), 1);
    h.Send("POST /rpc HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nConnection: close\r\n"
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    const std::string answer = h.ReadToEnd();
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    EXPECT_NE(answer.find("\"result\":{\"PortNumber\":0,"), std::string::npos) << answer;
  }
  EXPECT_TRUE(server.Running());
  c.Close();
  const auto code = server.WaitExit();
  ASSERT_TRUE(code.has_value()) << "still running after the last client";
  EXPECT_EQ(*code, 0);
  ExpectSaved();
  EXPECT_TRUE(fs::exists(sock)) << "the socket file belongs to the service manager";
}

// 30 clients in the identifier check, which waits a minute for 65567: the
// stop cuts the wait, every client gets its answer, and the process ends
// well within the stop grace.
TEST_F(ServiceE2e, StopWithThirtyClientsInTheIdentifierCheck) {
  TChild server;
  StartServer(server, {}, {"--check-dispatch-wait-ms", "60000", "--stop-grace", "3", "--rpc-max-connections", "64"});
  std::vector<std::unique_ptr<TRpcClient>> clients;
  for (int i = 0; i < 30; ++i) {
    clients.push_back(std::make_unique<TRpcClient>());
    clients.back()->Connect(Sock());
    // A quick call first: its answer shows the connection is being served,
    // and the check that follows in the same write starts right after it.
    clients.back()->Send(Request("sysvexon_GetErrorDescription", {{"Code", 0}}, 1) + "\n" +
                         Request("sysvexon_CheckDispatch",
                                 {{"AIdentifier", "65567"}, {"ATimeOut", 0}, {"AReaderName", ""}, {"ATypeInquery", 0}}, 2) + "\n");
  }
  for (auto& c : clients) ASSERT_NE(c->ReadLine().find("\"id\":1"), std::string::npos);
  const auto t0 = Clock::now();
  server.Signal(SIGTERM);
  // A check already waiting is answered at once. One whose line was still
  // unread when the signal came is not started: its connection is closed.
  // Which of the two a client sees depends on its thread, not on the server.
  int answered = 0;
  for (auto& c : clients) {
    std::string line;
    try {
      line = c->ReadLine();
    } catch (const std::runtime_error&) {
      continue;  // closed without starting the check
    }
    const auto answer = nlohmann::json::parse(line);
    EXPECT_EQ(answer["id"], 2);
    ASSERT_TRUE(answer.contains("result")) << answer.dump();
    EXPECT_EQ(answer["result"]["Value"], 0);
    EXPECT_EQ(answer["result"]["ADenyReason"], "");
    ++answered;
  }
  EXPECT_GT(answered, 0) << "no check was waiting when the signal came";
  std::printf("[measure] checks waiting at SIGTERM and answered: %d of 30\n", answered);
  const auto code = server.WaitExit(4000);
  ASSERT_TRUE(code.has_value()) << "not ended within the grace and one second";
  const double stopMs = Ms(Clock::now() - t0);
  EXPECT_EQ(*code, 0);
  std::printf("[measure] SIGTERM to exit, 30 clients in the identifier check: %.1f ms\n", stopMs);
  ExpectSaved();
}

TEST_F(ServiceE2e, StopOfAnIdleServerOnSigtermAndSighup) {
  for (const int sig : {SIGTERM, SIGHUP, SIGINT}) {
    fs::remove(dir_ + "/new_sys.bin");
    TChild server;
    StartServer(server, {});
    TRpcClient idle;
    idle.Connect(Sock());
    EXPECT_TRUE(Answers(idle));
    const auto t0 = Clock::now();
    server.Signal(sig);
    const auto code = server.WaitExit();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0) << strsignal(sig);
    std::printf("[measure] %s to exit, one idle client: %.1f ms\n", strsignal(sig), Ms(Clock::now() - t0));
    EXPECT_THROW(idle.ReadLine(), std::runtime_error) << "the idle connection is closed";
    ExpectSaved();
  }
}

// A client that asks for a large answer and never reads holds its
// connection in the write: the stop grace bounds that, and a second
// SIGTERM ends the grace at once. The files are saved either way.
TEST_F(ServiceE2e, StopGraceBoundsAClientThatDoesNotReadAndASecondSigtermEndsIt) {
  for (const bool second : {false, true}) {
    fs::remove(dir_ + "/new_sys.bin");
    TChild server;
    StartServer(server, {}, {"--stop-grace", second ? "120" : "1", "--rpc-write-timeout-ms", "300000"});
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", Sock().c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    nlohmann::json batch = nlohmann::json::array();
    for (int i = 0; i < 60; ++i) batch.push_back(nlohmann::json::parse(Request("rpc.discover", {}, i)));
    const std::string line = batch.dump() + "\n";
    ASSERT_EQ(send(fd, line.data(), line.size(), 0), static_cast<ssize_t>(line.size()));
    // Wait until the answer has begun to arrive: the server is in the write.
    for (const auto deadline = Clock::now() + std::chrono::seconds(20);;) {
      int queued = 0;
      ioctl(fd, FIONREAD, &queued);
      if (queued > 0) break;
      ASSERT_LT(Clock::now(), deadline) << "no answer began";
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const auto t0 = Clock::now();
    server.Signal(SIGTERM);
    if (second) {
      ASSERT_NE(server.WaitFor("stopping (SIGTERM)"), "");
      EXPECT_FALSE(server.WaitExit(300).has_value()) << "a grace of two minutes did not hold the stop";
      server.Signal(SIGTERM);
      ASSERT_NE(server.WaitFor("no more time"), "");
    }
    const auto code = server.WaitExit(second ? 5000 : 2000);
    ASSERT_TRUE(code.has_value()) << (second ? "the second SIGTERM did not end the grace" : "grace not bounded");
    EXPECT_EQ(*code, 0);
    std::printf("[measure] SIGTERM to exit, a client that does not read, %s: %.1f ms\n",
                second ? "second SIGTERM" : "grace 1 s", Ms(Clock::now() - t0));
    ExpectSaved();
    close(fd);
  }
}

}  // namespace
}  // namespace vexon::testing
