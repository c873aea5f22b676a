#pragma once

#include "device/BitstreamPart.h"

#include <cstddef>
#include <cstdint>
#include <string>

// What BitstreamReader found in a bitstream, and whether the FPGA would
// start from it. Facts cover the bytes read; the verdict is the first thing
// that would stop the FPGA, as it meets the stream.
struct BitstreamReport
{
    // The .bit file's header, when the bytes begin with one.
    struct Header
    {
        bool present = false;
        std::string design, part, date, time;
        uint32_t rawLength = 0; // the 'e' field: bytes of configuration data announced
    };

    Header header;
    bool synced = false;         // the sync word was found
    size_t syncOffset = 0;       // where it begins (bytes, rounded down when not byte-aligned)
    bool idcodeSeen = false;
    uint32_t idcode = 0;         // the first IDCODE the stream writes
    const BitstreamPart* part = nullptr; // the part it names, when the table knows it
    bool compressed = false;     // frames repeated with multiple-frame writes (MFWR)
    bool encrypted = false;      // the AES decryptor turned on (CTL0 DEC)
    unsigned crcChecks = 0;      // CRC register writes, each compared with the CRC recomputed
    unsigned crcErrors = 0;      // ... that did not match
    unsigned crcResets = 0;      // RCRC commands
    uint64_t frameWords = 0;     // words written through FDRI
    uint64_t multiFrameWrites = 0; // MFWR words
    bool start = false;          // the START command
    bool desync = false;         // DESYNC after START: the stream's end
    size_t end = 0;              // bytes up to the last whole word read

    bool starts = false;         // the FPGA would start from it
    std::string reason;          // why not, one sentence a technician reads; empty when it starts
    // 0: the verdict is final. Otherwise the bytes ended first: read this
    // many bytes beyond those given and ask again (the packet under way and
    // BitstreamReader::readAhead more).
    size_t moreBytes = 0;

    // Why an encrypted bitstream may not start the FPGA.
    static const char encryptedSentence[];

    // "IDCODE 0362D093 (XC7A35T)"; "no IDCODE" before one was seen.
    std::string idcodeText() const;
    // The facts in one line: design, part, date and time, IDCODE, compressed
    // or not (once known: a multiple-frame write, or START reached), encrypted.
    std::string facts() const;
    // What the FPGA checks, as far as the bytes went: where the sync word
    // is, the CRC checks, the frame data, START and DESYNC (when seen).
    std::string checks() const;
    // "The FPGA would start." or "The FPGA would not start: <reason>"
    std::string verdict() const;
};
