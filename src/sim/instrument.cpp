// The instrument's life: construction, generations (plug, replug, unplug), the bookkeeping of
// bulk completions that run without the mutex, and the link's small queries.
#include "sim/instrument.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/sync.h"
#include "protocol/driver_types.h"
#include "sim/instrument_internal.h"

namespace vexdaq::sim {
namespace {

// Process-wide, never reset: a device path is never reused, so a discovery table that remembers
// paths never mistakes a new instrument for an old one.
std::atomic<uint64_t> g_instances{0};

}  // namespace

Instrument::Instrument(int32_t id, Profile profile)
    : id_(id), profile_(std::move(profile)), i2c_(0x10000, 0) {
  configure_eeprom();
  std::string serial = profile_.serial.empty() ? "SIM" + std::to_string(id) : profile_.serial;
  for (size_t i = 0; i < serial.size() && i < kSerialMaxBytes / 2; ++i) {
    serial_utf16_.push_back(static_cast<uint8_t>(serial[i]));
    serial_utf16_.push_back(0);
  }
  {
    platform::MutexLock lock(mutex_);
    start_generation();
  }
  thread_ = std::thread([this] { clock_thread(); });
}

Instrument::~Instrument() {
  unplug();
}

bool Instrument::live(uint32_t generation) const {
  return present_ && generation == generation_;
}

void Instrument::start_generation() {
  ++generation_;
  instance_ = ++g_instances;
  std::string tail = "#{4a47dbf9-3159-40ca-b83f-b14bc274cc1c}";
  char head[96];
  std::snprintf(head, sizeof head, "\\\\?\\vexdaq-sim#vid_%04x&pid_%04x#%d&%llu",
                profile_.vendor_id, profile_.product_id, id_,
                static_cast<unsigned long long>(instance_));
  std::string path = head;
  if (profile_.path_length > path.size() + tail.size()) {
    path.append(profile_.path_length - path.size() - tail.size(), 'x');
  }
  path += tail;
  path_.assign(path.begin(), path.end());
  live_generation_.store(present_ ? generation_ : 0);
  configuration_ = 0;
  cpu_ = Cpu::kFirmware;
  chip_.disconnect();
  streaming_ = false;
  flush_ = false;
  endpoints_.clear();
  for (uint8_t address : endpoints()) endpoints_[address];
  plugged_at_ = Clock::now();
  in_rate_ = profile_.in_rates.empty() ? 0 : profile_.in_rates[0];
  out_rate_ = profile_.out_rates.empty() ? 0 : profile_.out_rates[0];
  std::memset(trigger_, 0, sizeof trigger_);
  std::memset(sample_mode_, 0, sizeof sample_mode_);
  std::memset(gear_, 0, sizeof gear_);
  std::memset(icp_, 0, sizeof icp_);
  std::memset(gpio_mode_, 0, sizeof gpio_mode_);
  std::memset(dio_, 0, sizeof dio_);
  std::memset(pwm_, 0, sizeof pwm_);
  std::memset(counter_setup_, 0, sizeof counter_setup_);
  for (auto &since : counter_since_) since = plugged_at_;
  loopback_.clear();
  uart_in_.clear();
}

uint32_t Instrument::generation() {
  platform::MutexLock lock(mutex_);
  return generation_;
}

std::u16string Instrument::path() {
  platform::MutexLock lock(mutex_);
  return present_ ? path_ : std::u16string();
}

bool Instrument::present(uint32_t generation) {
  // Asked before every transfer: no lock.
  return generation != 0 && live_generation_.load() == generation;
}

bool Instrument::exclusive() {
  platform::MutexLock lock(mutex_);
  return present_ && profile_.exclusive;
}

void Instrument::fail_all(uint32_t status, std::vector<Done> &done) {
  for (auto &[address, ep] : endpoints_) {
    for (const Pending &p : ep.pending) done.push_back({p.completion, p.context, status, 0});
    ep.pending.clear();
  }
}

void Instrument::run_completions(std::vector<Done> &done) {
  completions_in_flight_.fetch_add(1);
  mutex_.unlock();
  finish_completions(done);
  mutex_.lock();
}

void Instrument::finish_completions(std::vector<Done> &done) {
  for (const Done &d : done) d.completion(d.context, d.status, d.bytes);
  done.clear();
  completion_finished();
}

void Instrument::completion_finished() {
  // A waiter registers before it looks at the count, so either it sees 0 or it is seen here;
  // the notification under the mutex cannot fall between its look and its sleep.
  if (completions_in_flight_.fetch_sub(1) == 1 && quiet_waiters_.load() != 0) {
    platform::MutexLock relock(mutex_);
    quiet_.notify_all();
  }
}

void Instrument::wait_quiet() {
  quiet_waiters_.fetch_add(1);
  while (completions_in_flight_.load() != 0) quiet_.wait(mutex_);
  quiet_waiters_.fetch_sub(1);
}

void Instrument::unplug() {
  std::vector<Done> done;
  std::thread thread;
  {
    platform::MutexLock lock(mutex_);
    present_ = false;
    live_generation_.store(0);
    fail_all(kStatusDeviceNotPresent, done);
    stop_thread_ = true;
    wake_.notify_all();
    if (!done.empty()) run_completions(done);
    wait_quiet();
    thread = std::move(thread_);
  }
  if (thread.joinable()) thread.join();
}

// ---- The link's queries -------------------------------------------------------------------------

uint32_t Instrument::claim_interface(uint32_t generation, uint8_t number) {
  platform::MutexLock lock(mutex_);
  if (!live(generation)) return kStatusDeviceNotPresent;
  return number == 0 ? kStatusSuccess : kStatusInvalidParameter;
}

uint32_t Instrument::frame_number(uint32_t generation, uint32_t *frame) {
  platform::MutexLock lock(mutex_);
  if (!live(generation)) return kStatusDeviceNotPresent;
  if (frame_number_status_ != 0) return frame_number_status_;
  // One bus frame per millisecond since the device came up.
  *frame = static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - plugged_at_).count());
  return kStatusSuccess;
}

bool Instrument::paced() {
  platform::MutexLock lock(mutex_);
  return profile_.pacing == Pacing::kRealtime;
}

LinkDriverInfo Instrument::driver_info() {
  platform::MutexLock lock(mutex_);
  LinkDriverInfo info;
  info.driver_version = profile_.driver_version;
  return info;
}

uint32_t Instrument::extra_opens() {
  platform::MutexLock lock(mutex_);
  return profile_.driver_opens;
}

}  // namespace vexdaq::sim
