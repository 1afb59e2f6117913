// File helpers shared by the tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// The whole content of a file, bytes as they are; empty when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}
