// The virtual instrument: a USB device model of the data-acquisition instrument.
//
// It answers the standard requests (descriptors, configuration, endpoint halt), the instrument's
// class and vendor requests with state behind them, and the EZ-USB memory load; once downloaded
// code is let run, the chip's emulated 8051 (ezusb.h) answers what the chip does not; it moves bulk
// data on four endpoints (tx stream OUT, rx stream IN, UART OUT, UART IN) like hardware, on its own
// clock thread.
//
// A device is seen through a generation: unplugging ends it, a replug starts the next one with a
// new device path, so handles of the old generation fail with kStatusDeviceNotPresent.
//
// Threads: every public method may be called from any thread. One mutex guards the whole model
// (each member says so; Clang's -Wthread-safety checks it);
// bulk completions run without it: on the clock thread, on a cancelling caller's thread, or
// inside submit_bulk on the submitter's thread when a stream transfer can be served at once (an
// input read whose frames are due, an output write that fits the instrument's FIFO). Serving at
// once spares two thread wake-ups per packet, which is what a fast stream would otherwise cost.
//
// Where it lives: instrument.cpp (life, generations, completion bookkeeping, the link's small
// queries), instrument_requests.cpp (control transfers, descriptors, the requests and their
// state), instrument_streams.cpp (bulk endpoints, the clock thread, stream and UART pacing),
// instrument_waveform.cpp (input frames), instrument_faults.cpp (faults, settings, traces and the
// tests' accessors), byte_ring.cpp (the captured output); instrument_internal.h holds what they
// share.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "platform/thread_annotations.h"
#include "protocol/usb_link.h"
#include "sim/byte_ring.h"
#include "sim/ezusb.h"
#include "sim/profile.h"

namespace vexdaq::sim {

// Endpoint addresses, in the order of the interface's endpoint descriptors.
inline constexpr uint8_t kTxStreamEndpoint = 0x02;
inline constexpr uint8_t kRxStreamEndpoint = 0x86;
inline constexpr uint8_t kUartOutEndpoint = 0x04;
inline constexpr uint8_t kUartInEndpoint = 0x88;

inline constexpr size_t kTraceMaxLines = 65536;
inline constexpr size_t kTraceMaxBytes = 16u << 20;
inline constexpr size_t kOutputCaptureBytes = 4u << 20;  // tx stream bytes kept for tests
// The instrument's stream FIFOs: input frames wait here for the host (room for scheduling
// hiccups at the highest rate), output frames wait here to be played.
inline constexpr size_t kDeviceBufferBytes = 64u << 10;
inline constexpr size_t kOutputBufferBytes = 64u << 10;
inline constexpr size_t kUartBufferBytes = 64u << 10;

// Counters a test can read (vexdaq_sim_counter names in brackets).
struct Counters {
  uint64_t rx_packets = 0;          // [rx_packets] completed rx stream transfers with data
  uint64_t rx_frames = 0;           // [rx_frames] input frames delivered
  uint64_t rx_dropped_frames = 0;   // [rx_dropped_frames] frames lost to a full device FIFO
  uint64_t tx_packets = 0;          // [tx_packets] accepted tx stream transfers
  uint64_t tx_bytes = 0;            // [tx_bytes]
  uint64_t tx_underrun_frames = 0;  // [tx_underrun_frames] output frames played with no data
  uint64_t stream_starts = 0;       // [stream_starts]
  uint64_t stream_stops = 0;        // [stream_stops]
  uint64_t control_requests = 0;    // [control_requests]
  uint64_t uart_out_bytes = 0;      // [uart_out_bytes]
  uint64_t cpu_instructions = 0;    // [cpu_instructions] executed by the emulated 8051
};

class Instrument {
 public:
  Instrument(int32_t id, Profile profile);
  ~Instrument();
  Instrument(const Instrument &) = delete;
  Instrument &operator=(const Instrument &) = delete;

  int32_t id() const { return id_; }

  // The current generation and its device path; empty path once unplugged.
  uint32_t generation();
  std::u16string path();
  bool present(uint32_t generation);
  bool exclusive();

  // Surprise removal: pending transfers complete with kStatusDeviceNotPresent, the clock thread
  // ends. Blocks until both have happened. Idempotent.
  void unplug();

  // ---- The USB side, for one generation (fails with kStatusDeviceNotPresent for another) ----
  uint32_t control_transfer(uint32_t generation, const SetupPacket &setup, uint8_t *data,
                            uint32_t *transferred);
  bool configuration_descriptor(uint32_t generation, std::vector<uint8_t> &out);
  uint32_t set_configuration(uint32_t generation, uint8_t value);
  uint32_t claim_interface(uint32_t generation, uint8_t number);
  uint32_t submit_bulk(uint32_t generation, uint8_t endpoint, uint8_t *buffer, uint32_t length,
                       BulkCompletion completion, void *context);
  void cancel_endpoint(uint32_t generation, uint8_t endpoint);
  uint32_t clear_halt(uint32_t generation, uint8_t endpoint);
  uint32_t frame_number(uint32_t generation, uint32_t *frame);
  LinkDriverInfo driver_info();
  bool paced();  // the profile's pacing is real time
  uint32_t extra_opens();
  // Driver-call faults and trace; returns the status an injected fault asks for, or 0.
  uint32_t driver_call(uint32_t code, int pipe);
  // Consumes one open: the status with which it is to fail, or 0.
  uint32_t take_open_fault();
  void note_open(uint32_t access, uint32_t share, uint32_t flags);

  // ---- Control from tests (vexdaq_sim.h) ----
  // Profile keys changed at run time. False with the reason on a bad entry (nothing changed).
  bool apply_settings(const char *text, std::string &error);
  // One fault command of the vexdaq_sim_fault grammar.
  bool apply_fault(const char *text, std::string &error);
  // The trace lines since the last take; when they need more than `size` bytes with the
  // terminator, nothing is copied or consumed. Returns the text's length.
  int32_t take_trace(char *buffer, int32_t size, bool driver_calls);
  Counters counters();
  int32_t read_eeprom(uint32_t address, uint8_t *out, int32_t size);
  // Takes up to `size` of the bytes received on the tx stream, oldest first.
  int32_t take_output(uint8_t *out, int32_t size);
  // Feeds bytes to the UART IN endpoint / takes bytes the host sent on UART OUT (uart_loop=0).
  int32_t uart_inject(const uint8_t *data, int32_t size);
  int32_t take_uart_output(uint8_t *out, int32_t size);

 private:
  using Clock = std::chrono::steady_clock;

  struct Pending {
    uint8_t *buffer;
    uint32_t length;
    BulkCompletion completion;
    void *context;
  };
  struct Done {
    BulkCompletion completion;
    void *context;
    uint32_t status;
    uint32_t bytes;
  };
  struct Endpoint {
    std::deque<Pending> pending;
    bool hang = false;    // fault: transfers never complete until cancelled
    bool halted = false;  // a real halt: transfers fail with a stall until cleared
  };
  struct Trace {
    std::deque<std::string> lines;
    size_t bytes = 0;
  };
  // kFirmware: the instrument's own firmware (modelled by its behaviour); kHeld: the CPU in
  // reset; kEmulated: downloaded code runs on the chip's emulated 8051.
  enum class Cpu : uint8_t { kFirmware, kHeld, kEmulated };

  bool live(uint32_t generation) const REQUIRES(mutex_);
  void start_generation() REQUIRES(mutex_);  // new path, fresh USB state
  void fail_all(uint32_t status, std::vector<Done> &done) REQUIRES(mutex_);
  // Runs `done` without the mutex (a completion may call into the instrument) and clears it;
  // returns with the mutex held again.
  void run_completions(std::vector<Done> &done) REQUIRES(mutex_);
  // Runs `done`, already counted in completions_in_flight_, and clears it.
  void finish_completions(std::vector<Done> &done) EXCLUDES(mutex_);
  void completion_finished()
      EXCLUDES(mutex_);  // lowers completions_in_flight_, tells a waiter at 0
  // Waits until no completion runs anywhere.
  void wait_quiet() REQUIRES(mutex_);
  void clock_thread() EXCLUDES(mutex_);
  // What the clock thread's schedule depends on and a control request may change. A request
  // that changes none of it (a query, a trigger or GPIO setting) leaves the thread asleep: a
  // command round trip would otherwise pay for its wake-up and its turn on the mutex.
  struct ClockView {
    bool streaming = false;
    bool flush = false;
    Cpu cpu = Cpu::kFirmware;
    uint8_t configuration = 0;
    uint32_t in_rate = 0;
    uint32_t out_rate = 0;
    Clock::time_point in_base_time;
    Clock::time_point out_base_time;
    size_t endpoints = 0;
    uint32_t halted = 0;  // bit per endpoint: number, plus 16 for IN
    bool operator==(const ClockView &) const = default;
  };
  ClockView clock_view() const REQUIRES(mutex_);
  // Serves a stream transfer just queued alone on its endpoint, if it can be served now.
  void serve_at_once(uint8_t address, Endpoint &ep, Clock::time_point now, std::vector<Done> &done)
      REQUIRES(mutex_);
  void service(Clock::time_point now, std::vector<Done> &done, Clock::time_point &wake)
      REQUIRES(mutex_);
  void service_rx(Clock::time_point now, Endpoint &ep, std::vector<Done> &done,
                  Clock::time_point &wake) REQUIRES(mutex_);
  void service_tx(Clock::time_point now, Endpoint &ep, std::vector<Done> &done,
                  Clock::time_point &wake) REQUIRES(mutex_);
  void fill_frames(uint8_t *out, uint32_t frames) REQUIRES(mutex_);
  uint64_t sample(uint32_t channel, uint64_t frame, uint32_t bits) REQUIRES(mutex_);
  uint32_t in_frame_bytes() const REQUIRES(mutex_);
  // Host nanoseconds as the instrument's clock (profile clock_ppm) counts them, and back.
  uint64_t device_ns(int64_t host) const REQUIRES(mutex_);
  int64_t host_ns(uint64_t device) const REQUIRES(mutex_);
  uint32_t out_frame_bytes() const REQUIRES(mutex_);
  std::vector<uint8_t> endpoints() const REQUIRES(mutex_);
  std::vector<uint8_t> config_descriptor() const REQUIRES(mutex_);
  void add_trace(Trace &trace, std::string line) REQUIRES(mutex_);
  void trace_setup(const SetupPacket &setup, const uint8_t *data) REQUIRES(mutex_);

  uint32_t standard_request(const SetupPacket &setup, uint8_t *data, std::vector<uint8_t> &reply)
      REQUIRES(mutex_);
  uint32_t device_vendor_request(const SetupPacket &setup, uint8_t *data,
                                 std::vector<uint8_t> &reply) REQUIRES(mutex_);
  uint32_t instrument_request(const SetupPacket &setup, uint8_t *data, std::vector<uint8_t> &reply)
      REQUIRES(mutex_);
  // A request the chip does not serve itself, to the downloaded code.
  uint32_t firmware_request(const SetupPacket &setup, uint8_t *data, std::vector<uint8_t> &reply)
      REQUIRES(mutex_);
  void configure_eeprom() REQUIRES(mutex_);
  void start_stream() REQUIRES(mutex_);
  void stop_stream() REQUIRES(mutex_);

  const int32_t id_;
  // Priority-inheriting (platform::Mutex): the clock thread runs in a real-time class and takes
  // it for every pass; control requests and counter reads take it from normal threads. Without
  // inheritance a normal thread preempted while holding it (other programs busy) held the clock
  // back for milliseconds, and the frames due meanwhile overflowed the instrument's FIFO, at the
  // start of a stream too.
  platform::Mutex mutex_;
  platform::CondVar wake_;   // the clock thread's
  platform::CondVar quiet_;  // completions in flight reached 0
  std::thread thread_ GUARDED_BY(mutex_);
  bool stop_thread_ GUARDED_BY(mutex_) = false;
  // Raised under the mutex, lowered without it. While anyone waits for it to reach 0, nothing is
  // served inside submit_bulk, so the wait cannot be outrun.
  std::atomic<int> completions_in_flight_{0};
  std::atomic<int> quiet_waiters_{0};
  std::atomic<uint32_t> live_generation_{0};  // generation_ while present, else 0: lock-free look
  // When the clock thread looks next: min() during a pass, max() while it waits for a request.
  Clock::time_point clock_wake_ GUARDED_BY(mutex_) = Clock::time_point::min();
  std::vector<Done> at_once_
      GUARDED_BY(mutex_);  // what serve_at_once served, taken out under the mutex

  Profile profile_ GUARDED_BY(mutex_);
  bool present_ GUARDED_BY(mutex_) = true;
  uint32_t generation_ GUARDED_BY(mutex_) = 0;
  uint64_t instance_ GUARDED_BY(mutex_) =
      0;  // process-wide serial of this generation, part of the path
  std::u16string path_ GUARDED_BY(mutex_);
  uint8_t configuration_ GUARDED_BY(mutex_) = 0;
  Cpu cpu_ GUARDED_BY(mutex_) = Cpu::kFirmware;
  EzUsb chip_ GUARDED_BY(mutex_);  // the USB chip, its 8051 and the EEPROM on its I2C bus
  std::map<uint8_t, Endpoint> endpoints_ GUARDED_BY(mutex_);
  Clock::time_point plugged_at_ GUARDED_BY(mutex_);

  // Instrument state behind the class and vendor requests.
  uint32_t in_rate_ GUARDED_BY(mutex_) = 0;
  uint32_t out_rate_ GUARDED_BY(mutex_) = 0;
  uint8_t trigger_[2][8] GUARDED_BY(mutex_) = {};
  uint8_t sample_mode_[2][3] GUARDED_BY(mutex_) = {};
  uint8_t gear_[128] GUARDED_BY(mutex_) = {};
  uint8_t icp_[128] GUARDED_BY(mutex_) = {};
  uint8_t gpio_mode_[128] GUARDED_BY(mutex_) = {};
  uint8_t dio_[128] GUARDED_BY(mutex_) = {};
  uint32_t pwm_[128][2] GUARDED_BY(mutex_) = {};
  uint8_t counter_setup_[128][2] GUARDED_BY(mutex_) = {};
  Clock::time_point counter_since_[128] GUARDED_BY(mutex_);
  uint8_t line_coding_[7] GUARDED_BY(mutex_) = {0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08};
  std::vector<uint8_t> i2c_ GUARDED_BY(mutex_);
  std::vector<uint8_t> serial_utf16_ GUARDED_BY(mutex_);

  // Streams.
  bool streaming_ GUARDED_BY(mutex_) = false;
  bool flush_ GUARDED_BY(mutex_) = false;  // stop request: finish the transfers in flight
  Clock::time_point in_base_time_ GUARDED_BY(mutex_);
  uint64_t in_base_frames_ GUARDED_BY(mutex_) = 0;
  uint64_t in_produced_ GUARDED_BY(mutex_) = 0;  // frame number n of the next input frame
  uint64_t next_drop_frame_ GUARDED_BY(mutex_) =
      ~0ull;  // where the next injected drop falls (profile drop_*)
  Clock::time_point out_base_time_ GUARDED_BY(mutex_);
  uint64_t out_base_bytes_ GUARDED_BY(mutex_) = 0;
  uint64_t out_received_ GUARDED_BY(mutex_) = 0;  // bytes accepted since the start
  uint64_t noise_state_ GUARDED_BY(mutex_) = 0x9E3779B97F4A7C15ull;
  ByteRing output_ GUARDED_BY(mutex_){kOutputCaptureBytes};  // captured tx stream bytes
  std::deque<uint8_t> loopback_ GUARDED_BY(mutex_);  // tx stream bytes not yet looped to the input
  std::deque<uint8_t> uart_in_ GUARDED_BY(mutex_);   // bytes waiting on UART IN
  std::deque<uint8_t> uart_out_ GUARDED_BY(mutex_);  // bytes the host sent (uart_loop=0)
  Counters counters_ GUARDED_BY(mutex_);

  // Faults.
  // (bRequest, wValue, wIndex, wLength) -> status; -1 in a field matches any value.
  std::map<std::array<int32_t, 4>, uint32_t> fail_request_ GUARDED_BY(mutex_);
  std::map<uint8_t, uint32_t> short_reply_ GUARDED_BY(mutex_);
  std::map<uint8_t, uint32_t> long_reply_ GUARDED_BY(mutex_);
  std::map<uint8_t, bool> malformed_ GUARDED_BY(mutex_);
  std::map<std::pair<uint32_t, int>, uint32_t> fail_ioctl_
      GUARDED_BY(mutex_);  // pipe -1: any handle
  uint32_t frame_number_status_ GUARDED_BY(mutex_) = 0;
  uint32_t open_countdown_ GUARDED_BY(mutex_) = 0;  // 0: no open fault pending
  uint32_t open_fault_status_ GUARDED_BY(mutex_) = 0;

  Trace trace_ GUARDED_BY(mutex_);
  Trace driver_trace_ GUARDED_BY(mutex_);
};

}  // namespace vexdaq::sim
