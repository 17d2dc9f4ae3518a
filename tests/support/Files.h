// Whole files in and out, byte for byte, for tests that check what the server writes and reads.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
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

}  // namespace quorvane::test
