// The virtual instrument's control API.
#include "vexdaq/vexdaq_sim.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "api/api_guard.h"
#include "sim/registry.h"

using vexdaq::api_guard;
namespace sim = vexdaq::sim;

extern "C" {

int32_t vexdaq_sim_plug(const char *profile) {
  return api_guard("vexdaq_sim_plug", [&]() -> int32_t {
    sim::Profile p;
    std::string error;
    if (!sim::apply_profile_text(profile, p, error)) {
      std::fprintf(stderr, "vexdaq_sim_plug: %s\n", error.c_str());
      return -1;
    }
    return sim::plug(std::move(p));
  });
}

int32_t vexdaq_sim_unplug(int32_t id) {
  return api_guard("vexdaq_sim_unplug", [&]() -> int32_t { return sim::unplug(id) ? 0 : -1; });
}

void vexdaq_sim_reset(void) {
  api_guard("vexdaq_sim_reset", []() -> int32_t {
    sim::reset();
    return 0;
  });
}

int32_t vexdaq_sim_set(int32_t id, const char *key_values) {
  return api_guard("vexdaq_sim_set", [&]() -> int32_t {
    auto instrument = sim::find(id);
    if (!instrument) return -1;
    std::string error;
    if (!instrument->apply_settings(key_values, error)) {
      std::fprintf(stderr, "vexdaq_sim_set: %s\n", error.c_str());
      return -2;
    }
    return 0;
  });
}

int32_t vexdaq_sim_fault(int32_t id, const char *fault) {
  return api_guard("vexdaq_sim_fault", [&]() -> int32_t {
    auto instrument = sim::find(id);
    if (!instrument) return -1;
    std::string error;
    if (!instrument->apply_fault(fault, error)) {
      std::fprintf(stderr, "vexdaq_sim_fault: %s\n", error.c_str());
      return -2;
    }
    return 0;
  });
}

int32_t vexdaq_sim_trace(int32_t id, char *buffer, int32_t size) {
  return api_guard("vexdaq_sim_trace", [&]() -> int32_t {
    auto instrument = sim::find(id);
    return instrument ? instrument->take_trace(buffer, size, false) : -1;
  });
}

int32_t vexdaq_sim_driver_trace(int32_t id, char *buffer, int32_t size) {
  return api_guard("vexdaq_sim_driver_trace", [&]() -> int32_t {
    auto instrument = sim::find(id);
    return instrument ? instrument->take_trace(buffer, size, true) : -1;
  });
}

int64_t vexdaq_sim_counter(int32_t id, const char *name) {
  return api_guard(
      "vexdaq_sim_counter",
      [&]() -> int64_t {
        auto instrument = sim::find(id);
        if (!instrument || name == nullptr) return -1;
        sim::Counters c = instrument->counters();
        struct Entry {
          const char *name;
          uint64_t value;
        } entries[] = {{"rx_packets", c.rx_packets},
                       {"rx_frames", c.rx_frames},
                       {"rx_dropped_frames", c.rx_dropped_frames},
                       {"tx_packets", c.tx_packets},
                       {"tx_bytes", c.tx_bytes},
                       {"tx_underrun_frames", c.tx_underrun_frames},
                       {"stream_starts", c.stream_starts},
                       {"stream_stops", c.stream_stops},
                       {"control_requests", c.control_requests},
                       {"uart_out_bytes", c.uart_out_bytes},
                       {"cpu_instructions", c.cpu_instructions}};
        for (const Entry &e : entries) {
          if (std::strcmp(e.name, name) == 0) return static_cast<int64_t>(e.value);
        }
        return -1;
      },
      -1);
}

int32_t vexdaq_sim_eeprom_read(int32_t id, uint32_t address, uint8_t *buffer, int32_t size) {
  return api_guard("vexdaq_sim_eeprom_read", [&]() -> int32_t {
    auto instrument = sim::find(id);
    return instrument ? instrument->read_eeprom(address, buffer, size) : -1;
  });
}

int32_t vexdaq_sim_output_read(int32_t id, uint8_t *buffer, int32_t size) {
  return api_guard("vexdaq_sim_output_read", [&]() -> int32_t {
    auto instrument = sim::find(id);
    return instrument ? instrument->take_output(buffer, size) : -1;
  });
}

int32_t vexdaq_sim_uart_inject(int32_t id, const uint8_t *data, int32_t size) {
  return api_guard("vexdaq_sim_uart_inject", [&]() -> int32_t {
    auto instrument = sim::find(id);
    return instrument ? instrument->uart_inject(data, size) : -1;
  });
}

int32_t vexdaq_sim_uart_output_read(int32_t id, uint8_t *buffer, int32_t size) {
  return api_guard("vexdaq_sim_uart_output_read", [&]() -> int32_t {
    auto instrument = sim::find(id);
    return instrument ? instrument->take_uart_output(buffer, size) : -1;
  });
}

}  // extern "C"
