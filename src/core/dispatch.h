// Carrying out the command messages other than start, stop and exit.
#pragma once

#include "protocol/message.h"

namespace vexdaq {

// Runs on the core thread. Logs the receipt line, sends the message's control request and logs a
// failure; unknown types are dropped silently. Completion of synchronous posters is the caller's
// (dispatch_message) business.
void dispatch_command_message(const CoreMessage &message);

}  // namespace vexdaq
