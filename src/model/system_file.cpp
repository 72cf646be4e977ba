#include "model/system_file.h"

#include "model/record_file.h"

namespace vexon {

bool LoadSystemFile(TTKDList& list, const std::string& path) {
  return ReadRecordFile(path, kControllerRecordSize, [&](const uint8_t* rec) { list.Add(DecodeRecord(rec)); });
}

bool SaveSystemFile(const TTKDList& list, const std::string& path) {
  const auto records = list.Snapshot();
  std::vector<uint8_t> bytes(records.size() * kControllerRecordSize);
  for (size_t i = 0; i < records.size(); ++i) EncodeRecord(records[i], bytes.data() + i * kControllerRecordSize);
  return AtomicWriteFile(path, bytes);
}

bool LoadConfiguration(TDeviceModel& model, const std::string& path) {
  model.Controllers.Clear();
  const bool ok = LoadSystemFile(model.Controllers, path);
  model.BuildAddressList();
  model.DeviceInfo.Clear();
  return ok;
}

}  // namespace vexon
