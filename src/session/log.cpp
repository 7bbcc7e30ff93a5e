#include "session/log.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

#include "platform/local_time.h"
#include "platform/sync.h"

namespace vexdaq {

namespace {

// Guards the log stream against a log_open or log_close on one thread while another thread
// writes; it is the log's own and is never held while waiting for anything else. Never destroyed
// (as a std::mutex in effect was): a thread or exit handler still logging while the static
// destructors run may take it.
platform::Mutex &g_log_mutex = *new platform::Mutex;
std::FILE *g_log_file GUARDED_BY(g_log_mutex) = nullptr;
std::string g_log_directory GUARDED_BY(g_log_mutex) = kDefaultLogDirectory;

std::string formatted_local_time(const char *pattern) {
  const std::tm parts = platform::local_time(std::time(nullptr));
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

int32_t print_to(std::FILE *file, LogLevel level, const char *format,
                 std::initializer_list<FormatArg> args) {
  if (file == nullptr) return -1;
  std::string text;
  if (level == LogLevel::kEntry) text = formatted_local_time("%Y%m%d%H%M%S - ");
  format_into(text, format, args);
  write_translated(file, text);
  std::fflush(file);
  return 0;
}

// A new log file with its first line, or null when it cannot be created.
std::FILE *create_log_file() {
  const std::string stamp = formatted_local_time("%Y%m%d%H%M%S");
  std::string directory;
  {
    platform::MutexLock lock(g_log_mutex);
    directory = g_log_directory;
  }
  std::error_code ignored;
  std::filesystem::create_directories(directory, ignored);
  // Two opens within one second must not share a file: "wb" would wipe the first one's log
  // (a session still running, or one that has just ended).
  const std::filesystem::path base = std::filesystem::path(directory) / ("usbio_" + stamp);
  std::filesystem::path name = base.string() + ".txt";
  for (int n = 2; n < 1000 && std::filesystem::exists(name, ignored); ++n) {
    name = base.string() + "_" + std::to_string(n) + ".txt";
  }
  // Binary mode: the line ends are translated here, identically on every platform.
  std::FILE *file = std::fopen(name.string().c_str(), "wb");
  if (file != nullptr) {
    print_to(file, LogLevel::kEntry, "Build at : %s %s; BULK Transfers\r\n",
             {build_date(), build_time()});
  }
  return file;
}

}  // namespace

bool set_log_directory(const char *directory) {
  const std::string chosen =
      directory == nullptr || directory[0] == '\0' ? kDefaultLogDirectory : directory;
  if (chosen.size() > kMaxLogDirectoryBytes) return false;
  platform::MutexLock lock(g_log_mutex);
  g_log_directory = chosen;
  return true;
}

void log_open() {
  std::FILE *file = create_log_file();
  platform::MutexLock lock(g_log_mutex);
  if (g_log_file != nullptr) std::fclose(g_log_file);
  g_log_file = file;
}

void log_failed_open(const char *line) {
  if (std::FILE *file = create_log_file()) {
    print_to(file, LogLevel::kEntry, line, {});
    std::fclose(file);
  }
}

void log_close() {
  platform::MutexLock lock(g_log_mutex);
  if (g_log_file != nullptr) std::fclose(g_log_file);
  g_log_file = nullptr;
}

void log_close_unless_busy() {
  if (!g_log_mutex.try_lock()) return;
  if (g_log_file != nullptr) std::fclose(g_log_file);
  g_log_file = nullptr;
  g_log_mutex.unlock();
}

bool log_is_open() {
  platform::MutexLock lock(g_log_mutex);
  return g_log_file != nullptr;
}

int32_t log_print_args(LogLevel level, const char *format, std::initializer_list<FormatArg> args) {
  platform::MutexLock lock(g_log_mutex);
  return print_to(g_log_file, level, format, args);
}

}  // namespace vexdaq
