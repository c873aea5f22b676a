// The emulated FT2232H as libusb clients see it. This binary runs with the
// stand-in preloaded in place of libusb (see CMakeLists.txt), so the calls
// below go through the real libftdi1 into the emulated bridge; the stand-in's
// own entry points rebuild the bus for each test and read its clock.

#include "tests/support/ConsoleCapture.h"

#include "device/d2xx/LibFtdiDriver.h"
#include "emulator/Ft2232hBridge.h"

#include <ftdi.h>
#include <libusb.h>

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

using namespace d2xx;
using Bytes = std::vector<unsigned char>;

// The stand-in is preloaded ahead of a sanitized binary's runtime.
extern "C" const char* __asan_default_options()
{
    return "verify_asan_link_order=0";
}

namespace {

constexpr const char* kChannelB = "USB <-> Serial Converter B";
constexpr unsigned char kStatus0 = emu::Ft2232hBridge::kModemStatus[0];
constexpr unsigned char kStatus1 = emu::Ft2232hBridge::kModemStatus[1];

struct StandIn
{
    int (*configure)(const char*, const char*, const char*, const char*, char*, size_t) = nullptr;
    void (*counts)(uint64_t[6]) = nullptr;
    uint64_t (*nowNs)() = nullptr;
    void (*setVirtualTime)(int) = nullptr;

    static const StandIn& get()
    {
        static const StandIn s = [] {
            StandIn found;
            found.configure = reinterpret_cast<decltype(found.configure)>(dlsym(RTLD_DEFAULT, "pravel_usb_configure"));
            found.counts = reinterpret_cast<decltype(found.counts)>(dlsym(RTLD_DEFAULT, "pravel_usb_counts"));
            found.nowNs = reinterpret_cast<decltype(found.nowNs)>(dlsym(RTLD_DEFAULT, "pravel_usb_now_ns"));
            found.setVirtualTime =
                reinterpret_cast<decltype(found.setVirtualTime)>(dlsym(RTLD_DEFAULT, "pravel_usb_set_virtual_time"));
            return found;
        }();
        return s;
    }
};

struct Counts
{
    uint64_t ns, bulkOut, bulkIn, bytesOut, bytesIn, control;
};

Counts counts()
{
    uint64_t v[6] = {};
    StandIn::get().counts(v);
    return {v[0], v[1], v[2], v[3], v[4], v[5]};
}

uint64_t nowNs()
{
    return StandIn::get().nowNs();
}

class UsbBus : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_NE(StandIn::get().configure, nullptr) << "run with the libusb stand-in preloaded";
        // Sleeps of the device code pass on the bus's clock, as under pravel-emulate --virtual-time.
        StandIn::get().setVirtualTime(1);
        configure("mt25q128", "", "");
    }
    void TearDown() override
    {
        if (ftdi) {
            ftdi_usb_close(ftdi);
            ftdi_free(ftdi);
        }
    }

    void configure(const char* chip, const char* faults, const char* timing)
    {
        char error[512] = {};
        ASSERT_EQ(StandIn::get().configure(chip, "", faults, timing, error, sizeof error), 0) << error;
    }

    // libftdi on channel B, in MPSSE mode with the latency timer at `latency`.
    void openChannelB(unsigned char latency = 2)
    {
        ftdi = ftdi_new();
        ASSERT_NE(ftdi, nullptr);
        ASSERT_EQ(ftdi_set_interface(ftdi, INTERFACE_B), 0);
        ASSERT_EQ(ftdi_usb_open(ftdi, 0x0403, 0x6010), 0) << ftdi_get_error_string(ftdi);
        ASSERT_EQ(ftdi_set_latency_timer(ftdi, latency), 0);
        ASSERT_EQ(ftdi_set_bitmode(ftdi, 0, BITMODE_MPSSE), 0);
    }

    void write(const Bytes& bytes)
    {
        ASSERT_EQ(ftdi_write_data(ftdi, bytes.data(), static_cast<int>(bytes.size())), static_cast<int>(bytes.size()));
    }

    // One bulk IN transfer on channel B's endpoint, as the host controller returns it.
    int bulkIn(Bytes& data, size_t size = 4096, unsigned timeoutMs = 1000)
    {
        data.assign(size, 0);
        int moved = 0;
        const int result = libusb_bulk_transfer(ftdi->usb_dev, 0x83, data.data(), static_cast<int>(size), &moved, timeoutMs);
        data.resize(static_cast<size_t>(moved));
        return result;
    }

    ftdi_context* ftdi = nullptr;
};

// MPSSE: chip select low, read `count` bytes after `opcode`, chip select high.
Bytes readCommand(unsigned char opcode, unsigned count, bool sendImmediate)
{
    Bytes out = {0x80, 0x00, 0x6B, 0x11, 0x00, 0x00, opcode, 0x20, static_cast<unsigned char>((count - 1) & 0xFF),
                 static_cast<unsigned char>((count - 1) >> 8)};
    if (sendImmediate)
        out.push_back(0x87);
    out.insert(out.end(), {0x80, 0x68, 0x6B});
    return out;
}

} // namespace

TEST_F(UsbBus, OneFt2232hWithItsDescriptorsStringsAndChannels)
{
    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(ctx, &list), 1);
    libusb_device* dev = list[0];
    libusb_device_descriptor desc{};
    ASSERT_EQ(libusb_get_device_descriptor(dev, &desc), 0);
    EXPECT_EQ(desc.idVendor, 0x0403);
    EXPECT_EQ(desc.idProduct, 0x6010);
    EXPECT_EQ(desc.bcdDevice, 0x0700);
    EXPECT_EQ(desc.bNumConfigurations, 1);

    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_config_descriptor(dev, 0, &config), 0);
    ASSERT_EQ(config->bNumInterfaces, 2);
    const uint8_t endpoints[2][2] = {{0x81, 0x02}, {0x83, 0x04}};
    for (int i = 0; i < 2; ++i) {
        const libusb_interface_descriptor& setting = config->interface[i].altsetting[0];
        EXPECT_EQ(setting.bInterfaceNumber, i);
        ASSERT_EQ(setting.bNumEndpoints, 2);
        for (int e = 0; e < 2; ++e) {
            EXPECT_EQ(setting.endpoint[e].bEndpointAddress, endpoints[i][e]);
            EXPECT_EQ(setting.endpoint[e].wMaxPacketSize, 512);
            EXPECT_EQ(setting.endpoint[e].bmAttributes, LIBUSB_TRANSFER_TYPE_BULK);
        }
    }
    libusb_free_config_descriptor(config);

    libusb_device_handle* handle = nullptr;
    ASSERT_EQ(libusb_open(dev, &handle), 0);
    unsigned char text[64];
    ASSERT_GT(libusb_get_string_descriptor_ascii(handle, desc.iProduct, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "USB <-> Serial Converter");
    ASSERT_GT(libusb_get_string_descriptor_ascii(handle, desc.iManufacturer, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "FTDI");
    // The raw descriptor, as libusb's inline helper fetches it: UTF-16LE after two header bytes.
    ASSERT_EQ(libusb_get_string_descriptor(handle, desc.iSerialNumber, 0x0409, text, sizeof text), 16);
    EXPECT_EQ(text[1], LIBUSB_DT_STRING);
    EXPECT_EQ(text[2], 'F');
    EXPECT_EQ(text[3], 0);

    // What is not ours fails the way libusb fails it.
    unsigned char byte = 0;
    int moved = -1;
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x85, &byte, 1, &moved, 100), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(moved, 0);
    EXPECT_EQ(libusb_control_transfer(handle, 0xC0, 0x55, 0, 2, &byte, 1, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_claim_interface(handle, 2), LIBUSB_ERROR_NOT_FOUND);
    int notADevice = 0;
    libusb_device_handle* none = nullptr;
    EXPECT_EQ(libusb_open(reinterpret_cast<libusb_device*>(&notADevice), &none), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_bulk_transfer(reinterpret_cast<libusb_device_handle*>(&notADevice), 0x83, &byte, 1, &moved, 100),
              LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_open_device_with_vid_pid(ctx, 0x0403, 0x6001), nullptr);
    libusb_close(handle);
    libusb_free_device_list(list, 1);
    libusb_exit(ctx);

    // The D2XX view over libftdi names the channels as the instrument expects.
    LibFtdiDriver driver;
    uint32_t n = 0;
    ASSERT_EQ(driver.FT_CreateDeviceInfoList(&n), FT_OK);
    ASSERT_EQ(n, 2u);
    FT_DEVICE_LIST_INFO_NODE nodes[2] = {};
    ASSERT_EQ(driver.FT_GetDeviceInfoList(nodes, &n), FT_OK);
    EXPECT_STREQ(nodes[1].Description, kChannelB);
    EXPECT_STREQ(nodes[1].SerialNumber, "FT7PRVLB");
    EXPECT_EQ(nodes[1].Type, uint32_t(FT_DEVICE_2232H));
    EXPECT_EQ(nodes[1].ID, 0x04036010u);
    EXPECT_EQ(nodes[0].LocId, 0x2111u); // bus 2, port 1.1, channel A
    EXPECT_EQ(nodes[1].LocId, 0x2112u);
    FT_HANDLE h = nullptr;
    ASSERT_EQ(driver.FT_OpenEx(reinterpret_cast<void*>(uintptr_t{0x2112}), FT_OPEN_BY_LOCATION, &h), FT_OK);
    EXPECT_EQ(driver.FT_Close(h), FT_OK);
}

TEST_F(UsbBus, VendorRequestsAnswerAsTheChipDoes)
{
    openChannelB(5);
    unsigned char latency = 0;
    ASSERT_EQ(ftdi_get_latency_timer(ftdi, &latency), 0);
    EXPECT_EQ(latency, 5);
    unsigned short modem = 0;
    ASSERT_EQ(ftdi_poll_modem_status(ftdi, &modem), 0);
    EXPECT_EQ(modem, kStatus1 << 8 | kStatus0);
    EXPECT_EQ(ftdi_set_baudrate(ftdi, 115200), 0);
    EXPECT_EQ(ftdi_set_line_property(ftdi, BITS_8, STOP_BIT_1, NONE), 0);
    EXPECT_EQ(ftdi_setflowctrl(ftdi, SIO_DISABLE_FLOW_CTRL), 0);

    // The pins follow what the MPSSE drives.
    write({0x80, 0x68, 0x6B});
    unsigned char pins = 0;
    ASSERT_EQ(ftdi_read_pins(ftdi, &pins), 0);
    EXPECT_EQ(pins & 0x6B, 0x68);
    write({0x80, 0x08, 0x6B});
    ASSERT_EQ(ftdi_read_pins(ftdi, &pins), 0);
    EXPECT_EQ(pins & 0x6B, 0x08);

    // A programmed EEPROM: the IDs, and a checksum libftdi's rule accepts.
    ASSERT_EQ(ftdi_read_eeprom(ftdi), 0) << ftdi_get_error_string(ftdi);
    unsigned char eeprom[256] = {};
    ASSERT_EQ(ftdi_get_eeprom_buf(ftdi, eeprom, sizeof eeprom), 0);
    EXPECT_EQ(eeprom[2] | eeprom[3] << 8, 0x0403);
    EXPECT_EQ(eeprom[4] | eeprom[5] << 8, 0x6010);
    uint16_t checksum = 0xAAAA;
    for (int i = 0; i < 127; ++i) {
        checksum ^= static_cast<uint16_t>(eeprom[2 * i] | eeprom[2 * i + 1] << 8);
        checksum = static_cast<uint16_t>((checksum << 1) | (checksum >> 15));
    }
    EXPECT_EQ(checksum, eeprom[254] | eeprom[255] << 8);

    // Purges empty what waits for the host.
    write(readCommand(0x9F, 3, true));
    ASSERT_EQ(ftdi_tcioflush(ftdi), 0);
    Bytes data;
    ASSERT_EQ(bulkIn(data), 0);
    EXPECT_EQ(data.size(), 2u);
}

TEST_F(UsbBus, BulkInPacketsCarryTheStatusBytesAndWaitForTheLatencyTimer)
{
    openChannelB(2);
    Bytes data;

    // Nothing to send: after one latency period, a packet of the status bytes alone.
    uint64_t before = nowNs();
    ASSERT_EQ(bulkIn(data), 0);
    EXPECT_EQ(data, (Bytes{kStatus0, kStatus1}));
    EXPECT_GE(nowNs() - before, 2000000u);

    // A reply without send-immediate waits for the timer too, then comes whole.
    write(readCommand(0x9F, 3, false));
    before = nowNs();
    ASSERT_EQ(bulkIn(data), 0);
    EXPECT_EQ(data, (Bytes{kStatus0, kStatus1, 0x20, 0xBA, 0x18}));
    EXPECT_GE(nowNs() - before, 2000000u);

    // Send-immediate: at once. 2000 bytes fill three whole packets and a short one,
    // each starting with the status bytes.
    write(readCommand(0x03, 2000, true));
    before = nowNs();
    ASSERT_EQ(bulkIn(data), 0);
    EXPECT_LT(nowNs() - before, 1000000u);
    ASSERT_EQ(data.size(), 2000u + 4 * 2);
    for (size_t at = 0; at < data.size(); at += 512) {
        EXPECT_EQ(data[at], kStatus0) << at;
        EXPECT_EQ(data[at + 1], kStatus1) << at;
    }
    // The host buffer ends a transfer too: 1024 bytes hold two packets of 510.
    write(readCommand(0x03, 2000, true));
    ASSERT_EQ(bulkIn(data, 1024), 0);
    EXPECT_EQ(data.size(), 1024u);
    ASSERT_EQ(bulkIn(data, 4096), 0);
    EXPECT_EQ(data.size(), 2000u - 1020 + 2 * 2);

    // A time-out shorter than the latency timer runs out first.
    ASSERT_EQ(ftdi_set_latency_timer(ftdi, 16), 0);
    EXPECT_EQ(bulkIn(data, 4096, 5), LIBUSB_ERROR_TIMEOUT);
    EXPECT_TRUE(data.empty());
}

TEST_F(UsbBus, SubmittedTransfersCompleteThroughEventHandling)
{
    openChannelB();
    const Bytes command = readCommand(0x9F, 20, true);
    ftdi_transfer_control* sent = ftdi_write_data_submit(ftdi, const_cast<unsigned char*>(command.data()),
                                                         static_cast<int>(command.size()));
    ASSERT_NE(sent, nullptr);
    EXPECT_EQ(ftdi_transfer_data_done(sent), static_cast<int>(command.size()));
    unsigned char id[20] = {};
    ftdi_transfer_control* received = ftdi_read_data_submit(ftdi, id, sizeof id);
    ASSERT_NE(received, nullptr);
    EXPECT_EQ(ftdi_transfer_data_done(received), 20);
    EXPECT_EQ(id[0], 0x20);
    EXPECT_EQ(id[2], 0x18);
}

TEST_F(UsbBus, PlannedFaultsAppearAsLibusbErrors)
{
    configure("mt25q128", "bulk-in@1,timeout@2,bulk-out@1,control@1", "");
    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device_handle* handle = libusb_open_device_with_vid_pid(ctx, 0x0403, 0x6010);
    ASSERT_NE(handle, nullptr);
    unsigned char buffer[512];
    int moved = 0;
    EXPECT_EQ(libusb_control_transfer(handle, 0x40, 0x09, 2, 2, nullptr, 0, 100), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_control_transfer(handle, 0x40, 0x09, 2, 2, nullptr, 0, 100), 0);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x04, buffer, 1, &moved, 100), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x04, buffer, 1, &moved, 100), 0);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x83, buffer, sizeof buffer, &moved, 100), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x83, buffer, sizeof buffer, &moved, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(moved, 0);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x83, buffer, sizeof buffer, &moved, 100), 0);
    libusb_close(handle);

    // Unplugged from the 3rd transfer on: it and everything after report the device gone.
    configure("mt25q128", "unplug@3", "");
    handle = libusb_open_device_with_vid_pid(ctx, 0x0403, 0x6010);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x04, buffer, 1, &moved, 100), 0);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x04, buffer, 1, &moved, 100), 0);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x04, buffer, 1, &moved, 100), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_control_transfer(handle, 0x40, 0x09, 2, 2, nullptr, 0, 100), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_claim_interface(handle, 1), LIBUSB_ERROR_NO_DEVICE);
    libusb_device** list = nullptr;
    EXPECT_EQ(libusb_get_device_list(ctx, &list), 0);
    libusb_free_device_list(list, 1);
    libusb_close(handle);

    configure("mt25q128", "enumeration", "");
    EXPECT_EQ(libusb_get_device_list(ctx, &list), LIBUSB_ERROR_IO);
    libusb_exit(ctx);

    // A D2XX call has no meaning on the bus.
    char error[512] = {};
    EXPECT_NE(StandIn::get().configure("mt25q128", "", "FT_Write@3", "", error, sizeof error), 0);
    EXPECT_NE(std::string(error).find("D2XX"), std::string::npos) << error;
}

TEST_F(UsbBus, WithNoBridgeTheDriverListsNothingAndRefusesQuickly)
{
    configure("unplugged", "", "");
    LibFtdiDriver driver;
    int notAPort = 0;
    FT_HANDLE bogus = &notAPort;
    uint8_t byte = 0;
    uint32_t a = 0, b = 0, c = 0;
    EXPECT_EQ(driver.FT_ResetDevice(bogus), FT_INVALID_HANDLE);
    EXPECT_EQ(driver.FT_Write(bogus, &byte, 1, &a), FT_INVALID_HANDLE);
    EXPECT_EQ(driver.FT_GetStatus(bogus, &a, &b, &c), FT_INVALID_HANDLE);
    EXPECT_EQ(driver.FT_Read(bogus, &byte, 1, &a), FT_INVALID_HANDLE);
    EXPECT_EQ(driver.FT_Close(nullptr), FT_INVALID_HANDLE);
    EXPECT_EQ(driver.FT_OpenEx("x", 0x80, &bogus), FT_INVALID_PARAMETER);

    uint32_t count = 99;
    ASSERT_EQ(driver.FT_CreateDeviceInfoList(&count), FT_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(driver.FT_GetDeviceInfoList(nullptr, &count), FT_OK);
    FT_HANDLE handle = reinterpret_cast<FT_HANDLE>(0x1);
    EXPECT_EQ(driver.FT_OpenEx(kChannelB, FT_OPEN_BY_DESCRIPTION, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(handle, reinterpret_cast<FT_HANDLE>(0x1)); // untouched on failure
    // Nothing was waited for: not one transfer, no time on the bus's clock.
    const Counts after = counts();
    EXPECT_EQ(after.bulkIn + after.bulkOut + after.control, 0u);
    EXPECT_EQ(after.ns, 0u);
}

TEST_F(UsbBus, GetStatusReportsAFailedReadAndAnUnplugEveryTime)
{
    // The first bulk IN fails: the status poll that made it says so.
    configure("mt25q128", "bulk-in@1", "");
    LibFtdiDriver driver;
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(driver.FT_OpenEx(kChannelB, FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
    uint32_t rx = 7, tx = 0, events = 0;
    EXPECT_EQ(driver.FT_GetStatus(handle, &rx, &tx, &events), FT_IO_ERROR);
    EXPECT_EQ(driver.FT_GetStatus(handle, &rx, &tx, &events), FT_OK); // the next transfer works again
    EXPECT_EQ(rx, 0u);
    ASSERT_EQ(driver.FT_Close(handle), FT_OK);

    // Unplugged right after opening: every call from then on fails, and
    // stderr names it once. A first open counts the transfers opening takes.
    configure("mt25q128", "", "");
    ASSERT_EQ(driver.FT_OpenEx(kChannelB, FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
    const Counts opening = counts();
    ASSERT_EQ(driver.FT_Close(handle), FT_OK);
    const std::string unplug = "unplug@" + std::to_string(opening.bulkIn + opening.bulkOut + opening.control + 1);
    configure("mt25q128", unplug.c_str(), "");
    ASSERT_EQ(driver.FT_OpenEx(kChannelB, FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
    testsupport::ConsoleCapture console;
    int failures = 0;
    for (int i = 0; i < 20; ++i)
        failures += driver.FT_GetStatus(handle, &rx, &tx, &events) != FT_OK;
    uint8_t pins = 0;
    EXPECT_EQ(driver.FT_GetBitMode(handle, &pins), FT_IO_ERROR);
    const std::string err = console.err();
    EXPECT_EQ(failures, 20);
    EXPECT_NE(err.find("unplugged"), std::string::npos) << err;
    EXPECT_EQ(err.find("unplugged"), err.rfind("unplugged"));
    EXPECT_NE(driver.FT_Close(handle), FT_OK);
}

// What waits for the host through libftdi: a reply that came in one transfer
// with the one read stays for the next read, and a purge of the receive
// queue leaves nothing, whether the bytes were still in the chip or already
// with the driver.
TEST_F(UsbBus, TheDriverKeepsQueuedRepliesAndAPurgeLeavesNone)
{
    LibFtdiDriver driver;
    FT_HANDLE h = nullptr;
    ASSERT_EQ(driver.FT_OpenEx(kChannelB, FT_OPEN_BY_DESCRIPTION, &h), FT_OK);
    ASSERT_EQ(driver.FT_SetLatencyTimer(h, 16), FT_OK);
    ASSERT_EQ(driver.FT_SetBitMode(h, 0, FT_BITMODE_MPSSE), FT_OK);
    uint32_t n = 0, tx = 0, events = 0;
    const auto send = [&](Bytes bytes) {
        EXPECT_EQ(driver.FT_Write(h, bytes.data(), static_cast<uint32_t>(bytes.size()), &n), FT_OK);
    };
    const auto queued = [&] {
        uint32_t rx = 99;
        EXPECT_EQ(driver.FT_GetStatus(h, &rx, &tx, &events), FT_OK);
        return rx;
    };
    unsigned char reply[21] = {};
    const auto read = [&](unsigned char* into, uint32_t count) {
        EXPECT_EQ(driver.FT_Read(h, into, count, &n), FT_OK);
        EXPECT_EQ(n, count);
    };

    // The identification, and the status register flushed with it: two replies in one transfer.
    Bytes both = readCommand(0x9F, 20, false);
    const Bytes status = readCommand(0x05, 1, true);
    both.insert(both.end(), status.begin(), status.end());
    send(both);
    read(reply, 20);
    read(reply + 20, 1);
    EXPECT_EQ(reply[2], 0x18);
    EXPECT_EQ(reply[20], 0x00);

    for (bool withTheDriver : {true, false}) {
        SCOPED_TRACE(withTheDriver ? "a reply the driver holds" : "a reply still in the chip");
        send(readCommand(0x9F, 20, withTheDriver));
        for (int poll = 0; withTheDriver && poll < 100 && queued() < 20; ++poll) {
            // until the driver has taken the whole reply off the bus
        }
        ASSERT_EQ(driver.FT_Purge(h, FT_PURGE_RX), FT_OK);
        EXPECT_EQ(queued(), 0u); // also once the chip's latency timer has run out
        send(status);
        reply[20] = 0xEE;
        read(reply + 20, 1);
        EXPECT_EQ(reply[20], 0x00);
    }
    EXPECT_EQ(driver.FT_Close(h), FT_OK);
}

TEST_F(UsbBus, DeviceListStaysWholeWhileAnotherThreadRescans)
{
    LibFtdiDriver driver;
    std::atomic<bool> stop{false};
    std::thread rescanner([&] {
        uint32_t n = 0;
        while (!stop)
            driver.FT_CreateDeviceInfoList(&n);
    });
    int whole = 0;
    for (int i = 0; i < 200; ++i) {
        FT_DEVICE_LIST_INFO_NODE nodes[2] = {};
        uint32_t n = 2;
        if (driver.FT_GetDeviceInfoList(nodes, &n) == FT_OK && n == 2 && std::strcmp(nodes[1].Description, kChannelB) == 0)
            ++whole;
    }
    stop = true;
    rescanner.join();
    EXPECT_EQ(whole, 200);
}
