#include "backend/sim/sim_backend.h"

#include "backend/usb_link/usb_link_file.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "sim/registry.h"

namespace vexdaq {
namespace {

constexpr char16_t kPathPrefix[] = u"\\\\?\\vexdaq-sim#";

// One generation of one instrument as a UsbLink, and the watch on its handles' driver operations.
// Its open_handles count the handles on that device path.
class InstrumentLink final : public UsbLink, public DriverCallWatch {
 public:
  InstrumentLink(std::shared_ptr<sim::Instrument> instrument, uint32_t generation)
      : instrument_(std::move(instrument)), generation_(generation) {}

  bool present() override { return instrument_->present(generation_); }
  uint32_t control_transfer(const SetupPacket &setup, uint8_t *data,
                            uint32_t *transferred) override {
    return instrument_->control_transfer(generation_, setup, data, transferred);
  }
  bool configuration_descriptor(std::vector<uint8_t> &out) override {
    return instrument_->configuration_descriptor(generation_, out);
  }
  uint32_t set_configuration(uint8_t value) override {
    return instrument_->set_configuration(generation_, value);
  }
  uint32_t claim_interface(uint8_t number) override {
    return instrument_->claim_interface(generation_, number);
  }
  uint32_t submit_bulk(uint8_t endpoint, uint8_t *buffer, uint32_t length,
                       BulkCompletion completion, void *context) override {
    return instrument_->submit_bulk(generation_, endpoint, buffer, length, completion, context);
  }
  void cancel_endpoint(uint8_t endpoint) override {
    instrument_->cancel_endpoint(generation_, endpoint);
  }
  uint32_t clear_halt(uint8_t endpoint) override {
    return instrument_->clear_halt(generation_, endpoint);
  }
  uint32_t frame_number(uint32_t *frame) override {
    return instrument_->frame_number(generation_, frame);
  }
  LinkDriverInfo driver_info() override { return instrument_->driver_info(); }
  bool paced() override { return instrument_->paced(); }
  uint32_t extra_opens() override { return instrument_->extra_opens(); }
  uint32_t driver_call(uint32_t code, int pipe) override {
    return instrument_->driver_call(code, pipe);
  }

  uint32_t generation() const { return generation_; }
  const sim::Instrument *instrument() const { return instrument_.get(); }

 private:
  std::shared_ptr<sim::Instrument> instrument_;
  const uint32_t generation_;
};

class SimBackend final : public Backend {
 public:
  const char *name() const override { return "sim"; }

  bool enumerate(std::vector<std::u16string> &paths) override {
    for (auto &instrument : sim::plugged()) {
      std::u16string path = instrument->path();
      if (!path.empty()) paths.push_back(std::move(path));
    }
    return true;
  }

  bool owns(const char16_t *path) const override {
    std::u16string_view p(path);
    return p.starts_with(kPathPrefix);
  }

  std::unique_ptr<OpenFile> open(const char16_t *path, uint32_t access, uint32_t share,
                                 uint32_t flags) override {
    for (auto &instrument : sim::plugged()) {
      if (instrument->path() != path) continue;
      instrument->note_open(access, share, flags);
      uint32_t fault = instrument->take_open_fault();
      if (fault != 0) {
        platform::set_last_error(fault);
        return nullptr;
      }
      std::shared_ptr<InstrumentLink> link = link_for(instrument);
      return open_usb_link_file(link, access, share, flags, link);
    }
    platform::set_last_error(kStatusFileNotFound);
    return nullptr;
  }

  bool hides_real_devices() const override { return sim::any_exclusive(); }

 private:
  // All handles on one path share one link, so its open count is the path's.
  std::shared_ptr<InstrumentLink> link_for(const std::shared_ptr<sim::Instrument> &instrument)
      EXCLUDES(mutex_) {
    platform::MutexLock lock(mutex_);
    uint32_t generation = instrument->generation();
    std::shared_ptr<InstrumentLink> found;
    for (auto it = links_.begin(); it != links_.end();) {
      std::shared_ptr<InstrumentLink> link = it->lock();
      if (!link) {
        it = links_.erase(it);
        continue;
      }
      if (link->instrument() == instrument.get() && link->generation() == generation) found = link;
      ++it;
    }
    if (found) return found;
    found = std::make_shared<InstrumentLink>(instrument, generation);
    links_.push_back(found);
    return found;
  }

  platform::Mutex mutex_;
  std::vector<std::weak_ptr<InstrumentLink>> links_ GUARDED_BY(mutex_);
};

}  // namespace

Backend &sim_backend() {
  static SimBackend backend;
  return backend;
}

}  // namespace vexdaq
