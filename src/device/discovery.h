// Finding the instruments of the device class and opening one of them.
//
// device_table (in g_device) remembers per interface position the device path it last probed
// and the probed descriptor bytes 5 and 6; it survives sessions. An entry matches when its
// byte 1023 (bDeviceProtocol) is 3.
//
// Paths longer than 510 UTF-16 units do not fit an entry. They are stored as their first 493
// units, '~' and the 16 hex digits of a 64-bit FNV-1a hash of the whole path: distinct paths
// stay distinct, and comparing the stored form of a fresh path tells whether it changed.
//
// Both operations run on the caller's thread, before any session thread exists; one lock keeps
// concurrent calls from interleaving on the table.
#pragma once

#include <cstdint>
#include <string>

namespace vexdaq {

// Walks the class and refreshes device_table (probing only positions whose path changed).
// Returns the number of matching devices among the positions reached, or -1 when the list of
// interfaces cannot be obtained.
int32_t usbio_device_enumerate();

// Opens the index-th matching device (counted from 0 over device_table) with the five session
// handles and creates the eight slot events. 0 on success; -1 when a device is already open, no
// such entry matches, its interface is gone, or an open fails (nothing of the attempt stays
// open).
int32_t usbio_device_open(int32_t index);

// The form in which a path is stored in a device_table entry (at most 510 units).
std::u16string device_table_path(const std::u16string &path);

}  // namespace vexdaq
