/*
 * vexdaq_sim: the virtual instrument, built into the library.
 *
 * A virtual instrument is a USB device model that the library finds and drives exactly like a
 * real instrument: it is enumerated by vexdaq_device_list, opened by vexdaq_device_open, answers
 * every control request and streams samples over its bulk pipes. None exists until one is
 * plugged in with vexdaq_sim_plug; the library reads no file, environment variable or registry
 * value for it.
 *
 * Usage (tests, demos, development without hardware):
 *
 *     int32_t sim = vexdaq_sim_plug("waveform=counter;pacing=free");
 *     vexdaq_device_open(0);                 // the only (or first) instrument
 *     ...
 *     char trace[4096];
 *     vexdaq_sim_trace(sim, trace, sizeof trace);   // the control requests it received
 *     vexdaq_device_close();
 *     vexdaq_sim_reset();                     // unplug everything, clear faults
 *
 * Devices are listed real ones first, then virtual ones in the order of their ids; a plugged
 * instrument with exclusive=1 hides the real devices. Every function is thread-safe.
 *
 * Profile text (vexdaq_sim_plug, vexdaq_sim_set): "key=value" pairs separated by ';'. Numbers are
 * decimal or 0x hex. Keys and defaults:
 *   in_channels=8  out_channels=2     channel counts reported, 0 .. 65535
 *   in_bits=24  out_bits=24           sample widths reported, 0 .. 64 (invalid ones too);
 *                                     a sample takes bits / 8 bytes on the stream
 *   in_rates=1000,2000,...,102400     rate lists (may be empty: "in_rates="); a list longer than
 *   out_rates=(same)                  the 63 entries the reply holds still reports its full count
 *   protocol=3  subclass=0            bDeviceProtocol, bDeviceSubClass
 *   vendor_id=0x1209 product_id=0x7D0A bcd_device=0x0105
 *   product=VX-8 Virtual Instrument   product string (any length; a string descriptor holds at
 *   manufacturer=vexdaq  serial=      most 126 characters); empty serial: "SIM<id>"
 *   fpga_version=0x21                 the FPGA version byte
 *   driver_version=0x0240             reported by the driver information
 *   driver_opens=0                    opens the driver reports beyond this process's handles
 *   pipes=4                           endpoints of the interface (0 .. 30): tx stream OUT, rx
 *                                     stream IN, UART OUT, UART IN, then unused bulk endpoints
 *   path_length=0                     pad the device path to this many UTF-16 units
 *   device_fifo=65536                 bytes of input the device buffers for the host, 1 .. 16 MiB
 *                                     (an EZ-USB's endpoint FIFOs hold 4 x 512 = 2048)
 *   clock_ppm=0                       the instrument's clock against the host's, -100000 ..
 *                                     100000 parts per million (positive: fast); paced input
 *                                     runs at rate x (1 + ppm / 1e6) by the host's clock
 *   drop_frames=0                     input frames the device loses on purpose (0: none), as an
 *   drop_at_ms=0                      overflowing FIFO would: drop_frames frames drop_at_ms
 *   drop_every_ms=0                   after the stream start by the device's clock, and again
 *                                     every drop_every_ms (0: once); counted in
 *                                     rx_dropped_frames with the overflows (the ground truth)
 *   waveform=sine                     sine | square | dc | noise | counter, for every input
 *   waveform.<n>=...                  channel, or for input channel n only
 *   pacing=realtime                   realtime: input frames at the input rate, output consumed
 *                                     at the output rate; free: as fast as the host moves them
 *   loopback=0                        1: input channel k carries output channel k (below)
 *   full_scale_mv=10000               what the samples stand for: full scale (2^(bits-1)) is
 *                                     this many mV on every input range (1 .. 1000000); a
 *                                     description for tools that show volts (the CLI's
 *                                     --scale sim), the samples do not depend on it
 *   exclusive=0                       1: real devices are hidden while it is plugged
 *   uart_loop=1                       1: bytes sent on UART OUT come back on UART IN;
 *                                     0: they are kept for vexdaq_sim_uart_output_read
 *   eeprom_page=64                    page size of the EEPROM on the chip's I2C bus: 32, 64 or
 *                                     128 bytes (a page write wraps inside its page)
 *   eeprom_write_us=5000              its write cycle (0 .. 100000 us), during which it does not
 *                                     acknowledge its address
 *
 * Streams. Both run from the stream start request (0xFE) to the stop request (0xFD); the stop
 * completes the transfers in flight (reads with 0 bytes, writes accepted). A stream packet holds
 * whole frames, one sample per channel in channel order, little-endian. Paced input runs at the
 * rate last set with the sample-rate request (0xD1: bytes 0-3 input, 4-7 output), or the first
 * entry of the list before any; frames for which no read is posted overflow the device FIFO
 * (device_fifo bytes) and are lost (counter rx_dropped_frames). Paced output is played at the output rate from a 64 KiB FIFO: a
 * write completes once it fits (counter tx_underrun_frames counts frames played with no data).
 * Input waveforms, frame n counted from the stream start:
 *   counter: (channel << (bits - 8)) | (n mod 2^(bits - 8))   (bits <= 8: n mod 2^bits)
 *   sine, square: amplitude 2^(bits-2), 10 Hz x (channel mod 16 + 1); dc: a constant per
 *   channel; noise: pseudo-random. All two's complement in `bits` bits.
 * With loopback=1 an input frame is produced for each output frame received, so input channel k
 * is output channel k sample for sample (input channels without an output channel read 0); no
 * input frames exist before output arrives.
 * The UART pipes move bytes whenever the device is up, independent of the streams.
 * Firmware load: vendor request 0xA0 reads and writes the chip's RAM; writing 1 to 0xE600 holds
 * the CPU, 0 lets a held CPU run what is in RAM on an emulated 8051. From then on (until a
 * replug) every control request but 0xA0 goes to that code as the chip hands it over (SETUPDAT,
 * SUDAV, EP0BUF and its byte counts, EP0CS), standard requests once the code has set RENUM;
 * code that does not complete a request within a bounded number of instructions makes it fail
 * with 0x00000079 (time-out). The chip's I2C controller reaches a 64 KiB EEPROM (I2C address
 * 0x51, 16-bit word addresses); the library's loader serves it with vendor request 0xA9.
 *
 * Fault text (vexdaq_sim_fault), one command per call:
 *   fail_request=REQ[,VALUE[,INDEX[,LENGTH]]][:STATUS]
 *                               control request code REQ fails (default status 0xC0000004,
 *                               a stall), only where wValue, wIndex and wLength match those
 *                               given; STATUS 0 removes that rule
 *   short_reply=REQ:N           IN replies to REQ are cut to N bytes
 *   long_reply=REQ:N            IN replies to REQ are padded with 0xA5 to N bytes (up to wLength)
 *   malformed=REQ               IN replies to REQ are wLength bytes of 0xFF
 *   stall=rx|tx|uart_in|uart_out  transfers on that endpoint never complete until cancelled
 *   stall=none                  ends every such stall
 *   halt=rx|tx|uart_in|uart_out  the endpoint halts: transfers fail with 0xC0000004 until a
 *                               pipe reset (clear halt); halt=none clears
 *   fail_ioctl=CODE[@PIPE]:STATUS  driver operation CODE fails with STATUS on handles bound to
 *                               pipe PIPE (1-based endpoint position; 0: unbound handles; no @:
 *                               every handle); STATUS 0 removes it. BIND_PIPE counts as the pipe
 *                               it binds (@0: any binding)
 *   frame_number_status=STATUS  the frame-number query fails with STATUS (0: works)
 *   fail_open=N[:STATUS]        the N-th open of the device from now fails (default 0x5)
 *   i2c=stuck|no_eeprom|ok      the chip's I2C bus is stuck (no transfer ever finishes, bus
 *                               error) / the EEPROM does not acknowledge / both work again
 *   replug                      unplugged and plugged again: open handles fail with 0xE000100A,
 *                               the device comes back with a new path and fresh state
 *   clear                       removes every fault
 *
 * Trace: every control request the device received, standard ones included (GET_DESCRIPTOR
 * "80 06 0100 0000 0012", SET_CONFIGURATION "00 09 0001 0000 0000", a pipe reset's clear halt
 * "02 01 0000 0086 0000"), one line each: bmRequestType bRequest wValue wIndex wLength in
 * upper-case hex, then for an OUT request with data " :" and its bytes ("41 3D 0000 8500 0001 :
 * 03"). The newest 65536 lines (16 MiB) are kept.
 */
#ifndef VEXDAQ_VEXDAQ_SIM_H
#define VEXDAQ_VEXDAQ_SIM_H

#include <stdint.h>

#include "vexdaq/vexdaq.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Plugs in a virtual instrument; its id (0 or more), or -1 for a bad profile (nothing plugged,
 * the reason written to stderr). NULL or "" plugs the default instrument. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_sim_plug(const char *profile);

/* Surprise removal: pending transfers complete with 0xE000100A and every later driver call on
 * the device fails with it. 0, or -1 for an unknown id. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_sim_unplug(int32_t id);

/* Unplugs every instrument (with their faults); ids start again at 0. */
VEXDAQ_API void VEXDAQ_CALL vexdaq_sim_reset(void);

/* Changes profile keys at run time (waveform, pacing, loopback, ...). 0; -1 for an unknown id;
 * -2 for a bad entry (nothing changed, the reason written to stderr). */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_sim_set(int32_t id, const char *key_values);

/* Injects a fault (grammar above). 0; -1 for an unknown id; -2 for a bad command. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_sim_fault(int32_t id, const char *fault);

/* The control requests received since the previous call (first call: since plugged), one line
 * each ending "\n". Returns the length of the whole text; when the text and its terminator do not
 * fit in size bytes nothing is copied or consumed (buffer may then be NULL). -1 for an unknown
 * id. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_sim_trace(int32_t id, char *buffer, int32_t size);

/* The same for driver calls: "open ACCESS SHARE FLAGS" and "ioctl CODE PIPE" lines, hex. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_sim_driver_trace(int32_t id, char *buffer, int32_t size);

/* A counter by name: rx_packets, rx_frames, rx_dropped_frames, tx_packets, tx_bytes,
 * tx_underrun_frames, stream_starts, stream_stops, control_requests, uart_out_bytes,
 * cpu_instructions (executed by the emulated 8051 since plugged). -1 for an unknown id or name. */
VEXDAQ_API int64_t VEXDAQ_CALL vexdaq_sim_counter(int32_t id, const char *name);

/* Copies size bytes of the EEPROM on the chip's I2C bus from address (wrapping at 64 KiB). Bytes copied, or
 * -1. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_sim_eeprom_read(int32_t id, uint32_t address, uint8_t *buffer,
                                                      int32_t size);

/* Takes up to size of the sample bytes received on the tx stream, oldest first (the newest
 * 4 MiB are kept). Bytes copied, or -1. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_sim_output_read(int32_t id, uint8_t *buffer, int32_t size);

/* Queues bytes for the UART IN pipe (as if sent by the far end). Bytes queued, or -1. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_sim_uart_inject(int32_t id, const uint8_t *data,
                                                      int32_t size);

/* Takes up to size of the bytes the host sent on UART OUT while uart_loop=0. Bytes, or -1. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_sim_uart_output_read(int32_t id, uint8_t *buffer,
                                                           int32_t size);

#ifdef __cplusplus
}
#endif

#endif /* VEXDAQ_VEXDAQ_SIM_H */
