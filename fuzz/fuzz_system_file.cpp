// libFuzzer: loading "new_sys.bin" (the controller list, 60-byte records).
// Any file content loads without crashing.
//
// Checked after every input: no more controllers than whole records; the
// address list has one entry per controller; every controller can be read
// through the operations' lookups; a save of what was loaded, loaded again
// and saved again, gives the same bytes (nothing is lost or changed by a
// restart once the file has been written by the server).
#include "fuzz_util.h"
#include "model/system_file.h"
#include "util/log.h"

using namespace vexon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path dir = [] {
    spdlog::set_level(spdlog::level::off);
    return fuzz::ScratchDir("sysfile");
  }();
  const std::filesystem::path in = dir / "new_sys.bin", first = dir / "first.bin", second = dir / "second.bin";
  fuzz::WriteFileBytes(in, data, size);

  TDeviceModel model;
  FUZZ_CHECK(LoadConfiguration(model, in.string()));
  const size_t count = model.Controllers.Count();
  FUZZ_CHECK(count <= size / 60);
  FUZZ_CHECK(model.Addresses.Count() == count);
  for (size_t i = 1; i <= count; ++i) {
    TControllerInfo info;
    FUZZ_CHECK(model.GetControllerInfo(static_cast<int32_t>(i), info) == 0);
    FUZZ_CHECK(model.Addresses.FindSysAdr(info.MakeAdr) >= 0 || info.MakeAdr == 0);
    TControllerUSCS uscs;
    FUZZ_CHECK(model.GetControllerUSCS(static_cast<int32_t>(i), uscs) == 0);
  }
  FUZZ_CHECK(SaveSystemFile(model.Controllers, first.string()));
  TDeviceModel again;
  FUZZ_CHECK(LoadConfiguration(again, first.string()));
  FUZZ_CHECK(again.Controllers.Count() == count);
  FUZZ_CHECK(SaveSystemFile(again.Controllers, second.string()));
  FUZZ_CHECK(fuzz::ReadFileBytes(first) == fuzz::ReadFileBytes(second));
  return 0;
}
