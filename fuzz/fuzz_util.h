// Shared by the libFuzzer harnesses: a check that stops the run with a
// crash libFuzzer records (and the input that caused it), and scratch files
// for loaders that only take a path.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#define FUZZ_CHECK(cond)                                                                   \
  do {                                                                                     \
    if (!(cond)) {                                                                         \
      std::fprintf(stderr, "fuzz check failed: %s at %s:%d\n", #cond, __FILE__, __LINE__); \
      __builtin_trap();                                                                    \
    }                                                                                      \
  } while (0)

namespace vexon::fuzz {

// A directory of this process's own, on a memory file system when there is
// one, so that the loaders' fsync costs nothing.
inline std::filesystem::path ScratchDir(const char* name) {
  std::filesystem::path base = std::filesystem::exists("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                                    : std::filesystem::temp_directory_path();
  std::filesystem::path dir = base / ("vexon-fuzz-" + std::string(name) + "-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  return dir;
}

// Replaces `path` with exactly `size` bytes.
inline void WriteFileBytes(const std::filesystem::path& path, const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  if (size) FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
  std::fclose(f);
}

inline std::string ReadFileBytes(const std::filesystem::path& path) {
  std::string out;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  std::fclose(f);
  return out;
}

}  // namespace vexon::fuzz
