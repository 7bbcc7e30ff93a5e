#include "session/log.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>

namespace vexdaq {

namespace {

// Guards the log stream against a log_open or log_close on one thread while another thread
// writes; it is the log's own and is never held while waiting for anything else.
std::mutex g_log_mutex;
std::FILE *g_log_file = nullptr;  // guarded by g_log_mutex

std::string local_time(const char *pattern) {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
#if defined(_WIN32)
  localtime_s(&parts, &now);
#else
  localtime_r(&now, &parts);
#endif
  char text[32];
  const size_t n = std::strftime(text, sizeof text, pattern, &parts);
  return std::string(text, n);
}

// Writes text with every LF expanded to CR LF.
void write_translated(std::FILE *file, const std::string &text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  std::fwrite(out.data(), 1, out.size(), file);
}

int32_t print_locked(int32_t level, const char *format, std::initializer_list<FormatArg> args) {
  if (g_log_file == nullptr) return -1;
  std::string text;
  if (level == 1) text = local_time("%Y%m%d%H%M%S - ");
  format_into(text, format, args);
  write_translated(g_log_file, text);
  std::fflush(g_log_file);
  return 0;
}

}  // namespace

void log_open() {
  const std::string stamp = local_time("%Y%m%d%H%M%S");
  std::error_code ignored;
  std::filesystem::create_directory("log", ignored);
  // Two opens within one second must not share a file: "wb" would wipe the first one's log
  // (a session still running, or one that has just ended).
  char name[260];
  std::snprintf(name, sizeof name, "log/usbio_%s.txt", stamp.c_str());
  for (int n = 2; n < 1000 && std::filesystem::exists(name, ignored); ++n) {
    std::snprintf(name, sizeof name, "log/usbio_%s_%d.txt", stamp.c_str(), n);
  }
  std::lock_guard lock(g_log_mutex);
  if (g_log_file != nullptr) std::fclose(g_log_file);
  // Binary mode: the line ends are translated here, identically on every platform.
  g_log_file = std::fopen(name, "wb");
  print_locked(1, "Build at : %s %s; BULK Transfers\r\n", {build_date(), build_time()});
}

void log_close() {
  std::lock_guard lock(g_log_mutex);
  if (g_log_file != nullptr) std::fclose(g_log_file);
  g_log_file = nullptr;
}

void log_close_unless_busy() {
  std::unique_lock lock(g_log_mutex, std::try_to_lock);
  if (!lock.owns_lock()) return;
  if (g_log_file != nullptr) std::fclose(g_log_file);
  g_log_file = nullptr;
}

bool log_is_open() {
  std::lock_guard lock(g_log_mutex);
  return g_log_file != nullptr;
}

int32_t log_print_args(int32_t level, const char *format, std::initializer_list<FormatArg> args) {
  std::lock_guard lock(g_log_mutex);
  return print_locked(level, format, args);
}

}  // namespace vexdaq
