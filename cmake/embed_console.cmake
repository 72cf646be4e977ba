# Turns the web console's files into a C++ source (run at build time):
#   cmake -DOUT=console_files.cpp -DMANIFEST=files.txt -P embed_console.cmake
# MANIFEST holds one file a line: "SOURCE|URL PATH|CACHE-CONTROL";
# the content type follows the extension.
file(STRINGS "${MANIFEST}" entries)
set(data "")
set(table "")
set(n 0)
foreach(entry IN LISTS entries)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 source)
  list(GET fields 1 url)
  list(GET fields 2 cache)
  get_filename_component(ext "${source}" LAST_EXT)
  if(ext STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(ext STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(ext STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(ext STREQUAL ".svg")
    set(type "image/svg+xml")
  else()
    message(FATAL_ERROR "no content type for ${source}")
  endif()
  file(READ "${source}" hex HEX)
  file(SHA256 "${source}" sum)
  string(SUBSTRING "${sum}" 0 20 tag)
  string(LENGTH "${hex}" hexLength)
  math(EXPR size "${hexLength} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND data "const char kFile${n}[] = {${bytes}0};\n")
  string(APPEND table "    {\"${url}\", \"${type}\", \"${cache}\", \"\\\"${tag}\\\"\", {kFile${n}, ${size}}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE "${OUT}.new" "// Made by cmake/embed_console.cmake from the console's files; do not edit.
#include \"rpc/console_files.h\"

namespace vexon {
namespace {
${data}
const TConsoleFile kFiles[] = {
${table}};
}  // namespace

std::span<const TConsoleFile> ConsoleFiles() { return kFiles; }

}  // namespace vexon
")
file(RENAME "${OUT}.new" "${OUT}")
