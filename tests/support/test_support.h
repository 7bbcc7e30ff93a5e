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

// A message as it stands in the log file: every line feed is written as CR LF.
std::string as_logged(const std::string &message);

// Whether the log holds the message as written (see as_logged).
bool log_has(const std::string &message);

// How often `what` occurs in `text`, overlapping occurrences included.
int count_of(const std::string &text, const std::string &what);

}  // namespace vexdaq::testing
