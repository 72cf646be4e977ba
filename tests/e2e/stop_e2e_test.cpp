// srvvexon told to stop while clients' requests are queued: the exchange on
// the line may finish, nothing after it goes out, the process ends and saves
// its files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e_fixture.h"
#include "link/frames.h"
#include "link/protocol.h"
#include "link/uart.h"

using namespace vexon;
using namespace vexon::testing;

namespace {

// Answers come 150 ms after their request, so a stop comes while one is on
// the line; every frame goes to the trace file as the server writes it.
class StopE2e : public E2eTest {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vexon-stop-XXXXXX").string();
    dir_ = mkdtemp(tmpl.data());
    StartSim({"--turnaround", "150"});
    StartServer({"--trace", dir_ + "/trace.txt", "--stop-grace", "1"});
  }

  size_t SimFrames() {
    sim_.WriteLine("frames");
    return static_cast<size_t>(std::stoul(sim_.ReadLine()));
  }
  // Frames the server wrote, from its trace.
  size_t TracedSends() {
    std::ifstream f(dir_ + "/trace.txt");
    size_t n = 0;
    for (std::string l; std::getline(f, l);)
      if (l.find(" TX ") != std::string::npos) ++n;
    return n;
  }
  // Once the server has gone: a status query of our own on the line, and
  // its answer. The simulator takes frames in order, so when the answer
  // comes every frame the server wrote before has been counted.
  void ExchangeAfterTheServer() {
    TPortMap ports;
    ports.Set(1, dir_ + "/tty");
    TUart u(1, ports, 2000, 30);
    ASSERT_EQ(u.Open(), ueOk);
    uint8_t frame[16];
    const uint8_t sys = 0;
    const size_t len = BuildFrame(0, 0, 0, proto::cmdStatus, &sys, 1, frame);
    ASSERT_TRUE(u.Send(frame, len));
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<uint8_t> got;
    for (;;) {
      ASSERT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30)) << "no answer to the marker";
      uint8_t buf[proto::kIoBuffer];
      size_t n = 0;
      if (u.Receive(buf, n) != TReadResult::Ok) continue;
      got.insert(got.end(), buf, buf + n);
      // Answers of the server's last frames may come first: look for ours.
      bool found = false;
      for (size_t i = 0; i + 2 < got.size() && !found; ++i)
        found = got[i + 2] == proto::cmdStatus && got[i + 1] == 8 && i + 11 <= got.size();
      if (found) break;
    }
    u.Close();
  }
};

}  // namespace

TEST_F(StopE2e, SigtermWithTwentyRequestsQueuedLetsAtMostOneExchangeOut) {
  OpenAndAutoconfigure();
  const int64_t controllers = Call("sysvexon_GetControllerCount")["Cnt"];
  const size_t before = SimFrames();
  std::vector<int64_t> ids;
  for (int i = 0; i < 20; ++i) {
    const auto r = Call("sysvexon_SetTimer");
    ASSERT_EQ(r["Value"], 0);
    ids.push_back(r["EventID"]);
  }
  // The first of them is on the line.
  const auto t0 = std::chrono::steady_clock::now();
  while (SimFrames() == before) {
    ASSERT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10)) << "nothing reached the line";
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const size_t atStop = SimFrames();
  const size_t sentAtStop = TracedSends();
  // The client stays connected: its grace must not let the queue run.
  EXPECT_EQ(server_.Stop(SIGTERM), 0) << "srvvexon ended in order";
  const size_t sentAfter = TracedSends() - sentAtStop;
  ExchangeAfterTheServer();
  const size_t received = SimFrames() - atStop - 1;  // without our own query
  EXPECT_LE(sentAfter, 1u) << "frames written after SIGTERM";
  EXPECT_LE(received, 1u) << "frames the controllers got after SIGTERM";
  // The files of an orderly stop.
  EXPECT_EQ(std::filesystem::file_size(dir_ + "/new_sys.bin"), static_cast<uintmax_t>(controllers) * 60);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/srvvexon.run")) << "the run ended in order";
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/test.txt"));
}
