// The diagnostic log: one text file per session, "log/usbio_<YYYYmmddHHMMSS>.txt" under the
// current directory unless the application chose another directory. Purely diagnostic: no result of
// the library depends on it.
//
// Every line feed is written as CR LF on every platform, so a message ending "\r\n" ends
// CR CR LF in the file, exactly as a text-mode stream on the library's first platform wrote it.
// log_print may be called from any thread, also while the caller holds a library lock: it takes
// only the log's own mutex, never a library lock. The prefix and the message of one entry are
// written together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "session/format.h"

namespace vexdaq {

inline constexpr const char *kDefaultLogDirectory = "log";
inline constexpr size_t kMaxLogDirectoryBytes = 1024;

// Whether a log_print starts a new, time-stamped entry or continues the current line.
enum class LogLevel : int32_t { kContinue = 0, kEntry = 1 };

// Where the next log_open creates its file: directory (relative to the working directory at the
// open, or absolute), or "log" for null or "". Returns false, changing nothing, for a name longer
// than kMaxLogDirectoryBytes. Any thread; the open log is not moved.
bool set_log_directory(const char *directory);

// Creates the log file, making its directory (and its parents) first when needed, and writes its
// first line. A second open within the same second gets "_2", "_3", ... before ".txt" rather than
// wiping the first file. A log that was already open is closed first. When the file cannot be
// created the library runs on without a log.
void log_open();

// For an open refused because a session is already open: writes the first line and `line` to a
// file of their own, as log_open names it, and closes it. The open log is not touched.
void log_failed_open(const char *line);

// Closes the log if one is open. Idempotent.
void log_close();

// log_close for the process's end, when a thread the system has ended may still hold the log:
// closes it only if nobody does. Every entry is flushed as it is written, so nothing written is
// lost either way.
void log_close_unless_busy();

// Whether a log file is open.
bool log_is_open();

// kEntry starts an entry with the prefix "%Y%m%d%H%M%S - " (local time); kContinue continues
// the current line. Returns -1 when no log is open (nothing written), else 0; write
// failures are ignored.
int32_t log_print_args(LogLevel level, const char *format, std::initializer_list<FormatArg> args);

template <typename... Args>
int32_t log_print(LogLevel level, const char *format, const Args &...args) {
  return log_print_args(level, format, {FormatArg(args)...});
}

// The build date and time in the forms "Aug  8 2022" and "13:54:40".
const char *build_date();
const char *build_time();

}  // namespace vexdaq
