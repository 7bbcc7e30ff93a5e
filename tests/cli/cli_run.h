// Running the vexdaq tool from a test, as a user would from a shell.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace vexdaq_cli_test {

struct CliRun {
  int exit_code;
  std::string output;  // stdout and stderr together
};

// The per-user state directory is the test's own working directory, so that the session logs
// stay in the test's scratch directory.
inline CliRun run(const std::string &arguments) {
  const std::string command =
      "XDG_STATE_HOME=\"$PWD/state\" " + std::string(VEXDAQ_CLI) + " " + arguments + " 2>&1";
  CliRun result{-1, {}};
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

inline bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

}  // namespace vexdaq_cli_test
