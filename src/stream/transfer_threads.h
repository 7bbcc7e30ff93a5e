// The two stream threads: txthread moves the enabled output FIFOs to the tx pipe, rxthread the
// rx pipe into the enabled input FIFOs. Created by the core thread at start-up; each runs until
// it sees core_exit while idle.
#pragma once

#include <cstdint>

namespace vexdaq {

uint32_t txthread(void *unused);
uint32_t rxthread(void *unused);

}  // namespace vexdaq
