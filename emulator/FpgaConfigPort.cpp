#include "emulator/FpgaConfigPort.h"

#include "base/HexText.h"
#include "emulator/CallTrace.h"
#include "emulator/ConfigCrc.h"

#include <algorithm>

namespace emu {
namespace {

// Configuration registers, commands and the CTL0 bit that turns on the AES
// decryptor (7-series configuration user guide).
enum : uint32_t {
    regCrc = 0x00, regFar = 0x01, regFdri = 0x02, regCmd = 0x04, regCtl0 = 0x05, regMask = 0x06,
    regMfwr = 0x0A, regIdcode = 0x0C,
};
enum : uint32_t { cmdWcfg = 0x01, cmdStart = 0x05, cmdRcrc = 0x07, cmdDesync = 0x0D };
constexpr uint32_t ctl0Dec = 0x40;

constexpr uint64_t busWidthWords = 0x000000BB11220044ull;

} // namespace

FpgaConfigPort::FpgaConfigPort(const SevenSeriesDevice& device, CallTrace* trace)
    : part(device), trace(trace), memory(device), framePlace(memory.position(0))
{
}

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
        mask = 0;
        ctl0 = 0;
        idMatched = false;
        fdriWords = 0;
        memory.clear();
        frameAddress = 0; // the frame address register's reset value
        framePlace = memory.position(0);
        frameWordsIn = 0;
        framePending = false;
        errorSeen = false;
        crcFailed = false;
        failureText.clear();
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
    if (!synced && bits == 8 && out == 0xFF && window == ~uint64_t(0)) {
        // Erased flash while hunting: ones into a window of ones match
        // nothing, bit by bit or at once. A blank flash is read whole this way.
        clocks(8);
        return;
    }
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
    if (clocksSinceStart >= startupClocks) {
        doneHigh = true;
        if (trace)
            trace->recordFpga("DONE high after " + std::to_string(bytesReceived()) + " bytes");
    }
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
        packetRegister = (value >> 13) & 0x1F; // five address bits are decoded, the ones the CRC takes
        packetWordsLeft = value & 0x7FF;
        packetWrites = opcode == 2;
    } else if (type == 2) {
        // A long write to the register the Type 1 packet before it named.
        packetWordsLeft = value & 0x07FFFFFF;
        packetWrites = opcode == 2;
    }
    // Reads send their words out on DOUT; nothing comes in for them. Other
    // header types carry nothing either.
    if (!packetWrites)
        packetWordsLeft = 0;
}

void FpgaConfigPort::registerWrite(uint32_t reg, uint32_t value)
{
    if (reg == regCrc) {
        if (value != crc) {
            crcFailed = true;
            fail("CRC error: the bitstream says " + upperHex(value, 8) + ", its register writes give " +
                 upperHex(crc, 8));
            return;
        }
        crc = 0; // checked: the next stretch starts over
        return;
    }
    crc = ConfigCrc::update(crc, reg, value);
    switch (reg) {
    case regIdcode:
        idMatched = ((value ^ part.idcode) & 0x0FFFFFFF) == 0;
        if (!idMatched) {
            const SevenSeriesDevice* named = SevenSeriesDevice::byIdcode(value);
            fail("IDCODE " + upperHex(value, 8) + (named ? " (" + named->displayName() + ")" : std::string()) +
                 " is not this FPGA's: it is an " + part.displayName() + " (" + upperHex(part.idcode, 8) + ")");
        }
        break;
    case regMask:
        mask = value;
        break;
    case regCtl0:
        ctl0 = (ctl0 & ~mask) | (value & mask);
        if (ctl0 & ctl0Dec)
            fail("encrypted bitstream (CTL0 DEC set): this FPGA holds no AES key");
        break;
    case regFar:
        frameAddress = value;
        framePlace = memory.position(value);
        framePending = false;
        break;
    case regFdri:
        if (!idMatched) {
            fail("frame data before a matching IDCODE");
            break;
        }
        ++fdriWords;
        if (++frameWordsIn == SevenSeriesDevice::wordsPerFrame) {
            frameWordsIn = 0;
            if (framePending) {
                writeFrame();
                framePlace = memory.next(framePlace);
            }
            framePending = true;
        }
        break;
    case regMfwr:
        if (!idMatched)
            fail("frame data before a matching IDCODE");
        else
            writeFrame();
        break;
    case regCmd:
        command(value);
        break;
    default:
        break;
    }
}

void FpgaConfigPort::command(uint32_t code)
{
    switch (code) {
    case cmdRcrc:
        crc = 0;
        break;
    case cmdWcfg:
        framePending = false;
        break;
    case cmdStart:
        if (memory.written() != memory.frames())
            fail("START with " + std::to_string(memory.frames() - memory.written()) + " of " +
                 std::to_string(memory.frames()) + " frames of the " + part.displayName() +
                 " unwritten: start-up does not complete");
        else
            startRequested = true;
        break;
    case cmdDesync:
        synced = false;
        window = 0;
        packetWordsLeft = 0;
        break;
    default:
        break;
    }
}

void FpgaConfigPort::writeFrame()
{
    if (!memory.write(framePlace))
        fail("frame written outside the " + part.displayName() + "'s frames (after FAR " +
             upperHex(frameAddress, 8) + ")");
}

void FpgaConfigPort::fail(const std::string& reason)
{
    if (errorSeen)
        return;
    errorSeen = true; // INIT_B low: the configuration is lost until PROGRAM_B
    startRequested = false;
    failureText = reason;
    if (trace)
        trace->recordFpga(reason + "; configuration stopped at byte " + std::to_string(bytesReceived()) +
                          (doneHigh ? "" : ", DONE stays low"));
}

} // namespace emu
