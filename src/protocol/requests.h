// The device's control-request codes (class and vendor requests on the default pipe).
#pragma once

#include <cstdint>

namespace vexdaq {

// Class requests, recipient interface.
inline constexpr uint8_t REQ_SET_SERIAL = 0x12;
inline constexpr uint8_t REQ_FPGA_VERSION = 0x13;
inline constexpr uint8_t REQ_SAMPLE_RATE_LIST = 0xD0;
inline constexpr uint8_t REQ_SAMPLE_RATE = 0xD1;
inline constexpr uint8_t REQ_SAMPLE_WIDTH = 0xD3;
inline constexpr uint8_t REQ_CHANNEL_COUNT = 0xD5;
inline constexpr uint8_t REQ_I2C_WRITE = 0xE1;
inline constexpr uint8_t REQ_I2C_READ = 0xE2;
inline constexpr uint8_t REQ_UART_LINE_CODE = 0xE5;
inline constexpr uint8_t REQ_STREAM_STOP = 0xFD;
inline constexpr uint8_t REQ_STREAM_START = 0xFE;

// Vendor requests, recipient interface.
inline constexpr uint8_t REQ_IN_LEVEL = 0x3D;
inline constexpr uint8_t REQ_IN_ICP = 0x3F;
inline constexpr uint8_t REQ_COUNTER_READ = 0xC3;
inline constexpr uint8_t REQ_COUNTER_SET = 0xC4;
inline constexpr uint8_t REQ_PWM_SET = 0xC5;
inline constexpr uint8_t REQ_SAMPLE_MODE = 0xD7;
inline constexpr uint8_t REQ_TRIGGER_MODE = 0xD9;
inline constexpr uint8_t REQ_DIO_WRITE = 0xE6;
inline constexpr uint8_t REQ_DIO_READ = 0xE7;
inline constexpr uint8_t REQ_GPIO_MODE = 0xE8;

// Vendor requests, recipient device: the EZ-USB's own memory load, and the loader's memory.
inline constexpr uint8_t REQ_FIRMWARE_LOAD = 0xA0;
inline constexpr uint8_t REQ_LOADER_MEMORY = 0xA9;
inline constexpr uint16_t kCpucsAddress = 0xE600;

// ControlRequest type and recipient values.
inline constexpr uint32_t kRequestTypeClass = 1;
inline constexpr uint32_t kRequestTypeVendor = 2;
inline constexpr uint32_t kRecipientDevice = 0;
inline constexpr uint32_t kRecipientInterface = 1;
inline constexpr uint32_t kShortTransferOk = 0x10000;

}  // namespace vexdaq
