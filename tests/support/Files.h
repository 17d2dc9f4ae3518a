// Whole files in and out, byte for byte, for tests that check what the server writes and reads,
// and fresh directories to keep them in.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace quorvane::test {

// The file's bytes; empty when it cannot be read.
inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Replaces the file's content with `content`.
inline void writeFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// Creates a fresh directory under the system's temporary one, named after `purpose`; the caller
// removes it.
inline std::filesystem::path makeTempDirectory(const std::string& purpose) {
  const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("quorvane-" + purpose + "-" + std::to_string(std::random_device()()) + "-" +
       std::to_string(ticks));
  std::filesystem::create_directories(dir);
  return dir;
}

}  // namespace quorvane::test
