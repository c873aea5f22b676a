#include "device/d2xx/LibFtdiDriver.h"

#include <gtest/gtest.h>

#include <algorithm>
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
        {0x6001, 0x0600, 1, FT_DEVICE_232R, 0, "Dual RS232-HS", "FT5X8AB1", 0x2130},
        {0x6011, 0x0800, 4, FT_DEVICE_4232H, FT_FLAGS_HISPEED, "Dual RS232-HS D", "FT5X8AB1D", 0x2134},
        {0x6010, 0x1234, 1, FT_DEVICE_UNKNOWN, 0, "Dual RS232-HS", "FT5X8AB1", 0x2130},
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
        // Bus, hub ports, then the channel (0 when there is only one).
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

TEST(LibFtdiChannelNodes, LocationsNeverCollideAndWhatCannotBeEncodedIsZero)
{
    // Each USB path and channel gives its own location, or 0 when it does not fit.
    struct Path
    {
        uint8_t bus;
        std::vector<uint8_t> ports;
    };
    const Path paths[] = {
        {1, {2, 1}}, {1, {2}}, {2, {1}}, {1, {2, 1, 1}}, {0x12, {1}}, {1, {16}}, {1, {2, 1, 1, 1, 1, 1}},
        {1, {2, 1, 1, 1, 1, 1, 1}}, {15, {15, 15, 15, 15, 15, 15}}, {1, {0}},
    };
    std::vector<uint32_t> seen;
    for (const Path& path : paths) {
        FtdiUsbDevice device = dualChannelBridge();
        device.bus = path.bus;
        device.ports = path.ports;
        for (uint16_t bcd : {uint16_t(0x0700), uint16_t(0x0600)}) {
            device.bcdDevice = bcd;
            for (const auto& node : LibFtdiDriver::channelNodes(device)) {
                if (node.LocId == 0)
                    continue;
                EXPECT_EQ(std::count(seen.begin(), seen.end(), node.LocId), 0) << std::hex << node.LocId;
                seen.push_back(node.LocId);
            }
        }
    }
    FtdiUsbDevice device = dualChannelBridge();
    device.bus = 0x12; // bus 18: more than one digit
    device.ports = {1};
    EXPECT_EQ(LibFtdiDriver::channelNodes(device)[1].LocId, 0u);
    device.bus = 1;
    device.ports = {2, 1};
    EXPECT_EQ(LibFtdiDriver::channelNodes(device)[1].LocId, 0x1212u);
    device.ports = {2, 1, 1, 1, 1, 1, 1}; // nine digits would overflow 32 bits
    EXPECT_EQ(LibFtdiDriver::channelNodes(device)[1].LocId, 0u);
    device.ports = {15, 15, 15, 15, 15, 15};
    device.bus = 15;
    EXPECT_EQ(LibFtdiDriver::channelNodes(device)[1].LocId, 0xFFFFFFF2u);
}
