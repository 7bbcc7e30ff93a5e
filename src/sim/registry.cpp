#include "sim/registry.h"

#include <map>

#include "platform/process_end.h"
#include "platform/sync.h"

namespace vexdaq::sim {
namespace {

struct Registry {
  platform::Mutex mutex;
  std::map<int32_t, std::shared_ptr<Instrument>> instruments GUARDED_BY(mutex);
  int32_t next_id GUARDED_BY(mutex) = 0;
};

Registry &registry() {
  static Registry r;
  return r;
}

}  // namespace

int32_t plug(Profile profile) {
  Registry &r = registry();
  platform::MutexLock lock(r.mutex);
  int32_t id = r.next_id++;
  r.instruments.emplace(id, std::make_shared<Instrument>(id, std::move(profile)));
  // The instrument's clock thread runs library code until the unplug: keep the library loaded.
  platform::hold_library();
  return id;
}

bool unplug(int32_t id) {
  std::shared_ptr<Instrument> instrument;
  {
    Registry &r = registry();
    platform::MutexLock lock(r.mutex);
    auto it = r.instruments.find(id);
    if (it == r.instruments.end()) return false;
    instrument = std::move(it->second);
    r.instruments.erase(it);
  }
  // Outside the registry's lock: completions of the unplug may run library code.
  instrument->unplug();
  platform::release_library();
  return true;
}

void reset() {
  std::map<int32_t, std::shared_ptr<Instrument>> all;
  {
    Registry &r = registry();
    platform::MutexLock lock(r.mutex);
    all.swap(r.instruments);
    r.next_id = 0;
  }
  for (auto &[id, instrument] : all) {
    instrument->unplug();
    platform::release_library();
  }
}

std::shared_ptr<Instrument> find(int32_t id) {
  Registry &r = registry();
  platform::MutexLock lock(r.mutex);
  auto it = r.instruments.find(id);
  return it == r.instruments.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<Instrument>> plugged() {
  Registry &r = registry();
  platform::MutexLock lock(r.mutex);
  std::vector<std::shared_ptr<Instrument>> list;
  for (auto &[id, instrument] : r.instruments) list.push_back(instrument);
  return list;
}

bool any_exclusive() {
  for (auto &instrument : plugged()) {
    if (instrument->exclusive()) return true;
  }
  return false;
}

}  // namespace vexdaq::sim
