// Helpers shared by the test suites.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vexdaq::testing {

// Makes every test case run in a fresh temporary working directory, so the log files a case
// writes under log/ are its own; the directory is removed afterwards. Call once, after
// InitGoogleTest.
void run_each_test_in_a_temporary_directory();

// The log files under log/ of the current (per-test) directory, oldest name first.
std::vector<std::filesystem::path> log_files();

// The bytes of the only (or newest) log file; empty when there is none.
std::string read_log();

}  // namespace vexdaq::testing
