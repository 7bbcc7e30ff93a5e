// vexdaq panel in a build without its server libraries (civetweb, FFTW, nlohmann-json).
#include "cli/cli_error.h"
#include "cli/commands.h"

namespace vexdaq_cli {

void add_panel_command(CLI::App &app, const GlobalOptions &) {
  auto *cmd =
      app.add_subcommand("panel", "Serve a live test panel to a browser (not in this build)");
  cmd->allow_extras();
  cmd->callback([] {
    throw CliError(kExitUsage,
                   "this build has no panel (it needs libcivetweb-dev, libfftw3-dev and "
                   "nlohmann-json3-dev: scripts/install-deps.sh, then build again)");
  });
}

}  // namespace vexdaq_cli
