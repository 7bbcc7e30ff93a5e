// One virtual instrument served as a USB device to one usbredir peer (QEMU's usb-redir device,
// or any other usbredir "usb-guest") on a connected stream socket.
//
// The peer's packets are answered from the instrument's USB side, the same operations the
// library's virtual-instrument link uses: control requests go through the instrument's request
// handling, bulk packets become bulk transfers on its endpoints. A bulk IN packet stays pending
// (a NAK on the bus) until the instrument has the data; a cancelled one is answered as cancelled.
//
// Threads: everything here runs on the caller's (one) thread, except the instrument's bulk
// completions, which only queue their result and signal wake_fd(); on_completions() sends them.
#pragma once

#include <usbredirparser.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/instrument.h"

namespace vexdaq::usbredir {

// What the peer sees of the device.
enum class PlugState { kUnplugged, kPlugged, kAwaitingAck };

class RedirDevice {
 public:
  // `start_plugged`: the device is connected as soon as the peer has said hello.
  RedirDevice(int32_t sim_id, std::shared_ptr<sim::Instrument> instrument,
              const sim::Profile &profile, bool start_plugged, int verbose);
  ~RedirDevice();
  RedirDevice(const RedirDevice &) = delete;
  RedirDevice &operator=(const RedirDevice &) = delete;

  int32_t sim_id() const { return sim_id_; }
  // Readable when instrument completions wait for on_completions().
  int wake_fd() const { return wake_fd_; }

  // Serves a connected, non-blocking stream socket (taken over). One peer at a time.
  void attach(int fd);
  bool attached() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Ends the session: pending transfers are cancelled, the socket closed.
  void detach();

  // Reads and answers what the peer sent; false once the peer has gone or broke the protocol.
  bool on_readable();
  bool wants_write();
  // Writes what is queued; false on a write error.
  bool flush();
  // Sends the results of the instrument's finished transfers.
  void on_completions();

  // The peer sees the device arrive / leave (a surprise removal: the instrument comes back with
  // fresh state, as a device plugged in again would). False with the reason when not possible.
  bool plug(std::string &error);
  bool unplug(std::string &error);
  // Call after the instrument may have been replugged behind our back (a "replug" fault): the
  // peer then sees the device leave and come back.
  void follow_generation();
  PlugState plug_state() const { return plug_state_; }

  struct Stats {
    uint64_t control_packets = 0;
    uint64_t bulk_out_packets = 0;
    uint64_t bulk_out_bytes = 0;
    uint64_t bulk_in_packets = 0;
    uint64_t bulk_in_bytes = 0;
    uint64_t cancelled = 0;
  };
  Stats stats() const { return stats_; }

  // Bounds on what a peer may ask for: one bulk packet, and all bulk packets pending at once.
  static constexpr uint32_t kMaxBulkBytes = 16u << 20;
  static constexpr uint64_t kMaxPendingBytes = 256ull << 20;

 private:
  struct Transfer {
    RedirDevice *owner = nullptr;
    uint64_t id = 0;
    usb_redir_bulk_packet_header header{};
    std::vector<uint8_t> buffer;
    bool cancel_requested = false;  // the peer cancelled it
    bool dropped = false;           // its device left: completes without an answer
  };
  struct Done {
    Transfer *transfer;
    uint32_t status;
    uint32_t bytes;
  };

  static void on_bulk_done(void *context, uint32_t status, uint32_t bytes);
  void install_callbacks();
  void send_device_info();
  void send_connect();
  void submit(Transfer *transfer);
  void answer_bulk(const usb_redir_bulk_packet_header &request, uint64_t id, uint8_t status);
  void drop_all_transfers();
  void process(const std::vector<Done> &done);

  // usbredirparser callbacks (priv: this).
  static int read_cb(void *priv, uint8_t *data, int count);
  static int write_cb(void *priv, uint8_t *data, int count);
  static void log_cb(void *priv, int level, const char *message);
  static void hello_cb(void *priv, usb_redir_hello_header *hello);
  static void reset_cb(void *priv);
  static void set_configuration_cb(void *priv, uint64_t id,
                                   usb_redir_set_configuration_header *header);
  static void get_configuration_cb(void *priv, uint64_t id);
  static void set_alt_setting_cb(void *priv, uint64_t id, usb_redir_set_alt_setting_header *header);
  static void get_alt_setting_cb(void *priv, uint64_t id, usb_redir_get_alt_setting_header *header);
  static void cancel_cb(void *priv, uint64_t id);
  static void control_cb(void *priv, uint64_t id, usb_redir_control_packet_header *header,
                         uint8_t *data, int data_len);
  static void bulk_cb(void *priv, uint64_t id, usb_redir_bulk_packet_header *header, uint8_t *data,
                      int data_len);
  static void disconnect_ack_cb(void *priv);
  static void filter_cb(void *priv, usbredirfilter_rule *rules, int rules_count);

  const int32_t sim_id_;
  const std::shared_ptr<sim::Instrument> instrument_;
  const sim::Profile profile_;  // what device_connect announces
  const bool start_plugged_;
  const int verbose_;
  int wake_fd_ = -1;
  int fd_ = -1;
  usbredirparser *parser_ = nullptr;
  bool peer_gone_ = false;
  bool hello_seen_ = false;
  bool plug_wanted_ = false;  // connect once the peer has acknowledged the last disconnect
  PlugState plug_state_ = PlugState::kUnplugged;
  uint32_t generation_ = 0;  // the instrument's generation the peer sees
  uint8_t alt_setting_ = 0;

  std::map<uint64_t, std::unique_ptr<Transfer>> transfers_;  // by peer id, until completed
  uint64_t pending_bytes_ = 0;

  std::mutex done_mutex_;
  std::vector<Done> done_;  // guarded by done_mutex_
  Stats stats_;
};

}  // namespace vexdaq::usbredir
