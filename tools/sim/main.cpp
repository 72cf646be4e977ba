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
//                               quality N, two, garbage N, hangup, repeat)
//   card SYS READER INDEX      a card presented at a reader (0 or 1)
//   guard SYS READER INDEX     a guard card presented
//   input SYS DRIVER INPUT 0|1 an input of a driver (1..4) changes
//   mode SYS READER MODE       a reader's access mode changes
//   flag SYS BIT 0|1           a flag of status byte b2 (0 journal, 1 mains,
//                              2 battery, 3 operator alarm, 7 no link)
//   breakin SYS ITEM           a break-in alarm
//   zone ZONE INDEX            a card entered a zone
//   report ZONE INDEX          a card reported in a zone
//   linklost 0|1               the whole link goes silent / comes back
//   violation 0|1              the primary reports a configuration violation
//   pending                    monitoring records not yet read
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
  // Without SA_RESTART, so a signal also ends a read of the command input.
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  const std::map<std::string, TSimFault::Kind> kinds = {
      {"noanswer", TSimFault::NoAnswer}, {"checksum", TSimFault::BadChecksum}, {"length", TSimFault::BadLength},
      {"waits", TSimFault::Waits},       {"f0", TSimFault::TerminalSilent},    {"f3", TSimFault::PrimaryRxError},
      {"quality", TSimFault::Quality},   {"two", TSimFault::TwoFrames},        {"garbage", TSimFault::Garbage},
      {"hangup", TSimFault::Hangup},     {"repeat", TSimFault::RepeatPage},
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
    } else if (cmd == "card" || cmd == "guard") {
      int sys = 0, reader = 0, index = 0;
      in >> sys >> reader >> index;
      if (cmd == "card")
        sim.PresentCard(static_cast<uint8_t>(sys), reader, static_cast<uint16_t>(index));
      else
        sim.GuardCard(static_cast<uint8_t>(sys), reader, static_cast<uint16_t>(index));
      std::printf("ok\n");
    } else if (cmd == "input") {
      int sys = 0, driver = 0, input = 0, on = 0;
      in >> sys >> driver >> input >> on;
      sim.SetInput(static_cast<uint8_t>(sys), driver, input, on != 0);
      std::printf("ok\n");
    } else if (cmd == "mode") {
      int sys = 0, reader = 0, mode = 0;
      in >> sys >> reader >> mode;
      sim.SetMode(static_cast<uint8_t>(sys), reader, mode);
      std::printf("ok\n");
    } else if (cmd == "flag") {
      int sys = 0, bit = 0, on = 0;
      in >> sys >> bit >> on;
      sim.SetStatusFlag(static_cast<uint8_t>(sys), bit, on != 0);
      std::printf("ok\n");
    } else if (cmd == "breakin") {
      int sys = 0, item = 0;
      in >> sys >> item;
      sim.BreakIn(static_cast<uint8_t>(sys), item, false);
      std::printf("ok\n");
    } else if (cmd == "zone" || cmd == "report") {
      int zone = 0, index = 0;
      in >> zone >> index;
      if (cmd == "zone")
        sim.CardInZone(static_cast<uint8_t>(zone), static_cast<uint16_t>(index));
      else
        sim.CardReported(static_cast<uint8_t>(zone), static_cast<uint16_t>(index));
      std::printf("ok\n");
    } else if (cmd == "linklost") {
      int on = 0;
      in >> on;
      sim.SetLinkLost(on != 0);
      std::printf("ok\n");
    } else if (cmd == "violation") {
      int on = 0;
      in >> on;
      sim.SetConfigViolation(on != 0);
      std::printf("ok\n");
    } else if (cmd == "pending") {
      std::printf("%zu\n", sim.PendingRecords());
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
