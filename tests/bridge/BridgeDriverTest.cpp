#include "tests/support/Emulated.h"

#include "emulator/d2xx/EmulatedDriver.h"
#include "emulator/CallTrace.h"
#include "emulator/Ft2232hBridge.h"
#include "emulator/SpiFlash.h"
#include "emulator/VirtualClock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

using namespace d2xx;

namespace {

using Bytes = std::vector<uint8_t>;

const char kChannelA[] = "USB <-> Serial Converter A";
const char kChannelB[] = "USB <-> Serial Converter B";
const Bytes kSetup = {0x85, 0x97, 0x8A, 0x86, 0x01, 0x00, 0x80, 0x68, 0x6B};
const Bytes kReadId = {0x80, 0x00, 0x6B, 0x11, 0x00, 0x00, 0x9F, 0x20, 0x02, 0x00, 0x87, 0x80, 0x68, 0x6B};

class BridgeDriverTest : public ::testing::Test
{
protected:
    void start(const std::string& faults = "", bool timed = false)
    {
        driver = testsupport::emulatedDriver("mt25q128", faults, 2, timed);
    }
    // Opened as the loader opens it when `mpsse`: MPSSE mode, SPI set up.
    FT_HANDLE open(const char* description = kChannelB, bool mpsse = false)
    {
        FT_HANDLE h = nullptr;
        EXPECT_EQ(driver->FT_OpenEx(description, FT_OPEN_BY_DESCRIPTION, &h), FT_OK);
        if (mpsse) {
            EXPECT_EQ(driver->FT_SetLatencyTimer(h, 2), FT_OK);
            EXPECT_EQ(driver->FT_SetBitMode(h, 0x00, 0x02), FT_OK);
            EXPECT_EQ(write(h, kSetup), FT_OK);
        }
        return h;
    }
    FT_STATUS write(FT_HANDLE h, const Bytes& bytes)
    {
        uint32_t written = 0;
        return driver->FT_Write(h, bytes.data(), uint32_t(bytes.size()), &written);
    }
    uint32_t queued(FT_HANDLE h)
    {
        uint32_t rx = 99, tx = 99, events = 99;
        EXPECT_EQ(driver->FT_GetStatus(h, &rx, &tx, &events), FT_OK);
        return rx;
    }
    Bytes read(FT_HANDLE h, uint32_t count)
    {
        Bytes buffer(count, 0xEE);
        uint32_t returned = 0;
        EXPECT_EQ(driver->FT_Read(h, buffer.data(), count, &returned), FT_OK);
        buffer.resize(returned);
        return buffer;
    }
    std::vector<FT_DEVICE_LIST_INFO_NODE> list()
    {
        uint32_t count = 0;
        EXPECT_EQ(driver->FT_CreateDeviceInfoList(&count), FT_OK);
        std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count + 1);
        std::memset(nodes.data(), 0xCC, nodes.size() * sizeof nodes[0]);
        EXPECT_EQ(driver->FT_GetDeviceInfoList(nodes.data(), &count), FT_OK);
        EXPECT_EQ(nodes.back().Flags, 0xCCCCCCCCu) << "wrote past the announced count";
        nodes.resize(count);
        return nodes;
    }
    void advanceUs(uint64_t us) { driver->clock().advanceNanoseconds(us * 1000); }
    uint64_t nowUs() { return driver->clock().nowNanoseconds() / 1000; }

    std::shared_ptr<EmulatedDriver> driver;
};

TEST_F(BridgeDriverTest, ListingOpeningAndHandlesAsD2xxHasThem)
{
    start();
    auto nodes = list();
    ASSERT_EQ(nodes.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(nodes[i].Flags, FT_FLAGS_HISPEED);
        EXPECT_EQ(nodes[i].SerialNumber, std::string("FT7PRVL") + char('A' + i));
        EXPECT_EQ(nodes[i].Description, std::string(i ? kChannelB : kChannelA));
        EXPECT_EQ(nodes[i].ftHandle, nullptr);
    }
    EXPECT_NE(nodes[0].LocId, nodes[1].LocId);
    uint32_t n = 0;
    EXPECT_EQ(driver->FT_GetDeviceInfoList(nullptr, &n), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver->FT_CreateDeviceInfoList(nullptr), FT_INVALID_PARAMETER);

    // An open channel is listed with the opened flag and its handle, and cannot be opened again.
    FT_HANDLE b = open(kChannelB);
    nodes = list();
    EXPECT_EQ(nodes[0].Flags, FT_FLAGS_HISPEED);
    EXPECT_EQ(nodes[1].Flags, FT_FLAGS_HISPEED | FT_FLAGS_OPENED);
    EXPECT_EQ(nodes[1].ftHandle, b);
    FT_HANDLE other = nullptr;
    EXPECT_EQ(driver->FT_OpenEx(kChannelB, FT_OPEN_BY_DESCRIPTION, &other), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(driver->FT_OpenEx("FT7PRVLB", FT_OPEN_BY_SERIAL_NUMBER, &other), FT_DEVICE_NOT_OPENED);
    // Descriptions match exactly: the USB product string alone is not a channel.
    EXPECT_EQ(driver->FT_OpenEx("USB <-> Serial Converter", FT_OPEN_BY_DESCRIPTION, &other), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(driver->FT_OpenEx(nullptr, FT_OPEN_BY_DESCRIPTION, &other), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver->FT_OpenEx(kChannelA, FT_OPEN_BY_DESCRIPTION, nullptr), FT_INVALID_PARAMETER);

    FT_HANDLE a = nullptr;
    ASSERT_EQ(driver->FT_OpenEx("FT7PRVLA", FT_OPEN_BY_SERIAL_NUMBER, &a), FT_OK);
    EXPECT_NE(a, b);
    EXPECT_EQ(driver->FT_Close(a), FT_OK);
    EXPECT_EQ(driver->FT_Close(b), FT_OK);

    // A closed handle, and one that never was, are refused by every call.
    uint8_t pins = 0;
    for (FT_HANDLE dead : {b, reinterpret_cast<FT_HANDLE>(uintptr_t(0x1234)), FT_HANDLE(nullptr)}) {
        EXPECT_EQ(driver->FT_ResetDevice(dead), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->FT_Purge(dead, 3), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->FT_SetLatencyTimer(dead, 2), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->FT_SetBitMode(dead, 0, 2), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->FT_GetBitMode(dead, &pins), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->FT_Write(dead, "x", 1, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->FT_GetStatus(dead, &n, &n, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->FT_Read(dead, &pins, 1, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->FT_Close(dead), FT_INVALID_HANDLE);
    }

    // Reopened (by location this time) it gets a new handle; the old one stays dead.
    FT_HANDLE again = nullptr;
    ASSERT_EQ(driver->FT_OpenEx(reinterpret_cast<void*>(uintptr_t(nodes[1].LocId)), FT_OPEN_BY_LOCATION, &again), FT_OK);
    EXPECT_NE(again, b);
    EXPECT_EQ(driver->FT_Purge(b, 3), FT_INVALID_HANDLE);
    EXPECT_EQ(driver->FT_Purge(again, 3), FT_OK);
}

TEST_F(BridgeDriverTest, ModePurgeAndResetTakeEffect)
{
    start();
    FT_HANDLE h = open();
    EXPECT_EQ(driver->FT_SetBitMode(h, 0x00, 0x03), FT_INVALID_PARAMETER) << "no such mode";
    // In reset (UART) mode written bytes are no MPSSE commands.
    EXPECT_EQ(write(h, {0x81, 0x87, 0x80, 0x00, 0x6B}), FT_OK);
    EXPECT_EQ(queued(h), 0u);
    EXPECT_EQ(driver->instrument()->flash().statusBytesRead(), 0u);

    ASSERT_EQ(driver->FT_SetBitMode(h, 0x00, 0x02), FT_OK);
    EXPECT_EQ(write(h, {0x81, 0x87}), FT_OK);
    EXPECT_EQ(queued(h), 1u);
    EXPECT_EQ(driver->FT_Purge(h, FT_PURGE_RX), FT_OK);
    EXPECT_EQ(queued(h), 0u);
    // Purging TX, or a device reset, drops a half-sent command (and a reset the replies too).
    EXPECT_EQ(write(h, {0x80, 0x68}), FT_OK);
    EXPECT_EQ(driver->FT_Purge(h, FT_PURGE_TX), FT_OK);
    EXPECT_EQ(write(h, {0x81, 0x87, 0x80, 0x68}), FT_OK);
    EXPECT_EQ(queued(h), 1u) << "0x81 was taken as the missing direction byte";
    EXPECT_EQ(driver->FT_ResetDevice(h), FT_OK);
    EXPECT_EQ(queued(h), 0u);
    EXPECT_EQ(write(h, {0x81, 0x87}), FT_OK);
    EXPECT_EQ(queued(h), 1u);
}

TEST_F(BridgeDriverTest, RepliesWaitForSendImmediateTheLatencyTimerOrAFullBuffer)
{
    start();
    FT_HANDLE h = open(kChannelB, true);
    // Without 0x87 a reply sits in the chip until the 2 ms latency timer runs out.
    ASSERT_EQ(write(h, {0x81}), FT_OK);
    EXPECT_EQ(queued(h), 0u);
    advanceUs(1700);
    EXPECT_EQ(queued(h), 0u);
    advanceUs(300);
    EXPECT_EQ(queued(h), 1u);
    // 0x87 sends it, and what was waiting with it, at once.
    ASSERT_EQ(write(h, {0x81, 0x81, 0x87, 0x81}), FT_OK);
    EXPECT_EQ(queued(h), 3u);

    // FT_Read waits out the latency timer for a pending byte, and after its time-out returns what there is.
    uint64_t before = nowUs();
    EXPECT_EQ(read(h, 4).size(), 4u);
    EXPECT_LT(nowUs() - before, 2500u);
    ASSERT_EQ(write(h, {0x81, 0x87}), FT_OK);
    before = nowUs();
    EXPECT_EQ(read(h, 3).size(), 1u);
    EXPECT_GE(nowUs() - before, 1000000u);
    EXPECT_EQ(read(h, 0).size(), 0u);

    // Every 510 bytes make a USB packet that leaves without 0x87; the remainder waits.
    ASSERT_EQ(write(h, {0x20, 0x00, 0x10}), FT_OK); // 4097 bytes in
    EXPECT_EQ(queued(h), 8u * 510u);
    EXPECT_EQ(read(h, 8 * 510), Bytes(8 * 510, 0xFF)) << "chip select is high: DI is pulled up";
    advanceUs(2000);
    EXPECT_EQ(queued(h), 17u);

    // 1 ms is a D2XX refusal; the chip itself takes it.
    EXPECT_EQ(driver->FT_SetLatencyTimer(h, 1), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver->bridge()->latencyTimer(1), 2u);
    EXPECT_TRUE(driver->bridge()->setLatencyTimer(1, 1));
    EXPECT_FALSE(driver->bridge()->setLatencyTimer(1, 0));
    EXPECT_EQ(driver->bridge()->latencyTimer(1), 1u);
}

TEST_F(BridgeDriverTest, TimedUsbRunsOnMicroframesAndPackets)
{
    start("", true);
    FT_HANDLE h = open(kChannelB, true);
    const uint64_t microframeNs = 125000;
    const uint64_t packetNs = 12500;
    auto nowNs = [&] { return driver->clock().nowNanoseconds(); };

    // A status poll: the write waits for the next microframe, the reply for the one after it.
    advanceUs(40);
    const uint64_t before = nowNs();
    ASSERT_EQ(write(h, {0x80, 0x00, 0x6B, 0x11, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x87, 0x80, 0x68, 0x6B}), FT_OK);
    EXPECT_EQ(read(h, 1), Bytes{0x00});
    EXPECT_EQ(nowNs() % microframeNs, packetNs) << "a packet reaches the host inside a microframe";
    EXPECT_GE(nowNs() - before, microframeNs + packetNs);
    EXPECT_LE(nowNs() - before, 3 * microframeNs);

    // Without send-immediate the reply leaves when the latency timer, started
    // by its first byte, runs out.
    ASSERT_EQ(write(h, {0x81}), FT_OK);
    const uint64_t queuedAt = nowNs();
    EXPECT_EQ(read(h, 1).size(), 1u);
    const uint64_t due = queuedAt + 2000000;
    EXPECT_EQ(nowNs(), (due + microframeNs - 1) / microframeNs * microframeNs + packetNs);

    // 64 KiB in: 129 packets, ten per microframe, behind 35 ms of 15 MHz SPI clocks.
    const uint64_t start = nowNs();
    ASSERT_EQ(write(h, {0x20, 0xFF, 0xFF, 0x87}), FT_OK);
    const uint64_t spiDone = nowNs();
    EXPECT_EQ(read(h, 65536).size(), 65536u);
    EXPECT_GE(spiDone - start, 65536ull * 8 * 1000 / 15);
    EXPECT_GE(nowNs() - spiDone, 12 * microframeNs);
    EXPECT_LE(nowNs() - spiDone, 14 * microframeNs);

    // A 64 KiB write overlaps its 129 packets with its clocking: the clocks set the pace.
    const Bytes chunk = [] {
        Bytes bytes{0x11, 0xFF, 0xFF};
        bytes.resize(3 + 65536, 0x5A);
        return bytes;
    }();
    const uint64_t writeStart = nowNs();
    ASSERT_EQ(write(h, chunk), FT_OK);
    const uint64_t clocking = 65536ull * 8 * 1000 / 15;
    EXPECT_GE(nowNs() - writeStart, clocking);
    EXPECT_LE(nowNs() - writeStart, clocking + 2 * microframeNs);
    // What the USB face sees of the packets is the libusb stand-in's test.
}

TEST_F(BridgeDriverTest, OnlyChannelBReachesTheInstrumentAlsoFromTwoThreads)
{
    start();
    FT_HANDLE a = open(kChannelA, true);
    FT_HANDLE b = open(kChannelB, true);
    // One write, one status poll and one read: a few hundred microseconds of USB.
    const uint64_t before = nowUs();
    ASSERT_EQ(write(b, kReadId), FT_OK);
    EXPECT_EQ(read(b, 3), (Bytes{0x20, 0xBA, 0x18}));
    EXPECT_GT(nowUs() - before, 200u);
    EXPECT_LT(nowUs() - before, 400u);

    driver->trace().clear();
    auto worker = [this](FT_HANDLE h, Bytes expected) {
        for (int i = 0; i < 200; ++i) {
            uint32_t written = 0, returned = 0;
            Bytes in(3);
            if (driver->FT_Write(h, kReadId.data(), uint32_t(kReadId.size()), &written) != FT_OK ||
                driver->FT_Read(h, in.data(), 3, &returned) != FT_OK || in != expected)
                return false;
        }
        return true;
    };
    bool okA = false, okB = false;
    std::thread first([&] { okA = worker(a, {0xFF, 0xFF, 0xFF}); });
    std::thread second([&] { okB = worker(b, {0x20, 0xBA, 0x18}); });
    first.join();
    second.join();
    EXPECT_TRUE(okA);
    EXPECT_TRUE(okB);
    EXPECT_EQ(driver->trace().spi().size(), 200u);
}

TEST_F(BridgeDriverTest, UnplugEndsEveryCallAndAnEnumerationFaultOnlyTheListing)
{
    // Calls: OpenEx 1, SetLatencyTimer 2, SetBitMode 3, Write 4, CreateDeviceInfoList 5, then gone from 6.
    start("unplug@6");
    FT_HANDLE h = open(kChannelB, true);
    uint32_t count = 0;
    ASSERT_EQ(driver->FT_CreateDeviceInfoList(&count), FT_OK);
    EXPECT_EQ(count, 2u);
    FT_DEVICE_LIST_INFO_NODE nodes[2];
    EXPECT_EQ(driver->FT_GetDeviceInfoList(nodes, &count), FT_OK);
    EXPECT_EQ(count, 0u) << "the bridge left between listing and fetching the list";
    EXPECT_EQ(write(h, kReadId), FT_IO_ERROR);
    uint32_t rx = 0, tx = 0, events = 0;
    EXPECT_EQ(driver->FT_GetStatus(h, &rx, &tx, &events), FT_IO_ERROR);
    uint8_t pins = 0;
    EXPECT_EQ(driver->FT_GetBitMode(h, &pins), FT_IO_ERROR);
    EXPECT_EQ(driver->FT_Close(h), FT_IO_ERROR);
    EXPECT_EQ(list().size(), 0u);
    EXPECT_EQ(driver->FT_OpenEx(kChannelB, FT_OPEN_BY_DESCRIPTION, &h), FT_DEVICE_NOT_FOUND);

    start("enumeration");
    EXPECT_NE(driver->FT_CreateDeviceInfoList(&count), FT_OK);
    EXPECT_EQ(driver->FT_OpenEx(kChannelB, FT_OPEN_BY_DESCRIPTION, &h), FT_OK);
}

} // namespace
