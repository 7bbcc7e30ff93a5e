// vexdaq: the command-line tool over the vexdaq library.
#include <CLI/CLI.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "vexdaq/vexdaq.h"

namespace vexdaq_cli {

namespace {

// Lock-free, so the handler may set it and any thread (generate's recorder) may read it.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void on_interrupt(int) {
  g_interrupted.store(true);
}

}  // namespace

bool interrupted() {
  return g_interrupted.load();
}

void install_interrupt_handler() {
  std::signal(SIGINT, on_interrupt);
  std::signal(SIGTERM, on_interrupt);
}

}  // namespace vexdaq_cli

int main(int argc, char **argv) {
  using namespace vexdaq_cli;
  CLI::App app{"vexdaq: drive a USB data-acquisition instrument"};
  app.require_subcommand(1);
  // Global options are taken after the subcommand too ("vexdaq list --sim").
  app.fallthrough();
  app.set_version_flag("--version", [] {
    char version[64] = {};
    vexdaq_get_version(version, sizeof version);
    return std::string("vexdaq ") + version;
  });
  GlobalOptions global;
  app.add_flag("--sim", global.sim, "Use a virtual instrument instead of hardware");
  app.add_option(
         "--sim-profile", global.sim_profile,
         "Virtual instrument profile, e.g. \"in_channels=4;waveform=counter\" (implies --sim)")
      ->each([&global](const std::string &) { global.sim = true; });
  app.add_option("--device", global.device, "Index of the instrument to open")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--log-dir", global.log_dir,
                 "Directory of the session logs (default: " + default_log_directory() + ")");

  add_list_command(app, global);
  add_info_command(app, global);
  add_acquire_command(app, global);
  add_generate_command(app, global);
  add_aux_commands(app, global);
  add_plot_command(app);
  add_doctor_command(app, global);
  add_panel_command(app, global);
  install_interrupt_handler();

  try {
    app.parse(argc, argv);
  } catch (const CliExit &exit) {
    return exit.code;
  } catch (const CliError &e) {
    std::fprintf(stderr, "vexdaq: %s\n", e.what());
    return e.exit_code();
  } catch (const CLI::ParseError &e) {
    // CLI11 prints help or the message; its own codes (105, 106, ...) are not the tool's.
    const int printed = app.exit(e);
    return printed == 0 ? kExitOk : kExitUsage;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "vexdaq: %s\n", e.what());
    return kExitFailure;
  }
  return kExitOk;
}
