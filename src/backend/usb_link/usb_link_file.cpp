#include "backend/usb_link/usb_link_file.h"

#include <cstring>

#include "platform/thread.h"
#include "protocol/little_endian.h"

namespace vexdaq {
namespace {

constexpr uint8_t kRequestGetDescriptor = 0x06;
constexpr uint32_t kMaximumTransferSize = 4096;

bool fail(uint32_t status) {
  platform::set_last_error(status);
  return false;
}

void complete_overlapped(void *context, uint32_t status, uint32_t bytes) {
  auto *record = static_cast<Overlapped *>(context);
  record->internal.store(status);
  record->internal_high.store(bytes);
  if (record->event) record->event->set();
}

// The 1-based position of endpoint among the pipes the configuration lists, 0 when absent.
int pipe_position_in(const ConfigurationInfo &info, uint8_t endpoint) {
  uint32_t count = info.pipe_count > kMaxPipeEntries ? kMaxPipeEntries : info.pipe_count;
  for (uint32_t j = 0; j < count; ++j) {
    if (info.pipes[j].endpoint_address == endpoint) return static_cast<int>(j + 1);
  }
  return 0;
}

class UsbLinkFile final : public OpenFile {
 public:
  UsbLinkFile(std::shared_ptr<UsbLink> link, uint32_t access,
              std::shared_ptr<DriverCallWatch> watch)
      : link_(std::move(link)), watch_(std::move(watch)), access_(access) {
    link_->note_handle_opened();
  }
  ~UsbLinkFile() override {
    cancel();
    link_->note_handle_closed();
  }

  bool ioctl(uint32_t code, const void *in, uint32_t in_size, void *out, uint32_t out_size,
             uint32_t *returned) override;
  bool start_read(Overlapped &record, void *buffer, uint32_t size) override {
    return start(record, static_cast<uint8_t *>(buffer), size, true);
  }
  bool start_write(Overlapped &record, const void *buffer, uint32_t size) override {
    // The link never writes into an OUT transfer's buffer.
    return start(record, static_cast<uint8_t *>(const_cast<void *>(buffer)), size, false);
  }
  bool paced() const override { return link_->paced(); }
  void cancel() override {
    int endpoint = endpoint_.load();
    if (endpoint >= 0) link_->cancel_endpoint(static_cast<uint8_t>(endpoint));
  }

 private:
  bool start(Overlapped &record, uint8_t *buffer, uint32_t size, bool read);
  bool control(uint32_t code, const void *in, uint32_t in_size, void *out, uint32_t out_size,
               uint32_t *returned);
  bool get_descriptor(const void *in, uint32_t in_size, void *out, uint32_t out_size,
                      uint32_t *returned);
  bool set_configuration(const void *in, uint32_t in_size);
  bool configuration_info(void *out, uint32_t out_size, uint32_t *returned);
  bool bind_pipe(const void *in, uint32_t in_size);
  // The configuration as the device describes it: kStatusSuccess, kStatusDeviceNotPresent when
  // the link has no descriptor to give, kStatusTransferError when it does not parse.
  uint32_t read_configuration(ConfigurationInfo &info, uint8_t *value);
  int pipe_position(uint8_t endpoint);

  std::shared_ptr<UsbLink> link_;
  const std::shared_ptr<DriverCallWatch> watch_;  // null for a real device
  const uint32_t access_;
  std::atomic<int> endpoint_{-1};  // bound endpoint address, -1 while unbound
  std::atomic<int> pipe_{0};       // 1-based position of that endpoint in the interface
};

bool UsbLinkFile::start(Overlapped &record, uint8_t *buffer, uint32_t size, bool read) {
  if ((access_ & (read ? kAccessRead : kAccessWrite)) == 0) return fail(kStatusAccessDenied);
  if (!link_->present()) return fail(kStatusDeviceNotPresent);
  int endpoint = endpoint_.load();
  if (endpoint < 0) return fail(kStatusInvalidParameter);
  if (((endpoint & kDirectionIn) != 0) != read) return fail(kStatusInvalidParameter);
  if (buffer == nullptr && size != 0) return fail(kStatusInvalidParameter);
  uint32_t status = link_->submit_bulk(static_cast<uint8_t>(endpoint), buffer, size,
                                       complete_overlapped, &record);
  if (status != kStatusSuccess) return fail(status);
  return true;
}

bool UsbLinkFile::ioctl(uint32_t code, const void *in, uint32_t in_size, void *out,
                        uint32_t out_size, uint32_t *returned) {
  if (returned != nullptr) *returned = 0;
  if ((in == nullptr && in_size != 0) || (out == nullptr && out_size != 0)) {
    return fail(kStatusInvalidParameter);
  }
  // A binding is looked at as the pipe it binds.
  int pipe = code == IOCTL_USBIO_BIND_PIPE && in_size >= 1
                 ? pipe_position(static_cast<const uint8_t *>(in)[0])
                 : pipe_.load();
  if (watch_ != nullptr) {
    const uint32_t injected = watch_->driver_call(code, pipe);
    if (injected != kStatusSuccess) return fail(injected);
  }
  if (!link_->present()) return fail(kStatusDeviceNotPresent);
  auto *bytes = static_cast<uint8_t *>(out);
  auto give = [&](uint32_t n) {
    if (returned != nullptr) *returned = n;
    return true;
  };
  // The info records go out whole or not at all.
  auto give_record = [&](auto record) {
    constexpr uint32_t size = decltype(record)::kSize;
    if (out_size < size) return fail(kStatusBufferTooSmall);
    encode(record, bytes);
    return give(size);
  };

  switch (code) {
    case IOCTL_USBIO_GET_DRIVER_INFO: {
      LinkDriverInfo d = link_->driver_info();
      DriverInfo info;
      info.api_version = d.api_version;
      info.driver_version = d.driver_version;
      info.build_number = d.build_number;
      return give_record(info);
    }
    case IOCTL_USBIO_GET_DEVICE_INFO: {
      DeviceInfo info;
      info.open_count = link_->open_handles() + link_->extra_opens();
      return give_record(info);
    }
    case IOCTL_USBIO_GET_BANDWIDTH_INFO: {
      LinkDriverInfo d = link_->driver_info();
      BandwidthInfo info;
      info.total_bandwidth = d.total_bandwidth;
      info.consumed_bandwidth = d.consumed_bandwidth;
      return give_record(info);
    }
    case IOCTL_USBIO_GET_DESCRIPTOR:
      return get_descriptor(in, in_size, out, out_size, returned);
    case IOCTL_USBIO_SET_CONFIGURATION:
      return set_configuration(in, in_size);
    case IOCTL_USBIO_GET_CONFIGURATION_INFO:
      return configuration_info(out, out_size, returned);
    case IOCTL_USBIO_BIND_PIPE:
      return bind_pipe(in, in_size);
    case IOCTL_USBIO_GET_PIPE_PARAMETERS:
      if (endpoint_.load() < 0) return fail(kStatusInvalidParameter);
      if (out_size < 4) return fail(kStatusBufferTooSmall);
      put_le32(bytes, 0);
      return give(4);
    case IOCTL_USBIO_GET_CURRENT_FRAME_NUMBER: {
      if (out_size < 4) return fail(kStatusBufferTooSmall);
      uint32_t frame = 0;
      uint32_t status = link_->frame_number(&frame);
      if (status != kStatusSuccess) return fail(status);
      put_le32(bytes, frame);
      return give(4);
    }
    case IOCTL_USBIO_ABORT_PIPE: {
      int endpoint = endpoint_.load();
      if (endpoint < 0) return fail(kStatusInvalidParameter);
      link_->cancel_endpoint(static_cast<uint8_t>(endpoint));
      return give(0);
    }
    case IOCTL_USBIO_RESET_PIPE: {
      int endpoint = endpoint_.load();
      if (endpoint < 0) return fail(kStatusInvalidParameter);
      uint32_t status = link_->clear_halt(static_cast<uint8_t>(endpoint));
      if (status != kStatusSuccess) return fail(status);
      return give(0);
    }
    case IOCTL_USBIO_PIPE0_CLASS_IN:
    case IOCTL_USBIO_PIPE0_CLASS_OUT:
      return control(code, in, in_size, out, out_size, returned);
    default:
      return fail(kStatusNotSupported);
  }
}

bool UsbLinkFile::control(uint32_t code, const void *in, uint32_t in_size, void *out,
                          uint32_t out_size, uint32_t *returned) {
  ControlRequest request;
  if (!decode(static_cast<const uint8_t *>(in), in_size, request)) {
    return fail(kStatusInvalidParameter);
  }
  bool device_to_host = code == IOCTL_USBIO_PIPE0_CLASS_IN;
  SetupPacket setup;
  if (!control_request_type(request, device_to_host, &setup.request_type)) {
    return fail(kStatusInvalidParameter);
  }
  if (out_size > 0xFFFF) return fail(kStatusInvalidParameter);  // wLength is 16 bits
  setup.request = request.request;
  setup.value = request.value;
  setup.index = request.index;
  setup.length = static_cast<uint16_t>(out_size);
  uint32_t transferred = 0;
  uint32_t status = link_->control_transfer(setup, static_cast<uint8_t *>(out), &transferred);
  if (status != kStatusSuccess) return fail(status);
  if (returned != nullptr) *returned = transferred > out_size ? out_size : transferred;
  return true;
}

bool UsbLinkFile::get_descriptor(const void *in, uint32_t in_size, void *out, uint32_t out_size,
                                 uint32_t *returned) {
  DescriptorRequest request;
  if (!decode(static_cast<const uint8_t *>(in), in_size, request) || request.recipient > 3) {
    return fail(kStatusInvalidParameter);
  }
  SetupPacket setup;
  setup.request_type = static_cast<uint8_t>(kDirectionIn | request.recipient);
  setup.request = kRequestGetDescriptor;
  setup.value = static_cast<uint16_t>((request.descriptor_type << 8) | request.descriptor_index);
  setup.index = request.language_id;
  setup.length = static_cast<uint16_t>(out_size > 0xFFFF ? 0xFFFF : out_size);
  uint32_t transferred = 0;
  uint32_t status = link_->control_transfer(setup, static_cast<uint8_t *>(out), &transferred);
  if (status != kStatusSuccess) return fail(status);
  if (returned != nullptr) *returned = transferred > setup.length ? setup.length : transferred;
  return true;
}

bool UsbLinkFile::set_configuration(const void *in, uint32_t in_size) {
  ConfigurationRequest request;
  if (!decode(static_cast<const uint8_t *>(in), in_size, request)) {
    return fail(kStatusInvalidParameter);
  }
  ConfigurationInfo info;
  uint8_t value = 0;
  uint32_t status = read_configuration(info, &value);
  if (status == kStatusDeviceNotPresent) return fail(status);
  if (request.configuration_index != 0 || status != kStatusSuccess) {
    return fail(kStatusInvalidParameter);
  }
  status = link_->set_configuration(value);
  if (status != kStatusSuccess) return fail(status);
  int count = request.interface_count > kMaxInterfaceSettings ? kMaxInterfaceSettings
                                                              : request.interface_count;
  for (int i = 0; i < count; ++i) {
    status = link_->claim_interface(static_cast<uint8_t>(request.settings[i].interface));
    if (status != kStatusSuccess) return fail(status);
  }
  return true;
}

bool UsbLinkFile::configuration_info(void *out, uint32_t out_size, uint32_t *returned) {
  if (out_size < kConfigurationInfoSize) return fail(kStatusBufferTooSmall);
  ConfigurationInfo info;
  uint8_t value = 0;
  uint32_t status = read_configuration(info, &value);
  if (status != kStatusSuccess) return fail(status);
  encode(info, static_cast<uint8_t *>(out));
  if (returned != nullptr) *returned = kConfigurationInfoSize;
  return true;
}

uint32_t UsbLinkFile::read_configuration(ConfigurationInfo &info, uint8_t *value) {
  std::vector<uint8_t> descriptor;
  if (!link_->configuration_descriptor(descriptor)) return kStatusDeviceNotPresent;
  return parse_configuration(descriptor, info, value) ? kStatusSuccess : kStatusTransferError;
}

int UsbLinkFile::pipe_position(uint8_t endpoint) {
  ConfigurationInfo info;
  uint8_t value = 0;
  if (read_configuration(info, &value) != kStatusSuccess) return 0;
  return pipe_position_in(info, endpoint);
}

bool UsbLinkFile::bind_pipe(const void *in, uint32_t in_size) {
  if (in_size < 1) return fail(kStatusInvalidParameter);
  uint8_t endpoint = static_cast<const uint8_t *>(in)[0];
  ConfigurationInfo info;
  uint8_t value = 0;
  uint32_t status = read_configuration(info, &value);
  if (status != kStatusSuccess) return fail(status);
  int position = pipe_position_in(info, endpoint);
  if (position == 0) return fail(kStatusInvalidParameter);
  pipe_.store(position);
  endpoint_.store(endpoint);
  return true;
}

}  // namespace

bool control_request_type(const ControlRequest &request, bool device_to_host, uint8_t *out) {
  if (request.type > 2 || request.recipient > 3) return false;
  *out = static_cast<uint8_t>((device_to_host ? kDirectionIn : 0) | (request.type << 5) |
                              request.recipient);
  return true;
}

bool parse_configuration(const std::vector<uint8_t> &d, ConfigurationInfo &info,
                         uint8_t *configuration_value) {
  info = ConfigurationInfo{};
  if (d.size() < 9 || d[1] != kDescriptorConfiguration) return false;
  *configuration_value = d[5];
  size_t total = get_le16(&d[2]);
  if (total > d.size()) total = d.size();
  int first_interface = -1;
  uint32_t interfaces = 0;
  uint32_t pipes = 0;
  size_t at = d[0] < 2 ? 9 : d[0];
  while (at + 2 <= total) {
    size_t length = d[at];
    if (length < 2 || at + length > total) break;  // malformed: stop at what is whole
    uint8_t type = d[at + 1];
    if (type == kDescriptorInterface && length >= 9) {
      if (interfaces < kMaxInterfaceSettings) {
        InterfaceInfo &f = info.interfaces[interfaces];
        f.interface_number = d[at + 2];
        f.alternate_setting = d[at + 3];
        f.pipe_count = d[at + 4];
        f.interface_class = d[at + 5];
        f.interface_subclass = d[at + 6];
        f.interface_protocol = d[at + 7];
      }
      ++interfaces;
      if (first_interface < 0) first_interface = d[at + 2];
    } else if (type == kDescriptorEndpoint && length >= 7 && interfaces == 1) {
      if (pipes < kMaxPipeEntries) {
        PipeInfo &p = info.pipes[pipes];
        p.endpoint_address = d[at + 2];
        p.pipe_type = d[at + 3] & 0x03;
        p.maximum_packet_size = get_le16(&d[at + 4]);
        p.interval = d[at + 6];
        p.maximum_transfer_size = kMaximumTransferSize;
        p.interface_number = static_cast<uint8_t>(first_interface);
      }
      ++pipes;
    }
    at += length;
  }
  info.interface_count = interfaces;
  info.pipe_count = pipes;
  return true;
}

std::unique_ptr<OpenFile> open_usb_link_file(std::shared_ptr<UsbLink> link, uint32_t access,
                                             uint32_t /*share*/, uint32_t /*flags*/,
                                             std::shared_ptr<DriverCallWatch> watch) {
  return std::make_unique<UsbLinkFile>(std::move(link), access, std::move(watch));
}

}  // namespace vexdaq
