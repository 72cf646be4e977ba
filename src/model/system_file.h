// "new_sys.bin": the controller list, 60-byte records in ascending SysAdr.
#pragma once

#include <string>

#include "model/devices.h"

namespace vexon {

// Adds every record of the file to the list (first of a SysAdr wins).
// False when the file is missing or unreadable.
bool LoadSystemFile(TTKDList& list, const std::string& path);
// Atomic save of every record in list order.
bool SaveSystemFile(const TTKDList& list, const std::string& path);

// Start-up: empties the controller list, loads the file, rebuilds the
// address list and empties the device information list. The caller then
// sets the link's read time-out from the controller count.
bool LoadConfiguration(TDeviceModel& model, const std::string& path);

}  // namespace vexon
