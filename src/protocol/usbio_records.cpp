#include "protocol/usbio_records.h"
#include "protocol/little_endian.h"

#include <algorithm>
#include <array>
#include <type_traits>

namespace vexdaq {
namespace {

// Each record's fields with their byte offsets, listed once: the same list drives encode and
// decode, so the two directions cannot disagree. at(offset, field) visits one field;
// at.within(offset) visits an entry that starts at offset.

template <typename R, typename Record>
concept Is = std::same_as<std::remove_const_t<R>, Record>;

constexpr void fields(Is<ControlRequest> auto &r, auto at) {
  at(0, r.flags);
  at(4, r.type);
  at(8, r.recipient);
  at(12, r.reserved_bits);
  at(13, r.request);
  at(14, r.value);
  at(16, r.index);
}

constexpr void fields(Is<DescriptorRequest> auto &r, auto at) {
  at(0, r.recipient);
  at(4, r.descriptor_type);
  at(5, r.descriptor_index);
  at(6, r.language_id);
}

constexpr void fields(Is<InterfaceSetting> auto &r, auto at) {
  at(0, r.interface);
  at(2, r.alternate_setting);
  at(4, r.maximum_transfer_size);
}

constexpr void fields(Is<ConfigurationRequest> auto &r, auto at) {
  at(0, r.configuration_index);
  at(2, r.interface_count);
  for (int i = 0; i < kMaxInterfaceSettings; ++i) fields(r.settings[i], at.within(4 + 8 * i));
}

constexpr void fields(Is<InterfaceInfo> auto &r, auto at) {
  at(0, r.interface_number);
  at(1, r.alternate_setting);
  at(2, r.interface_class);
  at(3, r.interface_subclass);
  at(4, r.interface_protocol);
  at(5, r.pipe_count);
  at(6, r.reserved);
}

constexpr void fields(Is<PipeInfo> auto &r, auto at) {
  at(0, r.pipe_type);
  at(4, r.maximum_transfer_size);
  at(8, r.maximum_packet_size);
  at(kPipeEntryEndpointOffset, r.endpoint_address);
  at(11, r.interval);
  at(12, r.interface_number);
  at(13, r.alternate_setting);
  at(14, r.reserved);
}

constexpr void fields(Is<ConfigurationInfo> auto &r, auto at) {
  at(0, r.interface_count);
  at(4, r.pipe_count);
  for (int i = 0; i < kMaxInterfaceSettings; ++i) fields(r.interfaces[i], at.within(8 + 8 * i));
  for (int j = 0; j < kMaxPipeEntries; ++j) {
    fields(r.pipes[j], at.within(kConfigurationInfoPipeOffset + kPipeEntrySize * j));
  }
}

constexpr void fields(Is<DriverInfo> auto &r, auto at) {
  at(0, r.api_version);
  at(2, r.driver_version);
  at(4, r.build_number);
  at(8, r.flags);
}

constexpr void fields(Is<DeviceInfo> auto &r, auto at) {
  at(0, r.flags);
  at(4, r.open_count);
  at(8, r.reserved1);
  at(12, r.reserved2);
}

constexpr void fields(Is<BandwidthInfo> auto &r, auto at) {
  at(0, r.total_bandwidth);
  at(4, r.consumed_bandwidth);
  at(8, r.reserved1);
  at(12, r.reserved2);
}

struct Writer {
  uint8_t *base;
  template <typename T>
  void operator()(size_t offset, T value) const {
    uint8_t *at = base + offset;
    if constexpr (sizeof(T) == 1) {
      *at = value;
    } else if constexpr (sizeof(T) == 2) {
      put_le16(at, value);
    } else {
      static_assert(sizeof(T) == 4);
      put_le32(at, value);
    }
  }
  Writer within(size_t offset) const { return {base + offset}; }
};

struct Reader {
  const uint8_t *base;
  template <typename T>
  void operator()(size_t offset, T &field) const {
    const uint8_t *at = base + offset;
    if constexpr (sizeof(T) == 1) {
      field = *at;
    } else if constexpr (sizeof(T) == 2) {
      field = get_le16(at);
    } else {
      static_assert(sizeof(T) == 4);
      field = get_le32(at);
    }
  }
  Reader within(size_t offset) const { return {base + offset}; }
};

// Counts the visits to each byte of a record; anything past its end counts at hits[size].
struct ByteTally {
  uint8_t *hits;
  size_t size;
  size_t base = 0;
  template <typename T>
  constexpr void operator()(size_t offset, const T &) const {
    for (size_t i = 0; i < sizeof(T); ++i) ++hits[std::min(base + offset + i, size)];
  }
  constexpr ByteTally within(size_t offset) const { return {hits, size, base + offset}; }
};

// True when R's field list visits each of its R::kSize bytes exactly once: no gap left
// unwritten by encode, no overlap, nothing beyond the record read by decode.
template <UsbioRecord R>
constexpr bool fields_fill_record() {
  std::array<uint8_t, R::kSize + 1> hits{};
  const R record{};
  fields(record, ByteTally{hits.data(), R::kSize});
  return std::all_of(hits.begin(), hits.end() - 1, [](uint8_t n) { return n == 1; }) &&
         hits.back() == 0;
}

}  // namespace

template <UsbioRecord R>
void encode(const R &record, uint8_t *out) {
  static_assert(fields_fill_record<R>());
  fields(record, Writer{out});
}

template <UsbioRecord R>
bool decode(const uint8_t *in, size_t size, R &out) {
  static_assert(fields_fill_record<R>());
  if (in == nullptr || size < R::kSize) return false;
  fields(out, Reader{in});
  return true;
}

ControlRequest decode_control_request(const uint8_t *in) {
  ControlRequest r;
  fields(r, Reader{in});
  return r;
}

template void encode(const ControlRequest &, uint8_t *);
template void encode(const DescriptorRequest &, uint8_t *);
template void encode(const ConfigurationRequest &, uint8_t *);
template void encode(const ConfigurationInfo &, uint8_t *);
template void encode(const DriverInfo &, uint8_t *);
template void encode(const DeviceInfo &, uint8_t *);
template void encode(const BandwidthInfo &, uint8_t *);
template bool decode(const uint8_t *, size_t, ControlRequest &);
template bool decode(const uint8_t *, size_t, DescriptorRequest &);
template bool decode(const uint8_t *, size_t, ConfigurationRequest &);
template bool decode(const uint8_t *, size_t, ConfigurationInfo &);
template bool decode(const uint8_t *, size_t, DriverInfo &);
template bool decode(const uint8_t *, size_t, DeviceInfo &);
template bool decode(const uint8_t *, size_t, BandwidthInfo &);

}  // namespace vexdaq
