// When the input stream's frames were taken, and which of them never arrived: the rates of the
// current stream, its start on the host's clocks, the bus frame number at the start, and the
// gap detector (gap_detector.h) fed by the rx thread. Behind vexdaq_get_stream_timing and
// vexdaq_get_stream_gaps.
//
// Order within a start (all on the core thread but the rx thread's calls):
//   begin_stream_timing (before `streaming` is set) -> [note_start_bus_frame] ->
//   rx thread: begin_input_timing (as its period begins) -> note_stream_start (right before the
//   start request) -> rx thread: add_input_frames (once per batch).
// Everything is kept under one small lock of its own, taken for a moment per batch and per read;
// never while a library lock is held.
#pragma once

#include <cstdint>

#include "vexdaq/vexdaq_ext.h"

namespace vexdaq {

// The rate of each direction for the stream about to start (0: unknown); clears the last
// stream's timing and gaps (the totals stay). Core thread.
void begin_stream_timing(int64_t out_rate, int64_t in_rate);
// The bus frame number the driver reported at the start. Core thread.
void note_start_bus_frame(uint32_t frame_number);
// Takes the host's monotonic and UTC clocks now: the device is told to start next. Core thread.
void note_stream_start();

// The rate of the current (or last) stream of one direction; any thread.
int64_t stream_rate(bool input);

// RX THREAD, as its period begins: the packet and queue the detector judges jitter by.
void begin_input_timing(int32_t packet_frames, int32_t depth);
// RX THREAD, once per batch: frames delivered by it. Logs a gap it finds.
void add_input_frames(int64_t frames);

// The exports' work; see vexdaq_ext.h.
int32_t get_stream_timing(vexdaq_stream_timing *out);
int32_t get_stream_gaps(vexdaq_stream_gap *gaps, int32_t capacity, vexdaq_gap_totals *totals);

// The host's monotonic clock in nanoseconds (the clock of every time here). Any thread.
int64_t monotonic_ns();

}  // namespace vexdaq
