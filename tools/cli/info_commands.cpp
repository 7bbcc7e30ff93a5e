// vexdaq list and vexdaq info, as text or (--json) as one JSON document on standard output.
#include <cstdio>
#include <nlohmann/json.hpp>
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

// The library does not yet tell a program the serial number or the USB path of an open
// instrument: both are null until it does, so that a script can test for them.
nlohmann::json identity(int index) {
  return {{"index", index},
          {"product", device_name()},
          {"device_version", text_of(vexdaq_get_device_version)},
          {"serial", nullptr},
          {"usb_path", nullptr}};
}

void print_json(const nlohmann::json &document) {
  std::printf("%s\n", document.dump(2).c_str());
}

}  // namespace

void add_list_command(CLI::App &app, const GlobalOptions &global) {
  auto *cmd = app.add_subcommand("list", "List the connected instruments");
  auto json = std::make_shared<bool>(false);
  cmd->add_flag("--json", *json, "One JSON document: {\"count\": N, \"instruments\": [...]}");
  cmd->callback([&global, json] {
    SimPlug plug(global);
    const int32_t count = vexdaq_device_list();
    if (count < 0) throw CliError(kExitFailure, "the instruments cannot be listed");
    nlohmann::json instruments = nlohmann::json::array();
    if (!*json) std::printf("%d instrument(s)\n", count);
    for (int32_t i = 0; i < count; ++i) {
      if (vexdaq_device_open(i) != 0) {
        if (*json) {
          instruments.push_back({{"index", i}, {"error", "in use or not reachable"}});
        } else {
          std::printf("%d: (in use or not reachable)\n", i);
        }
        continue;
      }
      if (*json) {
        instruments.push_back(identity(i));
      } else {
        std::printf("%d: %s, version %s\n", i, device_name().c_str(),
                    text_of(vexdaq_get_device_version).c_str());
      }
      vexdaq_device_close();
    }
    if (*json) print_json({{"count", count}, {"instruments", instruments}});
    throw CliExit(count > 0 ? kExitOk : kExitNoDevice);
  });
}

void add_info_command(CLI::App &app, const GlobalOptions &global) {
  auto *cmd = app.add_subcommand("info", "Describe the instrument: versions, channels, rates");
  auto json = std::make_shared<bool>(false);
  cmd->add_flag("--json", *json, "One JSON object instead of text");
  cmd->callback([&global, json] {
    Session session(global);
    int32_t out_rate = 0, in_rate = 0;
    const bool have_rates = vexdaq_get_sample_rate(&out_rate, &in_rate) == 0;
    if (*json) {
      nlohmann::json document = identity(global.device);
      document["driver_version"] = text_of(vexdaq_get_driver_version);
      document["library_version"] = text_of(vexdaq_get_version);
      document["library_build"] = text_of(vexdaq_get_information);
      document["input"] = {{"channels", session.in_channels()},
                           {"sample_bits", 8 * session.in_sample_bytes()},
                           {"rates", session.supported_rates(true)},
                           {"rate", have_rates ? nlohmann::json(in_rate) : nullptr}};
      document["output"] = {{"channels", session.out_channels()},
                            {"sample_bits", 8 * session.out_sample_bytes()},
                            {"rates", session.supported_rates(false)},
                            {"rate", have_rates ? nlohmann::json(out_rate) : nullptr}};
      document["log_directory"] = log_directory();
      print_json(document);
      throw CliExit(kExitOk);
    }
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
    if (have_rates) std::printf("current rates    %d in, %d out\n", in_rate, out_rate);
    throw CliExit(kExitOk);
  });
}

}  // namespace vexdaq_cli
