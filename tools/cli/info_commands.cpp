// vexdaq list and vexdaq info.
#include <cstdio>
#include <string>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "vexdaq/vexdaq.h"

namespace vexdaq_cli {

namespace {

std::string text_of(int32_t (*query)(char *, int32_t)) {
  char buffer[128] = {};
  return query(buffer, sizeof buffer) >= 0 ? buffer : "?";
}

std::string device_name() {
  char buffer[32] = {};
  return vexdaq_get_device_name(buffer) >= 0 ? buffer : "?";
}

std::string rates_text(const std::vector<int32_t> &rates) {
  std::string text;
  for (int32_t r : rates) text += (text.empty() ? "" : " ") + std::to_string(r);
  return text.empty() ? "(none)" : text;
}

}  // namespace

void add_list_command(CLI::App &app, const GlobalOptions &global) {
  auto *cmd = app.add_subcommand("list", "List the connected instruments");
  cmd->callback([&global] {
    SimPlug plug(global);
    const int32_t count = vexdaq_device_list();
    if (count < 0) throw CliError(kExitFailure, "the instruments cannot be listed");
    std::printf("%d instrument(s)\n", count);
    for (int32_t i = 0; i < count; ++i) {
      if (vexdaq_device_open(i) != 0) {
        std::printf("%d: (in use or not reachable)\n", i);
        continue;
      }
      std::printf("%d: %s, version %s\n", i, device_name().c_str(),
                  text_of(vexdaq_get_device_version).c_str());
      vexdaq_device_close();
    }
    throw CliExit(count > 0 ? kExitOk : kExitNoDevice);
  });
}

void add_info_command(CLI::App &app, const GlobalOptions &global) {
  auto *cmd = app.add_subcommand("info", "Describe the instrument: versions, channels, rates");
  cmd->callback([&global] {
    Session session(global);
    std::printf("product          %s\n", device_name().c_str());
    std::printf("device version   %s\n", text_of(vexdaq_get_device_version).c_str());
    std::printf("driver version   %s\n", text_of(vexdaq_get_driver_version).c_str());
    std::printf("library          %s (built %s)\n", text_of(vexdaq_get_version).c_str(),
                text_of(vexdaq_get_information).c_str());
    std::printf("input channels   %d of %d bits\n", session.in_channels(),
                8 * session.in_sample_bytes());
    std::printf("output channels  %d of %d bits\n", session.out_channels(),
                8 * session.out_sample_bytes());
    std::printf("input rates      %s\n", rates_text(session.supported_rates(true)).c_str());
    std::printf("output rates     %s\n", rates_text(session.supported_rates(false)).c_str());
    int32_t out_rate = 0, in_rate = 0;
    if (vexdaq_get_sample_rate(&out_rate, &in_rate) == 0) {
      std::printf("current rates    %d in, %d out\n", in_rate, out_rate);
    }
    throw CliExit(kExitOk);
  });
}

}  // namespace vexdaq_cli
