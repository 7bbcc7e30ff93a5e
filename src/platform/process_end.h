// The process's end and the module that holds the library, as the platform sees them.
#pragma once

namespace vexdaq::platform {

// Whether the process is ending while the library is still loaded and its other threads are
// already gone: on Windows, from the DLL's process-exit detach on (the system ends every other
// thread before it detaches the DLLs). Nothing may then wait for another thread or for a lock
// such a thread may have held. Any thread. Always false on POSIX, where exit handlers run while
// the threads still do.
bool process_is_ending();

// For the DLL entry point only: the process-exit detach has begun.
void note_process_ending();

// Keeps the module that holds the library loaded: each hold adds one reference, each
// release_library drops one. While something holds it, an application's FreeLibrary does not
// unload code that the library's threads still run; the module then stays until the process
// ends. No-ops on POSIX. Any thread; a release never drops the last reference from under its
// caller, because whoever calls into the library holds one of their own.
void hold_library();
void release_library();

}  // namespace vexdaq::platform
