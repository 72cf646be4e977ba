// The switches that the program recognises before its option parser sees
// the command line: the queue-order switch "/X" (first parameter only), the
// switches a service manager passes when it starts the server for a client
// ("-Embedding", "-Automation") and the registration switches
// ("-RegServer", "-UnregServer"). Every switch is accepted with "-" or "/"
// in any case; all but the queue-order switch anywhere on the line.
#pragma once

#include <string>
#include <vector>

namespace vexon {

enum class TRegistrationAction { None, Register, Unregister };

struct TLaunch {
  bool ArrivalOrder = false;  // "/X" or "-X" first: the request queue keeps arrival order
  bool ForClient = false;     // started for a client: ends after the last one
  TRegistrationAction Registration = TRegistrationAction::None;
  // A first parameter that is neither "/X" nor an option ("/Y", "foo"):
  // dropped, it only decides the queue order. Empty when there was none.
  std::string IgnoredFirst;
  std::vector<std::string> Rest;  // for the option parser, in order
  std::string Error;              // non-empty: the line cannot be carried out
};

TLaunch ScanCommandLine(const std::vector<std::string>& args);

}  // namespace vexon
