// vexon-sim: a controller network on a pseudo-terminal.
//
//   vexon-sim [--config net.json] [--link PATH] [--pacing] [--turnaround MS]
//
// Prints the slave path of the pseudo-terminal (and links PATH to it), then
// answers the server until end of input or a signal. Commands on standard
// input (one per line):
//   frames                     how many frames were received
//   fault KIND [ARG]           inject a fault for the next frame
//                              (noanswer, checksum, length, waits N, f0, f3,
//                               quality N, two, garbage N, hangup)
//   quit
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>

#include "sim/simulator.h"

using namespace vexon::sim;

namespace {
volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }
}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vexon-sim: controller-network simulator on a pseudo-terminal"};
  std::string config, link;
  TSimOptions opt;
  app.add_option("--config", config, "network description (JSON)");
  app.add_option("--link", link, "make this path a symbolic link to the pseudo-terminal");
  app.add_flag("--pacing", opt.Pacing, "produce 9600-baud timing");
  app.add_option("--turnaround", opt.TurnaroundMs, "ms between a request and its answer");
  CLI11_PARSE(app, argc, argv);

  TSimNetwork net = TSimNetwork::Default();
  if (!config.empty()) {
    std::string error;
    auto loaded = TSimNetwork::FromFile(config, error);
    if (!loaded) {
      std::fprintf(stderr, "vexon-sim: %s\n", error.c_str());
      return 2;
    }
    net = *loaded;
  }
  TSimulator sim(net, opt);
  if (!sim.Start()) {
    std::perror("vexon-sim: openpty");
    return 1;
  }
  if (!link.empty()) {
    ::unlink(link.c_str());
    if (::symlink(sim.SlavePath().c_str(), link.c_str()) != 0) std::perror("vexon-sim: symlink");
  }
  std::printf("%s\n", sim.SlavePath().c_str());
  std::fflush(stdout);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  const std::map<std::string, TSimFault::Kind> kinds = {
      {"noanswer", TSimFault::NoAnswer}, {"checksum", TSimFault::BadChecksum}, {"length", TSimFault::BadLength},
      {"waits", TSimFault::Waits},       {"f0", TSimFault::TerminalSilent},    {"f3", TSimFault::PrimaryRxError},
      {"quality", TSimFault::Quality},   {"two", TSimFault::TwoFrames},        {"garbage", TSimFault::Garbage},
      {"hangup", TSimFault::Hangup},
  };
  std::string line;
  while (!gStop && std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    if (cmd == "quit") break;
    if (cmd == "frames") {
      std::printf("%zu\n", sim.FrameCount());
    } else if (cmd == "fault") {
      std::string kind;
      int arg = 0;
      in >> kind >> arg;
      auto it = kinds.find(kind);
      if (it == kinds.end()) {
        std::printf("unknown fault '%s'\n", kind.c_str());
      } else {
        sim.InjectFault({it->second, arg});
        std::printf("ok\n");
      }
    } else if (!cmd.empty()) {
      std::printf("unknown command '%s'\n", cmd.c_str());
    }
    std::fflush(stdout);
  }
  // Without input (a service), keep serving until a signal.
  while (!gStop && std::cin.eof()) pause();
  sim.Stop();
  if (!link.empty()) ::unlink(link.c_str());
  return 0;
}
