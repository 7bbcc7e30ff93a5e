// vexdaq panel: a live test panel in the browser, served on loopback by default.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "acquisition/acquisition.h"
#include "cli/channels.h"
#include "cli/cli_error.h"
#include "cli/commands.h"
#include "server/access_policy.h"
#include "server/client_hub.h"
#include "server/panel_server.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"

#ifndef VEXDAQ_PANEL_ASSETS_BUILD
#define VEXDAQ_PANEL_ASSETS_BUILD ""
#endif
#ifndef VEXDAQ_PANEL_ASSETS_INSTALL
#define VEXDAQ_PANEL_ASSETS_INSTALL ""
#endif

namespace vexdaq_cli {

namespace {

struct PanelOptions {
  int port = 8765;
  std::string listen;
  std::string assets;
  std::string record_dir = ".";
  std::string channels = "all";
  int32_t rate = 0;
};

std::string text_of(int32_t (*query)(char *, int32_t)) {
  char buffer[128] = {};
  return query(buffer, sizeof buffer) >= 0 ? buffer : "";
}

// The installed assets beside the installed tool, else the build tree's.
std::string find_assets(const std::string &given) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!given.empty()) {
    if (!fs::exists(fs::path(given) / "index.html", ec))
      throw CliError(kExitUsage, "no index.html in '" + given + "'");
    return given;
  }
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const fs::path installed = exe.parent_path().parent_path() / "share" / "vexdaq" / "panel";
    if (fs::exists(installed / "index.html", ec)) return installed.string();
  }
  for (const char *dir : {VEXDAQ_PANEL_ASSETS_INSTALL, VEXDAQ_PANEL_ASSETS_BUILD}) {
    if (*dir != '\0' && fs::exists(fs::path(dir) / "index.html", ec)) return dir;
  }
  throw CliError(kExitFailure, "the panel's page is not installed (no index.html found)");
}

int run_panel(const GlobalOptions &global, const PanelOptions &o) {
  const std::string address = o.listen.empty() ? "127.0.0.1" : o.listen;
  if (o.port < 0 || o.port > 65535) throw CliError(kExitUsage, "the port lies in 0 .. 65535");
  const std::string assets = find_assets(o.assets);
  std::error_code ec;
  if (!std::filesystem::is_directory(o.record_dir, ec))
    throw CliError(kExitUsage, "the recording folder '" + o.record_dir + "' does not exist");

  // SIGINT and SIGTERM are taken by this thread alone, with sigwait: every thread started from
  // here on (the library's, civetweb's, the panel's) inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  Session session(global);
  const int32_t devices = vexdaq_device_list();
  vexdaq_panel::DeviceCard card;
  char name[32] = {};
  if (vexdaq_get_device_name(name) >= 0) card.product = name;
  card.device_version = text_of(vexdaq_get_device_version);
  card.driver_version = text_of(vexdaq_get_driver_version);
  card.library_version = text_of(vexdaq_get_version);
  card.library_build = text_of(vexdaq_get_information);
  card.sim_id = session.sim_id();
  card.in_channels = session.in_channels();
  card.out_channels = session.out_channels();
  card.in_bits = session.in_sample_bytes() * 8;
  card.out_bits = session.out_sample_bytes() * 8;
  card.in_rates = session.supported_rates(true);
  card.out_rates = session.supported_rates(false);
  card.doctor = "ok: " + std::to_string(devices) + " instrument(s) found; instrument " +
                std::to_string(global.device) + " opens" + (global.sim ? " (virtual)" : "");
  if (card.in_bits != 16 && card.in_bits != 24 && card.in_bits != 32)
    throw CliError(kExitFailure, "the instrument reports " + std::to_string(card.in_bits) +
                                     "-bit input samples, which the panel cannot show");

  const std::vector<int> channels =
      card.in_channels > 0 ? parse_channels(o.channels, card.in_channels) : std::vector<int>{};
  int32_t rate = o.rate;
  if (rate == 0) {
    int32_t out_rate = 0;
    check(vexdaq_get_sample_rate(&out_rate, &rate), "reading the sample rate");
  }
  if (card.in_channels > 0 && vexdaq_can_sample_rate(rate, 1) != 0)
    throw CliError(kExitUsage, "unsupported input rate " + std::to_string(rate) + " Hz");
  vexdaq_reset_loss_counters();

  vexdaq_panel::ClientHub hub;
  vexdaq_panel::Acquisition acquisition(card, hub, o.record_dir, rate, channels);
  vexdaq_panel::ServerOptions server_options;
  server_options.address = address;
  server_options.port = o.port;
  server_options.assets = assets;
  server_options.sim_id = session.sim_id();
  vexdaq_panel::PanelServer server(acquisition, hub, server_options);
  const std::string url = server.start();
  acquisition.start();
  std::printf("vexdaq panel: open %s (Ctrl-C ends it)\n", url.c_str());
  std::fflush(stdout);

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  // The page's clients go first, then the acquisition finishes a recording still open.
  server.stop();
  acquisition.stop();
  std::printf("vexdaq panel: stopped\n");
  return kExitOk;
}

}  // namespace

void add_panel_command(CLI::App &app, const GlobalOptions &global) {
  auto o = std::make_shared<PanelOptions>();
  auto *cmd = app.add_subcommand("panel", "Serve a live test panel to a browser");
  cmd->add_option("--port", o->port, "TCP port (0: any free one)")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  cmd->add_option("--listen", o->listen,
                  "Listen on this address instead of 127.0.0.1 (the URL then carries a token)");
  cmd->add_option("--assets", o->assets, "Folder of the page's files (default: installed ones)");
  cmd->add_option("--record-dir", o->record_dir, "Folder of recordings")->capture_default_str();
  cmd->add_option("-c,--channels", o->channels, "Input channels to start with: all, 0-3,6 ...")
      ->capture_default_str();
  cmd->add_option("-r,--rate", o->rate, "Input sample rate in Hz (default: current)");
  cmd->callback([&global, o] { throw CliExit(run_panel(global, *o)); });
}

}  // namespace vexdaq_cli
