// Helpers shared by the test suites.
#pragma once

#include <cstdint>
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

// What the virtual instrument `sim` traced since the last call, one line each: the control
// requests it received, or with `driver_calls` the driver calls made on it. An id it does not
// know fails the test.
std::string take_sim_trace(int32_t sim, bool driver_calls = false);

// How often `what` occurs in `text`, overlapping occurrences included.
int count_of(const std::string &text, const std::string &what);

}  // namespace vexdaq::testing
