// Files of fixed-size records with no header ("new_sys.bin", "cards.bin").
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vexon {

// Writes `bytes` to a temporary file beside `path`, flushes it to disk and
// renames it over `path`. On any failure the previous file stays as it was
// and the result is false. A file that ReadRecordFile found but could not
// read is first moved aside as "<path>.unreadable-<YYYYMMDD-HHMMSS>", so
// the site's data is never replaced by what a failed load left in memory.
bool AtomicWriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

// Removes the temporary files that AtomicWriteFile leaves beside each of
// `paths` when a save is cut short ("<path>.tmpXXXXXX"): they eat the free
// space the registration capacity is computed from. Each is logged. Only
// the owner of the folder may call it: a running save's file looks the same.
void RemoveInterruptedSaves(const std::vector<std::string>& paths);

// Reads every whole record of `recordSize` bytes and hands it to `onRecord`.
// False when the file is missing or cannot be read (records read before an
// error have been handed over); a file that exists but cannot be read whole
// is logged and remembered (see AtomicWriteFile). Trailing bytes that do not
// fill a record are ignored and reported in the log.
bool ReadRecordFile(const std::string& path, size_t recordSize, const std::function<void(const uint8_t*)>& onRecord);

// Whether a load of `path` found it unreadable and it has not been moved
// aside yet.
bool IsMarkedUnreadable(const std::string& path);

}  // namespace vexon
