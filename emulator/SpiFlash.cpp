#include "emulator/SpiFlash.h"

#include "emulator/CallTrace.h"
#include "emulator/SfdpTable.h"
#include "emulator/VirtualClock.h"

#include <algorithm>
#include <iterator>

namespace emu {

enum class SpiFlash::Kind : uint8_t {
    WriteEnable, WriteDisable, ReadStatus, ReadFlagStatus, ClearFlagStatus, ReadStatus2, ReadConfig,
    WriteStatus, ReadId, ReadManufacturerId, ReadSignature, ReadSfdp, Read, FastRead, PageProgram,
    Erase4k, Erase32k, Erase64k, BulkErase, ReadNvcr, WriteNvcr, ReadVcr, WriteVcr, ReadEvcr, WriteEvcr,
    ReadExtendedAddress, WriteExtendedAddress, Enter4Byte, Exit4Byte, ResetEnable, Reset, SoftwareReset,
    ModeBitReset, DeepPowerDown, ReleasePowerDown, ReadBank, WriteBank, BankAccess, ClearStatus, ReadOtp,
    ProgramOtp, EnterQuad, ReadRegister, WriteRegister, ProgramRegister, UnlockPassword, ReadVolatileLock, WriteVolatileLock,
    ReadNonvolatileLock, ProgramNonvolatileLock, EraseNonvolatileLocks, SetFreeze, Suspend, Resume,
};

namespace {

using Kind = SpiFlash::Kind;

// How a command's address is sent: none, three or four bytes as the
// address mode says, always four (the 4-byte opcodes), always three.
enum class Address : uint8_t { None, Mode, Four, Three };
// Dummy clocks between address and data: none, eight, or as configured
// (Micron: volatile configuration bits 7..4; Spansion: latency code).
enum class Dummy : uint8_t { None, Eight, Configured };

// The plain byte registers (SpiFlash::registers), each with its size and
// its value after power-up.
enum Register : uint8_t { Password, SectorProtection, GlobalFreeze, AspRegister, LearningPattern,
                          VolatileLearningPattern, AutoBoot, RegisterCount };
const struct { uint8_t size; uint8_t initial; } registerShapes[RegisterCount] = {
    {8, 0xFF}, {2, 0xFF}, {1, 0x00}, {2, 0xFF}, {1, 0x00}, {1, 0x00}, {4, 0x00},
};
enum : uint8_t { suspendProgram = 1, suspendErase = 2 };
static_assert(RegisterCount == SpiFlash::registerCount, "one value per plain register");

} // namespace

struct SpiFlash::Command
{
    uint8_t opcode;
    Kind kind;
    Address address;
    Dummy dummy;
    uint8_t argument; // the register of ReadRegister / WriteRegister, what Suspend / Resume act on
};

namespace {

using Command = SpiFlash::Command;

// MT25QL128ABA, extended SPI protocol: the commands whose data travels on
// DQ0/DQ1 alone. Dual and quad reads and programs need more lines than the
// instrument wires and are left out.
const Command micronCommands[] = {
    {0x06, Kind::WriteEnable, Address::None, Dummy::None, 0},
    {0x04, Kind::WriteDisable, Address::None, Dummy::None, 0},
    {0x05, Kind::ReadStatus, Address::None, Dummy::None, 0},
    {0x01, Kind::WriteStatus, Address::None, Dummy::None, 0},
    {0x70, Kind::ReadFlagStatus, Address::None, Dummy::None, 0},
    {0x50, Kind::ClearFlagStatus, Address::None, Dummy::None, 0},
    {0x9E, Kind::ReadId, Address::None, Dummy::None, 0},
    {0x9F, Kind::ReadId, Address::None, Dummy::None, 0},
    {0x5A, Kind::ReadSfdp, Address::Three, Dummy::Eight, 0},
    {0x03, Kind::Read, Address::Mode, Dummy::None, 0},
    {0x0B, Kind::FastRead, Address::Mode, Dummy::Configured, 0},
    {0x13, Kind::Read, Address::Four, Dummy::None, 0},
    {0x0C, Kind::FastRead, Address::Four, Dummy::Configured, 0},
    {0x02, Kind::PageProgram, Address::Mode, Dummy::None, 0},
    {0x12, Kind::PageProgram, Address::Four, Dummy::None, 0},
    {0x20, Kind::Erase4k, Address::Mode, Dummy::None, 0},
    {0x21, Kind::Erase4k, Address::Four, Dummy::None, 0},
    {0x52, Kind::Erase32k, Address::Mode, Dummy::None, 0},
    {0x5C, Kind::Erase32k, Address::Four, Dummy::None, 0},
    {0xD8, Kind::Erase64k, Address::Mode, Dummy::None, 0},
    {0xDC, Kind::Erase64k, Address::Four, Dummy::None, 0},
    {0xC7, Kind::BulkErase, Address::None, Dummy::None, 0},
    {0x60, Kind::BulkErase, Address::None, Dummy::None, 0},
    {0xB5, Kind::ReadNvcr, Address::None, Dummy::None, 0},
    {0xB1, Kind::WriteNvcr, Address::None, Dummy::None, 0},
    {0x85, Kind::ReadVcr, Address::None, Dummy::None, 0},
    {0x81, Kind::WriteVcr, Address::None, Dummy::None, 0},
    {0x65, Kind::ReadEvcr, Address::None, Dummy::None, 0},
    {0x61, Kind::WriteEvcr, Address::None, Dummy::None, 0},
    {0xC8, Kind::ReadExtendedAddress, Address::None, Dummy::None, 0},
    {0xC5, Kind::WriteExtendedAddress, Address::None, Dummy::None, 0},
    {0xB7, Kind::Enter4Byte, Address::None, Dummy::None, 0},
    {0x35, Kind::EnterQuad, Address::None, Dummy::None, 0},
    {0xE9, Kind::Exit4Byte, Address::None, Dummy::None, 0},
    {0x66, Kind::ResetEnable, Address::None, Dummy::None, 0},
    {0x99, Kind::Reset, Address::None, Dummy::None, 0},
    {0xB9, Kind::DeepPowerDown, Address::None, Dummy::None, 0},
    {0xAB, Kind::ReleasePowerDown, Address::None, Dummy::None, 0},
    {0x4B, Kind::ReadOtp, Address::Mode, Dummy::Configured, 0},
    {0x42, Kind::ProgramOtp, Address::Mode, Dummy::None, 0},
    {0x75, Kind::Suspend, Address::None, Dummy::None, suspendProgram | suspendErase},
    {0x7A, Kind::Resume, Address::None, Dummy::None, suspendProgram | suspendErase},
    {0xE8, Kind::ReadVolatileLock, Address::Mode, Dummy::None, 0},
    {0xE5, Kind::WriteVolatileLock, Address::Mode, Dummy::None, 0},
    {0xE0, Kind::ReadVolatileLock, Address::Four, Dummy::None, 0},
    {0xE1, Kind::WriteVolatileLock, Address::Four, Dummy::None, 0},
    {0xE2, Kind::ReadNonvolatileLock, Address::Four, Dummy::None, 0},
    {0xE3, Kind::ProgramNonvolatileLock, Address::Four, Dummy::None, 0},
    {0xE4, Kind::EraseNonvolatileLocks, Address::None, Dummy::None, 0},
    {0xA7, Kind::ReadRegister, Address::None, Dummy::None, GlobalFreeze},
    {0xA6, Kind::SetFreeze, Address::None, Dummy::None, 0},
    {0x2D, Kind::ReadRegister, Address::None, Dummy::None, SectorProtection},
    {0x2C, Kind::ProgramRegister, Address::None, Dummy::None, SectorProtection},
    {0x27, Kind::ReadRegister, Address::None, Dummy::None, Password},
    {0x28, Kind::ProgramRegister, Address::None, Dummy::None, Password},
    {0x29, Kind::UnlockPassword, Address::None, Dummy::None, Password},
};

// S25FL256S, single SPI.
const Command spansionCommands[] = {
    {0x06, Kind::WriteEnable, Address::None, Dummy::None, 0},
    {0x04, Kind::WriteDisable, Address::None, Dummy::None, 0},
    {0x05, Kind::ReadStatus, Address::None, Dummy::None, 0},
    {0x07, Kind::ReadStatus2, Address::None, Dummy::None, 0},
    {0x35, Kind::ReadConfig, Address::None, Dummy::None, 0},
    {0x01, Kind::WriteStatus, Address::None, Dummy::None, 0},
    {0x30, Kind::ClearStatus, Address::None, Dummy::None, 0},
    {0x9F, Kind::ReadId, Address::None, Dummy::None, 0},
    {0x90, Kind::ReadManufacturerId, Address::Three, Dummy::None, 0},
    {0xAB, Kind::ReadSignature, Address::Three, Dummy::None, 0},
    {0x03, Kind::Read, Address::Mode, Dummy::None, 0},
    {0x13, Kind::Read, Address::Four, Dummy::None, 0},
    {0x0B, Kind::FastRead, Address::Mode, Dummy::Configured, 0},
    {0x0C, Kind::FastRead, Address::Four, Dummy::Configured, 0},
    {0x02, Kind::PageProgram, Address::Mode, Dummy::None, 0},
    {0x12, Kind::PageProgram, Address::Four, Dummy::None, 0},
    {0x20, Kind::Erase4k, Address::Mode, Dummy::None, 0},
    {0x21, Kind::Erase4k, Address::Four, Dummy::None, 0},
    {0xD8, Kind::Erase64k, Address::Mode, Dummy::None, 0},
    {0xDC, Kind::Erase64k, Address::Four, Dummy::None, 0},
    {0x60, Kind::BulkErase, Address::None, Dummy::None, 0},
    {0xC7, Kind::BulkErase, Address::None, Dummy::None, 0},
    {0x16, Kind::ReadBank, Address::None, Dummy::None, 0},
    {0x17, Kind::WriteBank, Address::None, Dummy::None, 0},
    {0xB9, Kind::BankAccess, Address::None, Dummy::None, 0},
    {0xF0, Kind::SoftwareReset, Address::None, Dummy::None, 0},
    {0xFF, Kind::ModeBitReset, Address::None, Dummy::None, 0},
    {0x4B, Kind::ReadOtp, Address::Mode, Dummy::Eight, 0},
    {0x42, Kind::ProgramOtp, Address::Mode, Dummy::None, 0},
    {0x75, Kind::Suspend, Address::None, Dummy::None, suspendErase},
    {0x7A, Kind::Resume, Address::None, Dummy::None, suspendErase},
    {0x85, Kind::Suspend, Address::None, Dummy::None, suspendProgram},
    {0x8A, Kind::Resume, Address::None, Dummy::None, suspendProgram},
    {0xE0, Kind::ReadVolatileLock, Address::Four, Dummy::None, 0},
    {0xE1, Kind::WriteVolatileLock, Address::Four, Dummy::None, 0},
    {0xE2, Kind::ReadNonvolatileLock, Address::Four, Dummy::None, 0},
    {0xE3, Kind::ProgramNonvolatileLock, Address::Four, Dummy::None, 0},
    {0xE4, Kind::EraseNonvolatileLocks, Address::None, Dummy::None, 0},
    {0xA7, Kind::ReadRegister, Address::None, Dummy::None, GlobalFreeze},
    {0xA6, Kind::SetFreeze, Address::None, Dummy::None, 0},
    {0x2B, Kind::ReadRegister, Address::None, Dummy::None, AspRegister},
    {0x2F, Kind::ProgramRegister, Address::None, Dummy::None, AspRegister},
    {0xE7, Kind::ReadRegister, Address::None, Dummy::None, Password},
    {0xE8, Kind::ProgramRegister, Address::None, Dummy::None, Password},
    {0xE9, Kind::UnlockPassword, Address::None, Dummy::None, Password},
    {0x41, Kind::ReadRegister, Address::None, Dummy::None, VolatileLearningPattern},
    {0x43, Kind::ProgramRegister, Address::None, Dummy::None, LearningPattern},
    {0x4A, Kind::WriteRegister, Address::None, Dummy::None, VolatileLearningPattern},
    {0x14, Kind::ReadRegister, Address::None, Dummy::None, AutoBoot},
    {0x15, Kind::WriteRegister, Address::None, Dummy::None, AutoBoot},
};

// Micron status register: WIP, WEL, BP0..2, TB, BP3, SRWD.
constexpr uint8_t statusWip = 0x01;
constexpr uint8_t statusWel = 0x02;
constexpr uint8_t micronStatusWritable = 0xFC;
constexpr uint8_t micronTb = 0x20;
constexpr uint8_t micronBlockProtect = 0x5C; // BP3 (bit 6), BP2..0 (bits 4..2)
// Micron flag status register.
constexpr uint8_t flagReady = 0x80;
constexpr uint8_t flagEraseError = 0x20;
constexpr uint8_t flagProgramError = 0x10;
constexpr uint8_t flagProtection = 0x02;
constexpr uint8_t flagFourByte = 0x01;
constexpr uint8_t flagEraseSuspended = 0x40;
constexpr uint8_t flagProgramSuspended = 0x04;
// Spansion SR1 and CR1.
constexpr uint8_t spansionEraseError = 0x20;
constexpr uint8_t spansionProgramError = 0x40;
constexpr uint8_t spansionStatusWritable = 0x9C; // SRWD, BP2..0
constexpr uint8_t spansionBlockProtect = 0x1C;    // BP2..0
constexpr uint8_t configFreeze = 0x01;
constexpr uint8_t configTbparm = 0x04;
constexpr uint8_t configOneTime = 0x2C; // TBPROT, BPNV, TBPARM: set once, never cleared
constexpr uint8_t configTbprot = 0x20;
constexpr uint8_t bankA24 = 0x01;
constexpr uint8_t bankExtendedAddress = 0x80;

constexpr uint32_t micronOtpBytes = 64; // then the control byte: bit 0 clear = locked
constexpr uint32_t spansionOtpBytes = 1024;

bool isStatusRead(Kind kind)
{
    return kind == Kind::ReadStatus || kind == Kind::ReadFlagStatus || kind == Kind::ReadStatus2 ||
           kind == Kind::ReadConfig;
}

// Commands that write into data bytes after opcode and address.
bool takesData(Kind kind)
{
    switch (kind) {
    case Kind::PageProgram: case Kind::ProgramOtp: case Kind::WriteStatus: case Kind::WriteNvcr:
    case Kind::WriteVcr: case Kind::WriteEvcr: case Kind::WriteExtendedAddress: case Kind::WriteBank:
    case Kind::WriteRegister: case Kind::ProgramRegister: case Kind::UnlockPassword: case Kind::WriteVolatileLock:
        return true;
    default:
        return false;
    }
}

} // namespace

SpiFlash::SpiFlash(const FlashPart& part, std::unique_ptr<FlashStorage> storage, FlashBehaviour behaviour,
                   VirtualClock& clock, CallTrace* trace)
    : chip(part), store(std::move(storage)), behaviour(std::move(behaviour)), clock(clock), trace(trace),
      pageBuffer(part.pageSize, 0xFF)
{
    std::sort(this->behaviour.faults.flippedAddresses.begin(), this->behaviour.faults.flippedAddresses.end());
    if (chip.hasSfdp)
        sfdp = SfdpTable::build(chip);
    for (uint8_t r = 0; r < RegisterCount; ++r)
        registers[r].assign(registerShapes[r].size, registerShapes[r].initial);
    if (!micron())
        registers[GlobalFreeze][0] = 0x01; // Spansion's PPB lock bit: 1 while the PPBs may change
    nonvolatileLocks.assign(chip.size / chip.sectorSize, 0xFF);
    if (micron()) {
        otp.assign(micronOtpBytes + 1, 0xFF);
    } else {
        otp.assign(spansionOtpBytes, 0xFF);
        for (uint32_t i = 0; i < 16; ++i) // the factory-programmed random number
            otp[i] = uint8_t(0x5A ^ (i * 37));
    }
    softwareReset();
    // As an earlier tool or design left the part: every block-protect bit set,
    // or 4-byte addressing entered (volatile: a reset ends it).
    if (this->behaviour.faults.leftProtected)
        statusBits |= micron() ? micronBlockProtect : spansionBlockProtect;
    if (this->behaviour.faults.leftFourByte) {
        if (micron())
            fourByteMode = true;
        else
            bank |= bankExtendedAddress;
    }
}

void SpiFlash::softwareReset()
{
    wel = false;
    busyActive = false;
    suspended = 0;
    volatileLocks.assign(chip.size / chip.sectorSize, micron() ? 0x00 : 0xFF);
    bankAccessArmed = false;
    resetArmed = false;
    if (micron()) {
        // The volatile registers take their power-on values from the nonvolatile one.
        const uint16_t nvcr = store->nvcr();
        fourByteMode = (nvcr & 0x0001) == 0;
        volatileConfig = uint8_t(((nvcr >> 12) << 4) | 0x0B);
        // Quad (NVCR bit 3) and dual (bit 2) protocols start enabled when clear.
        enhancedConfig = uint8_t(0x1F | ((nvcr & 0x0008) << 4) | ((nvcr & 0x0004) << 4));
        extendedAddress = 0;
        flagErrors = 0;
    } else {
        bank = 0;
    }
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
    addressBytes = 0;
    rawAddress = 0;
    address = 0;
    addressDone = false;
    dummyBits = 0;
    phaseBytes = 0;
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

void SpiFlash::clockIdle(bool mosiHigh, uint64_t count)
{
    const uint8_t out = mosiHigh ? 0xFF : 0x00;
    // A wait clocked inside a status read only repeats the status: those
    // bytes are counted at once instead of one by one; the last goes the
    // usual way, so the byte after the wait shows the status at its end.
    const bool statusRead = command && (command->kind == Kind::ReadStatus || command->kind == Kind::ReadFlagStatus);
    if (selectedNow && bitCount == 0 && statusRead && !ignored && addressDone && byteCount > 0 && count >= 16) {
        const uint64_t bytes = count / 8 - 1;
        statusReads += bytes;
        byteCount += static_cast<uint32_t>(bytes);
        phaseBytes += static_cast<uint32_t>(bytes);
        if (busyActive && !stuck && !errorHeld && !behaviour.timed && busyReadsLeft > 0) {
            busyReadsLeft -= static_cast<unsigned>(std::min<uint64_t>(busyReadsLeft, bytes));
            if (busyReadsLeft == 0 && holdStatusReads == 0)
                finishBusy();
        }
        outByte = outputFor(phaseBytes);
        count -= bytes * 8;
    }
    for (; count >= 8; count -= 8)
        shift(out, 8);
    if (count > 0)
        shift(out, static_cast<unsigned>(count));
}

bool SpiFlash::misoLevel() const
{
    return !selectedNow || ((outByte >> (7 - bitCount)) & 1u) != 0;
}

bool SpiFlash::busy()
{
    if (busyActive && !stuck && !errorHeld && behaviour.timed && holdStatusReads == 0 &&
        clock.nowNanoseconds() >= busyUntilNs)
        finishBusy();
    return busyActive;
}

bool SpiFlash::fourByteAddressing() const
{
    return micron() ? fourByteMode : (bank & bankExtendedAddress) != 0;
}

void SpiFlash::completeByte(uint8_t in)
{
    ++byteCount;
    if (byteCount == 1) {
        decodeOpcode(in);
        outByte = (ignored || !addressDone) ? 0xFF : outputFor(0);
        return;
    }
    if (ignored) {
        ++phaseBytes;
        return;
    }
    if (!addressDone) {
        rawAddress = (rawAddress << 8) | in;
        if (byteCount == 1 + addressBytes) {
            addressComplete();
            outByte = outputFor(0);
        }
        return;
    }
    if (command->kind == Kind::PageProgram) {
        // The bulk of every transfer: a page of data in, nothing out. Bytes
        // past the page's end wrap to its start.
        pageBuffer[(address + phaseBytes) % chip.pageSize] = in;
        ++phaseBytes;
        return;
    }
    consume(in);
    ++phaseBytes;
    if (dummyBits == 0 && (command->kind == Kind::Read || command->kind == Kind::FastRead)) {
        outByte = dataAt((address + phaseBytes) % chip.size);
        return;
    }
    outByte = outputFor(phaseBytes);
}

void SpiFlash::decodeOpcode(uint8_t code)
{
    opcode = code;
    const Command* first = micron() ? std::begin(micronCommands) : std::begin(spansionCommands);
    const Command* last = micron() ? std::end(micronCommands) : std::end(spansionCommands);
    const Command* found = std::find_if(first, last, [code](const Command& c) { return c.opcode == code; });
    const bool armedForReset = resetArmed;
    const bool armedForBank = bankAccessArmed;
    resetArmed = false;
    bankAccessArmed = false;
    if (!chip.answers || found == last) {
        ignored = true;
        return;
    }
    command = found;
    const Kind kind = command->kind;
    // Deep power-down: only the release is heard.
    if (powerDown && kind != Kind::ReleasePowerDown) {
        ignored = true;
        return;
    }
    // In the dual or quad protocol (Micron enhanced volatile configuration
    // bits 6 and 7 clear) every command comes on two or four lines: what one
    // line carries means nothing to the part, and nothing it could decode
    // would bring it back to one line.
    if (micron() && (enhancedConfig & 0xC0) != 0xC0) {
        ignored = true;
        return;
    }
    // While a write runs the flash answers status reads; a Micron part also
    // takes the reset that aborts it, a Spansion part in its error state the
    // clear-status command that ends it.
    if (busy() && !isStatusRead(kind) && !(micron() && (kind == Kind::ResetEnable || kind == Kind::Reset)) &&
        !(errorHeld && kind == Kind::ClearStatus) && kind != Kind::Suspend) {
        ignored = true;
        return;
    }
    if (kind == Kind::Reset && !armedForReset) {
        ignored = true;
        return;
    }
    if (kind == Kind::WriteStatus && armedForBank)
        bankAccessArmed = true; // carried through this transaction: 0x01 writes the bank register
    switch (command->address) {
    case Address::None: addressBytes = 0; break;
    case Address::Mode: addressBytes = fourByteAddressing() ? 4 : 3; break;
    case Address::Four: addressBytes = 4; break;
    case Address::Three: addressBytes = 3; break;
    }
    switch (command->dummy) {
    case Dummy::None: dummyBits = 0; break;
    case Dummy::Eight: dummyBits = 8; break;
    case Dummy::Configured:
        if (micron()) {
            const unsigned cycles = volatileConfig >> 4;
            dummyBits = (cycles == 0 || cycles == 0xF) ? 8 : cycles;
        } else {
            dummyBits = (config >> 6) == 3 ? 0 : 8; // latency code 11: no dummy cycles (unconfirmed)
        }
        break;
    }
    addressDone = addressBytes == 0;
    if (addressDone)
        addressComplete();
}

void SpiFlash::addressComplete()
{
    addressDone = true;
    uint32_t decoded = rawAddress;
    if (addressBytes == 3 && command->address == Address::Mode) {
        // Above 16 MiB a 3-byte address takes its top bits from a register.
        if (micron())
            decoded |= uint32_t(extendedAddress & 0x03) << 24;
        else if (bank & bankA24)
            decoded |= 1u << 24;
    }
    address = decoded;
    if (command->kind == Kind::Read || command->kind == Kind::FastRead || command->kind == Kind::PageProgram ||
        command->kind == Kind::Erase4k || command->kind == Kind::Erase32k || command->kind == Kind::Erase64k)
        address = decoded % chip.size;
    if (command->kind == Kind::PageProgram || command->kind == Kind::ProgramOtp)
        std::fill(pageBuffer.begin(), pageBuffer.end(), 0xFF);
}

// One byte clocked in after opcode and address.
void SpiFlash::consume(uint8_t in)
{
    const Kind kind = command->kind;
    if (isStatusRead(kind)) {
        // The byte just clocked out was a status byte: that is one poll.
        if (kind == Kind::ReadStatus || kind == Kind::ReadFlagStatus)
            ++statusReads;
        if (busyActive && !stuck && !errorHeld && !behaviour.timed && busyReadsLeft > 0 && --busyReadsLeft == 0 &&
            holdStatusReads == 0)
            finishBusy();
        return;
    }
    if (!takesData(kind))
        return;
    if (kind == Kind::ProgramOtp) {
        pageBuffer[(address + phaseBytes) % chip.pageSize] = in;
    } else if (phaseBytes < sizeof registerData) {
        registerData[phaseBytes] = in;
    }
}

// What the flash drives for the eight clocks of phase byte `phaseByte`
// (0: the first byte after opcode and address): dummy clocks first, then
// the command's output stream, which need not start on a byte boundary.
uint8_t SpiFlash::outputFor(uint32_t phaseByte)
{
    const int64_t start = int64_t(phaseByte) * 8 - dummyBits;
    if (start >= 0 && start % 8 == 0)
        return stream(uint32_t(start / 8));
    uint8_t value = 0;
    for (int i = 0; i < 8; ++i) {
        const int64_t bit = start + i;
        const bool level = bit < 0 || ((stream(uint32_t(bit / 8)) >> (7 - bit % 8)) & 1u);
        value = uint8_t((value << 1) | (level ? 1 : 0));
    }
    return value;
}

// Byte `index` of the command's answer; 0xFF where the part drives nothing.
uint8_t SpiFlash::stream(uint32_t index)
{
    switch (command->kind) {
    case Kind::ReadStatus: return statusValue();
    case Kind::ReadFlagStatus: return flagStatusValue();
    case Kind::ReadStatus2:
        return uint8_t(((suspended & suspendProgram) ? 0x01 : 0) | ((suspended & suspendErase) ? 0x02 : 0));
    case Kind::ReadConfig: return config;
    case Kind::ReadId:
        return index < chip.identification.size() ? chip.identification[index] : (micron() ? 0x00 : 0xFF);
    case Kind::ReadManufacturerId: {
        const bool deviceFirst = (address & 1u) != 0;
        const bool device = ((index & 1u) != 0) != deviceFirst;
        return device ? chip.electronicSignature : chip.identification[0];
    }
    case Kind::ReadSignature: return chip.electronicSignature;
    case Kind::ReadSfdp: {
        const uint32_t at = (address + index) & 0xFFFFFF;
        return at < sfdp.size() ? sfdp[at] : 0xFF;
    }
    case Kind::Read:
    case Kind::FastRead: return dataAt((address + index) % chip.size);
    case Kind::ReadNvcr: return uint8_t((index % 2 == 0) ? store->nvcr() & 0xFF : store->nvcr() >> 8);
    case Kind::ReadVcr: return volatileConfig;
    case Kind::ReadEvcr: return enhancedConfig;
    case Kind::ReadExtendedAddress: return extendedAddress;
    case Kind::ReadBank: return bank;
    case Kind::ReadOtp: {
        const uint32_t at = address + index;
        return at < otp.size() ? otp[at] : 0xFF;
    }
    case Kind::ReadRegister: {
        const std::vector<uint8_t>& value = registers[command->argument];
        return value[index % value.size()];
    }
    case Kind::ReadVolatileLock: return volatileLocks[(address % chip.size) / chip.sectorSize];
    case Kind::ReadNonvolatileLock: return nonvolatileLocks[(address % chip.size) / chip.sectorSize];
    default: return 0xFF;
    }
}

void SpiFlash::endTransaction()
{
    if (byteCount == 0 && bitCount == 0)
        return;
    if (!ignored && command && !execute())
        ignored = true;
    if (!ignored && command && isStatusRead(command->kind) && busyActive && holdStatusReads > 0 &&
        --holdStatusReads == 0 && !stuck && !errorHeld &&
        (behaviour.timed ? clock.nowNanoseconds() >= busyUntilNs : busyReadsLeft == 0))
        finishBusy();
    if (trace && trace->enabled()) {
        SpiTransaction transaction;
        transaction.opcode = opcode;
        transaction.hasAddress = command && addressBytes > 0 && addressDone;
        transaction.address = transaction.hasAddress ? address : 0;
        transaction.dataLength = phaseBytes;
        transaction.ignored = ignored;
        trace->recordSpi(transaction);
    }
    bitCount = 0;
}

// The range an erase command clears, false when the part ignores it there.
bool SpiFlash::eraseRange(uint32_t at, uint32_t& start, uint32_t& length) const
{
    switch (command->kind) {
    case Kind::Erase4k:
        if (micron()) {
            length = 4096;
        } else {
            // Spansion: only inside the parameter sectors, bottom or top (TBPARM).
            const uint32_t region = chip.parameterSectorSize * chip.parameterSectorCount;
            const bool top = (config & configTbparm) != 0;
            const bool inside = top ? at >= chip.size - region : at < region;
            if (region == 0 || !inside)
                return false;
            length = chip.parameterSectorSize;
        }
        break;
    case Kind::Erase32k: length = 32768; break;
    default: length = chip.sectorSize; break; // in the parameter region too: the whole 64 KiB
    }
    start = at - at % length;
    return true;
}

// Block protection from the status register's BP bits and the top/bottom bit.
bool SpiFlash::isProtected(uint32_t start, uint32_t length) const
{
    uint32_t protectedSize = 0;
    bool bottom = false;
    if (micron()) {
        const unsigned bp = ((statusBits >> 2) & 0x07) | ((statusBits >> 3) & 0x08);
        if (bp != 0) {
            const uint64_t sectors = uint64_t(1) << std::min(bp - 1, 31u);
            protectedSize = uint32_t(std::min<uint64_t>(chip.size, sectors * chip.sectorSize));
        }
        bottom = (statusBits & micronTb) != 0;
    } else {
        const unsigned bp = (statusBits >> 2) & 0x07;
        if (bp != 0)
            protectedSize = bp == 7 ? chip.size : chip.size >> (7 - bp);
        bottom = (config & configTbprot) != 0;
    }
    // Per-sector protection: a volatile lock (Micron bit 0; Spansion DYB 00h)
    // or a nonvolatile one (00h) on any sector the range touches.
    for (uint64_t at = start - start % chip.sectorSize; at < uint64_t(start) + length && at < chip.size;
         at += chip.sectorSize) {
        const uint8_t lock = volatileLocks[at / chip.sectorSize];
        if ((micron() ? (lock & 0x01) != 0 : lock == 0x00) || nonvolatileLocks[at / chip.sectorSize] == 0x00)
            return true;
    }
    if (protectedSize == 0)
        return false;
    const uint64_t lo = bottom ? 0 : chip.size - protectedSize;
    const uint64_t hi = lo + protectedSize;
    return uint64_t(start) < hi && uint64_t(start) + length > lo;
}

// A program or erase aimed at a protected area: not carried out, and said so
// where the part says it.
void SpiFlash::refuse(bool program)
{
    if (micron()) {
        flagErrors |= flagProtection | (program ? flagProgramError : flagEraseError);
        wel = false;
        return;
    }
    // Spansion: the error bit stays set, and with it WIP and WEL, until 0x30.
    statusBits |= program ? spansionProgramError : spansionEraseError;
    busyActive = true;
    errorHeld = true;
}

// Carries out a command when chip select rises. Like the real parts, a write
// runs only when chip select rises on a byte boundary right after its last
// expected byte; false: not carried out.
bool SpiFlash::execute()
{
    const bool aligned = bitCount == 0;
    const bool bare = aligned && addressDone && phaseBytes == 0;
    const Kind kind = command->kind;
    auto registerWrite = [&](uint32_t bytes) { return aligned && addressDone && phaseBytes == bytes; };
    switch (kind) {
    case Kind::WriteEnable:
        if (!bare)
            return false;
        wel = true;
        return true;
    case Kind::WriteDisable:
        if (!bare)
            return false;
        wel = false;
        return true;
    case Kind::PageProgram: {
        if (!wel || !aligned || !addressDone || phaseBytes == 0)
            return false;
        const uint32_t pageStart = address - address % chip.pageSize;
        if (isProtected(pageStart, chip.pageSize)) {
            refuse(true);
            return true;
        }
        store->program(pageStart, pageBuffer.data(), chip.pageSize);
        const auto listed = [&](const std::vector<uint32_t>& pages) {
            return std::any_of(pages.begin(), pages.end(),
                               [&](uint32_t at) { return at / chip.pageSize == pageStart / chip.pageSize; });
        };
        if (listed(behaviour.faults.stuckPages))
            stuck = true;
        startBusy(chip.pageProgram, suspendProgram, listed(behaviour.faults.heldPages) ? kHeldPageStatusReads : 0);
        for (uint32_t slow : behaviour.faults.slowPages) {
            if (slow / chip.pageSize != pageStart / chip.pageSize)
                continue;
            busyReadsLeft += 50;
            busyUntilNs = clock.nowNanoseconds() + 2 * chip.pageProgram.maximumNs;
        }
        return true;
    }
    case Kind::Erase4k:
    case Kind::Erase32k:
    case Kind::Erase64k: {
        uint32_t start = 0;
        uint32_t length = 0;
        if (!wel || !bare || !eraseRange(address, start, length))
            return false;
        if (isProtected(start, length)) {
            refuse(false);
            return true;
        }
        store->erase(start, length);
        startBusy(kind == Kind::Erase4k ? chip.erase4k : kind == Kind::Erase32k ? chip.erase32k : chip.erase64k,
                  suspendErase);
        return true;
    }
    case Kind::BulkErase:
        if (!wel || !bare)
            return false;
        // Refused as a whole while any block is protected.
        if (isProtected(0, chip.size)) {
            refuse(false);
            return true;
        }
        store->erase(0, chip.size);
        startBusy(chip.bulkErase, suspendErase);
        return true;
    case Kind::WriteStatus:
        if (!micron() && bankAccessArmed) {
            bankAccessArmed = false;
            if (!registerWrite(1))
                return false;
            bank = registerData[0] & (bankA24 | bankExtendedAddress);
            return true;
        }
        if (!wel || !(registerWrite(1) || (!micron() && registerWrite(2))))
            return false;
        if (micron()) {
            statusBits = registerData[0] & micronStatusWritable;
        } else if (!(config & configFreeze)) {
            statusBits = uint8_t((statusBits & ~spansionStatusWritable) | (registerData[0] & spansionStatusWritable));
            if (phaseBytes == 2) {
                const uint8_t value = registerData[1];
                config = uint8_t((config & configOneTime) | (value & ~configOneTime) | (value & configOneTime));
            }
        }
        startBusy(chip.statusWrite, 0);
        return true;
    case Kind::ClearFlagStatus:
        if (!bare)
            return false;
        flagErrors = 0;
        return true;
    case Kind::ClearStatus:
        if (!bare)
            return false;
        statusBits &= uint8_t(~(spansionProgramError | spansionEraseError));
        if (errorHeld) {
            errorHeld = false;
            finishBusy();
        }
        return true;
    case Kind::WriteNvcr:
        if (!wel || !registerWrite(2))
            return false;
        store->setNvcr(static_cast<uint16_t>(registerData[0] | (registerData[1] << 8)));
        startBusy(chip.nvcrWrite, 0);
        return true;
    case Kind::WriteVcr:
    case Kind::WriteEvcr:
    case Kind::WriteExtendedAddress:
        // Volatile, but still behind the write enable latch, which they clear.
        if (!wel || !registerWrite(1))
            return false;
        (kind == Kind::WriteVcr ? volatileConfig : kind == Kind::WriteEvcr ? enhancedConfig : extendedAddress) =
            registerData[0];
        wel = false;
        return true;
    case Kind::WriteBank:
        // A volatile register: no write enable, no busy time.
        if (!registerWrite(1))
            return false;
        bank = registerData[0] & (bankA24 | bankExtendedAddress);
        return true;
    case Kind::BankAccess:
        if (!bare)
            return false;
        bankAccessArmed = true;
        return true;
    case Kind::EnterQuad:
        if (!bare)
            return false;
        enhancedConfig &= 0x7F;
        return true;
    case Kind::Enter4Byte:
    case Kind::Exit4Byte:
        if (!bare)
            return false;
        fourByteMode = kind == Kind::Enter4Byte;
        return true;
    case Kind::ResetEnable:
        if (!bare)
            return false;
        resetArmed = true;
        return true;
    case Kind::Reset:
    case Kind::SoftwareReset:
        if (!bare)
            return false;
        stuck = false;
        softwareReset();
        return true;
    case Kind::DeepPowerDown:
        if (!bare)
            return false;
        powerDown = true;
        return true;
    case Kind::ReleasePowerDown:
        if (!bare)
            return false;
        powerDown = false;
        return true;
    case Kind::ProgramOtp: {
        if (!wel || !aligned || !addressDone || phaseBytes == 0)
            return false;
        const bool locked = micron() && (otp[micronOtpBytes] & 0x01) == 0;
        if (locked || address >= otp.size()) {
            refuse(true);
            return true;
        }
        const uint32_t base = address - address % chip.pageSize;
        for (uint32_t i = 0; i < chip.pageSize && base + i < otp.size(); ++i)
            otp[base + i] &= pageBuffer[i];
        startBusy(chip.pageProgram, 0);
        return true;
    }
    case Kind::WriteRegister:
    case Kind::ProgramRegister: {
        std::vector<uint8_t>& value = registers[command->argument];
        if (!wel || !registerWrite(uint32_t(value.size())))
            return false;
        for (size_t i = 0; i < value.size(); ++i)
            value[i] = kind == Kind::ProgramRegister ? uint8_t(value[i] & registerData[i]) : registerData[i];
        if (kind == Kind::ProgramRegister)
            startBusy(chip.pageProgram, 0);
        else
            wel = false;
        return true;
    }
    case Kind::UnlockPassword:
        // Password mode is never entered here, so there is nothing to unlock.
        return registerWrite(uint32_t(registers[Password].size()));
    case Kind::WriteVolatileLock: {
        if (!wel || !registerWrite(1))
            return false;
        uint8_t& lock = volatileLocks[(address % chip.size) / chip.sectorSize];
        if (!(micron() && (lock & 0x02))) // Micron: the lock-down bit holds it until reset
            lock = micron() ? uint8_t(registerData[0] & 0x03) : registerData[0];
        wel = false;
        return true;
    }
    case Kind::ProgramNonvolatileLock:
    case Kind::EraseNonvolatileLocks: {
        if (!wel || !bare)
            return false;
        const bool frozen = micron() ? (registers[GlobalFreeze][0] & 0x01) != 0 : (registers[GlobalFreeze][0] & 0x01) == 0;
        if (frozen) {
            refuse(kind == Kind::ProgramNonvolatileLock);
            return true;
        }
        if (kind == Kind::ProgramNonvolatileLock) {
            nonvolatileLocks[(address % chip.size) / chip.sectorSize] = 0x00;
            startBusy(chip.pageProgram, 0);
        } else {
            std::fill(nonvolatileLocks.begin(), nonvolatileLocks.end(), 0xFF);
            startBusy(chip.erase64k, 0);
        }
        return true;
    }
    case Kind::SetFreeze:
        if (!wel || !bare)
            return false;
        registers[GlobalFreeze][0] = micron() ? 0x01 : 0x00;
        wel = false;
        return true;
    case Kind::Suspend:
        if (!bare || !busyActive || stuck || errorHeld || !(busyOperation & command->argument))
            return false;
        suspended = busyOperation;
        suspendedNs = busyUntilNs > clock.nowNanoseconds() ? busyUntilNs - clock.nowNanoseconds() : 0;
        suspendedReads = busyReadsLeft;
        busyActive = false;
        return true;
    case Kind::Resume:
        if (!bare || !(suspended & command->argument))
            return false;
        busyActive = true;
        busyOperation = suspended;
        busyUntilNs = clock.nowNanoseconds() + suspendedNs;
        busyReadsLeft = std::max(1u, suspendedReads);
        suspended = 0;
        return true;
    default:
        return true; // reads have nothing to carry out
    }
}

void SpiFlash::startBusy(const BusyTime& time, uint8_t operation, unsigned holdReads)
{
    busyActive = true;
    busyOperation = operation;
    if (operation != 0 && behaviour.faults.stuckBusy)
        stuck = true;
    busyUntilNs = clock.nowNanoseconds() + (behaviour.worst ? time.maximumNs : time.typicalNs);
    busyReadsLeft = behaviour.busyStatusReads;
    holdStatusReads = holdReads;
    if (!stuck && !behaviour.timed && busyReadsLeft == 0 && holdStatusReads == 0)
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
    return static_cast<uint8_t>(statusBits | (inProgress ? statusWip : 0) | (wel ? statusWel : 0));
}

uint8_t SpiFlash::flagStatusValue()
{
    return static_cast<uint8_t>((busy() ? 0 : flagReady) | flagErrors | (fourByteMode ? flagFourByte : 0) |
                                ((suspended & suspendErase) ? flagEraseSuspended : 0) |
                                ((suspended & suspendProgram) ? flagProgramSuspended : 0));
}

uint8_t SpiFlash::dataAt(uint32_t at) const
{
    const uint8_t stored = store->at(at);
    if (behaviour.faults.flippedAddresses.empty())
        return stored;
    const bool flipped = std::binary_search(behaviour.faults.flippedAddresses.begin(), behaviour.faults.flippedAddresses.end(), at);
    return flipped ? static_cast<uint8_t>(stored ^ 0x01) : stored;
}

} // namespace emu
