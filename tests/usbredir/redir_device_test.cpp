// vexdaq-usbredir's device side, driven by a usbredir peer of the test's own (the part QEMU's
// usb-redir plays) over a socket pair: what a virtual machine would see, without one.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/profile.h"
#include "sim/registry.h"
#include "usbredir/control_commands.h"
#include "usbredir/redir_device.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq::usbredir {
namespace {

usb_redir_control_packet_header setup(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                                      uint16_t length) {
  usb_redir_control_packet_header h{};
  h.endpoint = type & 0x80;
  h.requesttype = type;
  h.request = request;
  h.value = value;
  h.index = index;
  h.length = length;
  return h;
}

// The virtual machine's side of the protocol: records what the device sent.
class Peer {
 public:
  struct Answer {
    uint8_t status = 0xFF;
    std::vector<uint8_t> data;
  };

  explicit Peer(int fd) : fd_(fd) {
    parser_ = usbredirparser_create();
    parser_->priv = this;
    parser_->read_func = [](void *priv, uint8_t *data, int count) -> int {
      ssize_t r = read(static_cast<Peer *>(priv)->fd_, data, static_cast<size_t>(count));
      return r > 0 ? static_cast<int>(r) : (r < 0 && errno == EAGAIN ? 0 : -1);
    };
    parser_->write_func = [](void *priv, uint8_t *data, int count) -> int {
      ssize_t r = write(static_cast<Peer *>(priv)->fd_, data, static_cast<size_t>(count));
      return r >= 0 ? static_cast<int>(r) : (errno == EAGAIN ? 0 : -1);
    };
    parser_->log_func = [](void *, int, const char *) {};
    parser_->device_connect_func = [](void *priv, usb_redir_device_connect_header *h) {
      auto *self = static_cast<Peer *>(priv);
      ++self->connects;
      self->connected = *h;
    };
    parser_->device_disconnect_func = [](void *priv) { ++static_cast<Peer *>(priv)->disconnects; };
    parser_->interface_info_func = [](void *priv, usb_redir_interface_info_header *h) {
      static_cast<Peer *>(priv)->interfaces = *h;
    };
    parser_->ep_info_func = [](void *priv, usb_redir_ep_info_header *h) {
      static_cast<Peer *>(priv)->endpoints = *h;
    };
    parser_->control_packet_func = [](void *priv, uint64_t id, usb_redir_control_packet_header *h,
                                      uint8_t *data, int len) {
      auto *self = static_cast<Peer *>(priv);
      self->answers[id] = {h->status, std::vector<uint8_t>(data, data + len)};
      usbredirparser_free_packet_data(self->parser_, data);
    };
    parser_->bulk_packet_func = [](void *priv, uint64_t id, usb_redir_bulk_packet_header *h,
                                   uint8_t *data, int len) {
      auto *self = static_cast<Peer *>(priv);
      self->answers[id] = {h->status, std::vector<uint8_t>(data, data + len)};
      usbredirparser_free_packet_data(self->parser_, data);
    };
    uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_ep_info_max_packet_size,
                    usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length,
                    usb_redir_cap_device_disconnect_ack}) {
      usbredirparser_caps_set_cap(caps, cap);
    }
    usbredirparser_init(parser_, "test peer", caps, USB_REDIR_CAPS_SIZE, 0);
  }
  ~Peer() {
    usbredirparser_destroy(parser_);
    close(fd_);
  }

  void control(uint64_t id, usb_redir_control_packet_header h, std::vector<uint8_t> data = {}) {
    usbredirparser_send_control_packet(parser_, id, &h, data.empty() ? nullptr : data.data(),
                                       static_cast<int>(data.size()));
  }
  void bulk_in(uint64_t id, uint8_t endpoint, uint32_t length) {
    usb_redir_bulk_packet_header h{};
    h.endpoint = endpoint;
    h.length = static_cast<uint16_t>(length);
    h.length_high = static_cast<uint16_t>(length >> 16);
    usbredirparser_send_bulk_packet(parser_, id, &h, nullptr, 0);
  }
  void cancel(uint64_t id) { usbredirparser_send_cancel_data_packet(parser_, id); }

  usbredirparser *parser_;
  int fd_;
  int connects = 0;
  int disconnects = 0;
  usb_redir_device_connect_header connected{};
  usb_redir_interface_info_header interfaces{};
  usb_redir_ep_info_header endpoints{};
  std::map<uint64_t, Answer> answers;
};

class RedirDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { attach("uart_loop=0"); }
  void TearDown() override {
    peer_.reset();
    device_.reset();
    vexdaq_sim_reset();
  }
  void attach(const std::string &profile) {
    peer_.reset();
    device_.reset();
    vexdaq_sim_reset();
    sim::Profile parsed;
    std::string error;
    ASSERT_TRUE(sim::apply_profile_text(profile.c_str(), parsed, error)) << error;
    const int32_t id = vexdaq_sim_plug(profile.c_str());
    ASSERT_GE(id, 0);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    device_ = std::make_unique<RedirDevice>(id, sim::find(id), parsed, true, 0);
    device_->attach(fds[0]);
    peer_ = std::make_unique<Peer>(fds[1]);
    ASSERT_TRUE(pump_until([&] { return peer_->connects == 1; }));
  }
  // Moves bytes both ways and runs the device's completions until `done` holds; bounded by a
  // number of idle rounds rather than time, each waiting at most for the next event.
  bool pump_until(const std::function<bool()> &done) {
    for (int idle = 0; idle < 25;) {
      if (done()) return true;
      usbredirparser_do_write(peer_->parser_);
      device_->flush();
      pollfd fds[3] = {
          {device_->fd(), POLLIN, 0}, {peer_->fd_, POLLIN, 0}, {device_->wake_fd(), POLLIN, 0}};
      if (poll(fds, 3, 20) <= 0) {
        ++idle;
        continue;
      }
      if (fds[0].revents & POLLIN) {
        EXPECT_TRUE(device_->on_readable());
      }
      if (fds[1].revents & POLLIN) usbredirparser_do_read(peer_->parser_);
      if (fds[2].revents & POLLIN) device_->on_completions();
    }
    return done();
  }
  bool answered(uint64_t id) {
    return pump_until([&] { return peer_->answers.count(id) != 0; });
  }

  std::unique_ptr<RedirDevice> device_;
  std::unique_ptr<Peer> peer_;
};

TEST_F(RedirDeviceTest, ThePeerLearnsTheDeviceFromItsDescriptorsAndReadsThemThroughControl) {
  EXPECT_EQ(peer_->connected.vendor_id, 0x1209);
  EXPECT_EQ(peer_->connected.product_id, 0x7D0A);
  EXPECT_EQ(peer_->connected.device_class, 0xFF);
  EXPECT_EQ(peer_->connected.device_protocol, 3);
  EXPECT_EQ(peer_->connected.speed, usb_redir_speed_high);
  ASSERT_EQ(peer_->interfaces.interface_count, 1u);
  EXPECT_EQ(peer_->interfaces.interface_class[0], 0xFF);
  // The four pipes as bulk endpoints: tx 0x02, rx 0x86, UART 0x04 and 0x88 (index: IN adds 16).
  for (int index : {2, 16 + 6, 4, 16 + 8}) {
    EXPECT_EQ(peer_->endpoints.type[index], usb_redir_type_bulk) << index;
    EXPECT_GT(peer_->endpoints.max_packet_size[index], 0) << index;
  }
  EXPECT_EQ(peer_->endpoints.type[1], usb_redir_type_invalid);

  peer_->control(1, setup(0x80, 0x06, 0x0100, 0, 64));  // GET_DESCRIPTOR device
  ASSERT_TRUE(answered(1));
  EXPECT_EQ(peer_->answers[1].status, usb_redir_success);
  ASSERT_EQ(peer_->answers[1].data.size(), 18u);
  EXPECT_EQ(peer_->answers[1].data[8], 0x09);  // idVendor 0x1209, low byte first

  // A request the device refuses is a STALL; an OUT request's data stage reaches the instrument.
  ASSERT_EQ(run_command(*device_, "fault fail_request=0xE7"), "ok\n");
  peer_->control(2, setup(0xC1, 0xE7, 0, 0x0100, 1));
  peer_->control(3, setup(0x41, 0x3D, 0, 0x8500, 1), {3});
  ASSERT_TRUE(answered(2) && answered(3));
  EXPECT_EQ(peer_->answers[2].status, usb_redir_stall);
  EXPECT_TRUE(peer_->answers[2].data.empty());
  EXPECT_EQ(peer_->answers[3].status, usb_redir_success);
  const std::string trace = run_command(*device_, "trace");
  EXPECT_NE(trace.find("80 06 0100 0000 0040\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("C1 E7 0000 0100 0001\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("41 3D 0000 8500 0001 : 03\n"), std::string::npos) << trace;
}

// A read nothing answers stays pending (a NAK); the peer cancels one packet, the instrument
// cancels by endpoint: only that one is answered as cancelled, the other still gets its data.
TEST_F(RedirDeviceTest, CancellingOnePendingReadLeavesTheOtherToComplete) {
  peer_->bulk_in(10, 0x88, 64);
  peer_->bulk_in(11, 0x88, 64);
  EXPECT_FALSE(pump_until([&] { return !peer_->answers.empty(); }));
  peer_->cancel(10);
  ASSERT_TRUE(answered(10));
  EXPECT_EQ(peer_->answers[10].status, usb_redir_cancelled);
  EXPECT_TRUE(peer_->answers[10].data.empty());
  EXPECT_EQ(peer_->answers.count(11), 0u);

  ASSERT_EQ(run_command(*device_, "uart 414243"), "ok 3\n");
  // The UART is served on the instrument's clock thread: the completion comes through wake_fd.
  ASSERT_TRUE(answered(11));
  EXPECT_EQ(peer_->answers[11].status, usb_redir_success);
  EXPECT_EQ(peer_->answers[11].data, (std::vector<uint8_t>{'A', 'B', 'C'}));
  EXPECT_EQ(device_->stats().cancelled, 1u);
}

TEST_F(RedirDeviceTest, OversizedAndUnknownBulkPacketsAreRefused) {
  peer_->bulk_in(20, 0x88, RedirDevice::kMaxBulkBytes + 1);
  peer_->bulk_in(21, 0x8F, 64);  // no such endpoint
  ASSERT_TRUE(answered(20) && answered(21));
  EXPECT_EQ(peer_->answers[20].status, usb_redir_inval);
  EXPECT_NE(peer_->answers[21].status, usb_redir_success);
}

// An unplug: the peer sees the device leave, what was pending is forgotten with it, and the
// device comes back, fresh, once the peer has let go of the old one.
TEST_F(RedirDeviceTest, UnplugAndPlugAreADisconnectAndAFreshConnect) {
  peer_->bulk_in(30, 0x88, 64);
  ASSERT_FALSE(pump_until([&] { return !peer_->answers.empty(); }));
  ASSERT_EQ(run_command(*device_, "unplug"), "ok\n");
  ASSERT_TRUE(pump_until([&] { return peer_->disconnects == 1; }));
  EXPECT_EQ(run_command(*device_, "unplug"), "err the device is not plugged in\n");
  ASSERT_TRUE(pump_until([&] { return device_->plug_state() == PlugState::kUnplugged; }));
  EXPECT_EQ(peer_->answers.count(30), 0u);

  ASSERT_EQ(run_command(*device_, "plug"), "ok\n");
  ASSERT_TRUE(pump_until([&] { return peer_->connects == 2; }));
  EXPECT_EQ(run_command(*device_, "state"), "ok plugged\n");
  // The new device answers (injected faults are the test's, and stay).
  peer_->control(31, setup(0x80, 0x06, 0x0100, 0, 18));
  ASSERT_TRUE(answered(31));
  EXPECT_EQ(peer_->answers[31].status, usb_redir_success);
  EXPECT_EQ(peer_->answers[31].data.size(), 18u);
  // A "replug" fault is seen as the same leave and return.
  ASSERT_EQ(run_command(*device_, "fault replug"), "ok\n");
  ASSERT_TRUE(pump_until([&] { return peer_->disconnects == 2 && peer_->connects == 3; }));
}

// Bytes from the socket are untrusted: a peer that breaks the framing ends its session, and
// the next one is served.
TEST_F(RedirDeviceTest, APeerThatBreaksTheProtocolIsDetached) {
  std::vector<uint8_t> garbage(64, 0xFF);
  ASSERT_EQ(write(peer_->fd_, garbage.data(), garbage.size()), 64);
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    pollfd p{device_->fd(), POLLIN, 0};
    if (poll(&p, 1, 20) > 0) gone = !device_->on_readable();
  }
  EXPECT_TRUE(gone);
  device_->detach();
  EXPECT_FALSE(device_->attached());
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  device_->attach(fds[0]);
  peer_ = std::make_unique<Peer>(fds[1]);
  EXPECT_TRUE(pump_until([&] { return peer_->connects == 1; }));
}

TEST(ControlCommands, BadCommandsAreRefusedWithTheReason) {
  sim::Profile parsed;
  const int32_t id = vexdaq_sim_plug("");
  ASSERT_GE(id, 0);
  RedirDevice device(id, sim::find(id), parsed, true, 0);
  EXPECT_EQ(run_command(device, "frobnicate"), "err unknown command \"frobnicate\"\n");
  EXPECT_EQ(run_command(device, "fault nonsense"), "err bad fault \"nonsense\"\n");
  EXPECT_EQ(run_command(device, "counter nope"), "err unknown counter \"nope\"\n");
  EXPECT_EQ(run_command(device, "uart 4"), "err bad hex \"4\"\n");
  EXPECT_EQ(run_command(device, "output lots"), "err bad byte count \"lots\"\n");
  EXPECT_EQ(run_command(device, "plug"), "err no peer is attached\n");
  EXPECT_EQ(run_command(device, "state"), "ok no-peer\n");
  EXPECT_EQ(run_command(device, "counter control_requests"), "ok 0\n");
  // The output digest is FNV-1a of what the instrument received: nothing yet.
  EXPECT_EQ(run_command(device, "output 16"), "ok 0 cbf29ce484222325\n");
  vexdaq_sim_reset();
}

}  // namespace
}  // namespace vexdaq::usbredir
