#pragma once

#include "emulator/FrameMemory.h"
#include "emulator/SevenSeriesDevice.h"

#include <cstdint>
#include <string>

namespace emu {

class CallTrace;

// The configuration logic of a 7-series FPGA behind its serial data input.
// While PROGRAM_B is released, each CCLK shifts one bit in, most
// significant bit first. The logic hunts bit by bit for the sync word (a
// .bit file's header is just bits to skip), then reads 32-bit packets: Type 1
// and Type 2 headers and the register writes they carry, until DESYNC sends
// it hunting again.
//
// What it checks, as the part does: the IDCODE must name this device before
// any frame is written; a CRC register write must match the running CRC
// (CRC-32C over every register write since the last reset, check or RCRC),
// and a stream may carry such checks or none; a stream that turns on the AES
// decryptor (CTL0 DEC) is refused, this part holds no key. Any of these
// errors pulls INIT_B low until PROGRAM_B.
//
// Frames go where the frame address register points: FDRI data through the
// one-frame pipeline (each frame is written when the next one arrives, so a
// burst ends with a pad frame that stays in the buffer), MFWR writes the
// buffered frame again at the current address (compressed streams: FAR and
// MFWR row by row). A frame written outside the device is an error. The
// part itself does not count frames; this model refuses to start a device
// whose frames are not all written, the mark of a cut or foreign stream.
// DONE rises after the START command and the start-up clocks that follow it.
class FpgaConfigPort
{
public:
    // CCLK cycles from the START command to DONE: the start-up sequencer's
    // phases, DONE released in phase 4 by default, then the DONE pipe.
    static constexpr uint64_t startupClocks = 8;

    // `trace` (may be null) gets the reason when configuration stops, and DONE rising.
    explicit FpgaConfigPort(const SevenSeriesDevice& device = SevenSeriesDevice::xc7a35t(), CallTrace* trace = nullptr);

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
    // Why configuration stopped (INIT_B low); empty while it has not.
    const std::string& failure() const { return failureText; }
    uint32_t frameWordsWritten() const { return fdriWords; }
    uint32_t framesWritten() const { return memory.written(); }
    uint64_t bytesReceived() const { return received / 8; } // since the last reset
    uint64_t resets() const { return resetCount; }
    const SevenSeriesDevice& device() const { return part; }

private:
    void bitIn(unsigned bit);
    void wordIn(uint32_t word);
    void registerWrite(uint32_t reg, uint32_t value);
    void command(uint32_t code);
    void writeFrame();
    void fail(const std::string& reason);
    void clocks(uint64_t count);

    const SevenSeriesDevice& part;
    CallTrace* trace;
    FrameMemory memory;
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
    uint32_t mask = 0;
    uint32_t ctl0 = 0;
    bool idMatched = false;
    uint32_t fdriWords = 0;
    uint32_t frameAddress = 0;                  // the last FAR value written
    size_t framePlace;                          // where the frame address register points
    unsigned frameWordsIn = 0;                  // words of the frame arriving through FDRI
    bool framePending = false;                  // a frame in the buffer waits for the next one
    bool errorSeen = false;
    bool crcFailed = false;
    std::string failureText;
    bool startRequested = false;
    uint64_t clocksSinceStart = 0;
    bool doneHigh = false;
};

} // namespace emu
