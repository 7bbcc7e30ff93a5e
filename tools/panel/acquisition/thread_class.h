// The scheduling class the library's transfer threads run in, read from the system (the library
// names its threads vexdaq-tx and vexdaq-rx and writes the class only to its log).
#pragma once

#include <string>

namespace vexdaq_panel {

// "vexdaq-rx SCHED_FIFO 10, vexdaq-tx SCHED_OTHER nice -20", or "not found" while no stream has
// started them; "unknown" where the system does not tell.
std::string transfer_thread_classes();

}  // namespace vexdaq_panel
