// vexdaq plot: renders a capture (CSV, WAV or HDF5) as an SVG, one panel per channel.
#include <cstdio>
#include <fstream>
#include <string>

#include "cli/channels.h"
#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/plot_data.h"
#include "cli/scaling.h"

namespace vexdaq_cli {

void add_plot_command(CLI::App &app) {
  auto input = std::make_shared<std::string>();
  auto output = std::make_shared<std::string>("capture.svg");
  auto width = std::make_shared<int>(1200);
  auto rate = std::make_shared<int32_t>(0);
  auto channels = std::make_shared<std::string>("all");
  auto scale = std::make_shared<std::string>();
  auto *cmd = app.add_subcommand("plot", "Render a capture (CSV, WAV or HDF5) as an SVG");
  cmd->add_option("capture", *input, "Capture written by 'vexdaq acquire': .csv, .wav, .h5")
      ->required();
  cmd->add_option("-o,--output", *output, "SVG file")->capture_default_str();
  cmd->add_option("--width", *width, "Width in pixels")
      ->check(CLI::Range(400, 10000))
      ->capture_default_str();
  cmd->add_option("-r,--rate", *rate,
                  "Sample rate in Hz, for an x axis in seconds where the capture does not say")
      ->check(CLI::Range(1, 100000000));
  cmd->add_option("-c,--channels", *channels, "Channels to draw: all, 0-3,6 ...")
      ->capture_default_str();
  cmd->add_option("--scale", *scale, "Scale file (JSON) that turns counts into units");
  cmd->callback([input, output, width, rate, channels, scale] {
    // Bad options are refused before a large file is read.
    const auto wanted = *channels == "all" ? std::vector<int>{} : parse_channels(*channels, 64);
    const auto description = scale->empty() ? std::optional<ScaleDescription>{}
                                            : std::optional(load_scale_description(*scale));
    PlotData data = read_plot_data(*input);
    if (!wanted.empty()) select_channels(data, wanted);
    if (description) apply_scales(data, *description);
    if (*rate > 0 && data.seconds.empty()) data.rate = *rate;
    std::ofstream out(*output);
    out << render_svg(data, *width);
    out.close();
    if (!out) throw CliError(kExitFailure, "cannot write '" + *output + "'");
    std::printf("%s: %zu channel(s), %zu samples each\n", output->c_str(), data.channels.size(),
                data.frames());
    throw CliExit(kExitOk);
  });
}

}  // namespace vexdaq_cli
