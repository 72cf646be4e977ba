// libFuzzer: any text handed to the JSON-RPC dispatcher. Checked after every
// input: the answer, when there is one, is well-formed JSON-RPC (see
// rpc_world.h), and the server keeps its state and still answers.
#include "rpc_world.h"

using namespace vexon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::TRpcWorld world;
  TRpcDispatcher d(world.services);
  const auto answer = d.Handle(std::string(reinterpret_cast<const char*>(data), size));
  if (answer) fuzz::TRpcWorld::CheckAnswer(*answer);
  world.CheckAfter(d);
  return 0;
}
