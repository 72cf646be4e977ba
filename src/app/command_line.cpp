#include "app/command_line.h"

#include <cctype>

namespace vexon {

namespace {
std::string Upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// "-Embedding", "/EMBEDDING", ... : the word after one '-' or '/'.
bool IsSwitch(const std::string& arg, const char* word) {
  if (arg.size() < 2 || (arg[0] != '-' && arg[0] != '/')) return false;
  return Upper(arg.substr(1)) == word;
}
}  // namespace

TLaunch ScanCommandLine(const std::vector<std::string>& args) {
  TLaunch out;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    // The queue-order switch is written with '-' or '/' like the others:
    // "-x" first selects arrival order just as "/X" does.
    if (i == 0 && IsSwitch(a, "X")) {
      out.ArrivalOrder = true;
      continue;
    }
    if (IsSwitch(a, "EMBEDDING") || IsSwitch(a, "AUTOMATION")) {
      out.ForClient = true;
      continue;
    }
    const bool reg = IsSwitch(a, "REGSERVER"), unreg = IsSwitch(a, "UNREGSERVER");
    if (reg || unreg) {
      const auto want = reg ? TRegistrationAction::Register : TRegistrationAction::Unregister;
      if (out.Registration != TRegistrationAction::None && out.Registration != want)
        out.Error = "give either /regserver or /unregserver, not both";
      out.Registration = want;
      continue;
    }
    // Any other first parameter leaves the queue sorted. One that is not an
    // option of the parser (a word, or a switch written with '/') is dropped
    // here rather than refused: it is there for the queue order only.
    if (i == 0 && (a.empty() || a[0] != '-')) {
      out.IgnoredFirst = a;
      continue;
    }
    out.Rest.push_back(a);
  }
  return out;
}

}  // namespace vexon
