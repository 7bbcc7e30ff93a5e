#include "support/test_support.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace vexdaq::testing {

std::vector<std::filesystem::path> log_files() {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto &entry : std::filesystem::directory_iterator("log", ec)) {
    files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string read_log() {
  const auto files = log_files();
  if (files.empty()) return {};
  std::ifstream in(files.back(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace vexdaq::testing
