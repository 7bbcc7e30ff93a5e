// A failure the user can act on: printed as "vexdaq: <message>" with the given exit code.
#pragma once

#include <stdexcept>
#include <string>

namespace vexdaq_cli {

enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,   // the device or the library reported a failure
  kExitUsage = 2,     // bad input on the command line
  kExitNoDevice = 3,  // no instrument found or it could not be opened
  kExitDataLoss = 4,  // the acquisition finished but samples were lost
};

class CliError : public std::runtime_error {
 public:
  CliError(int exit_code, const std::string &message)
      : std::runtime_error(message), exit_code_(exit_code) {}
  int exit_code() const { return exit_code_; }

 private:
  int exit_code_;
};

// Thrown by a subcommand to end the program with a code once its work is done.
struct CliExit {
  int code;
};

}  // namespace vexdaq_cli
