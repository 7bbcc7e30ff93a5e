/*
 * vexdaq extensions: additions beside the 40 functions of vexdaq.h, which never change.
 *
 * Loss accounting. For every channel of each direction the library counts, from the moment the
 * library is loaded or the counters were last reset, where the channel's samples went on their way
 * between the device and the channel FIFO:
 *   moved              samples carried between a USB packet and the FIFO: output samples taken
 *                      from the FIFO and sent; input samples received for an enabled channel;
 *   overwritten        input samples lost because the FIFO was full when newer ones arrived (the
 *                      oldest are overwritten: the application did not read fast enough). Each
 *                      lost sample is counted once, when it is overwritten;
 *   zero_filled        output zero samples sent in place of missing ones, because an enabled
 *                      output channel's FIFO had run dry (the application did not write fast
 *                      enough) or the channel has no FIFO;
 *   dropped            input samples of an enabled channel that has no FIFO (never stored);
 *   transfer_failures  transfers of the direction that did not complete in time while the channel
 *                      was enabled (each stops the stream).
 * Samples still in a FIFO when streaming stops or a channel mask is set are emptied on purpose
 * and are not counted as lost.
 *
 * The counters are kept by the transfer threads under the direction's lock; reading them takes
 * that lock for a moment. They survive stop, start and buffer changes, and even the close of a
 * session; only vexdaq_reset_loss_counters clears them.
 *
 * The header compiles as C (C11 or later) and as C++.
 */
#ifndef VEXDAQ_VEXDAQ_EXT_H
#define VEXDAQ_VEXDAQ_EXT_H

#include <stdint.h>

#include "vexdaq/vexdaq.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vexdaq_loss_counters {
  uint64_t moved;
  uint64_t overwritten;
  uint64_t zero_filled;
  uint64_t dropped;
  uint64_t transfer_failures;
} vexdaq_loss_counters;

/* Pass as the channel to read the direction's totals: the sums over its 64 channels, and the
 * number of failed transfers of the direction. */
#define VEXDAQ_ALL_CHANNELS (-1)

/* Copies the counters of one channel (0..63) or of the whole direction (VEXDAQ_ALL_CHANNELS)
 * into *out; input != 0 selects the input side. 0 on success; -1 without an open session or with
 * a null out; -2 for a channel outside -1..63 (out untouched). */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_get_loss_counters(uint8_t input, int32_t channel,
                                                        vexdaq_loss_counters *out);

/* Sets every counter of both directions to 0. 0 on success; -1 without an open session. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_reset_loss_counters(void);

/* Stream format of one direction as the device reported it when the session came up (or at the
 * last vexdaq_get_sample_width / vexdaq_get_channel_count): input != 0 selects the input side.
 * Either pointer may be null. 0 on success; -1 without an open session. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_get_stream_format(uint8_t input, int32_t *sample_bits,
                                                        int32_t *channel_count);

/* Copies up to capacity supported sample rates of one direction into rates (which may be null
 * when capacity is 0) and returns how many the device listed (at most 64), or -1 without an open
 * session or with a negative capacity. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_get_sample_rates(uint8_t input, int32_t *rates,
                                                       int32_t capacity);

/* The driver status with which the latest failed device open of this process failed, or 0 while
 * none has failed; needs no session. 0x00000005 (access denied) on Linux means this user may not
 * open the instrument: install packaging/60-vexdaq.rules (udev rule). 0xE000100A: the device is
 * gone; 0x00000002: no such device. */
VEXDAQ_API uint32_t VEXDAQ_CALL vexdaq_get_last_open_status(void);

/* Asynchronous commands (input gear and ICP, GPIO modes, UART line coding) dropped
 * because 128 commands were already waiting for the device, since the library was loaded; needs no
 * session. Such calls still return 0. Commands whose caller waits, and the stop and exit of a
 * close, are never dropped: they wait until the queue has room. */
VEXDAQ_API uint64_t VEXDAQ_CALL vexdaq_get_dropped_commands(void);

/* Transfer depth: how many bulk transfers each direction keeps in flight while streaming (each
 * carries one packet of at most 512 bytes, as always). More of them give the host more slack
 * before the device's FIFO overflows, which the device never reports: at 20 MB/s one packet lasts
 * 25 us. depth 0 chooses the default: enough transfers for 100 ms of the input stream (8 ms of
 * the output, whose posted transfers are its latency) at the rate last set, at least 4 and at
 * most 4096; otherwise 4 .. 4096. input != 0 selects the input side. The
 * setting needs no session, survives sessions and takes effect at the next vexdaq_start.
 * 0 on success; -2 for a depth outside 0 and 4 .. 4096 (nothing changed). */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_set_transfer_depth(uint8_t input, int32_t depth);

/* The depth the direction's stream uses now, or used last (4 .. 4096; 4 before any stream). */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_get_transfer_depth(uint8_t input);

/* Whether the transfer threads ask for a real-time scheduling class (Linux, macOS: SCHED_FIFO
 * priority 10) from the next vexdaq_start on: 0 never, 1 always, 2 (the default) while the
 * device paces its streams, which every real device does, and not for a virtual instrument
 * running free (pacing=free), whose transfers complete at once: a thread serving it never
 * blocks and at a real-time priority would take a whole processor. Without a real-time class,
 * or where the system refuses it, the threads run at the highest priority of the normal class
 * (the log says which they got). A real-time class keeps the device drained while other
 * programs load every processor. Needs no session, survives sessions. 0 on success; -2 for a
 * value other than 0, 1 and 2. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_set_transfer_realtime(int32_t enable);

/* Like vexdaq_send_all_data, but with a block of its own for each channel, laid out as
 * vexdaq_recv_all_data lays out its blocks: source holds one block of `bytes` bytes per output
 * channel of the device, block c (from byte c * bytes) for channel c; blocks of disabled channels
 * are not read. Every enabled channel takes its block, or none does, under one acquisition of the
 * output lock: sent one channel at a time, the channels of a starting stream would slip against
 * each other, because the tx thread fills frames with zeros for a channel whose FIFO is still
 * empty. Results as vexdaq_send_all_data: bytes / sample bytes * sample bytes when moved; bytes
 * when the device has no output channels; 0 when no channel is enabled or, without blocking
 * (blocking != 1), some channel lacks room; -1 without a session, after a failure, or for a null
 * source or negative byte count. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_send_channel_blocks(const uint8_t *source, int32_t bytes,
                                                          int32_t blocking);

/* Where the next vexdaq_device_open writes its log file: a directory, absolute or relative to
 * the working directory at the open, created with its parents when missing; null or "" restores
 * the default "log". The log of a session already open stays where it is. Needs no session,
 * survives sessions. 0 on success; -2 for a name longer than 1024 bytes (nothing changed). */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_set_log_directory(const char *directory);

/* Input stream timing and gaps.
 *
 * A real instrument cannot tell the host that its FIFO overflowed: the frames are simply not
 * there. The library notices from the stream alone. A paced device sends frames at its rate; the
 * rx thread compares, once per batch of packets, the frames received with the host's monotonic
 * clock since the start, fits a line to the arrivals that came with the least delay (its slope
 * is the device clock's drift against the host's) and takes a shortfall against that line that
 * lasts (two windows of at least 200 ms, longer than the posted transfers cover) for frames that
 * were lost on the device's side. A host stall the posted transfers covered is no gap.
 *
 * Frame n of the stream was taken at about
 *     first_frame_monotonic_ns + n / (rate * (1 + drift_ppm / 1e6)) seconds * 1e9,
 * n counting the frames the device produced (after a gap: the frames received plus the sizes of
 * the gaps before them). How exact: the line follows the arrivals with the least delay, so it
 * is late by that delay (the transfer's completion and the rx thread's wake-up: tens of
 * microseconds on an idle host, up to a USB frame of 1 ms on a real bus); the drift estimate is
 * within a few ppm after some seconds and gets better as the stream runs; until two windows
 * have passed (fitted 0) the drift reads 0 and the first frame's time is the start. A gap's
 * size is good to about a packet plus what the drift left unmeasured; a gap smaller than the
 * detector's allowance (a packet plus the jitter seen plus, early on, 300 ppm of the time
 * elapsed) goes unseen, and so does a loss before the first window (it looks like a late
 * start). Only paced streams are judged; output streams are not. */
typedef struct vexdaq_stream_timing {
  int64_t start_monotonic_ns;       /* host monotonic clock when the device was told to start
                                       (Linux CLOCK_MONOTONIC; Windows QueryPerformanceCounter) */
  int64_t start_utc_ns;             /* the same instant in UTC, ns since 1970-01-01 */
  int64_t first_frame_monotonic_ns; /* when frame 0 was taken, from the fit */
  int64_t frames_received;          /* frames the rx thread has delivered in this stream */
  int64_t frames_settled;           /* of those, the frames before any gap still to be found:
                                       their times will not move (a window or two behind) */
  double drift_ppm;                 /* device clock against the host's (positive: fast) */
  int32_t rate;                     /* the input rate set, frames per second */
  int32_t bus_frame_number;         /* the USB frame number read at the start; -1: unknown */
  int32_t fitted;                   /* 1 once drift and first frame come from the fit */
  int32_t started;                  /* 1 once the stream was started (values of the last one) */
} vexdaq_stream_timing;

typedef struct vexdaq_stream_gap {
  int64_t frame_index;       /* frames delivered before the gap: where it sits in the data */
  int64_t frame_count;       /* frames missing, estimated */
  int64_t host_monotonic_ns; /* the last arrival before it */
} vexdaq_stream_gap;

typedef struct vexdaq_gap_totals {
  uint64_t stream_gaps;           /* gaps of the current (or last) stream */
  uint64_t stream_frames_missing; /* frames they miss */
  uint64_t gaps;                  /* gaps since the library was loaded */
  uint64_t frames_missing;        /* frames they miss */
} vexdaq_gap_totals;

/* The timing of the current (or last) input stream into *out. Needs no session (the values
 * survive the stop and the close). 0 on success; -1 for a null out. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_get_stream_timing(vexdaq_stream_timing *out);

/* Copies the newest min(capacity, 64) gaps of the current (or last) input stream, oldest first,
 * into gaps (may be null when capacity is 0) and the totals into *totals (may be null). Returns
 * how many gaps were copied; -1 for a negative capacity or a null gaps with capacity > 0. Needs
 * no session. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_get_stream_gaps(vexdaq_stream_gap *gaps, int32_t capacity,
                                                      vexdaq_gap_totals *totals);

/* The most bytes vexdaq_firmware_download writes: the loader addresses its memory with 16 bits.
 * A larger file, or an empty one, is refused before anything is sent to the device. */
#define VEXDAQ_FIRMWARE_CAPACITY 65536

#ifdef __cplusplus
}
#endif

#endif /* VEXDAQ_VEXDAQ_EXT_H */
