// Whole-file writing and reading for the server fixtures' configuration and
// log files. writeTextFile replaces the file and reports whether every byte
// was written; readTextFile gives "" for a file that cannot be read. Any
// thread.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace quellsig::testing {

inline bool writeTextFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

inline std::string readTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace quellsig::testing
