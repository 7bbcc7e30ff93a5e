// What this process holds right now, for checking that nothing of the library outlives its
// session: counted the same way before and after, so only the difference means anything.
#pragma once

namespace vexdaq::testing {

// Threads of this process (Linux); always 0 on Windows, whose own pool threads come and go.
int thread_count();

// Open files and other kernel objects: the open descriptors (/proc/self/fd) on Linux, the
// process's handles (GetProcessHandleCount) on Windows.
int open_handle_count();

// How many more handles a process may hold after a session than before with nothing leaked: 0
// on Linux. On Windows the C++ runtime makes a mutex's or condition variable's kernel objects at
// its first contention and keeps them, and the library keeps signal events in a pool, so a first
// session leaves some behind; a leak repeated every session still shows in the suites that
// open and close fifty times.
int open_handle_slack();

}  // namespace vexdaq::testing
