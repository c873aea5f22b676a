#include "device/ImageCheck.h"


#include <algorithm>
#include <cstdio>

namespace {

// The fixed start of a .bit file: a 9-byte field of a known pattern, then
// the count of the one-letter fields that follow.
const unsigned char bitMagic[] = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01};

std::string hex2(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
    return text;
}

bool hasSyncWord(const unsigned char* data, std::size_t size)
{
    const std::size_t window = std::min(size, ImageCheck::syncWindow);
    const unsigned char sync[] = {0xAA, 0x99, 0x55, 0x66};
    return std::search(data, data + window, sync, sync + 4) != data + window;
}

int hexDigit(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Address bytes of each record type; 0 where the type is not defined.
unsigned addressBytes(unsigned char type)
{
    switch (type) {
    case '0': case '1': case '5': case '9': return 2;
    case '2': case '6': case '8': return 3;
    case '3': case '7': return 4;
    default: return 0;
    }
}

// One record (without its line end); empty when it is well formed.
std::string checkRecord(const unsigned char* line, std::size_t length, bool& isData)
{
    if (length < 4 || line[0] != 'S')
        return "is not an S-record";
    const unsigned addrBytes = addressBytes(line[1]);
    if (addrBytes == 0)
        return std::string("has the undefined record type S") + char(line[1]);
    if (length % 2 != 0)
        return "has an odd number of hexadecimal digits";
    std::vector<unsigned> bytes;
    for (std::size_t i = 2; i < length; i += 2) {
        const int high = hexDigit(line[i]);
        const int low = hexDigit(line[i + 1]);
        if (high < 0 || low < 0)
            return "holds a character that is not a hexadecimal digit";
        bytes.push_back(unsigned(high * 16 + low));
    }
    const unsigned count = bytes[0];
    if (count != bytes.size() - 1)
        return "says it holds " + std::to_string(count) + " bytes but holds " + std::to_string(bytes.size() - 1);
    if (count < addrBytes + 1)
        return "is too short for its address and checksum";
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i)
        sum += bytes[i];
    const unsigned expected = ~sum & 0xFFu;
    if (bytes.back() != expected)
        return "has the checksum " + hex2(bytes.back()) + " where its bytes give " + hex2(expected);
    isData = line[1] == '1' || line[1] == '2' || line[1] == '3';
    return {};
}

} // namespace

std::string ImageCheck::check(const std::vector<unsigned char>& data, uint32_t offset)
{
    if (offset == bitstreamOffset)
        return checkBitstream(data);
    if (offset == applicationOffset)
        return checkSRecords(data);
    return {};
}

std::string ImageCheck::checkBitstream(const std::vector<unsigned char>& data)
{
    if (data.empty())
        return "The file is empty.";
    const std::size_t size = data.size();
    if (size < sizeof bitMagic || !std::equal(bitMagic, bitMagic + sizeof bitMagic, data.begin())) {
        if (hasSyncWord(data.data(), size))
            return {};
        return "The file is not an FPGA bitstream: it has no .bit header and no sync word AA995566 in its first " +
               std::to_string(syncWindow) + " bytes.";
    }

    // Fields 'a' to 'd' (design, part, date, time): letter, 16-bit length,
    // text. Then 'e' and the 32-bit length of the configuration data.
    std::size_t at = sizeof bitMagic;
    for (;;) {
        if (at >= size)
            return "The .bit header is cut short.";
        const unsigned char key = data[at];
        if (key == 'e')
            break;
        if (key < 'a' || key > 'd' || at + 3 > size)
            return "The .bit header is damaged.";
        const std::size_t length = std::size_t(data[at + 1]) << 8 | data[at + 2];
        at += 3 + length;
    }
    if (at + 5 > size)
        return "The .bit header is cut short.";
    const std::size_t rawSize = std::size_t(data[at + 1]) << 24 | std::size_t(data[at + 2]) << 16 |
                                std::size_t(data[at + 3]) << 8 | data[at + 4];
    at += 5;
    if (rawSize == 0 || rawSize > size - at)
        return "The .bit file holds less configuration data than its header announces.";
    if (!hasSyncWord(data.data() + at, rawSize))
        return "The .bit file's configuration data has no sync word AA995566 near its start.";
    return {};
}

std::string ImageCheck::checkSRecords(const std::vector<unsigned char>& data)
{
    if (data.empty())
        return "The file is empty.";
    bool anyData = false;
    std::size_t lineNumber = 0;
    std::size_t at = 0;
    while (at < data.size()) {
        std::size_t end = at;
        while (end < data.size() && data[end] != '\n')
            ++end;
        std::size_t length = end - at;
        if (length > 0 && data[at + length - 1] == '\r')
            --length;
        ++lineNumber;
        const bool last = end >= data.size();
        // A trailing line end leaves one empty last "line": that is fine.
        if (!(length == 0 && last)) {
            bool isData = false;
            const std::string problem = checkRecord(data.data() + at, length, isData);
            if (!problem.empty())
                return "The file is not a valid S-record file: line " + std::to_string(lineNumber) + " " + problem + ".";
            anyData = anyData || isData;
        }
        at = end + 1;
    }
    if (!anyData)
        return "The S-record file holds no data records.";
    return {};
}
