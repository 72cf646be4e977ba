// An automation object in process over a server core that talks to the
// simulator: runs operations by name and reads back what reached the line.
#pragma once

#include <map>

#include "automation/server_object.h"
#include "core_fixture.h"

namespace vexon::testing {

class AutomationTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    journal_.Create();
    monitor_ = std::make_unique<TMonitor>(*core_, journal_);
    services_ = std::make_unique<TServices>(TServices{*core_, *monitor_, journal_, calendar_, 30});
    object_ = std::make_unique<TSysVexonComServer>(*services_);
  }

  // Runs an operation with the named arguments (others take their
  // defaults) and returns the call with its outputs.
  TCall Invoke(const std::string& name, std::map<std::string, TArgValue> named = {}) {
    const TOpDesc* op = FindOperation(name);
    EXPECT_NE(op, nullptr) << name;
    std::vector<TArgValue> args;
    for (const auto& a : op->Args) {
      auto it = named.find(a.Name);
      if (it != named.end())
        args.push_back(it->second);
      else if (a.Type == TArgType::BSTR)
        args.push_back(std::string());
      else if (a.Type == TArgType::DATE)
        args.push_back(0.0);
      else if (a.Type == TArgType::VARIANT)
        args.push_back(TVariant{});
      else
        args.push_back(int64_t{0});
    }
    TCall call(*op, std::move(args));
    object_->Invoke(call);
    return call;
  }
  static int64_t Out(const TCall& c, const std::string& name) {
    for (size_t i = 0; i < c.Op().Args.size(); ++i)
      if (c.Op().Args[i].Name == name) return std::get<int64_t>(c.Args()[i]);
    return -999;
  }
  static int64_t Value(const TCall& c) { return Out(c, "Value"); }

  void Configure() {
    OpenPort();
    Autoconfigure();
  }
  // Carries out what is queued and returns the single frame it sent, without
  // route, length and checksum: Address1, Address2, Command, data. A command
  // without an answer is done once sent; its frame may still be on its way
  // through the pseudo-terminal.
  std::vector<uint8_t> SentCommand() {
    sim_.ClearReceived();
    Drain();
    EXPECT_TRUE(sim_.WaitForFrames(1, 10000));
    const auto frames = sim_.ReceivedFrames();
    EXPECT_EQ(frames.size(), 1u);
    if (frames.empty()) return {};
    return std::vector<uint8_t>(frames[0].begin() + 2, frames[0].end() - 1);
  }

  TMonJournal journal_;
  std::unique_ptr<TMonitor> monitor_;
  TCalendarBuffer calendar_;
  std::unique_ptr<TServices> services_;
  std::unique_ptr<TSysVexonComServer> object_;
};

constexpr int64_t kPrimary = 564;  // MakeAdr of the primary controller (SysAdr 0)
constexpr int64_t kModem = 0x20 + 4096;  // SysAdr 2


}  // namespace vexon::testing
