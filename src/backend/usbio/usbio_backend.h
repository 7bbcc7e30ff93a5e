// The usbio backend: real instruments through the USBIO kernel driver on Windows.
//
// Enumeration walks the driver's device-interface class with SetupAPI; a path is opened with
// CreateFileW and every driver operation is the matching DeviceIoControl, ReadFile or WriteFile.
// Paths of other backends (the virtual instrument's) are never this backend's.
#pragma once

#include <memory>

#include "backend/driver.h"

#ifndef VEXDAQ_HAVE_USBIO
#define VEXDAQ_HAVE_USBIO 0
#endif

namespace vexdaq {

// Whether the build has the usbio backend (Windows; the functions below exist only then).
inline constexpr bool kHaveUsbio = VEXDAQ_HAVE_USBIO != 0;

Backend &usbio_backend();

// Wraps an open file HANDLE (passed as void *) as a driver handle: device-control calls go to
// DeviceIoControl; for a handle opened with FILE_FLAG_OVERLAPPED (`overlapped` true), transfers
// start with ReadFile/WriteFile and complete on the system thread pool, which copies the status
// and byte count into the library's record and then sets its event. Takes ownership of the
// handle (closed when the file is destroyed, after its transfers have completed). Null, with the
// handle closed and the last error set, when the handle cannot be bound to the thread pool.
std::unique_ptr<OpenFile> open_usbio_file(void *handle, bool overlapped);

}  // namespace vexdaq
