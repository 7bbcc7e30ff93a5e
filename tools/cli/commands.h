// The subcommands. Each registers its options on the application and runs when chosen.
#pragma once

#include <CLI/CLI.hpp>

#include "cli/session.h"

namespace vexdaq_cli {

void add_list_command(CLI::App &app, const GlobalOptions &global);
void add_info_command(CLI::App &app, const GlobalOptions &global);
void add_acquire_command(CLI::App &app, const GlobalOptions &global);
void add_generate_command(CLI::App &app, const GlobalOptions &global);
void add_aux_commands(CLI::App &app, const GlobalOptions &global);
void add_plot_command(CLI::App &app);
void add_doctor_command(CLI::App &app, const GlobalOptions &global);
// tools/panel/: the browser panel (or a stand-in saying the build has none).
void add_panel_command(CLI::App &app, const GlobalOptions &global);

// Set by SIGINT/SIGTERM; long-running commands finish their file and stop.
bool interrupted();
void install_interrupt_handler();

}  // namespace vexdaq_cli
