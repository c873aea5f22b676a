#include "emulator/DemoFirmware.h"

#include "emulator/ConfigCrc.h"
#include "emulator/SevenSeriesDevice.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace emu {
namespace {

void put16(std::vector<uint8_t>& out, uint32_t value)
{
    out.push_back(uint8_t(value >> 8));
    out.push_back(uint8_t(value));
}

void put32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(uint8_t(value >> shift));
}

// A header field: key letter, 16-bit length, NUL-terminated text.
void field(std::vector<uint8_t>& out, char key, const std::string& text)
{
    out.push_back(uint8_t(key));
    put16(out, uint32_t(text.size() + 1));
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

// Type 1 packet header: write `words` words to configuration register `reg`.
uint32_t type1Write(uint32_t reg, uint32_t words)
{
    return 0x30000000u | (reg << 13) | words;
}

constexpr uint32_t noop = 0x20000000;
enum : uint32_t { regCrc = 0x00, regFar = 0x01, regFdri = 0x02, regCmd = 0x04, regCor0 = 0x09, regIdcode = 0x0C };
enum : uint32_t { cmdWcfg = 0x01, cmdStart = 0x05, cmdRcrc = 0x07, cmdGrestore = 0x0A, cmdDesync = 0x0D };

// Register writes as the configuration logic will see them, with the CRC it
// will keep over them.
struct PacketWriter
{
    std::vector<uint8_t>& raw;
    uint32_t crc = 0;

    void word(uint32_t value) { put32(raw, value); }
    void write(uint32_t reg, uint32_t value)
    {
        word(type1Write(reg, 1));
        word(value);
        crc = reg == regCmd && value == cmdRcrc ? 0 : ConfigCrc::update(crc, reg, value);
    }
};

// A raw bitstream of `size` bytes for `device`: dummy and bus-width words,
// the sync word, the set-up writes, every configuration frame through one
// FDRI burst, the CRC check, then start-up and desync closing the stream so
// that its last bytes are the ones that make the FPGA start.
std::vector<uint8_t> rawBitstream(const SevenSeriesDevice& device, uint32_t size)
{
    std::vector<uint8_t> raw;
    raw.reserve(size);
    PacketWriter out{raw};
    for (int i = 0; i < 8; ++i)
        out.word(0xFFFFFFFF); // dummy words
    out.word(0x000000BB);     // bus width detection
    out.word(0x11220044);
    out.word(0xFFFFFFFF);
    out.word(0xFFFFFFFF);
    out.word(SevenSeriesDevice::syncWord);
    out.word(noop);
    out.write(regCmd, cmdRcrc);
    out.word(noop);
    out.word(noop);
    out.write(regCor0, 0x02003FE5);
    out.write(regIdcode, device.idcode);
    out.write(regFar, 0);
    out.write(regCmd, cmdWcfg);

    const uint32_t tailWords = 16;
    const uint32_t fdriHeaderWords = 2;
    const uint32_t totalWords = size / 4;
    const uint32_t used = uint32_t(raw.size() / 4) + fdriHeaderWords + tailWords;
    const uint32_t frameWords = totalWords > used ? std::min(device.frameWords(), totalWords - used) : 0;
    // Room the frames leave goes to no-ops before the frame data.
    for (uint32_t i = used + frameWords; i < totalWords; ++i)
        out.word(noop);

    out.word(type1Write(regFdri, 0)); // the length follows in a Type 2 packet
    out.word(0x50000000u | frameWords);
    uint32_t state = 0x2545F491;
    for (uint32_t i = 0; i < frameWords; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        put32(raw, state);
        out.crc = ConfigCrc::update(out.crc, regFdri, state);
    }
    out.word(type1Write(regCrc, 1));
    out.word(out.crc);
    out.crc = 0;
    out.word(noop);
    out.word(noop);
    out.write(regCmd, cmdGrestore);
    out.word(noop);
    out.write(regCmd, cmdStart);
    out.word(noop);
    out.write(regCmd, cmdDesync);
    for (int i = 0; i < 4; ++i)
        out.word(noop);
    raw.resize(size, 0);
    return raw;
}

std::string hexByte(uint32_t value)
{
    char text[3];
    std::snprintf(text, sizeof text, "%02X", unsigned(value & 0xFF));
    return text;
}

// One record: type, then count, address, data and checksum in hex.
std::string record(char type, uint32_t address, unsigned addressBytes, const uint8_t* data, size_t length)
{
    const uint32_t count = uint32_t(addressBytes + length + 1);
    uint32_t sum = count;
    std::string line = std::string("S") + type + hexByte(count);
    for (int i = int(addressBytes) - 1; i >= 0; --i) {
        const uint32_t byte = (address >> (8 * i)) & 0xFF;
        sum += byte;
        line += hexByte(byte);
    }
    for (size_t i = 0; i < length; ++i) {
        sum += data[i];
        line += hexByte(data[i]);
    }
    return line + hexByte(~sum & 0xFF) + "\r\n";
}

bool writeFile(const std::filesystem::path& path, const void* data, size_t size, std::string& error)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), std::streamsize(size));
    out.close();
    if (!out) {
        error = "cannot write " + path.string();
        return false;
    }
    return true;
}

} // namespace

std::vector<uint8_t> DemoFirmware::bitFile(const std::string& designName, const std::string& part, uint32_t rawSize)
{
    std::vector<uint8_t> out = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01};
    field(out, 'a', designName);
    field(out, 'b', part);
    field(out, 'c', "2024/01/15");
    field(out, 'd', "12:00:00");
    out.push_back('e');
    const SevenSeriesDevice* device = SevenSeriesDevice::find(part);
    if (!device)
        device = &SevenSeriesDevice::xc7a35t();
    if (rawSize == 0)
        rawSize = device->bitstreamBytes;
    put32(out, rawSize);
    const std::vector<uint8_t> raw = rawBitstream(*device, rawSize);
    out.insert(out.end(), raw.begin(), raw.end());
    return out;
}

std::string DemoFirmware::srecFile(uint32_t size, uint32_t address)
{
    const std::string header = "pravel demo";
    std::string text = record('0', 0, 2, reinterpret_cast<const uint8_t*>(header.data()), header.size());
    uint8_t data[32];
    for (uint32_t offset = 0; offset < size; offset += sizeof data) {
        const size_t length = std::min<size_t>(sizeof data, size - offset);
        for (size_t i = 0; i < length; ++i)
            data[i] = uint8_t((offset + i) * 7 + ((offset + i) >> 8));
        text += record('3', address + offset, 4, data, length);
    }
    return text + record('7', address, 4, nullptr, 0);
}

bool DemoFirmware::writeDirectory(const std::string& directory, const std::string& version, std::string& error)
{
    const std::filesystem::path dir = std::filesystem::u8path(directory);
    std::error_code code;
    std::filesystem::create_directories(dir, code);
    if (code) {
        error = "cannot create " + directory + ": " + code.message();
        return false;
    }
    const std::string versionText = version + "\n";
    const std::vector<uint8_t> bit = bitFile();
    const std::string srec = srecFile();
    return writeFile(dir / "version.txt", versionText.data(), versionText.size(), error) &&
           writeFile(dir / "download.bit", bit.data(), bit.size(), error) &&
           writeFile(dir / "pravel.srec", srec.data(), srec.size(), error);
}

} // namespace emu
