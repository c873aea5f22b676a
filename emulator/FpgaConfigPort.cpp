#include "emulator/FpgaConfigPort.h"

#include "emulator/ConfigCrc.h"

#include <algorithm>

namespace emu {
namespace {

// Configuration registers and commands (7-series configuration user guide).
enum : uint32_t { regCrc = 0x00, regFdri = 0x02, regCmd = 0x04, regIdcode = 0x0C };
enum : uint32_t { cmdRcrc = 0x07, cmdStart = 0x05, cmdDesync = 0x0D };

constexpr uint64_t busWidthWords = 0x000000BB11220044ull;

} // namespace

FpgaConfigPort::FpgaConfigPort(const SevenSeriesDevice& device) : part(device) {}

void FpgaConfigPort::setReset(bool hold)
{
    if (hold && !held) {
        ++resetCount;
        received = 0;
        window = 0;
        busWidthPattern = false;
        synced = false;
        everSynced = false;
        word = 0;
        wordBits = 0;
        packetRegister = 0;
        packetWordsLeft = 0;
        packetWrites = false;
        crc = 0;
        idMatched = false;
        fdriWords = 0;
        errorSeen = false;
        crcFailed = false;
        startRequested = false;
        clocksSinceStart = 0;
        doneHigh = false;
    }
    held = hold;
}

void FpgaConfigPort::shift(uint8_t out, unsigned bits)
{
    bits = std::min(bits, 8u);
    if (held || bits == 0)
        return;
    received += bits;
    if (errorSeen)
        return; // INIT_B low: the logic takes nothing more until PROGRAM_B
    if (synced && bits == 8 && wordBits % 8 == 0) {
        // The common case: a whole byte into the word being assembled.
        // Start-up counts the clocks after the START word, not the one that carried it.
        clocks(8);
        word = (word << 8) | out;
        wordBits += 8;
        if (wordBits == 32) {
            wordBits = 0;
            wordIn(word);
        }
        return;
    }
    for (unsigned i = 0; i < bits; ++i) {
        clocks(1);
        bitIn((out >> (7 - i)) & 1u);
    }
}

void FpgaConfigPort::clockPulses(uint64_t count)
{
    if (held)
        return;
    clocks(count);
}

void FpgaConfigPort::clocks(uint64_t count)
{
    if (!startRequested || errorSeen || doneHigh)
        return;
    clocksSinceStart += count;
    if (clocksSinceStart >= startupClocks)
        doneHigh = true;
}

void FpgaConfigPort::bitIn(unsigned bit)
{
    if (errorSeen)
        return;
    if (!synced) {
        // Serial mode hunts for the sync word on every clock; the bus-width
        // pattern only matters to the parallel modes.
        window = (window << 1) | bit;
        if (window == busWidthWords)
            busWidthPattern = true;
        if (uint32_t(window) == SevenSeriesDevice::syncWord) {
            synced = true;
            everSynced = true;
            word = 0;
            wordBits = 0;
        }
        return;
    }
    word = (word << 1) | bit;
    if (++wordBits == 32) {
        wordBits = 0;
        wordIn(word);
    }
}

void FpgaConfigPort::wordIn(uint32_t value)
{
    if (errorSeen)
        return;
    if (packetWordsLeft > 0) {
        --packetWordsLeft;
        if (packetWrites)
            registerWrite(packetRegister, value);
        return;
    }
    const uint32_t type = value >> 29;
    const uint32_t opcode = (value >> 27) & 0x3;
    if (type == 1) {
        packetRegister = (value >> 13) & 0x1F;
        packetWordsLeft = value & 0x7FF;
        packetWrites = opcode == 2;
    } else if (type == 2) {
        // A long write to the register the Type 1 packet before it named.
        packetWordsLeft = value & 0x07FFFFFF;
        packetWrites = opcode == 2;
    }
    // Reads send their words out on DOUT; nothing comes in for them.
    if (!packetWrites)
        packetWordsLeft = 0;
}

void FpgaConfigPort::registerWrite(uint32_t reg, uint32_t value)
{
    if (reg == regCrc) {
        if (value != crc) {
            crcFailed = true;
            fail();
            return;
        }
        crc = 0; // checked: the next stretch starts over
        return;
    }
    crc = ConfigCrc::update(crc, reg, value);
    switch (reg) {
    case regIdcode:
        idMatched = (value & 0x0FFFFFFF) == (part.idcode & 0x0FFFFFFF);
        if (!idMatched)
            fail();
        break;
    case regFdri:
        // Frame data before a matching IDCODE, or more than the device has, is an error.
        if (!idMatched || fdriWords >= part.frameWords()) {
            fail();
            break;
        }
        ++fdriWords;
        break;
    case regCmd:
        if (value == cmdRcrc) {
            crc = 0;
        } else if (value == cmdStart) {
            // Start-up of a device whose frames are not all written never completes.
            if (fdriWords != part.frameWords())
                fail();
            else
                startRequested = true;
        } else if (value == cmdDesync) {
            synced = false;
            window = 0;
            packetWordsLeft = 0;
        }
        break;
    default:
        break;
    }
}

void FpgaConfigPort::fail()
{
    errorSeen = true; // INIT_B low: the configuration is lost until PROGRAM_B
    startRequested = false;
}

} // namespace emu
