#include "device/device_init.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "device/control_request.h"
#include "device/device_state.h"
#include "platform/thread.h"
#include "protocol/little_endian.h"
#include "protocol/requests.h"
#include "protocol/usbio_records.h"
#include "session/log.h"

namespace vexdaq {

namespace {

constexpr uint32_t kDeviceDescriptorSize = 18;
constexpr uint32_t kConfigHeaderSize = 9;
// A string descriptor of this size holds its 2-byte header and 24 UTF-16 units.
constexpr uint32_t kStringBufferSize = 50;
constexpr uint32_t kRateReplySize = 255;
constexpr uint16_t kInputSide = 0x8000;
constexpr uint32_t kMaxBoundPipes = 4;
constexpr uint32_t kMaxDeviceOpens = 5;  // the session's own five handles
constexpr uint32_t kMaxTransferSize = 4096;

// A device-control call on handle that must bring back exactly `expected` bytes.
bool ioctl_exact(DeviceHandle handle, uint32_t code, const void *in, uint32_t in_size, void *out,
                 uint32_t out_size, uint32_t expected) {
  uint32_t returned = 0;
  return driver_ioctl(handle, code, in, in_size, out, out_size, &returned) && returned == expected;
}

// One of the driver's output records, which must come back whole.
template <UsbioRecord R>
bool read_record(DeviceHandle handle, uint32_t code, R &record) {
  uint8_t reply[R::kSize] = {};
  return ioctl_exact(handle, code, nullptr, 0, reply, sizeof reply, sizeof reply) &&
         decode(reply, sizeof reply, record);
}

bool get_descriptor(uint8_t type, uint8_t index, uint16_t language, void *out, uint32_t size,
                    uint32_t *returned) {
  DescriptorRequest request;
  request.recipient = 0;
  request.descriptor_type = type;
  request.descriptor_index = index;
  request.language_id = language;
  uint8_t encoded[kDescriptorRequestSize];
  encode(request, encoded);
  return driver_ioctl(g_device.control_handle, IOCTL_USBIO_GET_DESCRIPTOR, encoded,
                      kDescriptorRequestSize, out, size, returned);
}

bool fail(const char *line) {
  log_print(LogLevel::kEntry, line, platform::last_error());
  return false;
}

// Copies of the device's descriptors; a copy that cannot be allocated fails like the read.
std::unique_ptr<uint8_t[]> allocate_zeroed(uint32_t size) {
  std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[size == 0 ? 1 : size]());
  if (copy == nullptr) platform::set_last_error(kStatusNotEnoughMemory);
  return copy;
}

void log_device_descriptor(const uint8_t *d) {
  log_print(LogLevel::kContinue, "\n  USB Device Descriptor :\n");
  log_print(LogLevel::kContinue, "                 bcdUSB : 0x%.4x\n", get_le16(d + 2));
  log_print(LogLevel::kContinue, "           bDeviceClass : 0x%.2x\n", d[4]);
  log_print(LogLevel::kContinue, "        bDeviceSubClass : 0x%.2x\n", d[5]);
  log_print(LogLevel::kContinue, "        bDeviceProtocol : 0x%.2x\n", d[6]);
  log_print(LogLevel::kContinue, "        bMaxPacketSize0 : 0x%.2x\n", d[7]);
  log_print(LogLevel::kContinue, "               idVendor : 0x%.4x\n", get_le16(d + 8));
  log_print(LogLevel::kContinue, "              idProduct : 0x%.4x\n", get_le16(d + 10));
  log_print(LogLevel::kContinue, "              bcdDevice : 0x%.4x\n", get_le16(d + 12));
  log_print(LogLevel::kContinue, "          iManufacturer : 0x%.2x\n", d[14]);
  log_print(LogLevel::kContinue, "               iProduct : 0x%.2x\n", d[15]);
  log_print(LogLevel::kContinue, "          iSerialNumber : 0x%.2x\n", d[16]);
  log_print(LogLevel::kContinue, "     bNumConfigurations : 0x%.2x\n", d[17]);
}

// The low byte of each UTF-16 unit after the 2-byte header, as far as the reply and the name
// reach (at most 31 characters, so the name stays terminated).
void store_product_name(const uint8_t *reply, uint32_t returned) {
  std::memset(g_device.product_name, 0, sizeof g_device.product_name);
  const int32_t units = static_cast<int32_t>(std::min(returned, kStringBufferSize) / 2) - 1;
  const int32_t length = std::min(units, kProductNameSize - 1);
  for (int32_t i = 0; i < length; ++i)
    g_device.product_name[i] = static_cast<char>(reply[2 + 2 * i]);
}

// Reads one rate list. The count is the device's, limited to the rates the reply really holds.
bool read_rate_list(uint16_t side, int32_t (&rates)[kRateListCapacity], int32_t &count,
                    const char *opening) {
  uint8_t reply[kRateReplySize] = {};
  uint32_t returned = 0;
  if (!class_in(REQ_SAMPLE_RATE_LIST, 0, side, reply, sizeof reply, &returned)) {
    log_print(LogLevel::kEntry, "PIPE0_CLASS_IN Request (0x%.2X) failed, status = 0x%08X.\n",
              REQ_SAMPLE_RATE_LIST, platform::last_error());
    return false;
  }
  const uint32_t received = std::min<uint32_t>(returned, kRateReplySize);
  const uint32_t held = received < 2 ? 0 : (received - 2) / 4;
  const uint32_t claimed = received < 2 ? 0 : get_le16(reply);
  const int32_t n =
      static_cast<int32_t>(std::min({claimed, held, static_cast<uint32_t>(kRateListCapacity)}));
  count = n;
  log_print(LogLevel::kEntry, opening);
  for (int32_t i = 0; i < n; ++i) {
    rates[i] = static_cast<int32_t>(get_le32(reply + 2 + 4 * i));
    log_print(LogLevel::kContinue, "%d ", rates[i]);
  }
  log_print(LogLevel::kContinue, "\r\n");
  return true;
}

// A 4-byte reply of two 16-bit halves, input first.
bool read_pair(uint8_t request, uint16_t &input, uint16_t &output) {
  uint8_t reply[4] = {};
  uint32_t returned = 0;
  if (!class_in(request, 0, 0, reply, sizeof reply, &returned)) {
    log_print(LogLevel::kEntry, "PIPE0_CLASS_IN Request (0x%.2X) failed, status = 0x%08X.\n",
              request, platform::last_error());
    return false;
  }
  if (returned < sizeof reply) {
    log_print(LogLevel::kEntry, "PIPE0_CLASS_IN Request (0x%.2X) returned %d of %d bytes.\n",
              request, returned, static_cast<int32_t>(sizeof reply));
    return false;
  }
  input = get_le16(reply);
  output = get_le16(reply + 2);
  return true;
}

}  // namespace

bool usbio_device_init(uint8_t device_class, uint8_t device_protocol) {
  log_print(LogLevel::kEntry, "usbio_device_init (0x%.2x, 0x%.2x)- begins\n", device_class,
            device_protocol);
  const DeviceHandle control = g_device.control_handle;

  DriverInfo driver;
  if (!read_record(control, IOCTL_USBIO_GET_DRIVER_INFO, driver)) {
    return fail("GET_DRIVER_INFO failed, status = 0x%08X.\n");
  }
  log_print(LogLevel::kContinue, "      DriverAPI Version : 0x%lx\n", driver.api_version);
  log_print(LogLevel::kContinue, "         Driver Version : 0x%lx\n", driver.driver_version);
  log_print(LogLevel::kContinue, "           Build Number : 0x%lx\n", driver.build_number);
  g_device.driver_version = driver.driver_version;

  DeviceInfo device;
  if (!read_record(control, IOCTL_USBIO_GET_DEVICE_INFO, device)) {
    return fail("GET_DEVICE_INFO failed, status = 0x%08X.\n");
  }
  log_print(LogLevel::kContinue, "            Device Open : 0x%lx\n", device.open_count);
  // Another program holds the device as well: it would compete for the pipes.
  if (device.open_count > kMaxDeviceOpens) return false;

  BandwidthInfo bandwidth;
  if (!read_record(control, IOCTL_USBIO_GET_BANDWIDTH_INFO, bandwidth)) {
    return fail("GET_BANDWIDTH_INFO failed, status = 0x%08X.\n");
  }
  log_print(LogLevel::kContinue, "        Total Bandwidth : 0x%lx\n", bandwidth.total_bandwidth);
  log_print(LogLevel::kContinue, "     Consumed Bandwidth : 0x%lx\n", bandwidth.consumed_bandwidth);

  g_device.device_descriptor = allocate_zeroed(kDeviceDescriptorSize);
  uint32_t returned = 0;
  if (g_device.device_descriptor == nullptr ||
      !get_descriptor(kDescriptorDevice, 0, 0, g_device.device_descriptor.get(),
                      kDeviceDescriptorSize, &returned) ||
      returned != kDeviceDescriptorSize) {
    return fail("Get Device Descriptor failed, status = 0x%08X.\n");
  }
  const uint8_t *descriptor = g_device.device_descriptor.get();
  log_device_descriptor(descriptor);
  if (descriptor[6] != device_protocol) return false;  // not an instrument of this protocol
  g_device.device_bcd = get_le16(descriptor + 12);

  uint8_t string_reply[kStringBufferSize] = {};
  returned = 0;
  if (!get_descriptor(kDescriptorString, descriptor[15], kLanguageEnglishUs, string_reply,
                      kStringBufferSize, &returned)) {
    return fail("Get String Descriptor failed, status = 0x%08X.\n");
  }
  store_product_name(string_reply, returned);
  log_print(LogLevel::kContinue, "                Product : %s\n", g_device.product_name);

  uint8_t config_header[kConfigHeaderSize] = {};
  if (!get_descriptor(kDescriptorConfiguration, 0, 0, config_header, kConfigHeaderSize,
                      &returned) ||
      returned != kConfigHeaderSize) {
    return fail("Get Config Descriptor failed, status = 0x%08X.\n");
  }
  const uint32_t total_length = get_le16(config_header + 2);

  g_device.config_descriptor_size = 0;
  g_device.config_descriptor = allocate_zeroed(total_length);
  if (g_device.config_descriptor == nullptr ||
      !get_descriptor(kDescriptorConfiguration, 0, 0, g_device.config_descriptor.get(),
                      total_length, &returned) ||
      returned != total_length) {
    return fail("Get Total Config Descriptor failed, status = 0x%08X.\n");
  }
  g_device.config_descriptor_size = total_length;

  ConfigurationRequest configuration;
  configuration.configuration_index = 0;
  configuration.interface_count = 1;
  configuration.settings[0].interface = 0;
  configuration.settings[0].alternate_setting = 0;
  configuration.settings[0].maximum_transfer_size = kMaxTransferSize;
  uint8_t configuration_bytes[kConfigurationRequestSize];
  encode(configuration, configuration_bytes);
  if (!ioctl_exact(control, IOCTL_USBIO_SET_CONFIGURATION, configuration_bytes,
                   kConfigurationRequestSize, nullptr, 0, 0)) {
    return fail("SET_CONFIGURATION failed, status = 0x%08X.\n");
  }

  ConfigurationInfo info;
  if (!read_record(control, IOCTL_USBIO_GET_CONFIGURATION_INFO, info)) {
    return fail("GET_CONFIGURATION_INFO failed, status = 0x%08X.\n");
  }
  log_print(LogLevel::kContinue, "\n  USB Configuration Information :\n");
  log_print(LogLevel::kContinue, "         NbOfInterfaces : 0x%.4x\n", info.interface_count);
  log_print(LogLevel::kContinue, "              NbOfPipes : 0x%.2x\n", info.pipe_count);
  g_device.pipe_count = static_cast<int32_t>(std::min(info.pipe_count, kMaxBoundPipes));

  for (int32_t j = 1; j <= g_device.pipe_count; ++j) {
    const DeviceHandle pipe = g_device.pipe_handles[j - 1];
    const uint8_t endpoint = info.pipes[j - 1].endpoint_address;
    if (!ioctl_exact(pipe, IOCTL_USBIO_BIND_PIPE, &endpoint, 1, nullptr, 0, 0)) {
      log_print(LogLevel::kEntry, "BIND_PIPE (%d) failed, status = 0x%08X.\n", j,
                platform::last_error());
      return false;
    }
    uint8_t parameters[4] = {};
    if (!ioctl_exact(pipe, IOCTL_USBIO_GET_PIPE_PARAMETERS, nullptr, 0, parameters,
                     sizeof parameters, sizeof parameters)) {
      log_print(LogLevel::kEntry, "GET_PIPE_PARAMETERS (%d) failed, status = 0x%08X.\n", j,
                platform::last_error());
      return false;
    }
    log_print(LogLevel::kContinue, "           PIPE[%d] Flag : 0x%08X\n", j, get_le32(parameters));
  }

  g_device.last_status.store(0);
  log_print(LogLevel::kEntry, "usbio_device_init - ends\n");
  return true;
}

ControllerInit usbio_controller_init() {
  if (!usbio_device_init(kInstrumentDeviceClass, kInstrumentDeviceProtocol)) {
    return ControllerInit::kDeviceFailed;
  }
  if (!read_rate_list(kInputSide, g_device.in_sample_rates, g_device.in_rate_count,
                      "In Sample rate  : ")) {
    return ControllerInit::kInputRatesFailed;
  }
  if (!read_rate_list(0, g_device.out_sample_rates, g_device.out_rate_count,
                      "Out Sample rate : ")) {
    return ControllerInit::kOutputRatesFailed;
  }
  return ControllerInit::kReady;
}

bool usbio_controller_get_sample_width() {
  uint16_t input = 0;
  uint16_t output = 0;
  if (!read_pair(REQ_SAMPLE_WIDTH, input, output)) return false;
  g_device.in_sample_bits.store(static_cast<int16_t>(input));
  g_device.out_sample_bits.store(static_cast<int16_t>(output));
  return true;
}

bool usbio_controller_get_channel_count(ChannelCounts *reported) {
  uint16_t input = 0;
  uint16_t output = 0;
  if (!read_pair(REQ_CHANNEL_COUNT, input, output)) return false;
  // Counted as unsigned: a count has no sign, and 0xFFFF is a broken device, not -1 channels.
  g_device.in_channel_count.store(static_cast<int16_t>(std::min<int32_t>(input, kMaxChannels)));
  g_device.out_channel_count.store(static_cast<int16_t>(std::min<int32_t>(output, kMaxChannels)));
  if (reported != nullptr) {
    reported->in_count = input;
    reported->out_count = output;
  }
  return true;
}

}  // namespace vexdaq
