#pragma once

#include "emulator/SevenSeriesDevice.h"

#include <cstdint>

namespace emu {

// The slave-serial configuration port of a 7-series FPGA. While PROGRAM_B
// is released, each CCLK shifts one bit in, most significant bit first. The
// configuration logic hunts bit by bit for the sync word, then reads 32-bit
// packets: Type 1 and Type 2 headers and the register writes they carry. The
// IDCODE must name this device (else INIT_B falls), the frame data written
// through FDRI must fill the device's frames exactly, each CRC register
// write must match the running CRC (else INIT_B falls), and DONE rises only
// after the START command and the start-up clocks that follow it.
class FpgaConfigPort
{
public:
    // CCLK cycles from the START command to DONE: the start-up sequencer's
    // phases, DONE released in phase 4 by default, then the DONE pipe.
    static constexpr uint64_t startupClocks = 8;

    explicit FpgaConfigPort(const SevenSeriesDevice& device = SevenSeriesDevice::xc7a35t());

    // PROGRAM_B low (the board drives both control lines low): configuration
    // is cleared, INIT_B is held low, the clock is ignored.
    void setReset(bool held);
    bool inReset() const { return held; }

    // `bits` (1..8) clocks with `out` MSB-aligned on the data line.
    void shift(uint8_t out, unsigned bits);
    // Clocks with no data (0x8E / 0x8F): the data line is not looked at once
    // the stream is over, and start-up runs on them.
    void clockPulses(uint64_t count);

    bool done() const { return doneHigh; }
    bool initB() const { return !held && !errorSeen; }
    bool syncSeen() const { return synced || everSynced; }
    bool busWidthSeen() const { return busWidthPattern; }
    bool idcodeMatched() const { return idMatched; }
    bool crcError() const { return crcFailed; }
    uint32_t frameWordsWritten() const { return fdriWords; }
    uint64_t bytesReceived() const { return received / 8; } // since the last reset
    uint64_t resets() const { return resetCount; }
    const SevenSeriesDevice& device() const { return part; }

private:
    void bitIn(unsigned bit);
    void wordIn(uint32_t word);
    void registerWrite(uint32_t reg, uint32_t value);
    void fail();
    void clocks(uint64_t count);

    const SevenSeriesDevice& part;
    bool held = false;
    uint64_t resetCount = 0;
    uint64_t received = 0; // bits

    // Before sync: the last 64 bits seen.
    uint64_t window = 0;
    bool busWidthPattern = false;
    bool synced = false;
    bool everSynced = false;

    // After sync.
    uint32_t word = 0;
    unsigned wordBits = 0;
    uint32_t packetRegister = 0;
    uint32_t packetWordsLeft = 0;
    bool packetWrites = false;
    uint32_t crc = 0;
    bool idMatched = false;
    uint32_t fdriWords = 0;
    bool errorSeen = false;
    bool crcFailed = false;
    bool startRequested = false;
    uint64_t clocksSinceStart = 0;
    bool doneHigh = false;
};

} // namespace emu
