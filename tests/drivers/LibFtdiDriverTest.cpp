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

TEST(LibFtdiChannelNodes, DualChannelBridgeIsListedOncePerChannelAsD2xxDoes)
{
    const auto nodes = LibFtdiDriver::channelNodes(dualChannelBridge());
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_STREQ(nodes[0].Description, "Dual RS232-HS A");
    EXPECT_STREQ(nodes[1].Description, "Dual RS232-HS B");
    EXPECT_STREQ(nodes[0].SerialNumber, "FT5X8AB1A");
    EXPECT_STREQ(nodes[1].SerialNumber, "FT5X8AB1B");
    for (const auto& node : nodes) {
        EXPECT_EQ(node.Type, FT_DEVICE_2232H);
        EXPECT_EQ(node.ID, 0x04036010u);
        EXPECT_EQ(node.Flags, uint32_t{FT_FLAGS_HISPEED}); // hi-speed, not opened
        EXPECT_EQ(node.ftHandle, nullptr);
    }
    // Bus, hub ports, then the channel: each channel has a location of its own.
    EXPECT_EQ(nodes[0].LocId, 0x2131u);
    EXPECT_EQ(nodes[1].LocId, 0x2132u);
}

TEST(LibFtdiChannelNodes, ChipFamilyDecidesChannelsTypeAndSpeed)
{
    FtdiUsbDevice single = dualChannelBridge();
    single.productId = 0x6001;
    single.bcdDevice = 0x0600; // FT232R: one full-speed channel, no suffixes
    single.product = "FT232R USB UART";
    auto nodes = LibFtdiDriver::channelNodes(single);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_STREQ(nodes[0].Description, "FT232R USB UART");
    EXPECT_STREQ(nodes[0].SerialNumber, "FT5X8AB1");
    EXPECT_EQ(nodes[0].Type, FT_DEVICE_232R);
    EXPECT_EQ(nodes[0].Flags, 0u);
    EXPECT_EQ(nodes[0].LocId, 0x213u);

    FtdiUsbDevice quad = dualChannelBridge();
    quad.bcdDevice = 0x0800;
    nodes = LibFtdiDriver::channelNodes(quad);
    ASSERT_EQ(nodes.size(), 4u);
    EXPECT_STREQ(nodes[3].Description, "Dual RS232-HS D");
    EXPECT_EQ(nodes[3].Type, FT_DEVICE_4232H);

    FtdiUsbDevice odd = dualChannelBridge();
    odd.bcdDevice = 0x1234;
    nodes = LibFtdiDriver::channelNodes(odd);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].Type, FT_DEVICE_UNKNOWN);
}

TEST(LibFtdiChannelNodes, LongStringsKeepTheChannelSuffixAndTheTerminator)
{
    FtdiUsbDevice device = dualChannelBridge();
    device.product = std::string(80, 'p');
    device.serial = std::string(30, 's');
    const auto nodes = LibFtdiDriver::channelNodes(device);
    ASSERT_EQ(nodes.size(), 2u);
    for (unsigned i = 0; i < 2; ++i) {
        const std::string description(nodes[i].Description, strnlen(nodes[i].Description, 64));
        const std::string serial(nodes[i].SerialNumber, strnlen(nodes[i].SerialNumber, 16));
        EXPECT_EQ(description.size(), 63u);
        EXPECT_EQ(serial.size(), 15u);
        EXPECT_EQ(description.substr(61), std::string(" ") + char('A' + i));
        EXPECT_EQ(serial.back(), char('A' + i));
    }
    EXPECT_STRNE(nodes[0].Description, nodes[1].Description);
}

TEST(LibFtdiChannelNodes, UnreadableDeviceIsStillListedWithBlankStrings)
{
    FtdiUsbDevice device = dualChannelBridge();
    device.stringsRead = false;
    device.product.clear();
    device.serial.clear();
    const auto nodes = LibFtdiDriver::channelNodes(device);
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_STREQ(nodes[1].Description, "");
    EXPECT_STREQ(nodes[1].SerialNumber, "");
    EXPECT_EQ(nodes[1].ID, 0x04036010u);
}

TEST(LibFtdiDriverWithoutHardware, ListsNothingAndRefusesToOpenQuickly)
{
    const auto start = std::chrono::steady_clock::now();
    LibFtdiDriver driver;
    uint32_t count = 99;
    ASSERT_EQ(driver.FT_CreateDeviceInfoList(&count), FT_OK);
    if (count != 0)
        GTEST_SKIP() << "an FTDI device is attached to this machine";

    uint32_t listed = 99;
    EXPECT_EQ(driver.FT_GetDeviceInfoList(nullptr, &listed), FT_OK);
    EXPECT_EQ(listed, 0u);

    FT_HANDLE handle = reinterpret_cast<FT_HANDLE>(0x1);
    EXPECT_EQ(driver.FT_OpenEx("USB <-> Serial Converter B", FT_OPEN_BY_DESCRIPTION, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(driver.FT_OpenEx("FT5X8AB1B", FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(handle, reinterpret_cast<FT_HANDLE>(0x1)); // untouched on failure

    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(LibFtdiDriverWithoutHardware, BadHandlesAndArgumentsAreRefusedNotFollowed)
{
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
}
