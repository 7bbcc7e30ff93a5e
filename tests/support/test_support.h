// Helpers shared by the test suites.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vexdaq::testing {

// The log files under log/ of the current (per-test) directory, oldest name first.
std::vector<std::filesystem::path> log_files();

// The bytes of the only (or newest) log file; empty when there is none.
std::string read_log();

}  // namespace vexdaq::testing
