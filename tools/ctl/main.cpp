// vexonctl: the command-line client of srvvexon.
//
//   vexonctl [--server HOST:PORT | --unix PATH] [--json] [--wait] OPERATION Name=Value...
//   vexonctl list                 the operations with their arguments
//   vexonctl describe CODE        the text of a result code
//   vexonctl watch [--start]      follow the monitoring journal until Ctrl+C
//
// The "sysvexon_" prefix of an operation may be left out. --wait polls the
// answer of a queued operation until it is no longer -1. The exit status is
// 0 only when Value is 0.
//
// Values by argument type: I4 and UI1 integers; DATE a day count or an ISO
// 8601 local date-time; BSTR as typed; VARIANT JSON text (Cl='[[1,2,3]]') or
// an array read from a file, Cl=@cards.json (an array of rows, or
// {"lbound":[..],"data":[..]}) or Cl=@cards.csv (one row per line of
// comma-separated integers, '#' comments); see ctl/array_file.h. A malformed
// argument or file is reported and nothing is sent.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>

#include "automation/operation_table.h"
#include "ctl/array_file.h"
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

int Watch(TRpcClient& c, bool start, bool asJson) {
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

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vexonctl: call the operations of srvvexon"};
  std::string server = "127.0.0.1:47301", unixPath;
  bool asJson = false, wait = false, start = false;
  double timeout = 120;
  std::vector<std::string> words;
  app.add_option("--server", server, "TCP endpoint HOST:PORT");
  app.add_option("--unix", unixPath, "Unix socket of the server");
  app.add_flag("--json", asJson, "print JSON for scripts");
  app.add_flag("--wait", wait, "wait for the answer of a queued operation");
  app.add_option("--timeout", timeout, "seconds --wait waits at most");
  app.add_flag("--start", start, "watch: switch monitoring on first (restarts the first pass)");
  app.add_option("words", words, "OPERATION Name=Value..., list, describe CODE, watch")->required();
  app.footer(
      "Operations: vexonctl list\n"
      "Values: I4/UI1 integers; DATE a day count or ISO 8601; BSTR as typed; VARIANT JSON text\n"
      "  (Cl='[[1,2,3]]') or an array from a file: Cl=@cards.json (array of rows, or\n"
      "  {\"lbound\":[1,1],\"data\":[...]}), Cl=@cards.csv (one row per line, comma-separated\n"
      "  integers, blank lines and '#' lines skipped).\n"
      "Example: vexonctl --wait SendDeviceCardList AMakeAdr=564 ACards=@cards.csv\n");
  CLI11_PARSE(app, argc, argv);

  if (words[0] == "list") {
    PrintList();
    return 0;
  }
  TRpcClient client;
  try {
    const std::string endpoint = unixPath.empty() ? server : unixPath;
    if (words[0] == "describe") {
      if (words.size() != 2) throw std::runtime_error("describe CODE");
      client.Connect(endpoint);
      std::printf("%s\n", ErrorText(client, std::stoll(words[1])).c_str());
      return 0;
    }
    if (words[0] == "watch") {
      client.Connect(endpoint);
      return Watch(client, start, asJson);
    }
    const TOpDesc* op = FindOperation(words[0]);
    if (!op || op->Inherited) throw std::runtime_error("unknown operation " + words[0] + " (see vexonctl list)");
    // Arguments (and the files they name) are read before connecting: a
    // malformed one sends nothing.
    const json params = Arguments(*op, {words.begin() + 1, words.end()});
    client.Connect(endpoint);
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
