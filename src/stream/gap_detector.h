// Finds frames a paced input stream lost before they reached the host, from the stream alone.
//
// A paced device produces frames at its rate whether or not the host reads them, and a device
// whose FIFO overflowed does not say so: the frames are simply not there. The host does know
// when frames arrive. After each batch the detector takes the deficit
//     D(t) = rate * (t - start) - frames received by t,
// the frames due by now that have not arrived. D is the frames lost so far, plus those still on
// their way (in the device's FIFO, in a transfer, waiting for a late thread: never negative),
// plus a slope from the device clock's drift against the host's. The smallest D of a window of
// arrivals is the one with the least delay on the way, so the window minima follow
//     lost(t) + c + e * t
// closely: a line (the fit: c the start offset, e the drift) and a step wherever frames were
// lost. A window whose minimum lies above the line by more than the jitter allowance is a
// candidate; when the next window lies above it too, the shortfall is permanent and becomes a
// gap, its size the smaller of the two excesses. A host stall that the posted transfers covered
// raises at most the window it falls in (the window lasts longer than the queue covers), so it
// is no gap.
//
// The allowance is one packet (the device sends a packet once it is full, so the deficit seen
// at an arrival is its delay; a packet of margin), plus four times the typical excess of the
// windows seen (a host whose threads wake late widens it), plus
// what the drift may add before the fit knows it (300 ppm at first, narrowing as windows come
// in). Gaps smaller than that go unseen; so does a loss before the first window, which the fit
// takes for a late start.
//
// Not thread-safe: one thread feeds it (the rx thread, once per batch); readers hold the lock
// of whoever owns it. Pure otherwise: no clock is read, every time is passed in.
#pragma once

#include <cstdint>

namespace vexdaq {

struct GapRecord {
  int64_t frame_index = 0;   // frames delivered before the gap
  int64_t frame_count = 0;   // frames missing, estimated
  int64_t host_time_ns = 0;  // the last arrival before it (host monotonic clock)
};

class GapDetector {
 public:
  // The window for a stream of `rate` frames/s in packets of packet_frames, `depth` transfers
  // posted: at least 200 ms, four packets, and twice what the posted transfers cover. Pure.
  static int64_t window_for(double rate, int32_t packet_frames, int32_t depth);

  // A new stream, started (told to start) at start_ns. rate > 0, packet_frames > 0.
  void begin(double rate, int32_t packet_frames, int64_t window_ns, int64_t start_ns);

  // A batch of `frames` frames handled at now_ns. Returns true when a gap was confirmed, with it
  // in *gap. Batches before begin() or with now_ns before the start are ignored.
  bool add(int64_t frames, int64_t now_ns, GapRecord *gap);

  bool begun() const { return rate_ > 0; }
  int64_t frames_received() const { return received_; }
  int64_t frames_missing() const { return missing_; }
  // Whether the fit has had two windows: until then drift is 0 and the first frame's time is
  // the start.
  bool fitted() const { return points_ >= 2; }
  // The device clock against the host's, in parts per million (positive: the device is fast).
  double drift_ppm() const;
  // When frame 0 was taken, on the host clock: the start plus the fitted offset.
  int64_t first_frame_ns() const;
  // Frames delivered before any gap still to be found: a gap found later lies in a window not
  // yet judged, so it is placed after these. The start of the last window closed, or while
  // that one waits for confirmation, of the one before it.
  int64_t frames_settled() const { return pending_ ? closed_start_[1] : closed_start_[0]; }

 private:
  double predicted(double tau) const;
  double allowance(double tau) const;
  bool close_window(GapRecord *gap);
  void add_point(double tau, double value);

  double rate_ = 0;
  double packet_frames_ = 0;
  int64_t window_ns_ = 0;
  int64_t start_ns_ = 0;
  int64_t received_ = 0;
  int64_t missing_ = 0;
  double lost_ = 0;  // frames lost in the gaps found, as the fit sees them

  // The current window, and where the last two closed ones began (frames received).
  int64_t window_start_ = 0;
  int64_t closed_start_[2] = {0, 0};
  bool window_open_ = false;
  int64_t window_end_ns_ = 0;
  double window_min_ = 0;
  double window_min_tau_ = 0;

  // Where a gap found later began: for thresholds of the allowance times 2^k, the last arrival
  // whose excess stayed below. A gap of size S is placed by the largest threshold up to S / 2,
  // which the frames after it cross and the delivery jitter before it (mostly) does not.
  static constexpr int kLadder = 20;
  int64_t good_received_[kLadder] = {};
  int64_t good_ns_[kLadder] = {};

  // A window above the line, waiting for the next one to confirm it.
  bool pending_ = false;
  double pending_excess_ = 0;

  // The fit: least squares over window minima (tau relative to the first point, seconds).
  int64_t points_ = 0;
  double tau0_ = 0;
  double last_tau_ = 0;
  double sum_t_ = 0, sum_v_ = 0, sum_tt_ = 0, sum_tv_ = 0;
  double spread_ = 0;  // running mean of |excess| of the windows on the line
};

}  // namespace vexdaq
