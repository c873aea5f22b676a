#include "emulator/SpiFlash.h"

#include "emulator/CallTrace.h"
#include "emulator/VirtualClock.h"

#include <algorithm>
#include <iterator>

namespace emu {

namespace {

using Kind = SpiFlash::Kind;
using Feature = SpiFlash::Feature;

// The command set the models understand; a part answers a command only when
// it has the command's feature. Anything else is ignored, MISO stays high.
const SpiFlash::Command commands[] = {
    {0x06, Kind::WriteEnable, 0, Feature::None},
    {0x04, Kind::WriteDisable, 0, Feature::None},
    {0x05, Kind::ReadStatus, 0, Feature::None},
    {0x70, Kind::ReadFlagStatus, 0, Feature::FlagStatus},
    {0x9F, Kind::ReadId, 0, Feature::None},
    {0x03, Kind::Read, 3, Feature::None},
    {0x13, Kind::Read, 4, Feature::FourByteOpcodes},
    {0x02, Kind::PageProgram, 3, Feature::None},
    {0x12, Kind::PageProgram, 4, Feature::FourByteOpcodes},
    {0xD8, Kind::SectorErase, 3, Feature::None},
    {0xDC, Kind::SectorErase, 4, Feature::FourByteOpcodes},
    {0xC7, Kind::BulkErase, 0, Feature::None},
    {0x60, Kind::BulkErase, 0, Feature::None},
    {0xB5, Kind::ReadNvcr, 0, Feature::Nvcr},
    {0xB1, Kind::WriteNvcr, 0, Feature::Nvcr},
    {0x16, Kind::ReadBank, 0, Feature::BankRegister},
    {0x17, Kind::WriteBank, 0, Feature::BankRegister},
};

constexpr uint8_t statusWip = 0x01;
constexpr uint8_t statusWel = 0x02;
constexpr uint8_t flagReady = 0x80;
constexpr uint8_t bankA24 = 0x01;
constexpr uint8_t bankExtendedAddress = 0x80;

bool isStatusRead(Kind kind)
{
    return kind == Kind::ReadStatus || kind == Kind::ReadFlagStatus;
}

} // namespace

SpiFlash::SpiFlash(const FlashPart& part, std::unique_ptr<FlashStorage> storage, FlashBehaviour behaviour,
                   VirtualClock& clock, CallTrace* trace)
    : chip(part), store(std::move(storage)), behaviour(std::move(behaviour)), clock(clock), trace(trace),
      pageBuffer(part.pageSize, 0xFF)
{
    std::sort(this->behaviour.flippedAddresses.begin(), this->behaviour.flippedAddresses.end());
}

void SpiFlash::select(bool selected)
{
    if (selected == selectedNow)
        return;
    selectedNow = selected;
    if (!selected) {
        endTransaction();
        return;
    }
    bitCount = 0;
    inShift = 0;
    outByte = 0xFF;
    byteCount = 0;
    command = nullptr;
    opcode = 0;
    ignored = false;
    addressBytesWanted = 0;
    rawAddress = 0;
    address = 0;
    addressDone = false;
    dataCount = 0;
}

uint8_t SpiFlash::shift(uint8_t out, unsigned bits)
{
    bits = std::min(bits, 8u);
    const uint8_t lineMask = static_cast<uint8_t>(0xFF00u >> bits);
    if (!selectedNow || bits == 0)
        return lineMask;
    if (bits == 8 && bitCount == 0) { // the common, byte-aligned case
        const uint8_t miso = outByte;
        completeByte(out);
        return miso;
    }
    uint8_t miso = 0;
    for (unsigned i = 0; i < bits; ++i) {
        miso |= static_cast<uint8_t>(((outByte >> (7 - bitCount)) & 1u) << (7 - i));
        inShift = static_cast<uint8_t>((inShift << 1) | ((out >> (7 - i)) & 1u));
        if (++bitCount == 8) {
            bitCount = 0;
            const uint8_t in = inShift;
            inShift = 0;
            completeByte(in);
        }
    }
    return miso;
}

bool SpiFlash::misoLevel() const
{
    return !selectedNow || ((outByte >> (7 - bitCount)) & 1u) != 0;
}

bool SpiFlash::busy()
{
    if (busyActive && !stuck && behaviour.timed && clock.nowNanoseconds() >= busyUntilNs)
        finishBusy();
    return busyActive;
}

bool SpiFlash::supported(Feature feature) const
{
    switch (feature) {
    case Feature::None: return true;
    case Feature::FlagStatus: return chip.hasFlagStatus;
    case Feature::Nvcr: return chip.hasNvcr;
    case Feature::BankRegister: return chip.hasBankRegister;
    case Feature::FourByteOpcodes: return chip.hasFourByteOpcodes;
    }
    return false;
}

void SpiFlash::completeByte(uint8_t in)
{
    ++byteCount;
    if (byteCount == 1) {
        decodeOpcode(in);
        return;
    }
    if (ignored || !command) {
        ++dataCount;
        outByte = 0xFF;
        return;
    }
    if (!addressDone) {
        rawAddress = (rawAddress << 8) | in;
        if (byteCount == 1 + addressBytesWanted)
            addressComplete();
        return;
    }
    nextOutput(in);
    ++dataCount;
}

void SpiFlash::decodeOpcode(uint8_t code)
{
    opcode = code;
    outByte = 0xFF;
    const auto found = std::find_if(std::begin(commands), std::end(commands),
                                    [code](const Command& c) { return c.opcode == code; });
    if (!chip.answers || found == std::end(commands) || !supported(found->feature)) {
        ignored = true;
        return;
    }
    command = &*found;
    // While a write runs the flash only answers status reads.
    if (busy() && !isStatusRead(command->kind)) {
        ignored = true;
        return;
    }
    addressBytesWanted = command->addressBytes;
    if (addressBytesWanted == 3 && (bank & bankExtendedAddress))
        addressBytesWanted = 4;
    addressDone = addressBytesWanted == 0;

    switch (command->kind) {
    case Kind::ReadStatus: outByte = statusValue(); break;
    case Kind::ReadFlagStatus: outByte = flagStatusValue(); break;
    case Kind::ReadId: outByte = chip.identification.empty() ? 0xFF : chip.identification[0]; break;
    case Kind::ReadNvcr: outByte = static_cast<uint8_t>(store->nvcr() & 0xFF); break;
    case Kind::ReadBank: outByte = bank; break;
    default: break;
    }
}

void SpiFlash::addressComplete()
{
    addressDone = true;
    uint32_t decoded = rawAddress;
    if (addressBytesWanted == 3 && chip.hasBankRegister && (bank & bankA24))
        decoded |= 1u << 24;
    address = decoded % chip.size;
    if (command->kind == Kind::Read) {
        readPointer = address;
        outByte = dataAt(readPointer);
    } else if (command->kind == Kind::PageProgram) {
        std::fill(pageBuffer.begin(), pageBuffer.end(), 0xFF);
    }
}

// The byte after opcode and address: `in` was just clocked in, and what the
// flash drives for the next eight clocks is decided here.
void SpiFlash::nextOutput(uint8_t in)
{
    switch (command->kind) {
    case Kind::ReadStatus:
    case Kind::ReadFlagStatus:
        // The byte just clocked out was a status byte: that is one poll.
        ++statusReads;
        if (busyActive && !stuck && !behaviour.timed && busyReadsLeft > 0 && --busyReadsLeft == 0)
            finishBusy();
        outByte = command->kind == Kind::ReadStatus ? statusValue() : flagStatusValue();
        break;
    case Kind::ReadId: {
        const size_t next = dataCount + 1;
        outByte = next < chip.identification.size() ? chip.identification[next] : 0xFF;
        break;
    }
    case Kind::Read:
        readPointer = (readPointer + 1) % chip.size;
        outByte = dataAt(readPointer);
        break;
    case Kind::PageProgram: {
        // Bytes past the page's end wrap to its start.
        const uint32_t offset = (address + dataCount) % chip.pageSize;
        pageBuffer[offset] = in;
        break;
    }
    case Kind::ReadNvcr:
        outByte = static_cast<uint8_t>((dataCount % 2 == 0) ? store->nvcr() >> 8 : store->nvcr() & 0xFF);
        break;
    case Kind::ReadBank: outByte = bank; break;
    case Kind::WriteNvcr:
    case Kind::WriteBank:
        if (dataCount < 2)
            registerData[dataCount] = in;
        break;
    default: break;
    }
}

void SpiFlash::endTransaction()
{
    if (byteCount == 0 && bitCount == 0)
        return;
    if (!ignored && command && !execute())
        ignored = true;
    if (trace) {
        SpiTransaction transaction;
        transaction.opcode = opcode;
        transaction.hasAddress = command && command->addressBytes > 0 && addressDone;
        transaction.address = transaction.hasAddress ? address : 0;
        transaction.dataLength = dataCount;
        transaction.ignored = ignored;
        trace->recordSpi(transaction);
    }
    bitCount = 0;
}

// Carries out a write when chip select rises. Like the real parts, a write
// runs only when chip select rises on a byte boundary right after its last
// expected byte; false: not carried out.
bool SpiFlash::execute()
{
    const bool aligned = bitCount == 0;
    const bool bare = byteCount == 1 + addressBytesWanted && addressDone;
    switch (command->kind) {
    case Kind::WriteEnable:
        if (!aligned || !bare)
            return false;
        wel = true;
        return true;
    case Kind::WriteDisable:
        if (!aligned || !bare)
            return false;
        wel = false;
        return true;
    case Kind::PageProgram: {
        if (!wel || !aligned || !addressDone || dataCount == 0)
            return false;
        const uint32_t pageStart = address - address % chip.pageSize;
        store->program(pageStart, pageBuffer.data(), chip.pageSize);
        startBusy(chip.pageProgramNs, true);
        return true;
    }
    case Kind::SectorErase: {
        if (!wel || !aligned || !bare)
            return false;
        store->erase(address - address % chip.sectorSize, chip.sectorSize);
        startBusy(chip.sectorEraseNs, true);
        return true;
    }
    case Kind::BulkErase:
        if (!wel || !aligned || !bare)
            return false;
        store->erase(0, chip.size);
        startBusy(chip.bulkEraseNs, true);
        return true;
    case Kind::WriteNvcr:
        if (!wel || !aligned || dataCount != 2)
            return false;
        store->setNvcr(static_cast<uint16_t>(registerData[0] | (registerData[1] << 8)));
        startBusy(chip.registerWriteNs, false);
        return true;
    case Kind::WriteBank:
        // A volatile register: no write enable, no busy time.
        if (!aligned || dataCount != 1)
            return false;
        bank = registerData[0] & (bankA24 | bankExtendedAddress);
        return true;
    default:
        return true; // reads have nothing to carry out
    }
}

void SpiFlash::startBusy(uint64_t typicalNs, bool programOrErase)
{
    busyActive = true;
    if (programOrErase && behaviour.stuckBusy)
        stuck = true;
    busyUntilNs = clock.nowNanoseconds() + typicalNs;
    busyReadsLeft = behaviour.busyStatusReads;
    if (!stuck && !behaviour.timed && busyReadsLeft == 0)
        finishBusy();
}

void SpiFlash::finishBusy()
{
    busyActive = false;
    wel = false;
}

uint8_t SpiFlash::statusValue()
{
    const bool inProgress = busy();
    return static_cast<uint8_t>((inProgress ? statusWip : 0) | (wel ? statusWel : 0));
}

uint8_t SpiFlash::flagStatusValue()
{
    return busy() ? 0 : flagReady;
}

uint8_t SpiFlash::dataAt(uint32_t at) const
{
    const uint8_t stored = store->at(at);
    const bool flipped = std::binary_search(behaviour.flippedAddresses.begin(), behaviour.flippedAddresses.end(), at);
    return flipped ? static_cast<uint8_t>(stored ^ 0x01) : stored;
}

} // namespace emu
