#include "device/d2xx/LibFtdiDriver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

using namespace d2xx;

namespace {

FtdiUsbDevice dualChannelBridge()
{
    FtdiUsbDevice device;
    device.vendorId = 0x0403;
    device.productId = 0x6010;
    device.bcdDevice = 0x0700;
    device.stringsRead = true;
    device.product = "Dual RS232-HS";
    device.serial = "FT5X8AB1";
    device.bus = 2;
    device.ports = {1, 3};
    return device;
}

} // namespace

TEST(LibFtdiChannelNodes, ChipFamilyDecidesChannelsSuffixesTypeAndSpeed)
{
    const struct
    {
        uint16_t productId, bcdDevice;
        size_t channels;
        uint32_t type;
        uint32_t flags;
        const char *lastDescription, *lastSerial;
        uint32_t lastLocId;
    } families[] = {
        {0x6010, 0x0700, 2, FT_DEVICE_2232H, FT_FLAGS_HISPEED, "Dual RS232-HS B", "FT5X8AB1B", 0x2132},
        {0x6001, 0x0600, 1, FT_DEVICE_232R, 0, "Dual RS232-HS", "FT5X8AB1", 0x213},
        {0x6011, 0x0800, 4, FT_DEVICE_4232H, FT_FLAGS_HISPEED, "Dual RS232-HS D", "FT5X8AB1D", 0x2134},
        {0x6010, 0x1234, 1, FT_DEVICE_UNKNOWN, 0, "Dual RS232-HS", "FT5X8AB1", 0x213},
    };
    for (const auto& family : families) {
        SCOPED_TRACE(family.lastDescription);
        FtdiUsbDevice device = dualChannelBridge();
        device.productId = family.productId;
        device.bcdDevice = family.bcdDevice;
        const auto nodes = LibFtdiDriver::channelNodes(device);
        ASSERT_EQ(nodes.size(), family.channels);
        for (const auto& node : nodes) {
            EXPECT_EQ(node.Type, family.type);
            EXPECT_EQ(node.ID, (uint32_t(0x0403) << 16) | family.productId);
            EXPECT_EQ(node.Flags, family.flags); // not opened
            EXPECT_EQ(node.ftHandle, nullptr);
        }
        EXPECT_STREQ(nodes.back().Description, family.lastDescription);
        EXPECT_STREQ(nodes.back().SerialNumber, family.lastSerial);
        // Bus, hub ports, then the channel when there are several.
        EXPECT_EQ(nodes.back().LocId, family.lastLocId);
    }
}

TEST(LibFtdiChannelNodes, LongOrUnreadableStringsStillGiveDistinctTerminatedNodes)
{
    FtdiUsbDevice device = dualChannelBridge();
    device.product = std::string(80, 'p');
    device.serial = std::string(30, 's');
    auto nodes = LibFtdiDriver::channelNodes(device);
    ASSERT_EQ(nodes.size(), 2u);
    for (unsigned i = 0; i < 2; ++i) {
        const std::string description(nodes[i].Description, strnlen(nodes[i].Description, 64));
        const std::string serial(nodes[i].SerialNumber, strnlen(nodes[i].SerialNumber, 16));
        EXPECT_EQ(description, std::string(61, 'p') + " " + char('A' + i));
        EXPECT_EQ(serial, std::string(14, 's') + char('A' + i));
    }

    // A device without access rights is still listed, with blank strings.
    device.stringsRead = false;
    device.product.clear();
    device.serial.clear();
    nodes = LibFtdiDriver::channelNodes(device);
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_STREQ(nodes[1].Description, "");
    EXPECT_STREQ(nodes[1].SerialNumber, "");
    EXPECT_EQ(nodes[1].ID, 0x04036010u);
}

TEST(LibFtdiDriverWithoutHardware, ListsNothingAndRefusesBadHandlesAndArguments)
{
    const auto start = std::chrono::steady_clock::now();
    LibFtdiDriver driver;
    int notAPort = 0;
    FT_HANDLE bogus = &notAPort;
    uint8_t byte = 0;
    uint32_t a = 0, b = 0, c = 0;
    EXPECT_EQ(driver.FT_ResetDevice(bogus), FT_INVALID_HANDLE);
    EXPECT_EQ(driver.FT_Purge(bogus, FT_PURGE_RX | FT_PURGE_TX), FT_INVALID_HANDLE);
    EXPECT_EQ(driver.FT_SetLatencyTimer(bogus, 2), FT_INVALID_HANDLE);
    EXPECT_EQ(driver.FT_SetBitMode(bogus, 0, FT_BITMODE_MPSSE), FT_INVALID_HANDLE);
    EXPECT_EQ(driver.FT_GetBitMode(bogus, &byte), FT_INVALID_HANDLE);
    EXPECT_EQ(driver.FT_Write(bogus, &byte, 1, &a), FT_INVALID_HANDLE);
    EXPECT_EQ(driver.FT_GetStatus(bogus, &a, &b, &c), FT_INVALID_HANDLE);
    EXPECT_EQ(driver.FT_Read(bogus, &byte, 1, &a), FT_INVALID_HANDLE);
    EXPECT_EQ(driver.FT_Close(bogus), FT_INVALID_HANDLE);
    EXPECT_EQ(driver.FT_Close(nullptr), FT_INVALID_HANDLE);
    EXPECT_EQ(driver.FT_CreateDeviceInfoList(nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver.FT_GetDeviceInfoList(nullptr, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver.FT_OpenEx(nullptr, FT_OPEN_BY_DESCRIPTION, &bogus), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver.FT_OpenEx("x", FT_OPEN_BY_DESCRIPTION, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver.FT_OpenEx("x", 0x80, &bogus), FT_INVALID_PARAMETER);

    uint32_t count = 99;
    ASSERT_EQ(driver.FT_CreateDeviceInfoList(&count), FT_OK);
    if (count != 0)
        GTEST_SKIP() << "an FTDI device is attached to this machine";
    EXPECT_EQ(driver.FT_GetDeviceInfoList(nullptr, &count), FT_OK);
    EXPECT_EQ(count, 0u);
    FT_HANDLE handle = reinterpret_cast<FT_HANDLE>(0x1);
    EXPECT_EQ(driver.FT_OpenEx("USB <-> Serial Converter B", FT_OPEN_BY_DESCRIPTION, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(driver.FT_OpenEx("FT5X8AB1B", FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(handle, reinterpret_cast<FT_HANDLE>(0x1)); // untouched on failure
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}
