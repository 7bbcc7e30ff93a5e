// The SVG of a capture, laid out like an oscilloscope printout: a title, one column of panels
// on a shared time axis, ticks and a grid on both axes, each panel's channel and unit.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "cli/plot_data.h"

namespace vexdaq_cli {

namespace {

constexpr int kLeft = 130;  // channel name, unit and y tick labels
constexpr int kRight = 24;
constexpr int kTop = 64;  // two title lines and the top time labels
constexpr int kGap = 10;
constexpr int kBottom = 58;
constexpr const char *kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e",
                                    "#9467bd", "#8c564b", "#e377c2", "#17becf"};

std::string escaped(const std::string &text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Panels get shorter as channels are added, down to what still shows a waveform and three
// labelled ticks: 64 channels make a tall page, not an unreadable one.
int panel_height(size_t channels) {
  if (channels <= 2) return 220;
  if (channels <= 4) return 170;
  if (channels <= 8) return 120;
  if (channels <= 16) return 90;
  return 64;
}

// A step of 1, 2 or 5 times a power of ten that gives about `target` intervals over `span`.
double nice_step(double span, int target) {
  const double raw = span / std::max(target, 1);
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  const double f = raw / magnitude;
  return (f < 1.5 ? 1 : f < 3 ? 2 : f < 7 ? 5 : 10) * magnitude;
}

std::vector<double> ticks(double lo, double hi, int target, double *step_out) {
  const double step = nice_step(hi - lo, target);
  std::vector<double> at;
  for (double t = std::ceil(lo / step - 1e-9) * step; t <= hi + step * 1e-9; t += step) {
    at.push_back(std::abs(t) < step * 1e-9 ? 0.0 : t);
  }
  *step_out = step;
  return at;
}

std::string tick_label(double value, double step) {
  char text[32];
  if (std::abs(value) >= 1e6 || (step < 1e-4 && value != 0)) {
    std::snprintf(text, sizeof text, "%.4g", value);
  } else {
    const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
  }
  return text;
}

}  // namespace

std::string render_svg(const PlotData &data, int width) {
  const size_t n = data.channels.size();
  const size_t frames = data.frames();
  const int ph = panel_height(n);
  const int plot_width = width - kLeft - kRight;
  const int height = kTop + static_cast<int>(n) * (ph + kGap) - kGap + kBottom;
  // The x axis: seconds from a time column or the rate, else sample numbers.
  const bool timed = !data.seconds.empty() || data.rate > 0;
  auto x_of_frame = [&](size_t f) {
    if (!data.seconds.empty()) return data.seconds[std::min(f, data.seconds.size() - 1)];
    return data.rate > 0 ? static_cast<double>(f) / data.rate : static_cast<double>(f);
  };
  const double x0 = frames ? x_of_frame(0) : 0.0;
  double x1 = frames > 1 ? x_of_frame(frames - 1) : x0 + 1.0;
  if (!(x1 > x0)) x1 = x0 + 1.0;
  auto px = [&](double x) { return kLeft + (x - x0) / (x1 - x0) * plot_width; };

  std::ostringstream svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << width << ' ' << height
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  // Title: what, how fast, when.
  std::string title = data.source;
  char line[160];
  std::snprintf(line, sizeof line, " \xE2\x80\x94 %zu channel(s), %zu samples", n, frames);
  title += line;
  if (data.rate > 0) title += " at " + std::to_string(data.rate) + " Hz";
  svg << "<text x=\"" << kLeft << "\" y=\"20\" font-size=\"15\" font-weight=\"bold\">"
      << escaped(title) << "</text>\n";
  svg << "<text x=\"" << kLeft << "\" y=\"38\" fill=\"#444\">"
      << escaped(data.start_time.empty() ? "start time not recorded"
                                         : "started " + data.start_time + " (UTC)")
      << "</text>\n";

  double x_step = 1;
  const auto x_ticks = ticks(x0, x1, std::max(2, plot_width / 110), &x_step);
  const int first_top = kTop;
  const int last_bottom = kTop + static_cast<int>(n) * (ph + kGap) - kGap;
  // Vertical grid through every panel, time labels below the last (and above the first when the
  // page is tall).
  for (double t : x_ticks) {
    const double x = px(t);
    svg << "<line x1=\"" << x << "\" y1=\"" << first_top << "\" x2=\"" << x << "\" y2=\""
        << last_bottom << "\" stroke=\"#e4e4e4\"/>\n";
    const std::string label = tick_label(t, x_step);
    svg << "<line x1=\"" << x << "\" y1=\"" << last_bottom << "\" x2=\"" << x << "\" y2=\""
        << last_bottom + 5 << "\" stroke=\"#333\"/>\n"
        << "<text x=\"" << x << "\" y=\"" << last_bottom + 18 << "\" text-anchor=\"middle\">"
        << label << "</text>\n";
    if (n > 8) {
      svg << "<text x=\"" << x << "\" y=\"" << first_top - 6 << "\" text-anchor=\"middle\">"
          << label << "</text>\n";
    }
  }
  for (size_t c = 0; c < n; ++c) {
    const auto &channel = data.channels[c];
    const auto &values = channel.values;
    const int y0 = kTop + static_cast<int>(c) * (ph + kGap);
    double lo = values.empty() ? -1 : *std::min_element(values.begin(), values.end());
    double hi = values.empty() ? 1 : *std::max_element(values.begin(), values.end());
    if (hi - lo < 1e-12 * std::max(1.0, std::abs(hi))) {
      const double pad = std::max(1.0, std::abs(hi) * 0.1);
      lo -= pad;
      hi += pad;
    }
    const double margin = (hi - lo) * 0.06;  // the trace does not touch the frame
    lo -= margin;
    hi += margin;
    auto py = [&](double v) { return y0 + ph - (v - lo) / (hi - lo) * ph; };
    double y_step = 1;
    const auto y_ticks = ticks(lo, hi, std::max(2, ph / 28), &y_step);
    for (double v : y_ticks) {
      const double y = py(v);
      svg << "<line x1=\"" << kLeft << "\" y1=\"" << y << "\" x2=\"" << kLeft + plot_width
          << "\" y2=\"" << y << "\" stroke=\"" << (v == 0 ? "#bbb" : "#e4e4e4") << "\"/>\n"
          << "<line x1=\"" << kLeft - 4 << "\" y1=\"" << y << "\" x2=\"" << kLeft << "\" y2=\"" << y
          << "\" stroke=\"#333\"/>\n"
          << "<text x=\"" << kLeft - 7 << "\" y=\"" << y + 4 << "\" text-anchor=\"end\""
          << (ph < 80 ? " font-size=\"10\"" : "") << ">" << tick_label(v, y_step) << "</text>\n";
    }
    svg << "<rect x=\"" << kLeft << "\" y=\"" << y0 << "\" width=\"" << plot_width << "\" height=\""
        << ph << "\" fill=\"none\" stroke=\"#555\"/>\n";
    svg << "<text x=\"8\" y=\"" << y0 + ph / 2 - 2 << "\" font-weight=\"bold\">"
        << escaped(channel.name) << "</text>\n"
        << "<text x=\"8\" y=\"" << y0 + ph / 2 + 13 << "\" fill=\"#444\">" << escaped(channel.unit)
        << "</text>\n";
    // Min and max per pixel column keep every peak visible however long the capture is.
    svg << "<polyline fill=\"none\" stroke-width=\"1\" stroke=\"" << kColours[c % 8]
        << "\" points=\"";
    const size_t columns = std::min<size_t>(values.size(), static_cast<size_t>(plot_width));
    for (size_t x = 0; x < columns; ++x) {
      const size_t a = x * values.size() / columns;
      const size_t b = std::max(a + 1, (x + 1) * values.size() / columns);
      const auto [mn, mx] = std::minmax_element(values.begin() + a, values.begin() + b);
      const double at = px(x_of_frame(a));
      svg << at << ',' << py(*mn) << ' ' << at << ',' << py(*mx) << ' ';
    }
    svg << "\"/>\n";
  }
  // The span, first to last sample, and what the axis is.
  const int footer = height - 12;
  char first[40], last[40];
  if (timed) {
    std::snprintf(first, sizeof first, "%.6g s", x0);
    std::snprintf(last, sizeof last, "%.6g s", frames > 1 ? x_of_frame(frames - 1) : x0);
  } else {
    std::snprintf(first, sizeof first, "sample 0");
    std::snprintf(last, sizeof last, "sample %zu", frames ? frames - 1 : 0);
  }
  svg << "<text x=\"" << kLeft << "\" y=\"" << footer << "\" fill=\"#444\">" << first
      << "</text>\n<text x=\"" << kLeft + plot_width / 2 << "\" y=\"" << footer
      << "\" text-anchor=\"middle\">"
      << (timed ? "time (s)"
                : "sample number (give --rate, or record with --time or --csv-header, for "
                  "seconds)")
      << "</text>\n<text x=\"" << kLeft + plot_width << "\" y=\"" << footer
      << "\" text-anchor=\"end\" fill=\"#444\">" << last << "</text>\n";
  svg << "</svg>\n";
  return svg.str();
}

}  // namespace vexdaq_cli
