// A faked Linux USB bus for the libusb backend's tests: umockdev's testbed provides the sysfs
// entries and usbfs device nodes that libusb reads, and answers the usbfs ioctls of each node
// from a virtual instrument's device model. Every descriptor read, control transfer, bulk URB,
// cancellation and unplug therefore goes through libusb's own Linux code and our link over it.
//
// The instrument is not plugged into the virtual-instrument backend, so it is enumerated once,
// as a real device. Needs umockdev's preload library (run under umockdev-wrapper).
#pragma once

#include <umockdev.h>

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/instrument.h"

namespace vexdaq::testing {

class FakeUsbBus {
 public:
  FakeUsbBus();  // bus 1 with its root hub
  ~FakeUsbBus();
  FakeUsbBus(const FakeUsbBus &) = delete;
  FakeUsbBus &operator=(const FakeUsbBus &) = delete;

  // Adds a hub at the port chain ("2" or "2.1").
  void add_hub(const std::string &ports);
  // Adds a virtual instrument with the profile text at the port chain; returns its model.
  std::shared_ptr<sim::Instrument> add_instrument(const std::string &ports,
                                                  const std::string &profile);

 private:
  struct Node;
  void add_device(const std::string &ports, const std::vector<uint8_t> &descriptors, int speed,
                  Node *node);

  UMockdevTestbed *testbed_ = nullptr;
  int next_devnum_ = 2;
  std::vector<std::unique_ptr<Node>> nodes_;
};

// The control requests the instrument received since the last call, as vexdaq_sim_trace gives
// them.
std::string take_trace(sim::Instrument &instrument);

}  // namespace vexdaq::testing
