#pragma once

#include "device/BitstreamPart.h"
#include "device/BitstreamReport.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Reads a 7-series bitstream as the FPGA's configuration logic would meet
// it, from the first byte: a .bit file, a bare bitstream, or what the flash
// holds from address 0, possibly only its first bytes. The optional .bit
// header is read for its fields; the FPGA itself hunts bit by bit for the
// sync word, so header bytes are skipped the same way. Then the packets:
// the IDCODE, the CRC checks recomputed (CRC-32C over each register write,
// reset by RCRC and by each check), the frame data, the AES decryptor,
// START and DESYNC.
//
// The verdict: the FPGA starts when the stream names it, turns on no
// decryption, passes every CRC check it carries and reaches START with its
// frames written; an uncompressed stream must hold exactly the part's frame
// count (a compressed one addresses frames itself). Plain C++, never throws;
// any bytes give a report.
class BitstreamReader
{
public:
    // Judge the stream for whichever part it names.
    static constexpr uint32_t anyPart = 0;

    // `fpgaIdcode`: the FPGA the stream goes to (revision bits aside).
    static BitstreamReport read(const unsigned char* data, size_t size,
                                uint32_t fpgaIdcode = BitstreamPart::instrumentFpga().idcode);
    static BitstreamReport read(const std::vector<unsigned char>& data,
                                uint32_t fpgaIdcode = BitstreamPart::instrumentFpga().idcode);

    // What `moreBytes` adds beyond the packet under way: the packets after
    // the frame data and up to DESYNC fit, and a hunt for the sync word goes on.
    static constexpr size_t readAhead = 4096;
    // Erased bytes (FF) that end the verdict where the FPGA hunts for the
    // sync word or expects a packet header: an erased flash, or one whose
    // bitstream was cut, is judged without reading all of it. (The FPGA
    // itself would read on; no bitstream holds such a run there.)
    static constexpr size_t erasedRun = 65536;

private:
    BitstreamReader(const unsigned char* data, size_t size, uint32_t fpgaIdcode);
    void readHeader();
    bool hunt();
    bool nextWord(uint32_t& word);
    bool packets();
    void registerWrite(uint32_t reg, uint32_t value, size_t at);
    void command(uint32_t code);
    void stop(const std::string& reason);
    void finish();

    const unsigned char* data;
    size_t size;
    uint32_t fpgaIdcode;
    uint64_t bit = 0; // the next bit to read
    BitstreamReport report;
    bool decided = false;
    bool hunting = true;
    bool desynced = false; // a DESYNC ended the packets
    uint32_t crc = 0;
    uint32_t mask = 0;
    uint32_t ctl0 = 0;
    bool named = false; // the last IDCODE written is the FPGA's
    uint32_t packetRegister = 0;
    uint64_t packetWordsLeft = 0;
};
