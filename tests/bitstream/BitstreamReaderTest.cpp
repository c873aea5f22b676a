// The loader's bitstream reader and the emulated FPGA, on the FPGA vendor's
// own bitstreams (Debian's openfpgaloader package ships them) and on
// mutations of them: the two are separate code and must agree.

#include "tests/support/VendorBitstreams.h"

#include "device/BitstreamReader.h"
#include "emulator/CallTrace.h"
#include "emulator/DemoFirmware.h"
#include "emulator/FpgaConfigPort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr uint32_t xc7a35t = 0x0362D093;

// Every 7-series bitstream the package ships, as it names them, and what
// the instrument's XC7A35T makes of each.
const struct Vendor
{
    const char* part;
    const char* name;
    uint32_t idcode;
    bool compressed;
    bool startsInstrument;
} vendor[] = {
    {"7a35tcpg236", "XC7A35T", xc7a35t, true, true},        {"7a35tcsg324", "XC7A35T", xc7a35t, false, true},
    {"7a35tftg256", "XC7A35T", xc7a35t, true, true},        {"7a50tcpg236", "XC7A50T", 0x0362C093, true, false},
    {"7a50tcsg324", "XC7A50T", 0x0362C093, true, false},    {"7a75tfgg484", "XC7A75T", 0x03632093, false, false},
    {"7a100tcsg324", "XC7A100T", 0x03631093, true, false},  {"7a100tfgg484", "XC7A100T", 0x03631093, false, false},
    {"7a100tfgg676", "XC7A100T", 0x03631093, true, false},  {"7a200tsbg484", "XC7A200T", 0x03636093, false, false},
    {"7k160tffg676", "XC7K160T", 0x0364C093, true, false},  {"7k325tffg676", "XC7K325T", 0x03651093, true, false},
    {"7k325tffg900", "XC7K325T", 0x03651093, true, false},  {"7k420tffg901", "XC7K420T", 0x03752093, false, false},
    {"7s25csga225", "XC7S25", 0x037C4093, true, false},     {"7s25csga324", "XC7S25", 0x037C4093, true, false},
    {"7s50csga324", "XC7S50", 0x0362F093, true, false},
};

Bytes vendorBitstream(const Vendor& v)
{
    return testsupport::vendorBitstream(v.part);
}

struct Emulated
{
    bool done;
    std::string trace;
};

// The emulated FPGA after `bytes` and the loader's closing clocks.
Emulated emulate(const Bytes& bytes, const emu::SevenSeriesDevice& device = emu::SevenSeriesDevice::xc7a35t())
{
    emu::CallTrace trace;
    emu::FpgaConfigPort fpga(device, &trace);
    for (unsigned char byte : bytes)
        fpga.shift(byte, 8);
    fpga.clockPulses(256);
    std::string events;
    for (const std::string& event : trace.fpga())
        events += event + "\n";
    return {fpga.done(), events};
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Where each register write's value lies, walking the packets after the
// sync word at `sync` (byte-aligned, as in these files).
struct Write
{
    size_t at;
    uint32_t reg;
};
std::vector<Write> writes(const Bytes& bytes, size_t sync)
{
    std::vector<Write> found;
    uint32_t reg = 0;
    auto word = [&](size_t at) { return uint32_t(bytes[at]) << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 | bytes[at + 3]; };
    for (size_t at = sync + 4; at + 4 <= bytes.size();) {
        const uint32_t header = word(at);
        at += 4;
        uint32_t count = 0;
        if (header >> 29 == 1)
            reg = (header >> 13) & 0x1F, count = header & 0x7FF;
        else if (header >> 29 == 2)
            count = header & 0x07FFFFFF;
        if (((header >> 27) & 3) != 2)
            count = 0;
        for (; count > 0 && at + 4 <= bytes.size(); --count, at += 4)
            found.push_back({at, reg});
    }
    return found;
}

void setWord(Bytes& bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + size_t(i)] = uint8_t(value >> (24 - 8 * i));
}

class VendorBitstreams : public testing::Test
{
protected:
    void SetUp() override
    {
        if (vendorBitstream(vendor[0]).empty())
            GTEST_SKIP() << "No vendor bitstreams in " << testsupport::vendorBitstreamDir << ": install Debian's openfpgaloader package";
    }
};

TEST_F(VendorBitstreams, ReaderAndEmulatedFpgaTellTheSameFacts)
{
    for (const Vendor& v : vendor) {
        SCOPED_TRACE(v.part);
        const Bytes bytes = vendorBitstream(v);
        ASSERT_FALSE(bytes.empty());
        const BitstreamReport report = BitstreamReader::read(bytes);
        EXPECT_TRUE(report.header.present && report.header.part == v.part) << report.header.part;
        EXPECT_EQ(report.idcode, v.idcode);
        ASSERT_TRUE(report.part);
        EXPECT_STREQ(report.part->name, v.name);
        EXPECT_EQ(report.compressed, v.compressed);
        EXPECT_EQ(report.crcChecks, 2u);
        EXPECT_EQ(report.crcErrors, 0u);
        EXPECT_TRUE(report.start && report.desync);
        EXPECT_TRUE(v.compressed || report.frameWords == uint64_t(report.part->frames) * BitstreamPart::wordsPerFrame);
        EXPECT_EQ(report.starts, v.startsInstrument) << report.reason;
        EXPECT_EQ(report.moreBytes, 0u);
        const Emulated instrument = emulate(bytes);
        EXPECT_EQ(instrument.done, v.startsInstrument) << instrument.trace;
        if (!v.startsInstrument) {
            EXPECT_TRUE(has(report.reason, std::string("This bitstream is for an ") + v.name)) << report.reason;
            EXPECT_TRUE(has(instrument.trace, "is not this FPGA's")) << instrument.trace;
        }
        // Each starts its own part: the emulator models the Artix-7 dies.
        EXPECT_TRUE(BitstreamReader::read(bytes, BitstreamReader::anyPart).starts);
        const emu::SevenSeriesDevice* own = emu::SevenSeriesDevice::byIdcode(v.idcode);
        EXPECT_TRUE(!own || emulate(bytes, *own).done);
    }
}

TEST_F(VendorBitstreams, MutationsGiveTheSameVerdictInBoth)
{
    for (const Vendor& v : vendor) {
        if (!v.startsInstrument)
            continue;
        SCOPED_TRACE(v.part);
        const Bytes bytes = vendorBitstream(v);
        const BitstreamReport whole = BitstreamReader::read(bytes);
        std::vector<Write> frames, crcs, ctl; // FDRI data, CRC checks, MASK and CTL0
        for (const Write& w : writes(bytes, whole.syncOffset)) {
            if (w.reg == 2)
                frames.push_back(w);
            else if (w.reg == 0)
                crcs.push_back(w);
            else if (w.reg == 5 || w.reg == 6)
                ctl.push_back(w);
        }
        ASSERT_EQ(crcs.size(), 2u);

        struct Mutation
        {
            std::string what;
            Bytes bytes;
            int starts; // 1, 0, or -1: whatever both say
            const char* reason;
            const char* event;
        };
        std::vector<Mutation> mutations;
        for (size_t i : {size_t(0), frames.size() / 3, frames.size() - 1}) {
            Bytes m = bytes;
            m[frames[i].at + i % 4] ^= uint8_t(1u << (i % 8));
            mutations.push_back({"frame data flipped at " + std::to_string(frames[i].at), m, 0, "CRC check", "CRC error"});
        }
        for (size_t k = 0; k < 8; ++k) {
            Bytes m = bytes;
            const size_t at = k * bytes.size() / 8 + k * 131;
            m[at] ^= uint8_t(0x80u >> k);
            mutations.push_back({"a bit flipped at " + std::to_string(at), m, -1, "", ""});
        }
        for (size_t cut : {whole.syncOffset + 100, bytes.size() / 2, size_t(whole.end) - 60})
            mutations.push_back({"cut at " + std::to_string(cut), Bytes(bytes.begin(), bytes.begin() + std::ptrdiff_t(cut)),
                                 0, "cut short", ""});
        Bytes reset = bytes, none = bytes, encrypted = bytes;
        for (const Write& crc : crcs) {
            setWord(reset, crc.at - 4, 0x30008001); // the check becomes CMD RCRC
            setWord(reset, crc.at, 0x00000007);
            setWord(none, crc.at - 4, 0x20000000); // or two no-ops: no CRC at all
            setWord(none, crc.at, 0x20000000);
        }
        mutations.push_back({"CRC reset instead of checked", reset, 1, "", ""});
        mutations.push_back({"no CRC", none, 1, "", ""});
        for (const Write& w : ctl)
            encrypted[w.at + 3] |= 0x40; // MASK and CTL0 turn on the AES decryptor
        mutations.push_back({"encrypted", encrypted, 0, "encrypted", "encrypted"});
        const size_t raw = bytes.size() - whole.header.rawLength;
        mutations.push_back({"without the .bit header", Bytes(bytes.begin() + std::ptrdiff_t(raw), bytes.end()), 1, "", ""});

        for (const Mutation& m : mutations) {
            SCOPED_TRACE(m.what);
            const BitstreamReport report = BitstreamReader::read(m.bytes);
            const Emulated fpga = emulate(m.bytes);
            EXPECT_EQ(report.starts, fpga.done) << report.reason << "\n" << fpga.trace;
            EXPECT_TRUE(m.starts < 0 || report.starts == (m.starts == 1)) << report.reason;
            EXPECT_TRUE(has(report.reason, m.reason)) << report.reason;
            EXPECT_TRUE(has(fpga.trace, m.event)) << fpga.trace;
        }
    }
}

// What check-boot does: the flash read from 0 a little at a time, as far as the reader asks.
TEST_F(VendorBitstreams, AFlashIsReadOnlyAsFarAsItsBitstreamReaches)
{
    const Bytes cut = vendorBitstream(vendor[1]);
    const struct
    {
        const Vendor& v;
        Bytes bitstream;
        const char* reason;
        unsigned reads; // at most
    } flashes[] = {
        {vendor[0], vendorBitstream(vendor[0]), "", 60},
        {vendor[1], cut, "", 2},
        {vendor[3], vendorBitstream(vendor[3]), "XC7A50T", 1},
        {vendor[1], Bytes(cut.begin(), cut.begin() + 1000000), "from byte 1000000 on the bytes are erased", 2},
    };
    for (const auto& f : flashes) {
        SCOPED_TRACE(f.reason);
        Bytes flash(4 << 20, 0xFF);
        std::copy(f.bitstream.begin(), f.bitstream.end(), flash.begin());
        BitstreamReport report = BitstreamReader::read(flash.data(), 400);
        EXPECT_TRUE(report.idcodeSeen && report.idcode == f.v.idcode) << "from the first 400 bytes";
        size_t have = 400;
        unsigned reads = 1;
        while (report.moreBytes > 0 && have < flash.size()) {
            have = std::min(flash.size(), have + report.moreBytes);
            report = BitstreamReader::read(flash.data(), have);
            ++reads;
        }
        EXPECT_EQ(report.moreBytes, 0u);
        EXPECT_EQ(report.starts, *f.reason == 0);
        EXPECT_TRUE(has(report.reason, f.reason)) << report.reason;
        EXPECT_LE(have, std::max(report.end, f.bitstream.size()) + BitstreamReader::erasedRun + BitstreamReader::readAhead);
        EXPECT_LE(reads, f.reads);
    }
    EXPECT_EQ(BitstreamReader::read(Bytes(BitstreamReader::erasedRun, 0xFF)).moreBytes, 0u) << "an erased flash";
}

TEST(BitstreamReader, AnyBytesGiveAVerdictWithItsReason)
{
    const Bytes demo = emu::DemoFirmware::bitFile();
    Bytes late(demo.size() + 1, 0); // three bits late: the FPGA hunts bit by bit
    for (size_t i = 0; i < demo.size(); ++i)
        late[i] |= uint8_t(demo[i] >> 3), late[i + 1] |= uint8_t(demo[i] << 5);
    Bytes endless = Bytes(demo.begin(), demo.begin() + 400);
    for (unsigned char b : {0x30, 0x00, 0x40, 0x00, 0x57, 0xFF, 0xFF, 0xFF})
        endless.push_back(b); // an FDRI write of 2^27 - 1 words, and no more bytes
    const struct
    {
        const char* what;
        Bytes bytes;
        uint32_t fpga;
        bool starts;
        const char* reason;
    } cases[] = {
        {"the demo", demo, xc7a35t, true, ""},
        {"three bits late", late, xc7a35t, true, ""},
        {"nothing", {}, xc7a35t, false, "no bytes"},
        {"an erased flash", Bytes(4096, 0xFF), xc7a35t, false, "all 4096 bytes are FF (erased)"},
        {"an S-record file", Bytes(5000, 'S'), xc7a35t, false, "the sync word AA995566 does not occur"},
        {"a whole 100T bitstream", emu::DemoFirmware::bitFile("x", "7a100t"), xc7a35t, false,
         "for an XC7A100T (IDCODE 03631093); the instrument's FPGA is an XC7A35T (IDCODE 0362D093)"},
        {"... judged for its own part", emu::DemoFirmware::bitFile("x", "7a100t"), BitstreamReader::anyPart, true, ""},
        {"a few frames", emu::DemoFirmware::bitFile("x", "7a35t", 3000), xc7a35t, false,
         "holds 706 words of frame data; a whole XC7A35T bitstream holds 547420 (5420 frames)"},
        {"a huge frame write", endless, xc7a35t, false, "inside its frame data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const BitstreamReport report = BitstreamReader::read(c.bytes, c.fpga);
        EXPECT_EQ(report.starts, c.starts);
        EXPECT_TRUE(has(report.reason, c.reason)) << report.reason;
        EXPECT_EQ(report.reason.empty(), c.starts);
    }
    EXPECT_EQ(BitstreamReader::read(endless).moreBytes, size_t(0x7FFFFFF) * 4 + BitstreamReader::readAhead);
    EXPECT_EQ(BitstreamReader::read(demo).facts(),
              "design pravel_demo;UserID=0XFFFFFFFF, part 7a35tcsg324, 2024/01/15 12:00:00, IDCODE 0362D093 (XC7A35T), "
              "uncompressed");
}

} // namespace
