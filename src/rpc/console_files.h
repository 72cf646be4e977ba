// The web console's page and assets, compiled into the program at build
// time (src/console/ and Debian's Chart.js; see cmake/embed_console.cmake).
#pragma once

#include <span>
#include <string_view>

namespace vexon {

struct TConsoleFile {
  std::string_view Path;          // "/", "/console/app.js"
  std::string_view Type;          // Content-Type
  std::string_view CacheControl;  // fits the file: our own files revalidate, the library is kept a day
  std::string_view ETag;          // "\"<sha256 prefix>\""
  std::string_view Body;
};

std::span<const TConsoleFile> ConsoleFiles();

}  // namespace vexon
