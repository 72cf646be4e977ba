// The window's position in the settings file, section "Main Form" (keys
// "Left" and "Top"). Only the position is kept, not the size or the state.
// Writing keeps every other line of the file as it was.
#pragma once

#include <QPoint>
#include <optional>
#include <string>

namespace vexon {

// The stored position, or nothing when the file or either key is missing or
// not a number.
std::optional<QPoint> LoadFormPosition(const std::string& path);
bool SaveFormPosition(const std::string& path, QPoint pos);

}  // namespace vexon
