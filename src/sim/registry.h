// The plugged virtual instruments of the process, by id.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/instrument.h"

namespace vexdaq::sim {

// Plugs an instrument in; its id (0 or more). Never fails once the profile is parsed.
int32_t plug(Profile profile);
// Surprise removal; false for an unknown id.
bool unplug(int32_t id);
// Unplugs every instrument; ids start again at 0.
void reset();
std::shared_ptr<Instrument> find(int32_t id);
// The plugged instruments in id order.
std::vector<std::shared_ptr<Instrument>> plugged();
// Whether a plugged instrument hides the real devices.
bool any_exclusive();

}  // namespace vexdaq::sim
