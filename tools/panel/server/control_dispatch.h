// Carries out one checked control request: settings go to the acquisition thread, the
// auxiliary functions to the library (its exports are safe from any thread).
#pragma once

#include <string>
#include <utility>

namespace vexdaq_panel {

class Acquisition;

// The HTTP status and the JSON reply ({"ok": true, ...} or {"ok": false, "error": "..."}).
std::pair<int, std::string> dispatch_control(Acquisition &acquisition, const std::string &body);

}  // namespace vexdaq_panel
