#include "device/d2xx/EmulatedDriver.h"
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
const Bytes kReadStatus = {0x80, 0x00, 0x6B, 0x11, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x87, 0x80, 0x68, 0x6B};
const Bytes kWriteEnable = {0x80, 0x00, 0x6B, 0x11, 0x00, 0x00, 0x06, 0x80, 0x68, 0x6B};

class BridgeDriverTest : public ::testing::Test
{
protected:
    void start(const std::string& faults = "", bool attached = true)
    {
        EmulatedDriverOptions options;
        options.bridgeAttached = attached;
        std::string error;
        ASSERT_TRUE(emu::FaultPlan::parse(faults, options.faults, error)) << error;
        driver = EmulatedDriver::create(options, error);
        ASSERT_TRUE(driver) << error;
    }

    // Opens a channel in MPSSE mode with SPI set up, as the loader does.
    FT_HANDLE openMpsse(const char* description = kChannelB)
    {
        FT_HANDLE handle = nullptr;
        EXPECT_EQ(driver->FT_OpenEx(description, FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
        EXPECT_EQ(driver->FT_SetLatencyTimer(handle, 2), FT_OK);
        EXPECT_EQ(driver->FT_SetBitMode(handle, 0x00, 0x02), FT_OK);
        EXPECT_EQ(write(handle, kSetup), FT_OK);
        return handle;
    }

    FT_STATUS write(FT_HANDLE handle, const Bytes& bytes)
    {
        uint32_t written = 0;
        return driver->FT_Write(handle, bytes.data(), uint32_t(bytes.size()), &written);
    }

    uint32_t queued(FT_HANDLE handle)
    {
        uint32_t rx = 99, tx = 99, events = 99;
        EXPECT_EQ(driver->FT_GetStatus(handle, &rx, &tx, &events), FT_OK);
        return rx;
    }

    Bytes read(FT_HANDLE handle, uint32_t count)
    {
        Bytes buffer(count, 0xEE);
        uint32_t returned = 0;
        EXPECT_EQ(driver->FT_Read(handle, buffer.data(), count, &returned), FT_OK);
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

TEST_F(BridgeDriverTest, ListsBothChannelsAsD2xxDoes)
{
    start();
    auto nodes = list();
    ASSERT_EQ(nodes.size(), 2u);
    const char* serials[] = {"FT7PRVLA", "FT7PRVLB"};
    const char* descriptions[] = {kChannelA, kChannelB};
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(nodes[i].Flags, FT_FLAGS_HISPEED);
        EXPECT_EQ(nodes[i].Type, FT_DEVICE_2232H);
        EXPECT_EQ(nodes[i].ID, 0x04036010u);
        EXPECT_STREQ(nodes[i].SerialNumber, serials[i]);
        EXPECT_STREQ(nodes[i].Description, descriptions[i]);
        EXPECT_EQ(nodes[i].ftHandle, nullptr);
    }
    EXPECT_NE(nodes[0].LocId, nodes[1].LocId);

    // An open channel shows the opened flag and its handle; the other does not.
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(driver->FT_OpenEx(kChannelB, FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
    nodes = list();
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0].Flags, FT_FLAGS_HISPEED);
    EXPECT_EQ(nodes[1].Flags, FT_FLAGS_HISPEED | FT_FLAGS_OPENED);
    EXPECT_EQ(nodes[1].ftHandle, handle);

    uint32_t count = 0;
    EXPECT_EQ(driver->FT_GetDeviceInfoList(nullptr, &count), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver->FT_CreateDeviceInfoList(nullptr), FT_INVALID_PARAMETER);
}

TEST_F(BridgeDriverTest, OpenCloseAndHandles)
{
    start();
    FT_HANDLE b = nullptr;
    FT_HANDLE other = nullptr;
    ASSERT_EQ(driver->FT_OpenEx(kChannelB, FT_OPEN_BY_DESCRIPTION, &b), FT_OK);
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
    uint32_t n = 0;
    const FT_HANDLE bogus = reinterpret_cast<FT_HANDLE>(uintptr_t(0x1234));
    for (FT_HANDLE dead : {b, bogus, FT_HANDLE(nullptr)}) {
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
    const uint32_t location = list()[1].LocId;
    FT_HANDLE again = nullptr;
    ASSERT_EQ(driver->FT_OpenEx(reinterpret_cast<void*>(uintptr_t(location)), FT_OPEN_BY_LOCATION, &again), FT_OK);
    EXPECT_NE(again, b);
    EXPECT_EQ(driver->FT_Purge(b, 3), FT_INVALID_HANDLE);
    EXPECT_EQ(driver->FT_Purge(again, 3), FT_OK);

    const auto opens = driver->trace().calls("FT_OpenEx");
    ASSERT_FALSE(opens.empty());
    EXPECT_EQ(opens[0].arguments, "description=\"USB <-> Serial Converter B\" flags=0x2");
    EXPECT_EQ(opens[0].status, FT_OK);
    EXPECT_EQ(opens[1].status, FT_DEVICE_NOT_OPENED);
}

TEST_F(BridgeDriverTest, SettingsTakeEffectAndAreTraced)
{
    start();
    FT_HANDLE h = nullptr;
    ASSERT_EQ(driver->FT_OpenEx(kChannelB, FT_OPEN_BY_DESCRIPTION, &h), FT_OK);
    emu::Ft2232hBridge& bridge = *driver->bridge();
    EXPECT_EQ(bridge.latencyTimer(1), 16);
    EXPECT_EQ(driver->FT_SetLatencyTimer(h, 1), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver->FT_SetLatencyTimer(h, 2), FT_OK);
    EXPECT_EQ(bridge.latencyTimer(1), 2);
    EXPECT_EQ(driver->FT_SetBitMode(h, 0x00, 0x03), FT_INVALID_PARAMETER);
    EXPECT_EQ(bridge.bitMode(1), 0x00);

    // In reset (UART) mode written bytes are no MPSSE commands.
    EXPECT_EQ(write(h, {0x81, 0x87, 0x80, 0x00, 0x6B}), FT_OK);
    EXPECT_EQ(queued(h), 0u);
    EXPECT_TRUE(driver->instrument()->flash().statusBytesRead() == 0);

    ASSERT_EQ(driver->FT_SetBitMode(h, 0x00, 0x02), FT_OK);
    EXPECT_EQ(write(h, {0x81, 0x87}), FT_OK);
    EXPECT_EQ(queued(h), 1u);
    // Purge RX empties the queue; purge TX drops a half-sent command.
    EXPECT_EQ(driver->FT_Purge(h, FT_PURGE_RX), FT_OK);
    EXPECT_EQ(queued(h), 0u);
    EXPECT_EQ(write(h, {0x80, 0x68}), FT_OK);
    EXPECT_EQ(driver->FT_Purge(h, FT_PURGE_TX), FT_OK);
    EXPECT_EQ(write(h, {0x81, 0x87}), FT_OK);
    EXPECT_EQ(queued(h), 1u) << "0x81 was taken as the missing direction byte";
    // A device reset empties both ways too.
    EXPECT_EQ(write(h, {0x80, 0x68}), FT_OK);
    EXPECT_EQ(driver->FT_ResetDevice(h), FT_OK);
    EXPECT_EQ(queued(h), 0u);
    EXPECT_EQ(write(h, {0x81, 0x87}), FT_OK);
    EXPECT_EQ(queued(h), 1u);

    // FT_GetBitMode reads the pins in any mode, also the CBUS mode this chip does not really have.
    EXPECT_EQ(write(h, kSetup), FT_OK);
    ASSERT_EQ(driver->FT_SetBitMode(h, 0x00, 0x20), FT_OK);
    uint8_t pins = 0;
    ASSERT_EQ(driver->FT_GetBitMode(h, &pins), FT_OK);
    EXPECT_EQ(pins, driver->instrument()->readLowPins());
    EXPECT_EQ(pins & 0x0B, 0x08) << "SK and DO low, chip select high";
    EXPECT_EQ(pins & 0x80, 0) << "an unconfigured FPGA holds DONE low";
    EXPECT_EQ(driver->FT_GetBitMode(h, nullptr), FT_INVALID_PARAMETER);

    const auto modes = driver->trace().calls("FT_SetBitMode");
    ASSERT_EQ(modes.size(), 3u);
    EXPECT_EQ(modes[0].arguments, "mask=0x0 mode=0x3");
    EXPECT_EQ(modes[0].status, FT_INVALID_PARAMETER);
    EXPECT_EQ(modes[1].arguments, "mask=0x0 mode=0x2");
    EXPECT_EQ(driver->trace().calls("FT_SetLatencyTimer")[1].arguments, "ms=2");
    EXPECT_EQ(driver->trace().calls("FT_Write")[1].data, (Bytes{0x81, 0x87}));
    EXPECT_EQ(driver->trace().calls("FT_GetBitMode")[0].data, (Bytes{pins}));
}

TEST_F(BridgeDriverTest, RepliesWaitForSendImmediateTheLatencyTimerOrAFullBuffer)
{
    start();
    FT_HANDLE h = openMpsse();
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

    // FT_Read takes from the queue, waits out the latency timer for a pending byte...
    uint64_t before = nowUs();
    EXPECT_EQ(read(h, 4).size(), 4u);
    EXPECT_LT(nowUs() - before, 2500u);
    // ...and after its time-out returns what there is.
    ASSERT_EQ(write(h, {0x81, 0x87}), FT_OK);
    before = nowUs();
    EXPECT_EQ(read(h, 3).size(), 1u);
    EXPECT_GE(nowUs() - before, 1000000u);
    EXPECT_EQ(read(h, 0).size(), 0u);

    // 4 KiB waiting go to the host without 0x87; the remainder waits.
    ASSERT_EQ(write(h, {0x20, 0x00, 0x10}), FT_OK); // 4097 bytes in
    EXPECT_EQ(queued(h), 4096u);
    const Bytes bytes = read(h, 4096);
    EXPECT_EQ(bytes, Bytes(4096, 0xFF)) << "chip select is high: DI is pulled up";
    advanceUs(2000);
    EXPECT_EQ(queued(h), 1u);
}

TEST_F(BridgeDriverTest, ChannelBReachesTheInstrumentChannelANothing)
{
    start();
    FT_HANDLE b = openMpsse(kChannelB);
    FT_HANDLE a = openMpsse(kChannelA);
    const uint64_t before = nowUs();
    ASSERT_EQ(write(b, kReadId), FT_OK);
    EXPECT_EQ(queued(b), 3u);
    EXPECT_EQ(read(b, 3), (Bytes{0x20, 0xBA, 0x18}));
    // One write, one status poll and one read: a few hundred microseconds of USB.
    const uint64_t roundTrip = nowUs() - before;
    EXPECT_GT(roundTrip, 200u);
    EXPECT_LT(roundTrip, 400u);
    const auto spi = driver->trace().spi();
    ASSERT_EQ(spi.size(), 1u);
    EXPECT_EQ(spi[0].opcode, 0x9F);

    ASSERT_EQ(write(a, kReadId), FT_OK);
    EXPECT_EQ(read(a, 3), (Bytes{0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(driver->trace().spi().size(), 1u);
}

TEST_F(BridgeDriverTest, InjectedCallFailuresHaveNoEffect)
{
    // Calls: OpenEx 1, SetLatencyTimer 2, SetBitMode 3, Write 4 (setup), Write 5 fails.
    start("FT_Write@2,FT_GetStatus@1");
    FT_HANDLE h = openMpsse();
    uint32_t written = 77;
    EXPECT_EQ(driver->FT_Write(h, kReadId.data(), uint32_t(kReadId.size()), &written), FT_IO_ERROR);
    EXPECT_EQ(written, 0u);
    uint32_t rx = 0, tx = 0, events = 0;
    EXPECT_EQ(driver->FT_GetStatus(h, &rx, &tx, &events), FT_IO_ERROR);
    EXPECT_EQ(queued(h), 0u) << "the failed write never reached the chip";
    EXPECT_TRUE(driver->trace().spi().empty());
    ASSERT_EQ(write(h, kReadId), FT_OK);
    EXPECT_EQ(read(h, 3), (Bytes{0x20, 0xBA, 0x18}));
    EXPECT_EQ(driver->trace().calls("FT_Write")[1].status, FT_IO_ERROR);
}

TEST_F(BridgeDriverTest, UnplugEndsEveryCall)
{
    // Calls: OpenEx 1, SetLatencyTimer 2, SetBitMode 3, Write 4, CreateDeviceInfoList 5, then gone from 6.
    start("unplug@6");
    FT_HANDLE h = openMpsse();
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
    FT_HANDLE again = nullptr;
    EXPECT_EQ(driver->FT_OpenEx(kChannelB, FT_OPEN_BY_DESCRIPTION, &again), FT_DEVICE_NOT_FOUND);
}

TEST_F(BridgeDriverTest, EnumerationFaultAndAbsentBridge)
{
    start("enumeration");
    uint32_t count = 0;
    EXPECT_NE(driver->FT_CreateDeviceInfoList(&count), FT_OK);
    FT_HANDLE h = nullptr;
    EXPECT_EQ(driver->FT_OpenEx(kChannelB, FT_OPEN_BY_DESCRIPTION, &h), FT_OK) << "only the listing fails";

    start("", false);
    EXPECT_EQ(list().size(), 0u);
    EXPECT_EQ(driver->FT_OpenEx(kChannelB, FT_OPEN_BY_DESCRIPTION, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(driver->bridge(), nullptr);

    EmulatedDriverOptions options;
    options.instrument.chip = "no-such-flash";
    std::string error;
    EXPECT_FALSE(EmulatedDriver::create(options, error));
    EXPECT_FALSE(error.empty());
}

TEST_F(BridgeDriverTest, NoReplyDropsOneReadsAnswer)
{
    start("no-reply@2");
    FT_HANDLE h = openMpsse();
    ASSERT_EQ(write(h, kReadStatus), FT_OK);
    EXPECT_EQ(read(h, 1), (Bytes{0x00}));
    ASSERT_EQ(write(h, kReadStatus), FT_OK);
    advanceUs(20000);
    EXPECT_EQ(queued(h), 0u);
    ASSERT_EQ(write(h, kReadStatus), FT_OK);
    EXPECT_EQ(queued(h), 1u);
    EXPECT_EQ(driver->trace().spi().size(), 3u) << "the flash still answered on the wire";
}

TEST_F(BridgeDriverTest, FlashFaultsReachTheInstrument)
{
    start("stuck-busy,flip@0x11");
    FT_HANDLE h = openMpsse();
    const Bytes readAt10 = {0x80, 0x00, 0x6B, 0x11, 0x03, 0x00, 0x03, 0x00, 0x00, 0x10,
                            0x20, 0x02, 0x00, 0x87, 0x80, 0x68, 0x6B};
    ASSERT_EQ(write(h, readAt10), FT_OK);
    EXPECT_EQ(read(h, 3), (Bytes{0xFF, 0xFE, 0xFF}));

    ASSERT_EQ(write(h, kWriteEnable), FT_OK);
    ASSERT_EQ(write(h, {0x80, 0x00, 0x6B, 0x11, 0x03, 0x00, 0xD8, 0x01, 0x00, 0x00, 0x80, 0x68, 0x6B}), FT_OK);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(write(h, kReadStatus), FT_OK);
        const Bytes status = read(h, 1);
        ASSERT_EQ(status.size(), 1u);
        EXPECT_EQ(status[0] & 0x01, 0x01) << "poll " << i;
    }
}

TEST_F(BridgeDriverTest, TwoThreadsOnTwoChannels)
{
    start();
    FT_HANDLE a = openMpsse(kChannelA);
    FT_HANDLE b = openMpsse(kChannelB);
    driver->trace().setEnabled(false);
    auto worker = [this](FT_HANDLE h, Bytes expected) {
        for (int i = 0; i < 200; ++i) {
            uint32_t written = 0;
            if (driver->FT_Write(h, kReadId.data(), uint32_t(kReadId.size()), &written) != FT_OK)
                return false;
            Bytes in(3);
            uint32_t returned = 0;
            if (driver->FT_Read(h, in.data(), 3, &returned) != FT_OK || in != expected)
                return false;
        }
        return true;
    };
    bool okA = false;
    bool okB = false;
    std::thread first([&] { okA = worker(a, {0xFF, 0xFF, 0xFF}); });
    std::thread second([&] { okB = worker(b, {0x20, 0xBA, 0x18}); });
    first.join();
    second.join();
    EXPECT_TRUE(okA);
    EXPECT_TRUE(okB);
    EXPECT_EQ(driver->trace().calls().size(), 8u) << "nothing recorded while switched off";
}

} // namespace
