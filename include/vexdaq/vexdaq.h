/*
 * vexdaq: drives one USB data-acquisition instrument (up to 64 input and 64 output channels of
 * 16, 24 or 32-bit samples) through 40 plain C functions.
 *
 * Conventions shared by every function:
 *  - One device session per process. Open it with vexdaq_device_open, end it with
 *    vexdaq_device_close.
 *  - A process that ends with its session open: on Linux the session is closed from an exit
 *    handler. On Windows the system ends the library's threads before the DLL learns of the exit,
 *    so the DLL leaves the session to the system (every log line is on disk as written).
 *    FreeLibrary while a session is open does not unload the DLL: the session keeps it loaded
 *    until vexdaq_device_close, so close before unloading.
 *  - Results: 0 is success; -1 means there is no usable session or a required pointer is null;
 *    -2 and -3 are the failures a function names. Data and text calls return byte counts or text
 *    lengths instead. Commands carried out by the device return 0 once queued (and, where the
 *    call waits, carried out): what the device answered shows only in the log,
 *    "log/usbio_<timestamp>.txt" under the current directory (vexdaq_set_log_directory in
 *    vexdaq_ext.h chooses another). A command the library could not hand to the device (the
 *    session is closing or its core has ended) returns -1; so do vexdaq_start, vexdaq_stop and
 *    vexdaq_dispose_buffers.
 *  - vexdaq_device_open and vexdaq_device_close may be called from any thread, also at once: they
 *    take turns. A second close waits for the first and returns when the session is gone; an
 *    open while a session is open fails (-1) and leaves that session and its log alone. Once a
 *    close has begun, no call can start the stream or reach the device any more.
 *  - Closing while other threads are inside the library is safe: vexdaq_device_close wakes every
 *    call blocked in a data or UART function, waits until each call has returned, and only then
 *    frees the session. Every call a close releases returns -1 (samples or bytes it had not yet
 *    handed over are lost); calls that arrive meanwhile may wait for the close and then give their
 *    results without a session.
 *  - Channel masks are 64-bit, bit n for channel n.
 *  - Samples are 2, 3 or 4 bytes, least significant byte first; 24-bit samples are three packed
 *    bytes.
 *
 * The header compiles as C (C11 or later) and as C++.
 */
#ifndef VEXDAQ_VEXDAQ_H
#define VEXDAQ_VEXDAQ_H

#include <stdint.h>

#if defined(_WIN32)
#define VEXDAQ_CALL __cdecl
#if defined(VEXDAQ_BUILDING_LIBRARY)
#define VEXDAQ_API __declspec(dllexport)
#elif defined(VEXDAQ_STATIC)
#define VEXDAQ_API
#else
#define VEXDAQ_API __declspec(dllimport)
#endif
#else
#define VEXDAQ_CALL
#define VEXDAQ_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Session */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_device_list(void);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_device_open(int32_t index);
VEXDAQ_API void VEXDAQ_CALL vexdaq_device_close(void);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_start(void);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_stop(void);

/* Identity: each fills a NUL-terminated text and returns the length of the whole text (which may
 * exceed size - 1 when the text was cut), or -1. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_get_version(char *buffer, int32_t size);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_get_information(char *buffer, int32_t size);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_get_driver_version(char *buffer, int32_t size);
/* buffer must hold 32 bytes. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_get_device_name(char *buffer);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_get_device_version(char *buffer, int32_t size);

/* Acquisition configuration */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_set_trigger_mode(int32_t mode, uint8_t source, uint8_t edge,
                                                       int32_t level, int32_t pre_samples,
                                                       uint8_t direction);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_set_sample_mode(int32_t mode, uint8_t option, int32_t count,
                                                      uint8_t direction);
/* input: 1 searches the input rate list, any other value the output list. 0 when supported. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_can_sample_rate(int32_t rate, uint8_t input);
/* Returns once the device has the rates: a stream started with vexdaq_start is stopped around the
 * change and started again (blocked data calls of the stream see the stop, see below). */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_set_sample_rate(int32_t out_rate, int32_t in_rate);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_get_sample_rate(int32_t *out_rate, int32_t *in_rate);
/* Reports the input sample width in bytes (2, 3 or 4). */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_get_sample_width(int32_t *width);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_get_channel_count(int32_t *out_count, int32_t *in_count);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_set_input_gear(uint64_t channel_mask, uint8_t force_gear8,
                                                     uint8_t gear);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_set_input_icp(uint64_t channel_mask, uint8_t icp);

/* Channel buffers: create sizes one FIFO per channel and disables every channel it sizes. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_create_buffers(int32_t out_samples, int32_t in_samples);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_dispose_buffers(void);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_set_output_channel(uint64_t channel_mask);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_set_input_channel(uint64_t channel_mask);

/* Streaming data: each call moves its whole request or nothing. blocking == 1 waits until the
 * request fits; any other value returns at once. A blocked call returns 0 when the stream is
 * stopped while it waits (vexdaq_stop, vexdaq_dispose_buffers, the stop around a rate change of
 * a running stream) or its channels are disabled, and -1 when the stream fails or the session
 * closes. The all-channel calls also work before a start (to fill the output FIFOs). */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_send_data(int32_t channel, const uint8_t *source,
                                                int32_t bytes, int32_t blocking);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_recv_data(int32_t channel, uint8_t *destination,
                                                int32_t bytes, int32_t blocking);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_send_all_data(int32_t unused, const uint8_t *source,
                                                    int32_t bytes, int32_t blocking);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_recv_all_data(int32_t unused, uint8_t *destination,
                                                    int32_t bytes, int32_t blocking);

/* Auxiliary I/O */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_set_gpio_mode(uint32_t pin_mask, int32_t gpio_mode);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_digital_io_write(int32_t port, const uint8_t *buffer,
                                                       int32_t length);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_digital_io_read(int32_t port, uint8_t *buffer,
                                                      int32_t length);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_set_pwm(int32_t pin, int32_t frequency, int32_t duty);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_set_counter(int32_t pin, int32_t mode, int32_t edge);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_counter_read(int32_t pin, uint32_t *edge_count,
                                                   uint32_t *cycle_width,
                                                   uint32_t *positive_pulse_width,
                                                   uint32_t *negative_pulse_width);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_set_uart_line_code(int32_t rate, uint8_t stop_bits,
                                                         uint8_t parity, uint8_t data_bits);
/* UART data: bytes moved within 50 ms (0 or more), -1 no device, -2 no event, -3 failure. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_UART_Write(const uint8_t *buffer, int32_t count);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_UART_Read(uint8_t *buffer, int32_t count);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_I2C_Reg_Write(uint16_t reg, const uint8_t *buffer,
                                                    int32_t length);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_I2C_Reg_Read(uint16_t reg, uint8_t *buffer, int32_t length);

/* Downloads: these need only an opened device, not a running session. */
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_firmware_download(const char *path);
VEXDAQ_API int32_t VEXDAQ_CALL vexdaq_serial_download(const char *text, int32_t count);

#ifdef __cplusplus
}
#endif

#endif /* VEXDAQ_VEXDAQ_H */
