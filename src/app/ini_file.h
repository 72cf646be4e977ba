// The settings file on disk: read whole, telling a missing file from one
// that exists but cannot be read; edited key by key in place; replaced
// atomically with the mode and owner it had.
//
// Editing follows the reader's rules (section and key names compare without
// regard to case, "=" or ":" separates a key from its value, ";" and "#"
// start a comment line, an indented line continues the key above it): a key
// that is present keeps its place and the way it is written up to its value
// ("Left = 300" becomes "Left = 130"), later copies of it in the section are
// dropped so that the reader sees the value written, a key that is missing
// goes after the section's last key, and a missing section goes at the end.
// Every other byte of the file (comments, blank lines, other sections, line
// ends) stays as it was.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vexon {

using TIniKeys = std::vector<std::pair<std::string, std::string>>;

enum class TIniRead { Read, Missing, Unreadable };

// The whole file into `text`. Unreadable: the file exists (or cannot be
// told to be missing) but cannot be read as a whole; `error` names it and
// the reason ("cannot read the settings file /x/y.ini: Permission denied").
// More than 4 MiB is no settings file and counts as unreadable.
TIniRead ReadIniFile(const std::string& path, std::string& text, std::string& error);

// `text` with `keys` set in `section` as described above.
std::string SetIniKeys(const std::string& text, const std::string& section, const TIniKeys& keys);

// Writes `text` to a temporary file beside `path` (beside the file a
// symbolic link points to, which stays a link) that gets the mode and owner
// of the file it replaces (0600 for a new file: it may hold the RPC token)
// before anything is written to it, flushes it to disk and renames it over
// the file. On any failure the file stays as it was and `error` says why.
bool ReplaceIniFile(const std::string& path, const std::string& text, std::string& error);

}  // namespace vexon
