// vexonctl: the command-line client of srvvexon.
//
//   vexonctl [--server HOST:PORT | --unix PATH] [--json] [--wait] OPERATION Name=Value...
//   vexonctl list                 the operations with their arguments
//   vexonctl describe CODE        the text of a result code
//   vexonctl watch [--start] [--take]
//                                 follow the monitoring and state streams until Ctrl+C
//   vexonctl regevents [--follow [--interval SECONDS] [--take]]
//                                 take the registration journal, oldest first
//
// watch and regevents --follow subscribe to the event streams and take
// nothing: the site's own client still gets every event (ctl/follow.h).
// With --take they take events from the journals instead, as a client that
// owns them does.
//
// regevents empties the server's registration journal with
// sysvexon_GetRegEventArray (up to 1024 events a call, until the journal
// answers 67) and prints one line per event: date-time, controller, reader or
// item, card and the Russian description; with --json one JSON object per
// line (the fields of sysvexon_GetRegEvent and "Text"). --follow keeps
// going until Ctrl+C: every --interval seconds (default 5) it queues
// sysvexon_GetRegJournal for every controller that has readers, at most one
// read per controller at a time, and prints the events of the registration
// stream as they are stored (with --take: takes them, and another client
// will not see them).
//
// The "sysvexon_" prefix of an operation may be left out. --wait polls the
// answer of a queued operation until it is no longer -1, prints it and
// releases it on the server (--keep leaves it). The exit status is
// 0 only when Value is 0.
//
// Values by argument type: I4 and UI1 integers; DATE a day count or an ISO
// 8601 local date-time; BSTR as typed; VARIANT JSON text (Cl='[[1,2,3]]') or
// an array read from a file, Cl=@cards.json (an array of rows, or
// {"lbound":[..],"data":[..]}) or Cl=@cards.csv (one row per line of
// comma-separated integers, '#' comments); see ctl/array_file.h. A malformed
// argument or file is reported and nothing is sent.
#include <unistd.h>

#include <INIReader.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <fstream>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <thread>
#include <utility>

#include "automation/operation_table.h"
#include "ctl/array_file.h"
#include "ctl/follow.h"
#include "ctl/rpc_client.h"

using namespace vexon;
using nlohmann::json;

namespace {

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

std::string ErrorText(TRpcClient& c, int64_t code) {
  return c.Call("sysvexon_GetErrorDescription", {{"Code", code}})["Value"].get<std::string>();
}

// Converts Name=Value by the argument's type in the operation table.
json Arguments(const TOpDesc& op, const std::vector<std::string>& words) {
  json params = json::object();
  for (const auto& w : words) {
    const auto eq = w.find('=');
    if (eq == std::string::npos || eq == 0) throw std::runtime_error("expected Name=Value, got '" + w + "'");
    const std::string name = w.substr(0, eq), text = w.substr(eq + 1);
    const TArgDesc* arg = nullptr;
    for (const auto& a : op.Args)
      if (a.Name == name && a.Dir != TArgDir::RetVal) arg = &a;
    if (!arg) throw std::runtime_error(op.Name + " has no argument " + name);
    switch (arg->Type) {
      case TArgType::I4:
      case TArgType::UI1:
        try {
          size_t used = 0;
          const long long v = std::stoll(text, &used, 0);
          if (used != text.size()) throw std::invalid_argument(text);
          params[name] = v;
        } catch (const std::exception&) {
          throw std::runtime_error(name + " must be an integer, got '" + text + "'");
        }
        break;
      case TArgType::DATE: {
        char* end = nullptr;
        const double d = std::strtod(text.c_str(), &end);
        if (!text.empty() && *end == '\0')
          params[name] = d;
        else
          params[name] = text;  // ISO 8601
        break;
      }
      case TArgType::BSTR:
        params[name] = text;
        break;
      case TArgType::VARIANT:
        params[name] = ctl::VariantArgument(name, text);
        break;
    }
  }
  return params;
}

void PrintList() {
  for (const auto& op : OperationTable()) {
    if (op.Inherited) continue;
    std::string args;
    for (const auto& a : op.Args) {
      if (a.Dir == TArgDir::RetVal) continue;
      args += " " + a.Name + ":" + TypeName(a.Type) + (a.Dir == TArgDir::InOut ? "[in,out]" : "");
    }
    std::printf("%-38s%s%s\n      %s\n", op.Name.substr(9).c_str(), op.Queued ? "(queued) " : "", args.c_str(),
                op.Summary.c_str());
  }
}

int Watch(TRpcClient& c, bool start, bool asJson, bool take) {
  if (!take) {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    if (!ctl::SubscribeStreams(c, {"monitoring", "state"})) return 2;
    if (start) c.Call("sysvexon_StartMonitoring");
    while (!gStop)
      if (const auto n = c.NextNotification(200)) ctl::PrintNotification(*n, asJson);
    return 0;
  }
  std::fprintf(stderr,
               "vexonctl watch: taking events removes them from the journal; another client will not see the "
               "events shown here. Ctrl+C ends.\n");
  if (start) c.Call("sysvexon_StartMonitoring");
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  while (!gStop) {
    json e = c.Call("sysvexon_GetMonEvent");
    if (e["Value"].get<int>() != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      continue;
    }
    const std::string text = c.Call("sysvexon_GetMonEventDescription",
                                    {{"EventCode", e["EventCode"]}, {"EventAdd", e["EventAdd"]}})["Value"];
    if (asJson) {
      e["Text"] = text;
      std::printf("%s\n", e.dump().c_str());
    } else {
      std::printf("%04d-%02d-%02d %02d:%02d:%02d  controller %-6d %-3d  card %3d/%-5d  %s\n", e["Year"].get<int>(),
                  e["Month"].get<int>(), e["Day"].get<int>(), e["Hour"].get<int>(), e["Minute"].get<int>(),
                  e["Second"].get<int>(), e["MakeAdr"].get<int>(), e["AdrAdd"].get<int>(),
                  e["FacilityCode"].get<int>(), e["CardID"].get<int>(), text.c_str());
    }
    std::fflush(stdout);
  }
  return 0;
}

// Registration-event texts, asked for once per (EventType, Event).
class TRegTexts {
 public:
  explicit TRegTexts(TRpcClient& c) : c_(c) {}
  const std::string& Text(int type, int event) {
    auto it = cache_.find({type, event});
    if (it == cache_.end()) {
      const json r = c_.Call("sysvexon_GetRegEventDescription", {{"EventType", type}, {"Event", event}});
      it = cache_.emplace(std::make_pair(type, event), r["Value"].get<std::string>()).first;
    }
    return it->second;
  }

 private:
  TRpcClient& c_;
  std::map<std::pair<int, int>, std::string> cache_;
};

// The columns of a row of sysvexon_GetRegEventArray, in order.
const char* const kRegColumns[] = {"Year",      "Month", "Day",   "Hour",         "Minute", "Second", "MakeAdr",
                                   "AdrAdd",    "EventType", "Event", "Alarm", "FacilityCode", "CardID"};

void PrintRegEvent(const json& e, const std::string& text, bool asJson) {
  if (asJson) {
    json out = e;
    out["Text"] = text;
    std::printf("%s\n", out.dump().c_str());
    return;
  }
  const int type = e["EventType"].get<int>(), adrAdd = e["AdrAdd"].get<int>(), card = e["CardID"].get<int>();
  char where[64] = "";
  if (type == 1 || type == 2) {
    if (card != 0)
      std::snprintf(where, sizeof where, "reader %d  card %3d/%-5d", adrAdd, e["FacilityCode"].get<int>(), card);
    else
      std::snprintf(where, sizeof where, "reader %d", adrAdd);
  } else if (type == 3) {
    std::snprintf(where, sizeof where, "driver %d  item %d", adrAdd, card);
  } else if (adrAdd != 0) {
    std::snprintf(where, sizeof where, "driver %d", adrAdd);
  }
  std::printf("%04d-%02d-%02d %02d:%02d:%02d  controller %-6d %-24s %s%s\n", e["Year"].get<int>(),
              e["Month"].get<int>(), e["Day"].get<int>(), e["Hour"].get<int>(), e["Minute"].get<int>(),
              e["Second"].get<int>(), e["MakeAdr"].get<int>(), where, e["Alarm"].get<int>() != 0 ? "ТРЕВОГА: " : "",
              text.c_str());
}

// Takes every waiting event, oldest first, and prints it. The server makes
// a fresh 1024 x 13 array for each call (EventArray null) and answers 0
// while more may be waiting. Returns the number of events printed.
size_t DrainRegEvents(TRpcClient& c, TRegTexts& texts, bool asJson) {
  size_t printed = 0;
  for (;;) {
    const json r = c.Call("sysvexon_GetRegEventArray", {{"EventArray", nullptr}, {"Count", 0}});
    const int value = r["Value"].get<int>();
    if (value != 0 && value != 67)
      throw std::runtime_error("sysvexon_GetRegEventArray answered " + std::to_string(value) + " (" +
                               ErrorText(c, value) + ")");
    const int count = r["Count"].get<int>();
    const json& array = r["EventArray"];
    const json& data = array["data"];
    const int row0 = array["lbound"][0].get<int>(), col0 = array["lbound"][1].get<int>();
    for (int k = 1; k <= count; ++k) {
      const json& row = data.at(static_cast<size_t>(k - row0));
      json e = json::object();
      for (int col = 1; col <= 13; ++col) e[kRegColumns[col - 1]] = row.at(static_cast<size_t>(col - col0));
      PrintRegEvent(e, texts.Text(e["EventType"].get<int>(), e["Event"].get<int>()), asJson);
      ++printed;
    }
    std::fflush(stdout);
    if (value != 0) return printed;
  }
}

// --follow: the controllers with readers, as the server knows them now.
std::vector<int> ControllersWithReaders(TRpcClient& c) {
  std::vector<int> out;
  const json n = c.Call("sysvexon_GetControllerCount");
  if (n["Value"].get<int>() != 0) return out;
  for (int i = 1; i <= n["Cnt"].get<int>(); ++i) {
    const json info = c.Call("sysvexon_GetControllerInfo", {{"ControllerNum", i}});
    if (info["Value"].get<int>() == 0 && info["_Hub"].get<int>() == 0) out.push_back(info["_MakeAdr"].get<int>());
  }
  return out;
}

int FollowRegEvents(TRpcClient& c, bool asJson, double intervalSeconds, bool take) {
  if (take)
    std::fprintf(stderr,
                 "vexonctl regevents: taking events removes them from the journal; another client will not see the "
                 "events shown here. Ctrl+C ends.\n");
  else if (!ctl::SubscribeStreams(c, {"registration"}))
    return 2;
  else
    std::fprintf(stderr, "vexonctl regevents: following the registration stream (nothing is taken). Ctrl+C ends.\n");
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  TRegTexts texts(c);
  // The read queued for each controller, so that a slow read is not queued
  // again on top of itself; its answer is released once it is known.
  std::map<int, int64_t> reading;
  const auto interval = std::chrono::duration<double>(intervalSeconds);
  auto nextRead = std::chrono::steady_clock::now();
  bool warnedUnconfigured = false;
  while (!gStop) {
    if (std::chrono::steady_clock::now() >= nextRead) {
      nextRead = std::chrono::steady_clock::now() +
                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(interval);
      const std::vector<int> controllers = ControllersWithReaders(c);
      if (controllers.empty() && !warnedUnconfigured) {
        std::fprintf(stderr, "vexonctl regevents: the server knows no controller yet (autoconfiguration)\n");
        warnedUnconfigured = true;
      }
      for (const int make : controllers) {
        auto it = reading.find(make);
        if (it != reading.end()) {
          const json s = c.Call("sysvexon_GetCommandState", {{"EventID", it->second}});
          if (s["Value"].get<int>() == -1) continue;
          const int v = s["Value"].get<int>();
          if (v != 0 && v != 14)
            std::fprintf(stderr, "vexonctl regevents: reading controller %d: %d (%s)\n", make, v,
                         ErrorText(c, v).c_str());
          c.Call("sysvexon_DeleteAnswer", {{"EventID", it->second}});
          reading.erase(it);
        }
        const json r = c.Call("sysvexon_GetRegJournal", {{"MakeAdr", make}});
        if (r["Value"].get<int>() == 0)
          reading[make] = r["EventID"].get<int64_t>();
        else
          std::fprintf(stderr, "vexonctl regevents: controller %d not read: %s\n", make,
                       ErrorText(c, r["Value"].get<int64_t>()).c_str());
      }
    }
    if (take) {
      DrainRegEvents(c, texts, asJson);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } else {
      // Everything that came until the next read is due.
      while (!gStop && std::chrono::steady_clock::now() < nextRead)
        if (const auto n = c.NextNotification(200)) ctl::PrintNotification(*n, asJson);
    }
  }
  for (const auto& [make, id] : reading) c.Call("sysvexon_DeleteAnswer", {{"EventID", id}});
  return 0;
}

}  // namespace

// The token to present: the first line of `tokenFile`, else [Rpc] Token of
// the settings file (the server's own by default); empty when neither has
// one.
static std::string ClientToken(std::string configPath, const std::string& tokenFile) {
  const auto trim = [](std::string t) {
    while (!t.empty() && (t.back() == '\r' || t.back() == '\n' || t.back() == ' ' || t.back() == '\t')) t.pop_back();
    return t;
  };
  if (!tokenFile.empty()) {
    std::ifstream f(tokenFile);
    if (!f) throw std::runtime_error("cannot read the token file " + tokenFile);
    std::string line;
    std::getline(f, line);
    return trim(line);
  }
  if (configPath.empty()) {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (xdg && *xdg)
      configPath = std::string(xdg) + "/srvvexon.ini";
    else if (home && *home)
      configPath = std::string(home) + "/.config/srvvexon.ini";
    else
      return "";
  }
  INIReader ini(configPath);
  if (ini.ParseError() != 0) return "";
  return trim(ini.Get("Rpc", "Token", ""));
}

int main(int argc, char** argv) {
  CLI::App app{"vexonctl: call the operations of srvvexon"};
  std::string server = "127.0.0.1:47301", unixPath;
  bool asJson = false, wait = false, start = false, keep = false;
  double timeout = 120;
  std::vector<std::string> words;
  std::string configPath, tokenFile;
  app.add_option("--config", configPath, "settings file whose [Rpc] Token is sent (default the server's)");
  app.add_option("--token-file", tokenFile, "file whose first line is the token to send");
  app.add_option("--server", server, "TCP endpoint HOST:PORT");
  app.add_option("--unix", unixPath, "Unix socket of the server");
  app.add_flag("--json", asJson, "print JSON for scripts");
  app.add_flag("--wait", wait, "wait for the answer of a queued operation, then release it");
  app.add_flag("--keep", keep, "with --wait: leave the answer on the server");
  app.add_option("--timeout", timeout, "seconds --wait waits at most");
  app.add_flag("--start", start, "watch: switch monitoring on first (restarts the first pass)");
  bool take = false;
  app.add_flag("--take", take,
               "watch, regevents --follow: take the events from the journals (another client will not see them) "
               "instead of following the event streams");
  bool follow = false;
  double interval = 5;
  app.add_flag("--follow", follow, "regevents: keep reading the controllers' journals until Ctrl+C");
  app.add_option("--interval", interval, "regevents --follow: seconds between journal reads (default 5)")
      ->check(CLI::Range(0.2, 86400.0));
  app.add_option("words", words, "OPERATION Name=Value..., list, describe CODE, watch, regevents")->required();
  app.footer(
      "Operations: vexonctl list\n"
      "Values: I4/UI1 integers; DATE a day count or ISO 8601; BSTR as typed; VARIANT JSON text\n"
      "  (Cl='[[1,2,3]]') or an array from a file: Cl=@cards.json (array of rows, or\n"
      "  {\"lbound\":[1,1],\"data\":[...]}), Cl=@cards.csv (one row per line, comma-separated\n"
      "  integers, blank lines and '#' lines skipped).\n"
      "Example: vexonctl --wait SendDeviceCardList AMakeAdr=564 ACards=@cards.csv\n"
      "Journals: vexonctl watch [--start] follows the monitoring and state streams (nothing\n"
      "  is taken; --take takes from the monitoring journal instead); vexonctl regevents\n"
      "  [--json] takes the registration journal oldest first (the events are removed);\n"
      "  --follow [--interval SECONDS] has every controller's journal read every SECONDS\n"
      "  (default 5) and prints the registration stream until Ctrl+C (--take: takes them).\n");
  CLI11_PARSE(app, argc, argv);

  if (words[0] == "list") {
    PrintList();
    return 0;
  }
  TRpcClient client;
  try {
    const std::string endpoint = unixPath.empty() ? server : unixPath;
    const std::string token = ClientToken(configPath, tokenFile);
    // A server with a token expects it as the first line; it answers only a
    // wrong one (by closing the connection).
    const auto connect = [&] {
      client.Connect(endpoint);
      if (!token.empty()) client.SendLine(json{{"auth", token}}.dump());
    };
    if (words[0] == "describe") {
      if (words.size() != 2) throw std::runtime_error("describe CODE");
      connect();
      std::printf("%s\n", ErrorText(client, std::stoll(words[1])).c_str());
      return 0;
    }
    if (words[0] == "watch") {
      connect();
      return Watch(client, start, asJson, take);
    }
    if (words[0] == "regevents") {
      if (words.size() != 1) throw std::runtime_error("regevents takes no arguments (see --help)");
      connect();
      if (follow) return FollowRegEvents(client, asJson, interval, take);
      TRegTexts texts(client);
      DrainRegEvents(client, texts, asJson);
      return 0;
    }
    const TOpDesc* op = FindOperation(words[0]);
    if (!op || op->Inherited) throw std::runtime_error("unknown operation " + words[0] + " (see vexonctl list)");
    // Arguments (and the files they name) are read before connecting: a
    // malformed one sends nothing.
    const json params = Arguments(*op, {words.begin() + 1, words.end()});
    connect();
    json result = client.Call(op->Name, params);
    if (wait && op->Queued && result.value("Value", -1) == 0) {
      const std::string idName = op->Args.front().Name;
      const int64_t id = result[idName].get<int64_t>();
      const bool tty = isatty(STDERR_FILENO);
      const auto t0 = std::chrono::steady_clock::now();
      json state;
      for (;;) {
        state = client.Call("sysvexon_GetExtendedCommandState", {{"EventID", id}});
        if (state["Value"].get<int>() != -1) break;
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (s > timeout) throw std::runtime_error("request " + std::to_string(id) + " still pending");
        if (tty) std::fprintf(stderr, "\rwaiting for request %lld... %.1f s", static_cast<long long>(id), s);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (tty) std::fprintf(stderr, "\r\033[K");
      // The answer has been read: release it, so repeated use does not fill
      // the server's answer queue and push out other clients' answers.
      if (!keep) client.Call("sysvexon_DeleteAnswer", {{"EventID", id}});
      state[idName] = id;
      result = state;
    }
    if (asJson) {
      std::printf("%s\n", result.dump().c_str());
    } else {
      for (auto it = result.begin(); it != result.end(); ++it)
        if (it.key() != "Value") std::printf("%s = %s\n", it.key().c_str(), it.value().dump().c_str());
      if (result.contains("Value")) {
        const json& v = result["Value"];
        if (v.is_number_integer())
          std::printf("Value = %lld (%s)\n", v.get<long long>(), ErrorText(client, v.get<int64_t>()).c_str());
        else
          std::printf("Value = %s\n", v.dump().c_str());
      }
    }
    if (result.contains("Value") && result["Value"].is_number_integer()) return result["Value"].get<int>() == 0 ? 0 : 1;
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vexonctl: %s\n", e.what());
    return 2;
  }
}
