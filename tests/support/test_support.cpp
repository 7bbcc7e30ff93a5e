#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>

#include "support/scratch_directory.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq::testing {

namespace {

class TemporaryDirectoryPerTest : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo &) override { scratch_.emplace(); }
  void OnTestEnd(const ::testing::TestInfo &) override { scratch_.reset(); }

 private:
  std::optional<ScratchDirectory> scratch_;
};

}  // namespace

void run_each_test_in_a_temporary_directory() {
  ::testing::UnitTest::GetInstance()->listeners().Append(new TemporaryDirectoryPerTest);
}

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

std::string as_logged(const std::string &message) {
  std::string out;
  for (char c : message) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

bool log_has(const std::string &message) {
  return read_log().find(as_logged(message)) != std::string::npos;
}

std::string take_sim_trace(int32_t sim, bool driver_calls) {
  const auto take = driver_calls ? vexdaq_sim_driver_trace : vexdaq_sim_trace;
  for (;;) {
    const int32_t length = take(sim, nullptr, 0);
    if (length < 0) {
      ADD_FAILURE() << "no instrument " << sim;
      return "<unknown id>";
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    const int32_t taken = take(sim, text.data(), length + 1);
    // A trace that grew in between is neither copied nor consumed: ask again.
    if (taken >= 0 && taken <= length) {
      text.resize(static_cast<size_t>(taken));
      return text;
    }
  }
}

int count_of(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace vexdaq::testing
