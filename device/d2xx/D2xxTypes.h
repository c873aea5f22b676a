#pragma once

#include <cstdint>

// The D2XX vocabulary as FTDI defines it: status codes, flags and the
// device-list node. Our own declarations, shared by every backend.
namespace d2xx {

using FT_STATUS = uint32_t;
using FT_HANDLE = void*;

enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
    FT_DEVICE_NOT_OPENED_FOR_WRITE = 9,
    FT_FAILED_TO_WRITE_DEVICE = 10,
    FT_EEPROM_READ_FAILED = 11,
    FT_EEPROM_WRITE_FAILED = 12,
    FT_EEPROM_ERASE_FAILED = 13,
    FT_EEPROM_NOT_PRESENT = 14,
    FT_EEPROM_NOT_PROGRAMMED = 15,
    FT_INVALID_ARGS = 16,
    FT_NOT_SUPPORTED = 17,
    FT_OTHER_ERROR = 18,
};

// FT_OpenEx flags.
enum : uint32_t {
    FT_OPEN_BY_SERIAL_NUMBER = 1,
    FT_OPEN_BY_DESCRIPTION = 2,
    FT_OPEN_BY_LOCATION = 4,
};

// FT_Purge masks.
enum : uint32_t { FT_PURGE_RX = 1, FT_PURGE_TX = 2 };

// FT_SetBitMode modes.
enum : uint8_t {
    FT_BITMODE_RESET = 0x00,
    FT_BITMODE_ASYNC_BITBANG = 0x01,
    FT_BITMODE_MPSSE = 0x02,
    FT_BITMODE_SYNC_BITBANG = 0x04,
    FT_BITMODE_MCU_HOST = 0x08,
    FT_BITMODE_FAST_SERIAL = 0x10,
    FT_BITMODE_CBUS_BITBANG = 0x20,
    FT_BITMODE_SYNC_FIFO = 0x40,
};

// Device-list node flags and types.
enum : uint32_t { FT_FLAGS_OPENED = 1, FT_FLAGS_HISPEED = 2 };
enum : uint32_t {
    FT_DEVICE_BM = 0,
    FT_DEVICE_AM = 1,
    FT_DEVICE_100AX = 2,
    FT_DEVICE_UNKNOWN = 3,
    FT_DEVICE_2232C = 4,
    FT_DEVICE_232R = 5,
    FT_DEVICE_2232H = 6,
    FT_DEVICE_4232H = 7,
    FT_DEVICE_232H = 8,
};

struct FT_DEVICE_LIST_INFO_NODE {
    uint32_t Flags;
    uint32_t Type;
    uint32_t ID;          // VID << 16 | PID
    uint32_t LocId;
    char SerialNumber[16]; // NUL-terminated
    char Description[64];  // NUL-terminated
    FT_HANDLE ftHandle;
};

} // namespace d2xx
