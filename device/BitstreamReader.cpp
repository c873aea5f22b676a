#include "device/BitstreamReader.h"

#include "base/HexText.h"

#include <algorithm>
#include <array>

namespace {

// Configuration registers, commands and the CTL0 bit of the AES decryptor
// (7-series configuration user guide).
enum : uint32_t {
    crcRegister = 0x00, farRegister = 0x01, fdriRegister = 0x02, cmdRegister = 0x04, ctl0Register = 0x05,
    maskRegister = 0x06, mfwrRegister = 0x0A, idcodeRegister = 0x0C,
};
enum : uint32_t { startCommand = 0x05, rcrcCommand = 0x07, desyncCommand = 0x0D };
constexpr uint32_t decBit = 0x40;
constexpr uint32_t syncWord = 0xAA995566;
const unsigned char bitMagic[] = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01};

// The configuration logic's CRC: CRC-32C (polynomial 0x1EDC6F41, taken
// least significant bit first) over 37 bits per register write, the 32 data
// bits and then the register's 5 address bits. No library CRC takes a
// 37-bit message, hence the table here.
uint32_t crcStep(uint32_t crc, uint32_t reg, uint32_t value)
{
    constexpr uint32_t reflected = 0x82F63B78;
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> entries{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c >> 1) ^ ((c & 1) ? reflected : 0);
            entries[i] = c;
        }
        return entries;
    }();
    for (int byte = 0; byte < 4; ++byte)
        crc = (crc >> 8) ^ table[(crc ^ (value >> (8 * byte))) & 0xFF];
    for (int k = 0; k < 5; ++k)
        crc = (crc >> 1) ^ (((crc ^ (reg >> k)) & 1) ? reflected : 0);
    return crc;
}

} // namespace

BitstreamReport BitstreamReader::read(const std::vector<unsigned char>& bytes, uint32_t fpgaIdcode)
{
    return read(bytes.data(), bytes.size(), fpgaIdcode);
}

BitstreamReport BitstreamReader::read(const unsigned char* bytes, size_t length, uint32_t fpgaIdcode)
{
    BitstreamReader reader(bytes, bytes ? length : 0, fpgaIdcode);
    reader.readHeader();
    // Packets after each sync word, until DESYNC after START or the end of the bytes.
    while (reader.hunt() && reader.packets()) {
    }
    reader.finish();
    return reader.report;
}

BitstreamReader::BitstreamReader(const unsigned char* bytes, size_t length, uint32_t idcode)
    : data(bytes), size(length), fpgaIdcode(idcode)
{
}

void BitstreamReader::readHeader()
{
    // Fields 'a' to 'd': letter, 16-bit length, NUL-terminated text; then
    // 'e' and the 32-bit length of the configuration data.
    if (size < sizeof bitMagic || !std::equal(bitMagic, bitMagic + sizeof bitMagic, data))
        return;
    BitstreamReport::Header& header = report.header;
    header.present = true;
    size_t at = sizeof bitMagic;
    while (at < size && data[at] >= 'a' && data[at] <= 'd' && size - at >= 3) {
        const size_t length = size_t(data[at + 1]) << 8 | data[at + 2];
        const size_t textEnd = std::min(size, at + 3 + length);
        std::string text(reinterpret_cast<const char*>(data) + at + 3, textEnd - (at + 3));
        text = text.substr(0, text.find('\0'));
        std::string* fields[] = {&header.design, &header.part, &header.date, &header.time};
        *fields[data[at] - 'a'] = text;
        at = textEnd;
    }
    if (at < size && data[at] == 'e' && size - at >= 5)
        header.rawLength = uint32_t(data[at + 1]) << 24 | uint32_t(data[at + 2]) << 16 | uint32_t(data[at + 3]) << 8 |
                           data[at + 4];
}

bool BitstreamReader::hunt()
{
    // Bit by bit, as serial configuration does: header bytes and dummy words
    // are skipped. On a byte boundary a whole byte goes in at once and each of
    // its eight bit positions is tried, earliest first: the same answer, and
    // a 16 MiB file without a sync word in a fraction of the time.
    uint64_t window = 0; // the bits read, the newest lowest
    const uint64_t bits = uint64_t(size) * 8;
    const auto found = [this] {
        if (!report.synced)
            report.syncOffset = size_t((bit - 32) / 8);
        report.synced = true;
        hunting = false;
        return true;
    };
    while (bit < bits) {
        if (bit % 8 == 0) {
            window = window << 8 | data[bit / 8];
            for (unsigned taken = 1; taken <= 8; ++taken) {
                if (uint32_t(window >> (8 - taken)) == syncWord) {
                    bit += taken;
                    return found();
                }
            }
            bit += 8;
            continue;
        }
        window = window << 1 | ((data[bit / 8] >> (7 - bit % 8)) & 1u);
        ++bit;
        if (uint32_t(window) == syncWord)
            return found();
    }
    return false;
}

bool BitstreamReader::nextWord(uint32_t& word)
{
    if (bit + 32 > uint64_t(size) * 8)
        return false;
    const unsigned char* at = data + bit / 8;
    const unsigned shift = unsigned(bit % 8);
    uint64_t value = uint64_t(at[0]) << 24 | uint64_t(at[1]) << 16 | uint64_t(at[2]) << 8 | at[3];
    if (shift != 0)
        value = (value << 8 | at[4]) >> (8 - shift);
    word = uint32_t(value);
    bit += 32;
    report.end = size_t((bit + 7) / 8);
    return true;
}

bool BitstreamReader::packets()
{
    uint32_t word = 0;
    for (;;) {
        const size_t at = size_t(bit / 8);
        if (!nextWord(word))
            return false;
        if (packetWordsLeft > 0) {
            --packetWordsLeft;
            registerWrite(packetRegister, word, at);
        } else {
            const uint32_t type = word >> 29;
            const bool write = ((word >> 27) & 0x3) == 2;
            if (type == 1) {
                packetRegister = (word >> 13) & 0x1F; // the logic decodes five address bits, as the CRC takes them
                packetWordsLeft = write ? word & 0x7FF : 0;
            } else if (type == 2) {
                packetWordsLeft = write ? word & 0x07FFFFFF : 0;
            }
        }
        if (desynced) {
            desynced = false;
            packetWordsLeft = 0;
            hunting = true;
            if (report.start) {
                report.desync = true;
                return false; // the stream's end: what follows is not configuration
            }
            return true;
        }
    }
}

void BitstreamReader::registerWrite(uint32_t reg, uint32_t value, size_t at)
{
    if (reg == crcRegister) {
        ++report.crcChecks;
        if (value != crc) {
            ++report.crcErrors;
            stop("The bitstream is damaged: its CRC check at byte " + std::to_string(at) + " fails (it holds " +
                 upperHex(value, 8) + ", its data gives " + upperHex(crc, 8) + ").");
        }
        crc = 0;
        return;
    }
    crc = crcStep(crc, reg, value);
    switch (reg) {
    case idcodeRegister:
        if (!report.idcodeSeen) {
            report.idcodeSeen = true;
            report.idcode = value;
            report.part = BitstreamPart::find(value);
        }
        named = BitstreamPart::sameFpga(value, fpgaIdcode == anyPart ? report.idcode : fpgaIdcode);
        if (!named && fpgaIdcode == anyPart)
            stop("This bitstream names two FPGAs: " + BitstreamPart::describe(report.idcode) + " and " +
                 BitstreamPart::describe(value) + ".");
        else if (!named)
            stop("This bitstream is for " + BitstreamPart::describe(value) + "; the instrument's FPGA is " +
                 BitstreamPart::describe(fpgaIdcode) + ".");
        break;
    case maskRegister:
        mask = value;
        break;
    case ctl0Register:
        ctl0 = (ctl0 & ~mask) | (value & mask);
        if (ctl0 & decBit) {
            report.encrypted = true;
            stop(BitstreamReport::encryptedSentence);
        }
        break;
    case fdriRegister:
    case mfwrRegister:
        if (reg == fdriRegister) {
            ++report.frameWords;
        } else {
            ++report.multiFrameWrites;
            report.compressed = true;
        }
        if (!named)
            stop("The bitstream writes configuration frames before it names its FPGA (IDCODE).");
        break;
    case cmdRegister:
        command(value);
        break;
    default:
        break;
    }
}

void BitstreamReader::command(uint32_t code)
{
    if (code == rcrcCommand) {
        ++report.crcResets;
        crc = 0;
    } else if (code == desyncCommand) {
        desynced = true;
    } else if (code == startCommand && !report.start) {
        report.start = true;
        if (!report.idcodeSeen) {
            stop("The bitstream never names its FPGA (no IDCODE).");
            return;
        }
        const BitstreamPart* part = fpgaIdcode == anyPart ? report.part : BitstreamPart::find(fpgaIdcode);
        const uint64_t wanted = part ? uint64_t(part->frames) * BitstreamPart::wordsPerFrame : 0;
        if (!report.compressed && part && report.frameWords != wanted)
            stop("The bitstream holds " + std::to_string(report.frameWords) + " words of frame data; a whole " +
                 part->name + " bitstream holds " + std::to_string(wanted) + " (" + std::to_string(part->frames) +
                 " frames).");
        if (!decided) {
            decided = true;
            report.starts = true;
        }
    }
}

void BitstreamReader::stop(const std::string& reason)
{
    if (decided)
        return;
    decided = true;
    report.starts = false;
    report.reason = reason;
}

void BitstreamReader::finish()
{
    if (decided)
        return;
    // Erased bytes where the FPGA hunts for the sync word or expects its
    // next packet: a long run of them ends the question, nothing of a
    // bitstream comes after it.
    size_t erasedFrom = size;
    while (erasedFrom > 0 && data[erasedFrom - 1] == 0xFF)
        --erasedFrom;
    const bool erasedEnd = size - erasedFrom >= erasedRun && (hunting || packetWordsLeft == 0);
    const std::string read = std::to_string(size) + " byte" + (size == 1 ? "" : "s");
    if (!report.synced) {
        if (size == 0)
            report.reason = "There is no bitstream: no bytes.";
        else if (erasedFrom == 0)
            report.reason = "There is no bitstream: all " + read + " are FF (erased).";
        else
            report.reason = "There is no bitstream: the sync word AA995566 does not occur in the " + read + ".";
    } else if (hunting) {
        report.reason = "The bitstream ends its configuration (DESYNC) without the start-up command (START).";
    } else if (erasedEnd) {
        report.reason = "The bitstream is cut short: from byte " + std::to_string(erasedFrom) +
                        " on the bytes are erased (FF), and no start-up command (START) came before.";
    } else if (packetWordsLeft > 0 && packetRegister == fdriRegister) {
        report.reason = "The bitstream is cut short: it ends after " + read + ", inside its frame data.";
    } else {
        report.reason = "The bitstream is cut short: it ends after " + read + ", before its start-up command (START).";
    }
    if (!erasedEnd)
        report.moreBytes = size_t(std::min<uint64_t>(packetWordsLeft * 4, SIZE_MAX - readAhead)) + readAhead;
}
