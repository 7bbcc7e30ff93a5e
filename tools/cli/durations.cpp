#include "cli/durations.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "cli/cli_error.h"

namespace vexdaq_cli {

void check_duration(double seconds) {
  if (!std::isfinite(seconds) || !(seconds > 0)) {
    throw CliError(kExitUsage,
                   "the duration must be positive and finite (Ctrl-C ends a run early)");
  }
  if (seconds > kMaxDurationSeconds) {
    char text[96];
    std::snprintf(text, sizeof text, "the duration must be at most %.0f s", kMaxDurationSeconds);
    throw CliError(kExitUsage, text);
  }
}

int64_t frames_for(double seconds, int32_t rate) {
  check_duration(seconds);
  const auto frames = static_cast<int64_t>(std::llround(seconds * rate));
  if (frames < 1) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "a duration of %g s is shorter than one sample at %d Hz (one lasts %g s)",
                  seconds, rate, 1.0 / rate);
    throw CliError(kExitUsage, text);
  }
  return frames;
}

}  // namespace vexdaq_cli
