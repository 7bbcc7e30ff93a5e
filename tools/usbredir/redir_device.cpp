#include "usbredir/redir_device.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <system_error>

#include "backend/driver.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq::usbredir {
namespace {

constexpr uint8_t kDescriptorInterface = 4;
constexpr uint8_t kDescriptorEndpoint = 5;

uint8_t redir_status(uint32_t status) {
  switch (status) {
    case kStatusSuccess:
      return usb_redir_success;
    case kStatusCancelled:
      return usb_redir_cancelled;
    case kStatusStall:
      return usb_redir_stall;
    case kStatusTimeout:
      return usb_redir_timeout;
    case kStatusTransferError:
      // A frame larger than the transfer: the host controller sees babble.
      return usb_redir_babble;
    default:
      return usb_redir_ioerror;
  }
}

// usbredir indexes endpoints as ((address & 0x80) >> 3) | (address & 0x0F).
int endpoint_index(uint8_t address) {
  return ((address & 0x80) >> 3) | (address & 0x0F);
}

uint32_t bulk_length(const usb_redir_bulk_packet_header &h) {
  return static_cast<uint32_t>(h.length) | (static_cast<uint32_t>(h.length_high) << 16);
}

}  // namespace

RedirDevice::RedirDevice(int32_t sim_id, std::shared_ptr<sim::Instrument> instrument,
                         const sim::Profile &profile, bool start_plugged, int verbose)
    : sim_id_(sim_id),
      instrument_(std::move(instrument)),
      profile_(profile),
      start_plugged_(start_plugged),
      verbose_(verbose) {
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  generation_ = instrument_->generation();
}

RedirDevice::~RedirDevice() {
  detach();
  close(wake_fd_);
}

void RedirDevice::attach(int fd) {
  detach();
  fd_ = fd;
  peer_gone_ = false;
  hello_seen_ = false;
  plug_wanted_ = start_plugged_;
  plug_state_ = PlugState::kUnplugged;
  parser_ = usbredirparser_create();
  if (parser_ == nullptr) throw std::bad_alloc();
  install_callbacks();
  uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_device_disconnect_ack);
  usbredirparser_init(parser_, "vexdaq-usbredir " VEXDAQ_USBREDIR_VERSION, caps,
                      USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);
}

void RedirDevice::detach() {
  if (parser_ == nullptr) return;
  // Nothing may complete into a record after it is freed: cancel whatever the instrument holds.
  std::set<uint8_t> endpoints;
  for (auto &[id, t] : transfers_) {
    t->dropped = true;
    endpoints.insert(t->header.endpoint);
  }
  for (uint8_t ep : endpoints) instrument_->cancel_endpoint(generation_, ep);
  on_completions();
  // Transfers of an earlier generation were failed when it ended; any left are not pending.
  transfers_.clear();
  pending_bytes_ = 0;
  usbredirparser_destroy(parser_);
  parser_ = nullptr;
  close(fd_);
  fd_ = -1;
  plug_state_ = PlugState::kUnplugged;
}

void RedirDevice::install_callbacks() {
  usbredirparser *p = parser_;
  p->priv = this;
  p->log_func = log_cb;
  p->read_func = read_cb;
  p->write_func = write_cb;
  p->hello_func = hello_cb;
  p->reset_func = reset_cb;
  p->set_configuration_func = set_configuration_cb;
  p->get_configuration_func = get_configuration_cb;
  p->set_alt_setting_func = set_alt_setting_cb;
  p->get_alt_setting_func = get_alt_setting_cb;
  p->cancel_data_packet_func = cancel_cb;
  p->control_packet_func = control_cb;
  p->bulk_packet_func = bulk_cb;
  p->filter_filter_func = filter_cb;
  p->device_disconnect_ack_func = disconnect_ack_cb;
}

bool RedirDevice::on_readable() {
  if (parser_ == nullptr) return false;
  int r = usbredirparser_do_read(parser_);
  if (r == usbredirparser_read_parse_error) {
    std::fprintf(stderr, "vexdaq-usbredir: the peer broke the usbredir protocol\n");
    return false;
  }
  return r == 0 && !peer_gone_;
}

bool RedirDevice::wants_write() {
  return parser_ != nullptr && usbredirparser_has_data_to_write(parser_) != 0;
}

bool RedirDevice::flush() {
  if (!wants_write()) return true;
  return usbredirparser_do_write(parser_) == 0 && !peer_gone_;
}

// ---- Plugging ---------------------------------------------------------------------------------

void RedirDevice::send_device_info() {
  // The peer must know interfaces and endpoints before it sees the device (and again after a
  // configuration change): taken from the configuration descriptor the device reports.
  std::vector<uint8_t> config;
  instrument_->configuration_descriptor(generation_, config);
  usb_redir_interface_info_header interfaces{};
  usb_redir_ep_info_header eps{};
  for (int i = 0; i < 32; ++i) eps.type[i] = usb_redir_type_invalid;
  eps.type[0] = eps.type[16] = usb_redir_type_control;
  eps.max_packet_size[0] = eps.max_packet_size[16] = 64;
  uint8_t current_interface = 0;
  for (size_t at = 0; at + 2 <= config.size() && config[at] >= 2;) {
    const uint8_t length = config[at];
    if (at + length > config.size()) break;
    const uint8_t *d = &config[at];
    if (d[1] == kDescriptorInterface && length >= 9 && d[3] == 0 &&
        interfaces.interface_count < 32) {
      uint32_t n = interfaces.interface_count++;
      interfaces.interface[n] = d[2];
      interfaces.interface_class[n] = d[5];
      interfaces.interface_subclass[n] = d[6];
      interfaces.interface_protocol[n] = d[7];
      current_interface = d[2];
    } else if (d[1] == kDescriptorEndpoint && length >= 7) {
      int index = endpoint_index(d[2]);
      eps.type[index] = d[3] & 0x03;  // usbredir's types are the descriptor's transfer types
      eps.interval[index] = d[6];
      eps.interface[index] = current_interface;
      eps.max_packet_size[index] = static_cast<uint16_t>(d[4] | (d[5] << 8));
    }
    at += length;
  }
  usbredirparser_send_interface_info(parser_, &interfaces);
  usbredirparser_send_ep_info(parser_, &eps);
}

void RedirDevice::send_connect() {
  generation_ = instrument_->generation();
  alt_setting_ = 0;
  send_device_info();
  // What the device descriptor says (the peer reads the descriptors themselves through control
  // packets; a read of our own here would show in the instrument's trace).
  usb_redir_device_connect_header c{};
  c.speed = usb_redir_speed_high;
  c.device_class = 0xFF;
  c.device_subclass = profile_.subclass;
  c.device_protocol = profile_.protocol;
  c.vendor_id = profile_.vendor_id;
  c.product_id = profile_.product_id;
  c.device_version_bcd = profile_.bcd_device;
  usbredirparser_send_device_connect(parser_, &c);
  plug_state_ = PlugState::kPlugged;
  if (verbose_ > 0) std::fprintf(stderr, "vexdaq-usbredir: device connected\n");
}

bool RedirDevice::plug(std::string &error) {
  if (parser_ == nullptr) {
    error = "no peer is attached";
    return false;
  }
  if (!instrument_->present(instrument_->generation())) {
    error = "the instrument was unplugged for good";
    return false;
  }
  if (plug_state_ == PlugState::kPlugged) {
    error = "the device is plugged in already";
    return false;
  }
  plug_wanted_ = true;
  // Before the peer's hello, or before it has let go of the last device, connecting waits.
  if (hello_seen_ && plug_state_ == PlugState::kUnplugged) send_connect();
  return true;
}

bool RedirDevice::unplug(std::string &error) {
  if (parser_ == nullptr) {
    error = "no peer is attached";
    return false;
  }
  plug_wanted_ = false;
  if (plug_state_ != PlugState::kPlugged) {
    error = "the device is not plugged in";
    return false;
  }
  // A device pulled out loses its state: the instrument comes back fresh, and what it still held
  // fails (those completions are dropped: the peer forgets its packets on the disconnect).
  for (auto &[id, t] : transfers_) t->dropped = true;
  std::string fault_error;
  if (vexdaq_sim_fault(sim_id_, "replug") != 0) fault_error = "replug failed";
  on_completions();
  drop_all_transfers();
  usbredirparser_send_device_disconnect(parser_);
  plug_state_ = usbredirparser_peer_has_cap(parser_, usb_redir_cap_device_disconnect_ack)
                    ? PlugState::kAwaitingAck
                    : PlugState::kUnplugged;
  generation_ = instrument_->generation();
  if (verbose_ > 0) std::fprintf(stderr, "vexdaq-usbredir: device disconnected\n");
  if (!fault_error.empty()) {
    error = fault_error;
    return false;
  }
  return true;
}

void RedirDevice::follow_generation() {
  if (parser_ == nullptr || plug_state_ != PlugState::kPlugged) {
    generation_ = instrument_->generation();
    return;
  }
  if (instrument_->generation() == generation_) return;
  // Replugged by a fault: what was pending has failed already; the peer sees the device go and
  // come back.
  for (auto &[id, t] : transfers_) t->dropped = true;
  on_completions();
  drop_all_transfers();
  usbredirparser_send_device_disconnect(parser_);
  generation_ = instrument_->generation();
  plug_wanted_ = true;
  if (usbredirparser_peer_has_cap(parser_, usb_redir_cap_device_disconnect_ack)) {
    plug_state_ = PlugState::kAwaitingAck;
  } else {
    plug_state_ = PlugState::kUnplugged;
    send_connect();
  }
}

void RedirDevice::drop_all_transfers() {
  // Records the instrument still holds stay until their completion (marked dropped); the rest go.
  for (auto it = transfers_.begin(); it != transfers_.end();) {
    if (it->second->dropped) {
      ++it;
      continue;
    }
    it = transfers_.erase(it);
  }
}

// ---- Bulk transfers ---------------------------------------------------------------------------

void RedirDevice::on_bulk_done(void *context, uint32_t status, uint32_t bytes) {
  // On the instrument's thread, or inside submit_bulk / cancel_endpoint on ours: queue only.
  auto *t = static_cast<Transfer *>(context);
  RedirDevice *self = t->owner;
  bool first;
  {
    std::lock_guard<std::mutex> lock(self->done_mutex_);
    first = self->done_.empty();
    self->done_.push_back({t, status, bytes});
  }
  if (first) {
    uint64_t one = 1;
    ssize_t ignored = write(self->wake_fd_, &one, sizeof one);
    (void)ignored;  // a full counter already wakes the loop
  }
}

void RedirDevice::on_completions() {
  uint64_t count;
  while (read(wake_fd_, &count, sizeof count) > 0) {
  }
  for (;;) {
    std::vector<Done> done;
    {
      std::lock_guard<std::mutex> lock(done_mutex_);
      done.swap(done_);
    }
    if (done.empty()) return;
    process(done);
  }
}

void RedirDevice::process(const std::vector<Done> &done) {
  for (const Done &d : done) {
    Transfer *t = d.transfer;
    auto found = transfers_.find(t->id);
    const bool owned = found != transfers_.end() && found->second.get() == t;
    if (t->dropped || parser_ == nullptr) {
      if (owned) {
        pending_bytes_ -= t->buffer.size();
        transfers_.erase(found);
      }
      continue;
    }
    if (d.status == kStatusCancelled && !t->cancel_requested) {
      // Cancelled only because another transfer of its endpoint was (the instrument cancels by
      // endpoint, the peer by packet). It moved no data: post it again, in its old order.
      submit(t);
      continue;
    }
    usb_redir_bulk_packet_header h = t->header;
    // A transfer that finished before the peer's cancel reached us is answered as it finished:
    // the peer decides what a late answer is worth.
    h.status = redir_status(d.status);
    uint32_t bytes = h.status == usb_redir_success ? d.bytes : 0;
    if (h.status == usb_redir_cancelled) ++stats_.cancelled;
    const bool in = (h.endpoint & 0x80) != 0;
    if (in) {
      ++stats_.bulk_in_packets;
      stats_.bulk_in_bytes += bytes;
    } else {
      ++stats_.bulk_out_packets;
      stats_.bulk_out_bytes += bytes;
    }
    h.length = static_cast<uint16_t>(bytes & 0xFFFF);
    h.length_high = static_cast<uint16_t>(bytes >> 16);
    usbredirparser_send_bulk_packet(parser_, t->id, &h,
                                    in && bytes != 0 ? t->buffer.data() : nullptr,
                                    in ? static_cast<int>(bytes) : 0);
    pending_bytes_ -= t->buffer.size();
    transfers_.erase(t->id);
  }
}

void RedirDevice::submit(Transfer *t) {
  uint32_t status =
      instrument_->submit_bulk(generation_, t->header.endpoint, t->buffer.data(),
                               static_cast<uint32_t>(t->buffer.size()), on_bulk_done, t);
  if (status != kStatusSuccess) {
    // Not queued, so no completion: answer here.
    on_bulk_done(t, status, 0);
  }
}

void RedirDevice::answer_bulk(const usb_redir_bulk_packet_header &request, uint64_t id,
                              uint8_t status) {
  usb_redir_bulk_packet_header h = request;
  h.status = status;
  h.length = 0;
  h.length_high = 0;
  usbredirparser_send_bulk_packet(parser_, id, &h, nullptr, 0);
}

// ---- Parser callbacks -------------------------------------------------------------------------

int RedirDevice::read_cb(void *priv, uint8_t *data, int count) {
  auto *self = static_cast<RedirDevice *>(priv);
  ssize_t r = read(self->fd_, data, static_cast<size_t>(count));
  if (r > 0) return static_cast<int>(r);
  if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  self->peer_gone_ = true;
  return -1;
}

int RedirDevice::write_cb(void *priv, uint8_t *data, int count) {
  auto *self = static_cast<RedirDevice *>(priv);
  ssize_t r = send(self->fd_, data, static_cast<size_t>(count), MSG_NOSIGNAL);
  if (r >= 0) return static_cast<int>(r);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  self->peer_gone_ = true;
  return -1;
}

void RedirDevice::log_cb(void *priv, int level, const char *message) {
  auto *self = static_cast<RedirDevice *>(priv);
  if (level <= usbredirparser_warning || self->verbose_ > 1) {
    std::fprintf(stderr, "vexdaq-usbredir: %s\n", message);
  }
}

void RedirDevice::hello_cb(void *priv, usb_redir_hello_header *hello) {
  auto *self = static_cast<RedirDevice *>(priv);
  self->hello_seen_ = true;
  if (self->verbose_ > 0) std::fprintf(stderr, "vexdaq-usbredir: peer \"%s\"\n", hello->version);
  if (self->plug_wanted_) self->send_connect();
}

void RedirDevice::reset_cb(void *priv) {
  auto *self = static_cast<RedirDevice *>(priv);
  // The peer cancels its packets itself before a bus reset; the device keeps its state, as the
  // instrument's chip does across a port reset.
  if (self->verbose_ > 0) std::fprintf(stderr, "vexdaq-usbredir: bus reset\n");
}

void RedirDevice::set_configuration_cb(void *priv, uint64_t id,
                                       usb_redir_set_configuration_header *header) {
  auto *self = static_cast<RedirDevice *>(priv);
  usb_redir_configuration_status_header s{};
  s.configuration = header->configuration;
  if (self->plug_state_ != PlugState::kPlugged) {
    s.status = usb_redir_ioerror;
  } else {
    s.status = redir_status(
        self->instrument_->set_configuration(self->generation_, header->configuration));
    self->alt_setting_ = 0;
    self->send_device_info();
  }
  usbredirparser_send_configuration_status(self->parser_, id, &s);
}

void RedirDevice::get_configuration_cb(void *priv, uint64_t id) {
  auto *self = static_cast<RedirDevice *>(priv);
  usb_redir_configuration_status_header s{};
  uint8_t value = 0;
  uint32_t got = 0;
  SetupPacket setup{0x80, 0x08, 0, 0, 1};
  s.status = self->plug_state_ != PlugState::kPlugged
                 ? static_cast<uint8_t>(usb_redir_ioerror)
                 : redir_status(
                       self->instrument_->control_transfer(self->generation_, setup, &value, &got));
  s.configuration = value;
  usbredirparser_send_configuration_status(self->parser_, id, &s);
}

void RedirDevice::set_alt_setting_cb(void *priv, uint64_t id,
                                     usb_redir_set_alt_setting_header *header) {
  auto *self = static_cast<RedirDevice *>(priv);
  usb_redir_alt_setting_status_header s{};
  s.interface = header->interface;
  s.alt = header->alt;
  uint32_t got = 0;
  SetupPacket setup{0x01, 0x0B, header->alt, header->interface, 0};
  s.status = self->plug_state_ != PlugState::kPlugged
                 ? static_cast<uint8_t>(usb_redir_ioerror)
                 : redir_status(self->instrument_->control_transfer(self->generation_, setup,
                                                                    nullptr, &got));
  if (s.status == usb_redir_success) self->alt_setting_ = header->alt;
  usbredirparser_send_alt_setting_status(self->parser_, id, &s);
}

void RedirDevice::get_alt_setting_cb(void *priv, uint64_t id,
                                     usb_redir_get_alt_setting_header *header) {
  auto *self = static_cast<RedirDevice *>(priv);
  usb_redir_alt_setting_status_header s{};
  s.interface = header->interface;
  s.alt = self->alt_setting_;
  s.status = self->plug_state_ == PlugState::kPlugged && header->interface == 0
                 ? static_cast<uint8_t>(usb_redir_success)
                 : static_cast<uint8_t>(usb_redir_stall);
  usbredirparser_send_alt_setting_status(self->parser_, id, &s);
}

void RedirDevice::cancel_cb(void *priv, uint64_t id) {
  auto *self = static_cast<RedirDevice *>(priv);
  auto found = self->transfers_.find(id);
  if (found == self->transfers_.end() || found->second->dropped) return;  // answered already
  Transfer *t = found->second.get();
  t->cancel_requested = true;
  // The others of the endpoint complete cancelled too and are posted again in on_completions(),
  // before any packet that arrives after this one.
  self->instrument_->cancel_endpoint(self->generation_, t->header.endpoint);
  self->on_completions();
}

void RedirDevice::control_cb(void *priv, uint64_t id, usb_redir_control_packet_header *header,
                             uint8_t *data, int data_len) {
  auto *self = static_cast<RedirDevice *>(priv);
  ++self->stats_.control_packets;
  usb_redir_control_packet_header r = *header;
  const bool in = (header->requesttype & kDirectionIn) != 0;
  std::vector<uint8_t> buffer(header->length);
  uint32_t got = 0;
  uint32_t status;
  if (self->plug_state_ != PlugState::kPlugged) {
    status = kStatusDeviceNotPresent;
  } else if (!in && data_len != header->length) {
    status = kStatusStall;  // a data stage that does not match its setup packet
  } else {
    if (!in && data_len > 0) std::memcpy(buffer.data(), data, static_cast<size_t>(data_len));
    SetupPacket setup{header->requesttype, header->request, header->value, header->index,
                      header->length};
    status = self->instrument_->control_transfer(self->generation_, setup, buffer.data(), &got);
  }
  if (data != nullptr) usbredirparser_free_packet_data(self->parser_, data);
  r.status = redir_status(status);
  if (r.status != usb_redir_success) got = 0;
  r.length = static_cast<uint16_t>(in ? got : (r.status == usb_redir_success ? header->length : 0));
  if (self->verbose_ > 1) {
    std::fprintf(stderr, "vexdaq-usbredir: control %02X %02X %04X %04X %04X -> %u, %u bytes\n",
                 header->requesttype, header->request, header->value, header->index, header->length,
                 r.status, r.length);
  }
  usbredirparser_send_control_packet(self->parser_, id, &r,
                                     in && got != 0 ? buffer.data() : nullptr,
                                     in ? static_cast<int>(got) : 0);
}

void RedirDevice::bulk_cb(void *priv, uint64_t id, usb_redir_bulk_packet_header *header,
                          uint8_t *data, int data_len) {
  auto *self = static_cast<RedirDevice *>(priv);
  const bool in = (header->endpoint & 0x80) != 0;
  const uint32_t length = in ? bulk_length(*header) : static_cast<uint32_t>(data_len);
  uint8_t refuse = usb_redir_success;
  if (self->plug_state_ != PlugState::kPlugged) {
    refuse = usb_redir_ioerror;
  } else if (length > kMaxBulkBytes || self->pending_bytes_ + length > kMaxPendingBytes ||
             self->transfers_.count(id) != 0) {
    refuse = usb_redir_inval;
  }
  if (refuse != usb_redir_success) {
    if (data != nullptr) usbredirparser_free_packet_data(self->parser_, data);
    self->answer_bulk(*header, id, refuse);
    return;
  }
  auto t = std::make_unique<Transfer>();
  t->owner = self;
  t->id = id;
  t->header = *header;
  if (in) {
    t->buffer.resize(length);
  } else {
    t->buffer.assign(data, data + data_len);
  }
  if (data != nullptr) usbredirparser_free_packet_data(self->parser_, data);
  Transfer *raw = t.get();
  self->pending_bytes_ += length;
  self->transfers_[id] = std::move(t);
  self->submit(raw);
}

void RedirDevice::disconnect_ack_cb(void *priv) {
  auto *self = static_cast<RedirDevice *>(priv);
  if (self->plug_state_ != PlugState::kAwaitingAck) return;
  self->plug_state_ = PlugState::kUnplugged;
  if (self->plug_wanted_) self->send_connect();
}

void RedirDevice::filter_cb(void *, usbredirfilter_rule *rules, int) {
  free(rules);
}

}  // namespace vexdaq::usbredir
