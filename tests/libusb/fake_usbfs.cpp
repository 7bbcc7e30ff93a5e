#include "libusb/fake_usbfs.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "backend/driver.h"
#include "protocol/little_endian.h"
#include "sim/profile.h"

namespace vexdaq::testing {
namespace {

// A hub of class 9 with one interrupt endpoint, as every hub has.
const std::vector<uint8_t> kHubDescriptors = {
    0x12, 0x01, 0x00, 0x02, 0x09, 0x00, 0x01, 0x40, 0x6B, 0x1D, 0x02, 0x00, 0x06, 0x06, 0x03,
    0x02, 0x01, 0x01, 0x09, 0x02, 0x19, 0x00, 0x01, 0x01, 0x00, 0xE0, 0x00, 0x09, 0x04, 0x00,
    0x00, 0x01, 0x09, 0x00, 0x00, 0x00, 0x07, 0x05, 0x81, 0x03, 0x04, 0x00, 0x0C};

// What usbfs puts in an URB's status for a driver status of the model.
int urb_status(uint32_t status) {
  switch (status) {
    case kStatusSuccess:
      return 0;
    case kStatusCancelled:
      return -ENOENT;
    case kStatusStall:
      return -EPIPE;
    case kStatusDeviceNotPresent:
      return -ENODEV;
    default:
      return -EPROTO;
  }
}

// The errno of a synchronous usbfs ioctl for a driver status.
int ioctl_errno(uint32_t status) {
  switch (status) {
    case kStatusStall:
      return EPIPE;
    case kStatusDeviceNotPresent:
      return ENODEV;
    default:
      return EIO;
  }
}

std::string hex(const std::vector<uint8_t> &bytes) {
  std::string text;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    text += two;
  }
  return text;
}

}  // namespace

// One device node: its ioctls run on the testbed's worker thread; bulk completions come from
// the instrument's clock thread (or from a discard, on the worker thread).
struct FakeUsbBus::Node {
  struct Urb {
    Node *node = nullptr;
    UMockdevIoctlData *data = nullptr;    // the client's usbdevfs_urb, local copy
    UMockdevIoctlData *buffer = nullptr;  // its data buffer, local copy
    uint8_t endpoint = 0;
  };

  std::shared_ptr<sim::Instrument> instrument;  // null for a hub
  uint32_t generation = 0;
  UMockdevIoctlBase *handler = nullptr;
  std::mutex mutex;
  std::vector<Urb *> flying;  // submitted, not finished
  std::deque<Urb *> reapable;

  static usbdevfs_urb *urb_of(Urb *u) { return reinterpret_cast<usbdevfs_urb *>(u->data->data); }

  static void finished(void *context, uint32_t status, uint32_t bytes) {
    auto *u = static_cast<Urb *>(context);
    Node *node = u->node;
    std::lock_guard<std::mutex> lock(node->mutex);
    usbdevfs_urb *urb = urb_of(u);
    urb->status = urb_status(status);
    urb->actual_length = static_cast<int>(std::min<uint32_t>(bytes, urb->buffer_length));
    node->flying.erase(std::find(node->flying.begin(), node->flying.end(), u));
    node->reapable.push_back(u);
  }

  static void release(Urb *u) {
    g_object_unref(u->buffer);
    g_object_unref(u->data);
    delete u;
  }

  ~Node() {
    if (instrument) instrument->unplug();  // completes what flies
    for (Urb *u : reapable) release(u);
    if (handler != nullptr) g_object_unref(handler);
  }

  // Reads an int-sized ioctl argument.
  static bool int_arg(UMockdevIoctlClient *client, unsigned int *value) {
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), nullptr);
    if (d == nullptr) return false;
    std::memcpy(value, d->data, sizeof(unsigned int));
    g_object_unref(d);
    return true;
  }

  void answer(UMockdevIoctlClient *client, uint32_t status) {
    if (status == kStatusSuccess) {
      umockdev_ioctl_client_complete(client, 0, 0);
    } else {
      umockdev_ioctl_client_complete(client, -1, ioctl_errno(status));
    }
  }

  bool submit(UMockdevIoctlClient *client) {
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    auto *u = new Urb;
    u->node = this;
    u->data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    usbdevfs_urb *urb = urb_of(u);
    u->buffer = umockdev_ioctl_data_resolve(u->data, offsetof(usbdevfs_urb, buffer),
                                            static_cast<gsize>(urb->buffer_length), nullptr);
    u->endpoint = urb->endpoint;
    if (!instrument->present(generation)) {
      release(u);
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return true;
    }
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
      if (urb->buffer_length < 8) {
        release(u);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return true;
      }
      uint8_t *bytes = u->buffer->data;
      SetupPacket setup;
      setup.request_type = bytes[0];
      setup.request = bytes[1];
      setup.value = get_le16(bytes + 2);
      setup.index = get_le16(bytes + 4);
      setup.length = get_le16(bytes + 6);
      setup.length =
          static_cast<uint16_t>(std::min<int>(setup.length, std::max(urb->buffer_length - 8, 0)));
      uint32_t moved = 0;
      uint32_t status = instrument->control_transfer(generation, setup, bytes + 8, &moved);
      {
        std::lock_guard<std::mutex> lock(mutex);
        flying.push_back(u);
      }
      finished(u, status, moved);
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }
    if (urb->type != USBDEVFS_URB_TYPE_BULK) {
      release(u);
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return true;
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      flying.push_back(u);
    }
    // The submission is answered (and the URB's copy synchronised to the client) before the
    // model may complete it from its own thread; a refusal then comes back as the URB's status.
    umockdev_ioctl_client_complete(client, 0, 0);
    const uint32_t status =
        instrument->submit_bulk(generation, urb->endpoint, u->buffer->data,
                                static_cast<uint32_t>(urb->buffer_length), finished, u);
    if (status != kStatusSuccess) finished(u, status, 0);
    return true;
  }

  bool reap(UMockdevIoctlClient *client) {
    Urb *u = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!reapable.empty()) {
        u = reapable.front();
        reapable.pop_front();
      }
    }
    if (u == nullptr) {
      // As usbfs: nothing to reap, and once the device is gone, that is the last word.
      umockdev_ioctl_client_complete(client, -1, instrument->present(generation) ? EAGAIN : ENODEV);
      return true;
    }
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData *slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
    umockdev_ioctl_data_set_ptr(slot, 0, u->data);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(slot);
    release(u);
    return true;
  }

  bool discard(UMockdevIoctlClient *client) {
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    gulong address = 0;
    std::memcpy(&address, arg->data, std::min<size_t>(sizeof address, arg->data_len));
    int endpoint = -1;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (Urb *u : flying) {
        if (u->data->client_addr == address) endpoint = u->endpoint;
      }
    }
    if (endpoint < 0) {
      umockdev_ioctl_client_complete(client, -1, EINVAL);  // already finished
      return true;
    }
    // The model cancels per endpoint; libusb discards every URB of a transfer anyway, and the
    // link cancels whole endpoints.
    instrument->cancel_endpoint(generation, static_cast<uint8_t>(endpoint));
    umockdev_ioctl_client_complete(client, 0, 0);
    return true;
  }

  static gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
    auto *node = static_cast<Node *>(self);
    if (!node->instrument) return FALSE;
    const gulong request = umockdev_ioctl_client_get_request(client);
    unsigned int value = 0;
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
        uint32_t caps = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                        USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
        std::memcpy(d->data, &caps, sizeof caps);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(d);
        return TRUE;
      }
      case USBDEVFS_SETCONFIGURATION:
        if (!int_arg(client, &value)) return FALSE;
        node->answer(client, node->instrument->set_configuration(node->generation,
                                                                 static_cast<uint8_t>(value)));
        return TRUE;
      case USBDEVFS_CLAIMINTERFACE:
        if (!int_arg(client, &value)) return FALSE;
        node->answer(client, node->instrument->claim_interface(node->generation,
                                                               static_cast<uint8_t>(value)));
        return TRUE;
      case USBDEVFS_DISCONNECT_CLAIM: {  // claim, detaching a kernel driver (there is none)
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        UMockdevIoctlData *d =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_disconnect_claim), nullptr);
        if (d == nullptr) return FALSE;
        std::memcpy(&value, d->data, sizeof value);
        g_object_unref(d);
        node->answer(client, node->instrument->claim_interface(node->generation,
                                                               static_cast<uint8_t>(value)));
        return TRUE;
      }
      case USBDEVFS_CLEAR_HALT:
        if (!int_arg(client, &value)) return FALSE;
        node->answer(client,
                     node->instrument->clear_halt(node->generation, static_cast<uint8_t>(value)));
        return TRUE;
      case USBDEVFS_RELEASEINTERFACE:
      case USBDEVFS_RESETEP:
      case USBDEVFS_RESET:
        node->answer(client, node->instrument->present(node->generation) ? kStatusSuccess
                                                                         : kStatusDeviceNotPresent);
        return TRUE;
      case USBDEVFS_GETDRIVER:
      case USBDEVFS_IOCTL:
        umockdev_ioctl_client_complete(client, -1, ENODATA);  // no kernel driver bound
        return TRUE;
      case USBDEVFS_SUBMITURB:
        return node->submit(client);
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY:
        return node->reap(client);
      case USBDEVFS_DISCARDURB:
        return node->discard(client);
      default:
        std::fprintf(stderr, "fake usbfs: unhandled ioctl 0x%lx\n", request);
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
  }
};

FakeUsbBus::FakeUsbBus() : testbed_(umockdev_testbed_new()) {
  auto root = std::make_unique<Node>();
  add_device("", kHubDescriptors, 480, root.get());
  nodes_.push_back(std::move(root));
}

FakeUsbBus::~FakeUsbBus() {
  nodes_.clear();
  g_object_unref(testbed_);
}

void FakeUsbBus::add_hub(const std::string &ports) {
  auto node = std::make_unique<Node>();
  add_device(ports, kHubDescriptors, 480, node.get());
  nodes_.push_back(std::move(node));
}

std::shared_ptr<sim::Instrument> FakeUsbBus::add_instrument(const std::string &ports,
                                                            const std::string &profile_text) {
  sim::Profile profile;
  std::string error;
  if (!sim::apply_profile_text(profile_text.c_str(), profile, error)) {
    std::fprintf(stderr, "bad profile: %s\n", error.c_str());
    return nullptr;
  }
  auto node = std::make_unique<Node>();
  node->instrument = std::make_shared<sim::Instrument>(100 + next_devnum_, std::move(profile));
  node->generation = node->instrument->generation();
  // The host's copy of the descriptors, as the kernel keeps them in sysfs.
  std::vector<uint8_t> descriptors(18);
  SetupPacket get_device;
  get_device.request_type = kDirectionIn;
  get_device.request = 0x06;
  get_device.value = 0x0100;
  get_device.length = 18;
  uint32_t moved = 0;
  node->instrument->control_transfer(node->generation, get_device, descriptors.data(), &moved);
  descriptors.resize(moved);
  std::vector<uint8_t> configuration;
  node->instrument->configuration_descriptor(node->generation, configuration);
  descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
  take_trace(*node->instrument);  // the kernel's enumeration is not the library's traffic
  node->handler = umockdev_ioctl_base_new();
  g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(Node::on_ioctl), node.get());
  add_device(ports, descriptors, 12, node.get());
  std::shared_ptr<sim::Instrument> instrument = node->instrument;
  nodes_.push_back(std::move(node));
  return instrument;
}

void FakeUsbBus::add_device(const std::string &ports, const std::vector<uint8_t> &descriptors,
                            int speed, Node *node) {
  const int devnum = ports.empty() ? 1 : next_devnum_++;
  char devname[64];
  std::snprintf(devname, sizeof devname, "/dev/bus/usb/001/%03d", devnum);
  if (node->handler != nullptr) {
    umockdev_testbed_attach_ioctl(testbed_, devname, node->handler, nullptr);
  }
  std::string sysfs = "/devices/pci0000:00/usb1";
  if (!ports.empty()) {
    // The kernel nests a device under its hub: 1-2 under usb1, 1-2.1 under 1-2.
    std::string chain;
    for (size_t at = 0; at <= ports.size();) {
      size_t dot = ports.find('.', at);
      if (dot == std::string::npos) dot = ports.size();
      chain += (chain.empty() ? "1-" : ".") + ports.substr(at, dot - at);
      sysfs += "/" + chain;
      at = dot + 1;
    }
  }
  char text[4096];
  std::snprintf(text, sizeof text,
                "P: %s\nN: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
                "E: BUSNUM=001\nE: DEVNUM=%03d\nE: DEVNAME=%s\nA: busnum=1\\n\nA: devnum=%d\\n\n"
                "A: speed=%d\\n\nA: bConfigurationValue=1\\n\nH: descriptors=%s\n",
                sysfs.c_str(), devname + 5, devnum, devname, devnum, speed,
                hex(descriptors).c_str());
  GError *error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, text, &error)) {
    std::fprintf(stderr, "umockdev: %s\n", error != nullptr ? error->message : "?");
    if (error != nullptr) g_error_free(error);
  }
}

std::string take_trace(sim::Instrument &instrument) {
  std::vector<char> text(1 << 20);
  int32_t length = instrument.take_trace(text.data(), static_cast<int32_t>(text.size()), false);
  if (length < 0 || length >= static_cast<int32_t>(text.size())) return {};
  return std::string(text.data(), static_cast<size_t>(length));
}

}  // namespace vexdaq::testing
