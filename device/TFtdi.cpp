#include "device/TFtdi.h"

#include "base/ConsoleSink.h"
#include "base/HexText.h"
#include "base/ProgressReporter.h"

#include <algorithm>
#include <utility>
#include <vector>

using namespace d2xx;

namespace {

using Bytes = std::vector<unsigned char>;

// Low GPIO byte of the MPSSE channel. Direction: SK, DO, CS and the two FPGA
// control lines (bits 5, 6) are outputs.
constexpr unsigned char kPinDirection = 0x6B;
constexpr unsigned char kPinsIdle = 0x68;       // CS high, FPGA lines high
constexpr unsigned char kPinsSelected = 0x00;   // CS low, everything low
constexpr unsigned char kPinsFpgaReset = 0x08;  // CS high, FPGA lines low

// MPSSE opcodes.
constexpr unsigned char kSetLowByte = 0x80;
constexpr unsigned char kReadLowByte = 0x81;
constexpr unsigned char kBytesOutFalling = 0x11;
constexpr unsigned char kBytesInRising = 0x20;
constexpr unsigned char kSendImmediate = 0x87;
constexpr unsigned char kClockPulses = 0x8E;
constexpr unsigned char kClockBytesIdle = 0x8F;

// SPI flash opcodes.
constexpr unsigned char kFlashWriteEnable = 0x06;
constexpr unsigned char kFlashBulkErase = 0xC7;
constexpr unsigned char kFlashSectorErase = 0xD8;
constexpr unsigned char kFlashReadId = 0x9F;
constexpr unsigned char kFlashReadStatus = 0x05;
constexpr unsigned char kFlashReadFlagStatus = 0x70;
constexpr unsigned char kFlashReadNvcr = 0xB5;
constexpr unsigned char kFlashWriteNvcr = 0xB1;
constexpr unsigned char kFlashRead = 0x03;
constexpr unsigned char kFlashPageProgram = 0x02;

// One MPSSE length field carries at most 65536 bytes.
constexpr int32_t kMaxTransfer = 65536;
// Opcode and three address bytes share the page program's length field.
constexpr int32_t kMaxPageProgram = kMaxTransfer - 4;

// SK with divide-by-5 off and divisor 1 (the set-up sequence): 60 MHz / 4.
constexpr uint64_t kSpiClockHz = 15000000;

constexpr uint32_t kPurgeBoth = FT_PURGE_RX | FT_PURGE_TX;
constexpr uint8_t kLatencyMs = 2;
constexpr uint64_t kSettleUs = 100000;
constexpr uint64_t kPollUs = 100;
constexpr uint64_t kPinReadWaitUs = 10000;
constexpr uint64_t kFpgaResetUs = 1000000;
constexpr uint64_t kFpgaResetSliceUs = 50000;
constexpr uint32_t kIdLength = 20;
constexpr uint32_t kIdCapacityIndex = 2;

const char kLinkLost[] = "The USB connection to the bridge was lost\n";

// Loop-back off, adaptive clocking off, divide-by-5 off, SK = 60 MHz / 4,
// pins idle.
const Bytes kSetupSequence = {0x85, 0x97, 0x8A, 0x86, 0x01, 0x00, kSetLowByte, kPinsIdle, kPinDirection};

void setLowByte(Bytes& out, unsigned char value)
{
    out.push_back(kSetLowByte);
    out.push_back(value);
    out.push_back(kPinDirection);
}

void chipSelectLow(Bytes& out) { setLowByte(out, kPinsSelected); }
void chipSelectHigh(Bytes& out) { setLowByte(out, kPinsIdle); }
void sendImmediate(Bytes& out) { out.push_back(kSendImmediate); }

// MPSSE lengths are count - 1, low byte first; callers keep count in 1..65536.
void appendLength(Bytes& out, uint32_t count)
{
    const uint32_t field = count - 1;
    out.push_back(static_cast<unsigned char>(field & 0xFF));
    out.push_back(static_cast<unsigned char>((field >> 8) & 0xFF));
}

// Header of a bytes-out command; the `count` payload bytes follow it.
void clockBytesOut(Bytes& out, uint32_t count)
{
    out.push_back(kBytesOutFalling);
    appendLength(out, count);
}

void clockBytesOut(Bytes& out, std::initializer_list<unsigned char> payload)
{
    clockBytesOut(out, static_cast<uint32_t>(payload.size()));
    for (unsigned char byte : payload)
        out.push_back(byte);
}

void clockBytesIn(Bytes& out, uint32_t count)
{
    out.push_back(kBytesInRising);
    appendLength(out, count);
}

// SK cycles without data for at least `microseconds`: a wait timed by the
// bridge itself, with no USB round trip.
void clockIdle(Bytes& out, uint32_t microseconds)
{
    uint64_t bytes = (static_cast<uint64_t>(microseconds) * kSpiClockHz / 1000000 + 7) / 8;
    while (bytes > 0) {
        const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(bytes, kMaxTransfer));
        out.push_back(kClockBytesIdle);
        appendLength(out, chunk);
        bytes -= chunk;
    }
}

// Three address bytes, most significant first: only bits 23..0 reach the flash.
void appendAddress(Bytes& out, uint32_t address)
{
    out.push_back(static_cast<unsigned char>((address >> 16) & 0xFF));
    out.push_back(static_cast<unsigned char>((address >> 8) & 0xFF));
    out.push_back(static_cast<unsigned char>(address & 0xFF));
}

// A flash command with no address or data: CS low, opcode, CS high.
void appendSimpleCommand(Bytes& out, unsigned char opcode)
{
    chipSelectLow(out);
    clockBytesOut(out, {opcode});
    chipSelectHigh(out);
}

Bytes simpleCommand(unsigned char opcode)
{
    Bytes out;
    out.reserve(10);
    appendSimpleCommand(out, opcode);
    return out;
}

// A flash command answered with `replyLength` bytes.
Bytes readCommand(unsigned char opcode, uint32_t replyLength)
{
    Bytes out;
    out.reserve(14);
    chipSelectLow(out);
    clockBytesOut(out, {opcode});
    clockBytesIn(out, replyLength);
    sendImmediate(out);
    chipSelectHigh(out);
    return out;
}

// The page program transaction without its write enable.
void appendPageProgram(Bytes& out, uint32_t address, const unsigned char* data, int32_t length)
{
    chipSelectLow(out);
    clockBytesOut(out, static_cast<uint32_t>(length) + 4);
    out.push_back(kFlashPageProgram);
    appendAddress(out, address);
    out.insert(out.end(), data, data + length);
    chipSelectHigh(out);
}

// A status read whose one byte is clocked in after `waitMicroseconds`. The
// wait runs with chip select low, inside the read: the flash only repeats its
// status meanwhile, and the FPGA, which listens while chip select is high,
// sees no clocks.
void appendStatusReadAfter(Bytes& out, uint32_t waitMicroseconds, bool flush)
{
    chipSelectLow(out);
    clockBytesOut(out, {kFlashReadStatus});
    clockIdle(out, waitMicroseconds);
    clockBytesIn(out, 1);
    if (flush)
        sendImmediate(out);
    chipSelectHigh(out);
}

Bytes readDataCommand(uint32_t address, int32_t length)
{
    Bytes out;
    out.reserve(17);
    chipSelectLow(out);
    clockBytesOut(out, 4);
    out.push_back(kFlashRead);
    appendAddress(out, address);
    clockBytesIn(out, static_cast<uint32_t>(length));
    sendImmediate(out);
    chipSelectHigh(out);
    return out;
}

void report(ProgressReporter::MessageType type, const std::string& text)
{
    ProgressReporter::getInstance().reportMessage(type, text);
}

// Node strings are meant to be NUL-terminated; never read past the field.
template <size_t N>
std::string fieldText(const char (&field)[N])
{
    return std::string(field, std::find(field, field + N, '\0'));
}

} // namespace

TFtdi::TFtdi()
    : TFtdi(D2xxDriver::getDefault(), Clock::system())
{
}

TFtdi::TFtdi(std::shared_ptr<D2xxDriver> driver, Clock& clock)
    : driver(driver ? std::move(driver) : D2xxDriver::getDefault())
    , sleepClock(&clock)
{
}

void TFtdi::SetPortDescription(std::string description)
{
    portDescription = std::move(description);
}

void TFtdi::SetStopRequest(const std::atomic<bool>* request)
{
    stopRequest = request;
}

bool TFtdi::StopRequested() const
{
    return stopRequest && stopRequest->load();
}

int32_t TFtdi::PortDetect()
{
    uint32_t count = 0;
    if (driver->FT_CreateDeviceInfoList(&count) != FT_OK) {
        report(ProgressReporter::Info, "No device detected\n");
        return 0;
    }
    report(ProgressReporter::Info, "Number of detected channels: " + std::to_string(count) + "\n");
    if (count == 0)
        return 0;

    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count);
    uint32_t listed = count;
    if (driver->FT_GetDeviceInfoList(nodes.data(), &listed) != FT_OK)
        return 0;
    // The driver may report a different count the second time; only the
    // nodes allocated here exist.
    const uint32_t shown = std::min(listed, count);

    for (uint32_t i = 0; i < shown; ++i) {
        const FT_DEVICE_LIST_INFO_NODE& node = nodes[i];
        const std::pair<const char*, uint32_t> numbers[] = {
            {"  Flags: ", node.Flags}, {"  Type: ", node.Type}, {"  ID: ", node.ID}, {"  LocId: ", node.LocId}};

        report(ProgressReporter::Info, "No. " + std::to_string(i) + "\n");
        for (const auto& number : numbers)
            report(ProgressReporter::Info, number.first + hexText(number.second) + "\n");
        report(ProgressReporter::Info, "  Serial Number: " + fieldText(node.SerialNumber) + "\n");
        report(ProgressReporter::Info, "  Description: " + fieldText(node.Description) + "\n");
    }
    return 1;
}

int32_t TFtdi::PortOpen()
{
    if (portDescription.empty()) {
        report(ProgressReporter::Error, "Port Open Error, Port description is empty\n");
        return -1;
    }
    if (handleHeld) {
        // A close that failed (the cable was pulled with the port open) left
        // the channel claimed: give it up, whatever the driver says, or the
        // bridge could not be opened again once it is back.
        driver->FT_Close(handle);
        handleHeld = false;
    }
    linkLost = false;
    if (driver->FT_OpenEx(portDescription.c_str(), FT_OPEN_BY_DESCRIPTION, &handle) != FT_OK) {
        report(ProgressReporter::Error, "Port Open Error\n");
        return 0;
    }
    handleHeld = true;

    bool ready = driver->FT_ResetDevice(handle) == FT_OK;
    if (ready) {
        sleepClock->sleepMicroseconds(kSettleUs);
        ready = driver->FT_Purge(handle, kPurgeBoth) == FT_OK && driver->FT_SetLatencyTimer(handle, kLatencyMs) == FT_OK;
    }
    if (ready) {
        sleepClock->sleepMicroseconds(kSettleUs);
        ready = MPSSE_Setup() == 1;
    }
    if (!ready) {
        ConsoleSink::error("Error::FTDI_PortOpen()::Setting\n");
        // Release the channel so that the next open can claim it again.
        handleHeld = driver->FT_Close(handle) != FT_OK;
        return 0;
    }

    report(ProgressReporter::Info, "Port(" + portDescription + ") open\n");
    return 1;
}

int32_t TFtdi::PortOpen(std::string description)
{
    portDescription = std::move(description);
    return PortOpen();
}

int32_t TFtdi::PortClose()
{
    if (driver->FT_SetBitMode(handle, 0x00, FT_BITMODE_RESET) != FT_OK) {
        ConsoleSink::error("Error::TFtdi::PortClose()::FT_SetBitMode()\n");
        return 0;
    }
    if (driver->FT_Close(handle) != FT_OK) {
        ConsoleSink::error("Error::TFtdi::PortClose()::FT_Close()\n");
        return 0;
    }
    handleHeld = false;
    ConsoleSink::note("Port(" + portDescription + ") close\n");
    return 1;
}

FT_STATUS TFtdi::PortCloseSimple()
{
    const FT_STATUS status = driver->FT_Close(handle);
    if (status == FT_OK)
        handleHeld = false;
    return status;
}

void TFtdi::DiscardQueues()
{
    if (driver->FT_Purge(handle, kPurgeBoth) == FT_OK)
        return;
    // Said once: from here on every transfer fails without asking the driver.
    linkLost = true;
    report(ProgressReporter::Error, kLinkLost);
}

FT_STATUS TFtdi::FW_Write(unsigned char* data, int32_t length)
{
    // A negative count would reach the driver as a huge unsigned one.
    if (length < 0 || (!data && length > 0))
        return FT_INVALID_PARAMETER;
    if (linkLost)
        return FT_IO_ERROR;
    uint32_t written = 0;
    FT_STATUS status = driver->FT_Write(handle, data, static_cast<uint32_t>(length), &written);
    // Part of a command would leave the engine waiting for the rest.
    if (status == FT_OK && written != static_cast<uint32_t>(length))
        status = FT_IO_ERROR;
    if (status != FT_OK)
        DiscardQueues();
    return status;
}

int32_t TFtdi::FW_Read(unsigned char* buffer, uint32_t length)
{
    const int64_t limit = static_cast<int64_t>(readTimeout) * 100;
    if (limit < 1)
        return 1;
    if (!buffer && length > 0)
        return static_cast<int32_t>(FT_INVALID_PARAMETER);
    if (linkLost)
        return static_cast<int32_t>(FT_IO_ERROR);

    // Whatever goes wrong, the receive queue is emptied before the next
    // command: a reply left behind would otherwise stand in front of every
    // later one, and each of those reads would wait its whole time-out.
    // A stop ends the wait like a time-out: the reply may never come.
    for (int64_t poll = 0; poll < limit && !StopRequested(); ++poll) {
        uint32_t rxBytes = 0, txBytes = 0, events = 0;
        if (driver->FT_GetStatus(handle, &rxBytes, &txBytes, &events) == FT_OK) {
            // Exactly the expected count: the reply is fetched whole.
            if (rxBytes == length) {
                uint32_t returned = 0;
                const FT_STATUS status = driver->FT_Read(handle, buffer, length, &returned);
                if (status == FT_OK && returned == length)
                    return 0;
                DiscardQueues();
                return status != FT_OK ? static_cast<int32_t>(status) : 1;
            }
            // More than the reply: bytes of an earlier one are mixed in, and
            // waiting cannot sort them out.
            if (rxBytes > length)
                break;
        }
        sleepClock->sleepMicroseconds(kPollUs);
    }
    DiscardQueues();
    return 1;
}

FT_STATUS TFtdi::FW_GetStatus(uint32_t& rxBytes, uint32_t& txBytes)
{
    uint32_t events = 0;
    return driver->FT_GetStatus(handle, &rxBytes, &txBytes, &events);
}

FT_STATUS TFtdi::FW_GetBitMode(unsigned char& pins)
{
    return driver->FT_GetBitMode(handle, &pins);
}

FT_STATUS TFtdi::FW_SetBitMode(unsigned char mask, unsigned char mode)
{
    return driver->FT_SetBitMode(handle, mask, mode);
}

int32_t TFtdi::MPSSE_Setup()
{
    if (driver->FT_SetBitMode(handle, 0x00, FT_BITMODE_MPSSE) != FT_OK)
        return 0;
    Bytes setup = kSetupSequence;
    return FW_Write(setup.data(), static_cast<int32_t>(setup.size())) == FT_OK ? 1 : 0;
}

int32_t TFtdi::MPSSE_WriteEnable()
{
    Bytes out = simpleCommand(kFlashWriteEnable);
    if (FW_Write(out.data(), static_cast<int32_t>(out.size())) != FT_OK) {
        ConsoleSink::error("Error::TFtdi::MPSSE_WriteEnable()::FW_Write()\n");
        return 0;
    }
    return 1;
}

int32_t TFtdi::MPSSE_BulkErase()
{
    if (MPSSE_WriteEnable() != 1) {
        ConsoleSink::error("Error::TFtdi::MPSSE_BulkErase()::MPSSE_WriteEnable()\n");
        return 0;
    }
    Bytes out = simpleCommand(kFlashBulkErase);
    if (FW_Write(out.data(), static_cast<int32_t>(out.size())) != FT_OK) {
        ConsoleSink::error("Error::TFtdi::MPSSE_BulkErase()::FW_Write()\n");
        return 0;
    }
    return 1;
}

int32_t TFtdi::MPSSE_EraseSector(uint32_t address)
{
    if (MPSSE_WriteEnable() != 1) {
        ConsoleSink::error("Error::TFtdi::MPSSE_SectorErase()::MPSSE_WriteEnable()\n");
        return 0;
    }
    Bytes out;
    chipSelectLow(out);
    clockBytesOut(out, 4);
    out.push_back(kFlashSectorErase);
    appendAddress(out, address);
    chipSelectHigh(out);
    if (FW_Write(out.data(), static_cast<int32_t>(out.size())) != FT_OK) {
        ConsoleSink::error("Error::TFtdi::MPSSE_SectorErase()::FW_Write()\n");
        return 0;
    }
    return 1;
}

int32_t TFtdi::MPSSE_SendClock(unsigned char count)
{
    Bytes out = {kClockPulses, count};
    return FW_Write(out.data(), static_cast<int32_t>(out.size())) == FT_OK ? 1 : 0;
}

int32_t TFtdi::ReadRegister(unsigned char opcode, unsigned char* reply, uint32_t count)
{
    Bytes out = readCommand(opcode, count);
    if (FW_Write(out.data(), static_cast<int32_t>(out.size())) != FT_OK)
        return 0;
    return FW_Read(reply, count) == 0 ? 1 : 0;
}

int32_t TFtdi::MPSSE_ReadID(unsigned char& id)
{
    unsigned char reply[kIdLength] = {};
    if (!ReadRegister(kFlashReadId, reply, kIdLength))
        return 0;
    id = reply[kIdCapacityIndex];
    return 1;
}

int32_t TFtdi::MPSSE_FPGAReset()
{
    Bytes low;
    setLowByte(low, kPinsFpgaReset);
    if (FW_Write(low.data(), static_cast<int32_t>(low.size())) != FT_OK)
        return 0;
    // In slices, so a stop request ends the pulse early: a few milliseconds
    // of it reset the FPGA all the same.
    for (uint64_t slept = 0; slept < kFpgaResetUs && !StopRequested(); slept += kFpgaResetSliceUs)
        sleepClock->sleepMicroseconds(kFpgaResetSliceUs);
    return MPSSE_IdlePins();
}

int32_t TFtdi::MPSSE_IdlePins()
{
    Bytes idle;
    setLowByte(idle, kPinsIdle);
    return FW_Write(idle.data(), static_cast<int32_t>(idle.size())) == FT_OK ? 1 : 0;
}

int32_t TFtdi::MPSSE_NVCRRead(unsigned char* value)
{
    if (!value)
        return 0;
    // Least significant byte arrives first.
    return ReadRegister(kFlashReadNvcr, value, 2);
}

int32_t TFtdi::MPSSE_NVCRWrite(unsigned char high, unsigned char low)
{
    if (MPSSE_WriteEnable() != 1)
        return 0;
    Bytes out;
    chipSelectLow(out);
    clockBytesOut(out, {kFlashWriteNvcr, low, high});
    sendImmediate(out);
    chipSelectHigh(out);
    if (FW_Write(out.data(), static_cast<int32_t>(out.size())) != FT_OK)
        return 0;
    ConsoleSink::note("NVCR Write Success\n");
    return 1;
}

int32_t TFtdi::MPSSE_ReadStatus(unsigned char& status)
{
    return ReadRegister(kFlashReadStatus, &status, 1);
}

int32_t TFtdi::MPSSE_GetDone(int32_t& done)
{
    if (driver->FT_SetBitMode(handle, 0x00, FT_BITMODE_CBUS_BITBANG) != FT_OK)
        return 0;
    unsigned char pins = 0;
    if (driver->FT_GetBitMode(handle, &pins) != FT_OK)
        return 0;
    done = (pins & 0x80) ? 1 : 0;
    // Back to MPSSE for the flash; the answer stands whether or not this works.
    MPSSE_Setup();
    return 1;
}

int32_t TFtdi::MPSSE_ReadFlagStatus(unsigned char& flags)
{
    return ReadRegister(kFlashReadFlagStatus, &flags, 1);
}

int32_t TFtdi::MPSSE_ReadDataBitsLowByte(unsigned char* value)
{
    if (!value)
        return 0;
    if (driver->FT_Purge(handle, kPurgeBoth) != FT_OK)
        return 0;
    Bytes out = {kReadLowByte};
    if (FW_Write(out.data(), static_cast<int32_t>(out.size())) != FT_OK)
        return 0;
    sleepClock->sleepMicroseconds(kPinReadWaitUs);
    uint32_t rxBytes = 0, txBytes = 0;
    if (FW_GetStatus(rxBytes, txBytes) != FT_OK || rxBytes == 0)
        return 0;
    unsigned char pins = 0;
    if (FW_Read(&pins, 1) != 0)
        return 0;
    *value = pins;
    return 1;
}

int32_t TFtdi::MPSSE_ReadDataBytes(uint32_t address, unsigned char* buffer, int32_t length)
{
    // Below 1 the length field would wrap to 65536 and overrun the buffer.
    if (length < 1 || length > kMaxTransfer || !buffer)
        return 0;
    Bytes out = readDataCommand(address, length);
    if (FW_Write(out.data(), static_cast<int32_t>(out.size())) != FT_OK)
        return 0;
    return FW_Read(buffer, static_cast<uint32_t>(length)) == 0 ? 1 : 0;
}

int32_t TFtdi::MPSSE_ReadDataBytesSend(uint32_t address, int32_t length)
{
    if (length < 1 || length > kMaxTransfer)
        return 0;
    Bytes out = readDataCommand(address, length);
    return FW_Write(out.data(), static_cast<int32_t>(out.size())) == FT_OK ? 1 : 0;
}

int32_t TFtdi::MPSSE_ReadDataBytesReceive(unsigned char* buffer, int32_t length)
{
    if (length < 1 || length > kMaxTransfer || !buffer)
        return 0;
    return ReadQueued(buffer, static_cast<uint32_t>(length)) == 0 ? 1 : 0;
}

int32_t TFtdi::ReadQueued(unsigned char* buffer, uint32_t length)
{
    if (linkLost)
        return static_cast<int32_t>(FT_IO_ERROR);
    const int64_t limit = static_cast<int64_t>(readTimeout) * 100;
    for (int64_t poll = 0; poll < limit && !StopRequested(); ++poll) {
        uint32_t rxBytes = 0, txBytes = 0, events = 0;
        // The next queued reply may already be arriving behind this one.
        if (driver->FT_GetStatus(handle, &rxBytes, &txBytes, &events) == FT_OK && rxBytes >= length) {
            uint32_t returned = 0;
            const FT_STATUS status = driver->FT_Read(handle, buffer, length, &returned);
            if (status == FT_OK && returned == length)
                return 0;
            break;
        }
        sleepClock->sleepMicroseconds(kPollUs);
    }
    // Whatever is still on its way belongs to a read nobody waits for now.
    DiscardQueues();
    return 1;
}

int32_t TFtdi::MPSSE_Configuration(unsigned char* data, int32_t length)
{
    // Below 1 the engine would take the following commands as payload.
    if (length < 1 || length > kMaxTransfer || !data)
        return 0;
    Bytes out;
    out.reserve(static_cast<size_t>(length) + 3);
    clockBytesOut(out, static_cast<uint32_t>(length));
    out.insert(out.end(), data, data + length);
    if (FW_Write(out.data(), static_cast<int32_t>(out.size())) != FT_OK) {
        ConsoleSink::error("Error::TFtdi::MPSSE_PageProgram::FW_Write\n");
        return 0;
    }
    return 1;
}

int32_t TFtdi::MPSSE_PageProgram(uint32_t address, unsigned char* data, int32_t length)
{
    // Past kMaxPageProgram the 16-bit length field wraps and the data would be
    // run as MPSSE commands.
    if (length < 0 || length > kMaxPageProgram || (!data && length > 0))
        return 0;
    if (MPSSE_WriteEnable() != 1) {
        ConsoleSink::error("Error::TFtdi::MPSSE_PageProgram::MPSSE_WriteEnable\n");
        return 0;
    }
    Bytes out;
    out.reserve(static_cast<size_t>(length) + 13);
    appendPageProgram(out, address, data, length);
    if (FW_Write(out.data(), static_cast<int32_t>(out.size())) != FT_OK) {
        ConsoleSink::error("Error::TFtdi::MPSSE_PageProgram::FW_Write\n");
        return 0;
    }
    return 1;
}

int32_t TFtdi::MPSSE_PageProgramPipelined(const PageWrite* pages, int32_t count, uint32_t waitMicroseconds)
{
    if (!pages || count < 1)
        return 0;
    size_t size = 1;
    for (int32_t i = 0; i < count; ++i) {
        if (pages[i].length < 1 || pages[i].length > kMaxPageProgram || !pages[i].data)
            return 0;
        size += static_cast<size_t>(pages[i].length) + 40;
    }
    batch.clear();
    batch.reserve(size);
    for (int32_t i = 0; i < count; ++i) {
        appendSimpleCommand(batch, kFlashWriteEnable);
        appendPageProgram(batch, pages[i].address, pages[i].data, pages[i].length);
        appendStatusReadAfter(batch, waitMicroseconds, false);
    }
    // One flush for all the status bytes.
    sendImmediate(batch);
    if (FW_Write(batch.data(), static_cast<int32_t>(batch.size())) != FT_OK) {
        ConsoleSink::error("Error::TFtdi::MPSSE_PageProgram::FW_Write\n");
        return 0;
    }
    return 1;
}

int32_t TFtdi::MPSSE_ReadStatusBytes(unsigned char* statuses, int32_t count)
{
    if (!statuses || count < 1)
        return 0;
    return FW_Read(statuses, static_cast<uint32_t>(count)) == 0 ? 1 : 0;
}

int32_t TFtdi::MPSSE_ReadStatusAfter(uint32_t waitMicroseconds, unsigned char& status)
{
    Bytes out;
    out.reserve(32);
    appendStatusReadAfter(out, waitMicroseconds, true);
    if (FW_Write(out.data(), static_cast<int32_t>(out.size())) != FT_OK)
        return 0;
    return FW_Read(&status, 1) == 0 ? 1 : 0;
}
