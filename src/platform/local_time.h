// The wall clock broken down in the local time zone, as each platform's C library offers it
// safely from any thread.
#pragma once

#include <ctime>

namespace vexdaq::platform {

// The local time of `when`; all fields zero when the C library cannot convert it. Any thread.
std::tm local_time(std::time_t when);

}  // namespace vexdaq::platform
