// Clang thread-safety annotations; they compile to nothing elsewhere.
#pragma once

#if defined(__clang__)
#define VEXDAQ_TSA(x) __attribute__((x))
#else
#define VEXDAQ_TSA(x)
#endif

#define CAPABILITY(x) VEXDAQ_TSA(capability(x))
#define SCOPED_CAPABILITY VEXDAQ_TSA(scoped_lockable)
#define GUARDED_BY(x) VEXDAQ_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) VEXDAQ_TSA(pt_guarded_by(x))
#define REQUIRES(...) VEXDAQ_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VEXDAQ_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VEXDAQ_TSA(release_capability(__VA_ARGS__))
#define EXCLUDES(...) VEXDAQ_TSA(locks_excluded(__VA_ARGS__))
#define TRY_ACQUIRE(...) VEXDAQ_TSA(try_acquire_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) VEXDAQ_TSA(lock_returned(x))
