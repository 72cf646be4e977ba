// vexon-sim: a controller network on a pseudo-terminal.
//
//   vexon-sim [--config net.json] [--link PATH] [--pacing] [--turnaround MS]
//             [--demo-traffic SECONDS]
//
// Prints the slave path of the pseudo-terminal (and links PATH to it), then
// answers the server until end of input or a signal. --demo-traffic presents
// a card every SECONDS seconds and now and then opens a door (see
// sim/demo_traffic.h); off by default. Commands on standard input (one per
// line):
//   frames                     how many frames were received
//   fault KIND [ARG]           inject a fault for the next frame
//                              (noanswer, checksum, length, waits N, f0, f3,
//                               quality N, two, garbage N, hangup, repeat,
//                               split N: the answer in two bursts, N bytes
//                               first; trailer MS: the answer again MS ms
//                               after the server has read it)
//   card SYS READER INDEX      a card presented at a reader (0 or 1) of the
//   card SYS READER FC/NUMBER  controller with system address SYS, named by
//                              its system index or by facility code and card
//                              number (through the segments the server sent;
//                              "card 2 0 12/1003"). The controller grants or
//                              refuses it from its card list and records a
//                              pass or the refusal; the answer is
//                              "granted index N" or "refused index N: REASON"
//   pass SYS READER INDEX [DETAIL]  a pass record as given, without judging
//   guard SYS READER INDEX     a guard card presented
//   cards SYS                  the card list and autonomous list of a controller
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
//   reg SYS                    the registration journal of a controller:
//                              "controller SYS: pending N confirmed M", N
//                              events still in it (a page served but not
//                              yet confirmed included), M deleted because a
//                              0x31 confirmed their page
//   regfill SYS N              N card passes (kind 1, card and reader 0)
//                              added to that journal at once; the card
//                              indexes run on from the previous regfill,
//                              1..65534 and round again, so a test can tell
//                              which events came back; answers "ok N"
//   quit
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>

#include "sim/demo_traffic.h"
#include "sim/simulator.h"

using namespace vexon::sim;

namespace {
volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

// A whole decimal number within [lo, hi], or false.
bool ParseNumber(const std::string& text, long lo, long hi, long& out) {
  if (text.empty()) return false;
  size_t used = 0;
  try {
    out = std::stol(text, &used, 10);
  } catch (const std::exception&) {
    return false;
  }
  return used == text.size() && out >= lo && out <= hi;
}

// "card SYS READER INDEX" or "card SYS READER FC/NUMBER".
void CardCommand(TSimulator& sim, std::istringstream& in) {
  std::string sysText, readerText, cardText, extra;
  in >> sysText >> readerText >> cardText >> extra;
  long sys = 0, reader = 0, a = 0, b = 0;
  const auto slash = cardText.find('/');
  const bool byNumber = slash != std::string::npos;
  const bool ok = extra.empty() && ParseNumber(sysText, 0, 255, sys) && ParseNumber(readerText, 0, 1, reader) &&
                  (byNumber ? ParseNumber(cardText.substr(0, slash), 0, 255, a) &&
                                  ParseNumber(cardText.substr(slash + 1), 0, 65535, b)
                            : ParseNumber(cardText, 0, 65535, a));
  if (!ok) {
    std::printf("usage: card SYS READER INDEX | card SYS READER FC/NUMBER (READER 0 or 1)\n");
    return;
  }
  const auto d = byNumber ? sim.PresentCardChecked(static_cast<uint8_t>(sys), static_cast<int>(reader),
                                                   static_cast<uint8_t>(a), static_cast<uint16_t>(b))
                          : sim.PresentCardChecked(static_cast<uint8_t>(sys), static_cast<int>(reader),
                                                   static_cast<uint16_t>(a));
  if (!d)
    std::printf("no controller with readers at %ld\n", sys);
  else if (d->Granted())
    std::printf("granted index %u\n", unsigned{d->Index});
  else
    std::printf("refused index %u: %s\n", unsigned{d->Index}, VerdictText(d->Verdict));
}

void CardsCommand(TSimulator& sim, std::istringstream& in) {
  std::string sysText;
  in >> sysText;
  long sys = 0;
  if (!ParseNumber(sysText, 0, 255, sys)) {
    std::printf("usage: cards SYS\n");
    return;
  }
  const TSimNetwork net = sim.NetworkCopy();
  const TSimController* c = net.Find(static_cast<uint8_t>(sys));
  if (!c) {
    std::printf("no controller %ld\n", sys);
    return;
  }
  std::string line = "controller " + std::to_string(sys) + ": " + std::to_string(c->Cards.size()) + " cards";
  for (const auto& [index, entry] : c->Cards) {
    line += " " + std::to_string(index);
    uint8_t fc = 0;
    uint16_t number = 0;
    if (net.CardOfIndex(index, fc, number)) line += "=" + std::to_string(fc) + "/" + std::to_string(number);
  }
  line += "; " + std::to_string(c->AutCards.size()) + " autonomous entries in " + std::to_string(c->AutBlocks.size()) +
          " blocks" + (c->AutListComplete ? " (complete)" : "");
  std::printf("%s\n", line.c_str());
}

// "reg SYS": the counts of a controller's registration journal.
void RegCommand(TSimulator& sim, std::istringstream& in) {
  std::string sysText, extra;
  in >> sysText >> extra;
  long sys = 0;
  if (!extra.empty() || !ParseNumber(sysText, 0, 255, sys)) {
    std::printf("usage: reg SYS\n");
    return;
  }
  if (!sim.NetworkCopy().Find(static_cast<uint8_t>(sys))) {
    std::printf("no controller %ld\n", sys);
    return;
  }
  std::printf("controller %ld: pending %zu confirmed %llu\n", sys, sim.RegPending(static_cast<uint8_t>(sys)),
              static_cast<unsigned long long>(sim.RegConfirmed(static_cast<uint8_t>(sys))));
}

// "regfill SYS N": N pass records with the card (bit 7 of byte 1), reader 0
// (bit 6 clear), event 1. `nextIndex` carries the card index from one
// regfill to the next; 0 and 0xFFFF are passed over because decoding treats
// them as "no card".
void RegFillCommand(TSimulator& sim, std::istringstream& in, uint16_t& nextIndex) {
  std::string sysText, countText, extra;
  in >> sysText >> countText >> extra;
  long sys = 0, count = 0;
  if (!extra.empty() || !ParseNumber(sysText, 0, 255, sys) || !ParseNumber(countText, 1, 1000000, count)) {
    std::printf("usage: regfill SYS N (N from 1 to 1000000)\n");
    return;
  }
  const TSimNetwork net = sim.NetworkCopy();
  const TSimController* c = net.Find(static_cast<uint8_t>(sys));
  if (!c || c->Hub()) {
    std::printf("no controller with readers at %ld\n", sys);
    return;
  }
  for (long i = 0; i < count; ++i) {
    if (nextIndex == 0 || nextIndex == 0xFFFF) nextIndex = 1;
    const uint16_t index = nextIndex++;
    sim.AddRegRecord(static_cast<uint8_t>(sys), {static_cast<uint8_t>((1 << 5) | 1), 0x80,
                                                 static_cast<uint8_t>(index & 0xFF), static_cast<uint8_t>(index >> 8)});
  }
  std::printf("ok %ld\n", count);
}
}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vexon-sim: controller-network simulator on a pseudo-terminal"};
  std::string config, link;
  TSimOptions opt;
  app.add_option("--config", config, "network description (JSON)");
  app.add_option("--link", link, "make this path a symbolic link to the pseudo-terminal");
  app.add_flag("--pacing", opt.Pacing, "produce 9600-baud timing");
  app.add_option("--turnaround", opt.TurnaroundMs, "ms between a request and its answer");
  app.add_option("--burst-gap", opt.BurstGapMs,
                 "ms between the bursts of a multi-burst answer (above the server's 30 ms idle cut, so each "
                 "burst is a read of its own whether the server ends reads early or not)")
      ->check(CLI::Range(31, 10000));
  bool noRealTime = false;
  app.add_flag("--no-realtime", noRealTime,
               "run the line thread as an ordinary thread; by default it asks for real-time scheduling (when "
               "permitted) so that answers keep their timing on a busy machine");
  double demoSeconds = 0;
  app.add_option("--demo-traffic", demoSeconds, "present a card every SECONDS seconds and open a door now and then")
      ->check(CLI::Range(0.0, 3600.0));
  CLI11_PARSE(app, argc, argv);
  opt.RealTime = !noRealTime;

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
  std::unique_ptr<TDemoTraffic> demo;
  if (demoSeconds > 0) {
    demo = std::make_unique<TDemoTraffic>(sim, static_cast<int>(demoSeconds * 1000));
    demo->Start();
  }
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
      {"split", TSimFault::Split},       {"trailer", TSimFault::None},
  };
  uint16_t regFillIndex = 1;
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
        // "trailer MS" is the plain answer followed by itself MS ms later.
        if (kind == "trailer")
          sim.InjectFault({TSimFault::None, 0, arg > 0 ? arg : 5});
        else
          sim.InjectFault({it->second, arg});
        std::printf("ok\n");
      }
    } else if (cmd == "card") {
      CardCommand(sim, in);
    } else if (cmd == "cards") {
      CardsCommand(sim, in);
    } else if (cmd == "pass" || cmd == "guard") {
      int sys = 0, reader = 0, index = 0, detail = 0;
      in >> sys >> reader >> index >> detail;
      if (cmd == "pass")
        sim.PresentCard(static_cast<uint8_t>(sys), reader, static_cast<uint16_t>(index), detail);
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
    } else if (cmd == "reg") {
      RegCommand(sim, in);
    } else if (cmd == "regfill") {
      RegFillCommand(sim, in, regFillIndex);
    } else if (!cmd.empty()) {
      std::printf("unknown command '%s'\n", cmd.c_str());
    }
    std::fflush(stdout);
  }
  // Without input (a service), keep serving until a signal.
  while (!gStop && std::cin.eof()) pause();
  if (demo) demo->Stop();
  sim.Stop();
  if (!link.empty()) ::unlink(link.c_str());
  return 0;
}
