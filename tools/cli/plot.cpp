// vexdaq plot: renders a CSV capture as an SVG, one panel per channel.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_error.h"
#include "cli/commands.h"

namespace vexdaq_cli {

namespace {

struct Capture {
  std::vector<std::string> names;
  std::vector<std::vector<double>> columns;
  std::vector<double> seconds;  // the time_s column of 'vexdaq acquire --time', else empty
};

// The time column 'vexdaq acquire --time' writes first.
constexpr const char *kTimeColumn = "time_s";

Capture read_csv(const std::string &path) {
  std::ifstream in(path);
  if (!in) throw CliError(kExitUsage, "cannot open '" + path + "'");
  Capture capture;
  std::string line;
  if (!std::getline(in, line)) throw CliError(kExitFailure, "'" + path + "' is empty");
  std::stringstream header(line);
  for (std::string name; std::getline(header, name, ',');) capture.names.push_back(name);
  capture.columns.resize(capture.names.size());
  size_t row = 1;
  while (std::getline(in, line)) {
    ++row;
    std::stringstream cells(line);
    size_t c = 0;
    for (std::string cell; std::getline(cells, cell, ','); ++c) {
      if (c >= capture.columns.size()) break;
      try {
        capture.columns[c].push_back(std::stod(cell));
      } catch (const std::exception &) {
        throw CliError(kExitFailure, path + ":" + std::to_string(row) + ": not a number: " + cell);
      }
    }
  }
  if (!capture.names.empty() && capture.names.front() == kTimeColumn) {
    capture.seconds = std::move(capture.columns.front());
    capture.names.erase(capture.names.begin());
    capture.columns.erase(capture.columns.begin());
  }
  return capture;
}

// Seconds for the x axis: from the time column, else from the rate given (sample n at n / rate).
void fill_seconds(Capture &capture, int32_t rate) {
  if (!capture.seconds.empty() || rate <= 0 || capture.columns.empty()) return;
  capture.seconds.resize(capture.columns.front().size());
  for (size_t n = 0; n < capture.seconds.size(); ++n) {
    capture.seconds[n] = static_cast<double>(n) / rate;
  }
}

// Samples are integers: print them whole, not in exponent form.
std::string axis_label(double v) {
  char text[32];
  std::snprintf(text, sizeof text, v == std::floor(v) ? "%.0f" : "%.3g", v);
  return text;
}

std::string svg_for(const Capture &capture, int width, int panel_height) {
  const int left = 90, right = 20, top = 24, gap = 34;
  const int plot_width = width - left - right;
  const int height = top + static_cast<int>(capture.columns.size()) * (panel_height + gap);
  std::ostringstream svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << width << ' ' << height << "\" font-family=\"sans-serif\" "
      << "font-size=\"12\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  static const char *colours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e",
                                  "#9467bd", "#8c564b", "#e377c2", "#17becf"};
  for (size_t c = 0; c < capture.columns.size(); ++c) {
    const auto &values = capture.columns[c];
    const int y0 = top + static_cast<int>(c) * (panel_height + gap);
    double lo = values.empty() ? 0 : *std::min_element(values.begin(), values.end());
    double hi = values.empty() ? 1 : *std::max_element(values.begin(), values.end());
    if (hi == lo) {
      hi += 1;
      lo -= 1;
    }
    svg << "<rect x=\"" << left << "\" y=\"" << y0 << "\" width=\"" << plot_width << "\" height=\""
        << panel_height << "\" fill=\"none\" stroke=\"#888\"/>\n";
    svg << "<text x=\"" << left << "\" y=\"" << y0 - 6 << "\" font-weight=\"bold\">"
        << capture.names[c] << "</text>\n";
    svg << "<text x=\"" << left - 4 << "\" y=\"" << y0 + 10 << "\" text-anchor=\"end\">"
        << axis_label(hi) << "</text>\n<text x=\"" << left - 4 << "\" y=\"" << y0 + panel_height
        << "\" text-anchor=\"end\">" << axis_label(lo) << "</text>\n";
    // Min and max per pixel column keep every peak visible however long the capture is.
    svg << "<polyline fill=\"none\" stroke-width=\"1\" stroke=\"" << colours[c % 8]
        << "\" points=\"";
    const size_t n = values.size();
    const size_t columns = std::min<size_t>(n, static_cast<size_t>(plot_width));
    for (size_t x = 0; x < columns; ++x) {
      const size_t a = x * n / columns;
      const size_t b = std::max(a + 1, (x + 1) * n / columns);
      const auto [mn, mx] = std::minmax_element(values.begin() + a, values.begin() + b);
      const double px = left + (columns > 1 ? x * (plot_width - 1.0) / (columns - 1) : 0.0);
      for (double v : {*mn, *mx}) {
        const double py = y0 + panel_height - (v - lo) / (hi - lo) * panel_height;
        svg << px << ',' << py << ' ';
      }
    }
    svg << "\"/>\n";
  }
  const size_t samples = capture.columns.empty() ? 0 : capture.columns[0].size();
  if (!capture.seconds.empty()) {
    // The panels span the first to the last sample's time.
    char first[32], last[32];
    std::snprintf(first, sizeof first, "%.6g s", capture.seconds.front());
    std::snprintf(last, sizeof last, "%.6g s", capture.seconds.back());
    svg << "<text x=\"" << left << "\" y=\"" << height - 6 << "\">" << first << "</text>\n";
    svg << "<text x=\"" << left + plot_width / 2 << "\" y=\"" << height - 6
        << "\" text-anchor=\"middle\">time (s), " << samples << " samples</text>\n";
    svg << "<text x=\"" << width - right << "\" y=\"" << height - 6 << "\" text-anchor=\"end\">"
        << last << "</text>\n";
  } else {
    svg << "<text x=\"" << left << "\" y=\"" << height - 6 << "\">" << samples
        << " samples (give --rate or record with 'acquire --time' for seconds)</text>\n";
  }
  svg << "</svg>\n";
  return svg.str();
}

}  // namespace

void add_plot_command(CLI::App &app) {
  auto input = std::make_shared<std::string>();
  auto output = std::make_shared<std::string>("capture.svg");
  auto width = std::make_shared<int>(1000);
  auto rate = std::make_shared<int32_t>(0);
  auto *cmd = app.add_subcommand("plot", "Render a CSV capture as an SVG");
  cmd->add_option("capture", *input, "CSV file written by 'vexdaq acquire'")->required();
  cmd->add_option("-o,--output", *output, "SVG file")->capture_default_str();
  cmd->add_option("--width", *width, "Width in pixels")->check(CLI::Range(200, 10000));
  cmd->add_option("-r,--rate", *rate,
                  "Sample rate in Hz, for an x axis in seconds (not needed with a time_s column)")
      ->check(CLI::Range(1, 100000000));
  cmd->callback([input, output, width, rate] {
    Capture capture = read_csv(*input);
    fill_seconds(capture, *rate);
    std::ofstream out(*output);
    out << svg_for(capture, *width, 160);
    if (!out) throw CliError(kExitFailure, "cannot write '" + *output + "'");
    std::printf("%s: %zu channel(s)\n", output->c_str(), capture.columns.size());
    throw CliExit(kExitOk);
  });
}

}  // namespace vexdaq_cli
