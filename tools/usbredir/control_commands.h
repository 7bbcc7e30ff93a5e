// The text commands of vexdaq-usbredir's control socket: one command a line, answered by zero or
// more data lines and then one status line, "ok[ TEXT]" or "err TEXT".
//
//   fault TEXT       a vexdaq_sim_fault command (a "replug" is seen by the peer too)
//   set TEXT         vexdaq_sim_set: profile keys at run time (waveform, pacing, loopback, ...)
//   trace            the control requests received since the last "trace", one a line
//   counter NAME     a vexdaq_sim_counter value
//   output N         takes up to N captured output-stream bytes: "ok COUNT FNV1A64-HEX"
//   uart HEX         bytes for the UART IN pipe
//   unplug, plug     the device leaves / arrives (a usbredir disconnect / connect)
//   state            "ok plugged|unplugged|awaiting-ack|no-peer"
//   stats            usbredir packet counts
#pragma once

#include <string>

#include "usbredir/redir_device.h"

namespace vexdaq::usbredir {

inline constexpr size_t kMaxCommandBytes = 4096;

// Answers one command line (without its newline); the answer ends with a newline.
std::string run_command(RedirDevice &device, const std::string &line);

// FNV-1a, 64 bits: how the output stream's bytes are compared without moving them all.
uint64_t fnv1a64(const uint8_t *data, size_t size, uint64_t hash = 0xcbf29ce484222325ull);

}  // namespace vexdaq::usbredir
