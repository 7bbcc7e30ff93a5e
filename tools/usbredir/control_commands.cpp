#include "usbredir/control_commands.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "sim/profile.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq::usbredir {
namespace {

constexpr uint64_t kMaxOutputRead = 64u << 20;

std::string ok(const std::string &text = "") {
  return text.empty() ? "ok\n" : "ok " + text + "\n";
}
std::string err(const std::string &text) {
  return "err " + text + "\n";
}

bool parse_hex(const std::string &text, std::vector<uint8_t> &out) {
  if (text.size() % 2 != 0) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = nibble(text[i]), lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return true;
}

const char *state_name(const RedirDevice &device) {
  if (!device.attached()) return "no-peer";
  switch (device.plug_state()) {
    case PlugState::kPlugged:
      return "plugged";
    case PlugState::kAwaitingAck:
      return "awaiting-ack";
    case PlugState::kUnplugged:
      break;
  }
  return "unplugged";
}

}  // namespace

uint64_t fnv1a64(const uint8_t *data, size_t size, uint64_t hash) {
  for (size_t i = 0; i < size; ++i) {
    hash ^= data[i];
    hash *= 0x100000001b3ull;
  }
  return hash;
}

std::string run_command(RedirDevice &device, const std::string &line) {
  const size_t space = line.find(' ');
  const std::string verb = line.substr(0, space);
  const std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
  const int32_t id = device.sim_id();
  std::string error;
  if (verb == "fault") {
    if (vexdaq_sim_fault(id, arg.c_str()) != 0) return err("bad fault \"" + arg + "\"");
    device.follow_generation();
    return ok();
  }
  if (verb == "set") {
    if (vexdaq_sim_set(id, arg.c_str()) != 0) return err("bad setting \"" + arg + "\"");
    return ok();
  }
  if (verb == "trace") {
    std::vector<char> text(1 << 16);
    int32_t n = vexdaq_sim_trace(id, text.data(), static_cast<int32_t>(text.size()));
    while (n >= static_cast<int32_t>(text.size())) {
      text.resize(static_cast<size_t>(n) + 1);
      n = vexdaq_sim_trace(id, text.data(), static_cast<int32_t>(text.size()));
    }
    if (n < 0) return err("no trace");
    return std::string(text.data(), static_cast<size_t>(n)) + ok();
  }
  if (verb == "counter") {
    int64_t value = vexdaq_sim_counter(id, arg.c_str());
    if (value < 0) return err("unknown counter \"" + arg + "\"");
    return ok(std::to_string(value));
  }
  if (verb == "output") {
    uint64_t want = 0;
    if (!sim::parse_number(arg, kMaxOutputRead, want)) return err("bad byte count \"" + arg + "\"");
    std::vector<uint8_t> bytes(want);
    int32_t got = vexdaq_sim_output_read(id, bytes.data(), static_cast<int32_t>(want));
    if (got < 0) return err("no output");
    char text[64];
    std::snprintf(text, sizeof text, "%d %016" PRIx64, got,
                  fnv1a64(bytes.data(), static_cast<size_t>(got)));
    return ok(text);
  }
  if (verb == "uart") {
    std::vector<uint8_t> bytes;
    if (!parse_hex(arg, bytes)) return err("bad hex \"" + arg + "\"");
    int32_t n = vexdaq_sim_uart_inject(id, bytes.data(), static_cast<int32_t>(bytes.size()));
    if (n < 0) return err("uart refused");
    return ok(std::to_string(n));
  }
  if (verb == "unplug") return device.unplug(error) ? ok() : err(error);
  if (verb == "plug") return device.plug(error) ? ok() : err(error);
  if (verb == "state") return ok(state_name(device));
  if (verb == "stats") {
    RedirDevice::Stats s = device.stats();
    char text[240];
    std::snprintf(text, sizeof text,
                  "control_packets=%" PRIu64 " bulk_out_packets=%" PRIu64 " bulk_out_bytes=%" PRIu64
                  " bulk_in_packets=%" PRIu64 " bulk_in_bytes=%" PRIu64 " cancelled=%" PRIu64,
                  s.control_packets, s.bulk_out_packets, s.bulk_out_bytes, s.bulk_in_packets,
                  s.bulk_in_bytes, s.cancelled);
    return ok(text);
  }
  return err("unknown command \"" + verb + "\"");
}

}  // namespace vexdaq::usbredir
