#include "device/TFtdi.h"

#include "base/ConsoleSink.h"
#include "base/HexText.h"
#include "base/ProgressReporter.h"
#include "device/MpsseCommands.h"

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
constexpr int32_t kMaxTransfer = static_cast<int32_t>(MpsseCommands::maxLength);
// Opcode and three address bytes share the page program's length field.
constexpr int32_t kMaxPageProgram = kMaxTransfer - 4;

// SK with divide-by-5 off and divisor 1 (the set-up sequence): 60 MHz / 4.
constexpr uint16_t kClockDivisor = TFtdi::standardClockDivisor;
constexpr uint64_t kMasterClockHz = 60000000;
constexpr uint64_t kSpiClockHz = kMasterClockHz / ((1 + kClockDivisor) * 2);

constexpr uint32_t kPurgeBoth = FT_PURGE_RX | FT_PURGE_TX;
constexpr uint8_t kLatencyMs = 2;
constexpr uint64_t kSettleUs = 100000;
constexpr uint64_t kPollUs = 100;
constexpr uint64_t kPinReadWaitUs = 10000;
constexpr uint64_t kFpgaResetUs = 1000000;
constexpr uint64_t kFpgaResetSliceUs = 50000;
constexpr uint32_t kIdLength = 20;
constexpr uint32_t kIdCapacityIndex = 2;
constexpr unsigned char kDonePin = 0x80;
constexpr unsigned char kBadCommandAnswer = 0xFA;
// A bad-command probe keeps no more than this: a bridge in a streaming mode
// could send for ever.
constexpr size_t kMaxSyncAnswer = 4096;

// Loop-back off, adaptive clocking off, divide-by-5 off, SK = 60 MHz / 4,
// pins idle.
Bytes setupSequence()
{
    Bytes out;
    MpsseCommands(out).loopbackOff().adaptiveClockingOff().divideBy5Off().clockDivisor(kClockDivisor).setLowByte(
        kPinsIdle, kPinDirection);
    return out;
}

Bytes pins(unsigned char value)
{
    Bytes out;
    MpsseCommands(out).setLowByte(value, kPinDirection);
    return out;
}

// Whole bytes of SK at least `microseconds` long.
uint64_t idleBytes(uint32_t microseconds)
{
    return (static_cast<uint64_t>(microseconds) * kSpiClockHz / 1000000 + 7) / 8;
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

const char TFtdi::linkLostMessage[] = "The USB connection to the bridge was lost\n";

TFtdi::TFtdi(std::shared_ptr<D2xxDriver> driver, Clock& clock)
    : driver(std::move(driver))
    , sleepClock(&clock)
{
}

void TFtdi::SetPortDescription(std::string description)
{
    portDescription = std::move(description);
    openBy = FT_OPEN_BY_DESCRIPTION;
}

void TFtdi::SetPortSerialNumber(std::string serialNumber)
{
    portSerialNumber = std::move(serialNumber);
    openBy = FT_OPEN_BY_SERIAL_NUMBER;
}

void TFtdi::SetPortLocation(uint32_t location)
{
    portLocation = location;
    openBy = FT_OPEN_BY_LOCATION;
}

std::string TFtdi::PortName() const
{
    if (openBy == FT_OPEN_BY_SERIAL_NUMBER)
        return "serial " + portSerialNumber;
    if (openBy == FT_OPEN_BY_LOCATION)
        return "location " + hexText(portLocation);
    return portDescription;
}

FT_STATUS TFtdi::PortList(std::vector<FT_DEVICE_LIST_INFO_NODE>& nodes, uint32_t* counted)
{
    nodes.clear();
    uint32_t count = 0;
    FT_STATUS status = driver->FT_CreateDeviceInfoList(&count);
    if (status != FT_OK)
        return status;
    if (counted)
        *counted = count;
    if (count == 0)
        return status;
    nodes.resize(count);
    uint32_t listed = count;
    status = driver->FT_GetDeviceInfoList(nodes.data(), &listed);
    // Only the nodes allocated here exist, whatever the second count says.
    nodes.resize(status == FT_OK ? std::min(listed, count) : 0);
    return status;
}

bool TFtdi::PortIs(const Channel& channel) const
{
    if (openBy == FT_OPEN_BY_SERIAL_NUMBER)
        return channel.serialNumber == portSerialNumber;
    if (openBy == FT_OPEN_BY_LOCATION)
        return channel.locId == portLocation;
    return channel.description == portDescription;
}

void TFtdi::SetStopRequest(const std::atomic<bool>* request)
{
    stopRequest = request;
}

bool TFtdi::StopRequested() const
{
    return stopRequest && stopRequest->load();
}

bool TFtdi::Channel::operator==(const Channel& other) const
{
    return flags == other.flags && type == other.type && id == other.id && locId == other.locId &&
           serialNumber == other.serialNumber && description == other.description;
}

bool TFtdi::Listing::operator==(const Listing& other) const
{
    return counted == other.counted && count == other.count && detailed == other.detailed &&
           channels == other.channels;
}

const TFtdi::Channel* TFtdi::Listing::find(const std::string& description) const
{
    for (const Channel& channel : channels)
        if (channel.description == description)
            return &channel;
    return nullptr;
}

TFtdi::Listing TFtdi::ListChannels()
{
    Listing listing;
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes;
    uint32_t count = kNotCounted;
    listing.status = PortList(nodes, &count);
    listing.counted = count != kNotCounted;
    listing.count = listing.counted ? count : 0;
    listing.detailed = listing.status == FT_OK && !nodes.empty();
    for (const FT_DEVICE_LIST_INFO_NODE& node : nodes) {
        Channel channel;
        channel.flags = node.Flags;
        channel.type = node.Type;
        channel.id = node.ID;
        channel.locId = node.LocId;
        channel.serialNumber = fieldText(node.SerialNumber);
        channel.description = fieldText(node.Description);
        listing.channels.push_back(std::move(channel));
    }
    return listing;
}

int32_t TFtdi::ReportChannels(const Listing& listing)
{
    if (!listing.counted) {
        report(ProgressReporter::Info, "No device detected\n");
        return 0;
    }
    report(ProgressReporter::Info, "Number of detected channels: " + std::to_string(listing.count) + "\n");
    if (listing.count == 0 || !listing.detailed)
        return 0;
    for (size_t i = 0; i < listing.channels.size(); ++i) {
        const Channel& channel = listing.channels[i];
        const std::pair<const char*, uint32_t> numbers[] = {
            {"  Flags: ", channel.flags}, {"  Type: ", channel.type}, {"  ID: ", channel.id}, {"  LocId: ", channel.locId}};
        report(ProgressReporter::Info, "No. " + std::to_string(i) + "\n");
        for (const auto& number : numbers)
            report(ProgressReporter::Info, number.first + hexText(number.second) + "\n");
        report(ProgressReporter::Info, "  Serial Number: " + channel.serialNumber + "\n");
        report(ProgressReporter::Info, "  Description: " + channel.description + "\n");
    }
    return 1;
}

int32_t TFtdi::PortDetect()
{
    return ReportChannels(ListChannels());
}

int32_t TFtdi::PortOpen()
{
    if (openBy == FT_OPEN_BY_DESCRIPTION && portDescription.empty()) {
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
    const void* which = openBy == FT_OPEN_BY_SERIAL_NUMBER ? portSerialNumber.c_str()
                        : openBy == FT_OPEN_BY_LOCATION    ? reinterpret_cast<const void*>(uintptr_t{portLocation})
                                                           : portDescription.c_str();
    if (driver->FT_OpenEx(which, openBy, &handle) != FT_OK) {
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
        // Pulled out while being set up, or only one call refused?
        linkLost = driver->FT_Purge(handle, kPurgeBoth) != FT_OK;
        // Release the channel so that the next open can claim it again.
        handleHeld = driver->FT_Close(handle) != FT_OK;
        return 0;
    }

    report(ProgressReporter::Info, "Port(" + PortName() + ") open\n");
    return 1;
}

int32_t TFtdi::PortOpen(std::string description)
{
    SetPortDescription(std::move(description));
    return PortOpen();
}

int32_t TFtdi::PortClose()
{
    if (linkLost) {
        // Nothing to reset on a bridge that is gone, and nothing more to
        // say: the handle is only given up.
        handleHeld = driver->FT_Close(handle) != FT_OK;
        return handleHeld ? 0 : 1;
    }
    if (driver->FT_SetBitMode(handle, 0x00, FT_BITMODE_RESET) != FT_OK) {
        ConsoleSink::error("Error::TFtdi::PortClose()::FT_SetBitMode()\n");
        return 0;
    }
    if (driver->FT_Close(handle) != FT_OK) {
        ConsoleSink::error("Error::TFtdi::PortClose()::FT_Close()\n");
        return 0;
    }
    handleHeld = false;
    ConsoleSink::note("Port(" + PortName() + ") close\n");
    return 1;
}

void TFtdi::DiscardQueues()
{
    if (driver->FT_Purge(handle, kPurgeBoth) == FT_OK)
        return;
    // From here on every transfer fails without asking the driver; whoever
    // ends the operation says so, last.
    linkLost = true;
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
    if (static_cast<int64_t>(readTimeout) * 100 < 1)
        return 1;
    if (!buffer && length > 0)
        return static_cast<int32_t>(FT_INVALID_PARAMETER);
    return Receive(buffer, length, false);
}

int32_t TFtdi::Receive(unsigned char* buffer, uint32_t length, bool moreMayFollow)
{
    if (linkLost)
        return static_cast<int32_t>(FT_IO_ERROR);
    // Whatever goes wrong, the receive queue is emptied before the next
    // command: a reply left behind would otherwise stand in front of every
    // later one, and each of those reads would wait its whole time-out.
    // A stop ends the wait like a time-out: the reply may never come.
    int32_t result = 1;
    const int64_t limit = static_cast<int64_t>(readTimeout) * 100;
    for (int64_t poll = 0; poll < limit && !StopRequested(); ++poll) {
        uint32_t rxBytes = 0, txBytes = 0, events = 0;
        if (driver->FT_GetStatus(handle, &rxBytes, &txBytes, &events) == FT_OK) {
            if (rxBytes == length || (moreMayFollow && rxBytes > length)) {
                // The reply is fetched whole.
                uint32_t returned = 0;
                const FT_STATUS status = driver->FT_Read(handle, buffer, length, &returned);
                if (status == FT_OK && returned == length)
                    return 0;
                if (status != FT_OK)
                    result = static_cast<int32_t>(status);
                break;
            }
            // More than the reply: bytes of an earlier one are mixed in, and
            // waiting cannot sort them out.
            if (rxBytes > length)
                break;
        }
        sleepClock->sleepMicroseconds(kPollUs);
    }
    DiscardQueues();
    return result;
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

TFtdi::SpiCommand& TFtdi::SpiCommand::at(uint32_t flashAddress)
{
    hasAddress = true;
    address = flashAddress;
    return *this;
}

TFtdi::SpiCommand& TFtdi::SpiCommand::sending(const unsigned char* bytes, uint32_t count)
{
    data = bytes;
    dataLength = count;
    return *this;
}

TFtdi::SpiCommand& TFtdi::SpiCommand::idle(uint32_t microseconds)
{
    idleMicroseconds = microseconds;
    return *this;
}

TFtdi::SpiCommand& TFtdi::SpiCommand::reading(uint32_t count)
{
    replyLength = count;
    return *this;
}

TFtdi::SpiCommand& TFtdi::SpiCommand::flushed()
{
    flush = true;
    return *this;
}

void TFtdi::AppendSpi(Bytes& out, const SpiCommand& command)
{
    MpsseCommands mpsse(out);
    mpsse.setLowByte(kPinsSelected, kPinDirection)
        .bytesOutHeader(1 + (command.hasAddress ? 3 : 0) + command.dataLength)
        .byte(command.opcode);
    if (command.hasAddress)
        mpsse.address24(command.address);
    mpsse.bytes(command.data, command.dataLength).idleClockBytes(idleBytes(command.idleMicroseconds));
    if (command.replyLength > 0)
        mpsse.bytesIn(command.replyLength);
    if (command.flush)
        mpsse.sendImmediate();
    mpsse.setLowByte(kPinsIdle, kPinDirection);
}

int32_t TFtdi::Send(Bytes& bytes)
{
    return FW_Write(bytes.data(), static_cast<int32_t>(bytes.size())) == FT_OK ? 1 : 0;
}

int32_t TFtdi::MPSSE_Transfer(const SpiCommand& command, unsigned char* reply)
{
    // A reply with nowhere to go would stay queued in front of the next one.
    if (command.replyLength > 0 && !reply)
        return 0;
    Bytes out;
    out.reserve(20 + command.dataLength);
    AppendSpi(out, command);
    if (!Send(out))
        return 0;
    return command.replyLength == 0 || FW_Read(reply, command.replyLength) == 0 ? 1 : 0;
}

int32_t TFtdi::WriteEnabled(const SpiCommand& command, const char* enableFailed, const char* commandFailed)
{
    if (MPSSE_WriteEnable() != 1) {
        if (enableFailed)
            ConsoleSink::error(enableFailed);
        return 0;
    }
    if (MPSSE_Transfer(command) != 1) {
        if (commandFailed)
            ConsoleSink::error(commandFailed);
        return 0;
    }
    return 1;
}

int32_t TFtdi::MPSSE_Setup()
{
    if (driver->FT_SetBitMode(handle, 0x00, FT_BITMODE_MPSSE) != FT_OK)
        return 0;
    Bytes setup = setupSequence();
    return Send(setup);
}

int32_t TFtdi::MPSSE_WriteEnable()
{
    if (MPSSE_Transfer(SpiCommand(kFlashWriteEnable)) != 1) {
        ConsoleSink::error("Error::TFtdi::MPSSE_WriteEnable()::FW_Write()\n");
        return 0;
    }
    return 1;
}

int32_t TFtdi::MPSSE_BulkErase()
{
    return WriteEnabled(SpiCommand(kFlashBulkErase), "Error::TFtdi::MPSSE_BulkErase()::MPSSE_WriteEnable()\n",
                        "Error::TFtdi::MPSSE_BulkErase()::FW_Write()\n");
}

int32_t TFtdi::MPSSE_EraseSector(uint32_t address)
{
    return WriteEnabled(SpiCommand(kFlashSectorErase).at(address),
                        "Error::TFtdi::MPSSE_SectorErase()::MPSSE_WriteEnable()\n",
                        "Error::TFtdi::MPSSE_SectorErase()::FW_Write()\n");
}

int32_t TFtdi::MPSSE_SendClock(unsigned char count)
{
    Bytes out;
    MpsseCommands(out).clockPulses(count);
    return Send(out);
}

int32_t TFtdi::MPSSE_ReadID(unsigned char& id)
{
    unsigned char reply[kIdLength] = {};
    if (!MPSSE_Transfer(SpiCommand(kFlashReadId).reading(kIdLength).flushed(), reply))
        return 0;
    id = reply[kIdCapacityIndex];
    lastJedecId = static_cast<uint32_t>(reply[0]) << 16 | static_cast<uint32_t>(reply[1]) << 8 | reply[2];
    return 1;
}

int32_t TFtdi::MPSSE_FPGAReset()
{
    Bytes low = pins(kPinsFpgaReset);
    if (!Send(low))
        return 0;
    // In slices, so a stop request ends the pulse early: a few milliseconds
    // of it reset the FPGA all the same.
    for (uint64_t slept = 0; slept < kFpgaResetUs && !StopRequested(); slept += kFpgaResetSliceUs)
        sleepClock->sleepMicroseconds(kFpgaResetSliceUs);
    return MPSSE_IdlePins();
}

int32_t TFtdi::MPSSE_IdlePins()
{
    Bytes idle = pins(kPinsIdle);
    return Send(idle);
}

int32_t TFtdi::MPSSE_NVCRRead(unsigned char* value)
{
    if (!value)
        return 0;
    // Least significant byte arrives first.
    return MPSSE_Transfer(SpiCommand(kFlashReadNvcr).reading(2).flushed(), value);
}

int32_t TFtdi::MPSSE_NVCRWrite(unsigned char high, unsigned char low)
{
    const unsigned char value[2] = {low, high};
    if (!WriteEnabled(SpiCommand(kFlashWriteNvcr).sending(value, 2).flushed(), nullptr, nullptr))
        return 0;
    ConsoleSink::note("NVCR Write Success\n");
    return 1;
}

int32_t TFtdi::MPSSE_ReadStatus(unsigned char& status)
{
    return MPSSE_Transfer(SpiCommand(kFlashReadStatus).reading(1).flushed(), &status);
}

int32_t TFtdi::MPSSE_GetDone(int32_t& done)
{
    if (driver->FT_SetBitMode(handle, 0x00, FT_BITMODE_CBUS_BITBANG) != FT_OK)
        return 0;
    unsigned char pinByte = 0;
    if (driver->FT_GetBitMode(handle, &pinByte) != FT_OK)
        return 0;
    done = (pinByte & kDonePin) ? 1 : 0;
    // Back to MPSSE for the flash; the answer stands whether or not this works.
    MPSSE_Setup();
    return 1;
}

int32_t TFtdi::MPSSE_ReadFlagStatus(unsigned char& flags)
{
    return MPSSE_Transfer(SpiCommand(kFlashReadFlagStatus).reading(1).flushed(), &flags);
}

int32_t TFtdi::MPSSE_ReadDataBitsLowByte(unsigned char* value)
{
    if (!value)
        return 0;
    if (driver->FT_Purge(handle, kPurgeBoth) != FT_OK)
        return 0;
    Bytes out;
    MpsseCommands(out).readLowByte();
    if (!Send(out))
        return 0;
    sleepClock->sleepMicroseconds(kPinReadWaitUs);
    uint32_t rxBytes = 0, txBytes = 0;
    if (FW_GetStatus(rxBytes, txBytes) != FT_OK || rxBytes == 0)
        return 0;
    unsigned char pinByte = 0;
    if (FW_Read(&pinByte, 1) != 0)
        return 0;
    *value = pinByte;
    return 1;
}

int32_t TFtdi::MPSSE_ReadDataBytes(uint32_t address, unsigned char* buffer, int32_t length)
{
    // Below 1 the length field would wrap to 65536 and overrun the buffer.
    if (length < 1 || length > kMaxTransfer || !buffer)
        return 0;
    return MPSSE_Transfer(SpiCommand(kFlashRead).at(address).reading(static_cast<uint32_t>(length)).flushed(), buffer);
}

int32_t TFtdi::MPSSE_ReadDataBytesSend(uint32_t address, int32_t length)
{
    if (length < 1 || length > kMaxTransfer)
        return 0;
    Bytes out;
    AppendSpi(out, SpiCommand(kFlashRead).at(address).reading(static_cast<uint32_t>(length)).flushed());
    return Send(out);
}

int32_t TFtdi::MPSSE_ReadDataBytesReceive(unsigned char* buffer, int32_t length)
{
    if (length < 1 || length > kMaxTransfer || !buffer)
        return 0;
    // The next queued reply may already be arriving behind this one.
    return Receive(buffer, static_cast<uint32_t>(length), true) == 0 ? 1 : 0;
}

int32_t TFtdi::MPSSE_Configuration(unsigned char* data, int32_t length)
{
    // Below 1 the engine would take the following commands as payload.
    if (length < 1 || length > kMaxTransfer || !data)
        return 0;
    Bytes out;
    out.reserve(static_cast<size_t>(length) + 3);
    MpsseCommands(out).bytesOutHeader(static_cast<uint32_t>(length)).bytes(data, static_cast<size_t>(length));
    if (!Send(out)) {
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
    return WriteEnabled(SpiCommand(kFlashPageProgram).at(address).sending(data, static_cast<uint32_t>(length)),
                        "Error::TFtdi::MPSSE_PageProgram::MPSSE_WriteEnable\n",
                        "Error::TFtdi::MPSSE_PageProgram::FW_Write\n");
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
        const PageWrite& page = pages[i];
        AppendSpi(batch, SpiCommand(kFlashWriteEnable));
        AppendSpi(batch, SpiCommand(kFlashPageProgram).at(page.address).sending(page.data, static_cast<uint32_t>(page.length)));
        AppendSpi(batch, SpiCommand(kFlashReadStatus).idle(waitMicroseconds).reading(1));
    }
    // One flush for all the status bytes.
    MpsseCommands(batch).sendImmediate();
    if (!Send(batch)) {
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
    return MPSSE_Transfer(SpiCommand(kFlashReadStatus).idle(waitMicroseconds).reading(1).flushed(), &status);
}

FT_STATUS TFtdi::PortCloseSimple()
{
    const FT_STATUS status = driver->FT_Close(handle);
    if (status == FT_OK)
        handleHeld = false;
    return status;
}

int32_t TFtdi::MPSSE_Sync(unsigned char badOpcode, bool purgeFirst, bool flushed, uint32_t waitMicroseconds,
                          SyncAnswer& answer)
{
    answer = SyncAnswer();
    if (linkLost)
        return 0;
    if (purgeFirst && driver->FT_Purge(handle, kPurgeBoth) != FT_OK) {
        DiscardQueues();
        return 0;
    }
    Bytes out;
    MpsseCommands probe(out);
    probe.byte(badOpcode);
    if (flushed)
        probe.sendImmediate();
    const uint64_t start = static_cast<uint64_t>(sleepClock->now().count());
    if (!Send(out))
        return 0;
    const auto answered = [&answer, badOpcode] {
        const size_t n = answer.bytes.size();
        return n >= 2 && answer.bytes[n - 2] == kBadCommandAnswer && answer.bytes[n - 1] == badOpcode;
    };
    // Everything that arrives is kept, so that bytes in front of the answer
    // show. Bounded by the polls' sleeps as well as by the clock's time.
    const uint64_t maxPolls = waitMicroseconds / kPollUs + 1;
    for (uint64_t poll = 0;; ++poll) {
        uint32_t rxBytes = 0, txBytes = 0, events = 0;
        if (driver->FT_GetStatus(handle, &rxBytes, &txBytes, &events) == FT_OK && rxBytes > 0) {
            const size_t at = answer.bytes.size();
            const uint32_t wanted = static_cast<uint32_t>(std::min<size_t>(rxBytes, kMaxSyncAnswer - at));
            answer.bytes.resize(at + wanted);
            uint32_t returned = 0;
            if (driver->FT_Read(handle, answer.bytes.data() + at, wanted, &returned) != FT_OK) {
                answer.bytes.resize(at);
                DiscardQueues();
                return 0;
            }
            answer.bytes.resize(at + std::min(returned, wanted));
            answer.microseconds = (static_cast<uint64_t>(sleepClock->now().count()) - start) / 1000;
            if (answered())
                return 1;
            if (answer.bytes.size() >= kMaxSyncAnswer)
                break;
        }
        if (poll + 1 >= maxPolls || static_cast<uint64_t>(sleepClock->now().count()) - start >= uint64_t(waitMicroseconds) * 1000 ||
            StopRequested())
            break;
        sleepClock->sleepMicroseconds(kPollUs);
    }
    DiscardQueues();
    return 0;
}

int32_t TFtdi::MPSSE_Loopback(const unsigned char* pattern, uint32_t count, unsigned char* echoed)
{
    if (!pattern || !echoed || count < 1 || count > static_cast<uint32_t>(kMaxTransfer))
        return 0;
    Bytes out;
    MpsseCommands(out)
        .setLowByte(kPinsFpgaReset, kPinDirection)
        .loopbackOn()
        .bytesInOutHeader(count)
        .bytes(pattern, count)
        .sendImmediate()
        .loopbackOff()
        .setLowByte(kPinsIdle, kPinDirection);
    if (!Send(out))
        return 0;
    return FW_Read(echoed, count) == 0 ? 1 : 0;
}

uint32_t TFtdi::SpiClockHz(uint16_t divisor)
{
    return static_cast<uint32_t>(kMasterClockHz / ((1 + uint64_t(divisor)) * 2));
}

int32_t TFtdi::MPSSE_SetClockDivisor(uint16_t divisor)
{
    Bytes out;
    MpsseCommands(out).clockDivisor(divisor);
    return Send(out);
}
