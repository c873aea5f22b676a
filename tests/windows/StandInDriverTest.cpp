// pravel-flash.exe through its real FTD2XX.dll backend, with the stand-in
// DLL over the emulated bridge beside it, against the same tool on
// --device emulated: the same flash, the same output.
#include "tests/windows/ToolRig.h"

#include "tests/support/Diagnose.h"

#include "emulator/DemoFirmware.h"

#include <sstream>

using namespace wintest;

namespace {

// What one invocation left: exit code, output, and the flash afterwards.
struct Result
{
    unsigned long status;
    std::string out, err;
};

// Standard error without the tool's note that the emulated variables go
// unused on real hardware: here they configure the DLL.
std::string withoutIgnoredNote(const std::string& err)
{
    std::istringstream lines(err);
    std::string line, kept;
    while (std::getline(lines, line))
        if (line.rfind("Warning: PRAVEL_EMULATED_", 0) != 0)
            kept += line + "\n";
    return kept;
}

class StandInDriver : public ToolRig
{
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(ToolRig::SetUp());
        fw = dir / "firmware";
        fs::create_directories(fw);
        writeFile(fw / "pravel.srec", application);
        writeFile(fw / "download.bit", bitstream);
        std::ofstream(fw / "version.txt") << "3.1.4\n";
        for (const char* device : {"emulated", "ftd2xx"}) {
            fs::create_directories(dir / device);
            writeFile(dir / device / "flash.bin", before);
        }
    }

    // The same invocation once per device, each in its own folder with its
    // own flash image; both must end alike.
    Result both(std::vector<std::string> args, const std::string& faults = "", const std::string& chip = "",
                const std::string& instruments = "")
    {
        Result results[2];
        int i = 0;
        for (const char* device : {"emulated", "ftd2xx"}) {
            std::vector<std::string> full = {"--device", device};
            full.insert(full.end(), args.begin(), args.end());
            std::map<std::string, std::string> env = {{"PRAVEL_EMULATED_IMAGE", "flash.bin"}};
            if (!faults.empty())
                env["PRAVEL_EMULATED_FAULTS"] = faults;
            if (!chip.empty())
                env["PRAVEL_EMULATED_CHIP"] = chip;
            if (!instruments.empty())
                env["PRAVEL_EMULATED_INSTRUMENTS"] = instruments;
            const auto outcome = run(full, env, dir / device);
            results[i++] = {outcome.status, outcome.out, withoutIgnoredNote(outcome.err)};
        }
        EXPECT_EQ(results[0].status, results[1].status);
        EXPECT_EQ(results[0].out, results[1].out);
        EXPECT_EQ(results[0].err, results[1].err);
        EXPECT_TRUE(readFile(dir / "emulated" / "flash.bin") == readFile(dir / "ftd2xx" / "flash.bin"))
            << "the two flashes differ";
        return results[1];
    }

    const Bytes before = randomBytes(16 * 1024 * 1024, 1);
    const std::string records = emu::DemoFirmware::srecFile(30000);
    const Bytes application = Bytes(records.begin(), records.end());
    const Bytes bitstream = emu::DemoFirmware::bitFile("pravel_demo", "7a35tcsg324", 60000);
    fs::path fw;
};

} // namespace

TEST_F(StandInDriver, EveryCommandGivesTheSameFlashAndOutputAsTheEmulatedDevice)
{
    const Result channels = both({"channels"});
    EXPECT_EQ(channels.status, 0u) << channels.err;
    EXPECT_TRUE(has(channels.out, "Number of detected channels: 2\n")) << channels.out;
    EXPECT_TRUE(has(channels.out, "  Description: USB <-> Serial Converter B\n")) << channels.out;

    const Result detect = both({"detect"});
    EXPECT_EQ(detect.status, 0u) << detect.err;
    EXPECT_TRUE(has(detect.out, "MT25Q128 is detected\n")) << detect.out;

    const Result write = both({"write", "--verify", "--firmware-dir", fw.string()});
    EXPECT_EQ(write.status, 0u) << write.err;
    EXPECT_TRUE(has(write.out, "Firmware version: 3.1.4\n")) << write.out;
    Bytes flash = readFile(dir / "ftd2xx" / "flash.bin");
    ASSERT_EQ(flash.size(), before.size());
    EXPECT_TRUE(std::equal(application.begin(), application.end(), flash.begin() + 0x500000));
    EXPECT_TRUE(std::equal(bitstream.begin(), bitstream.end(), flash.begin()));
    EXPECT_TRUE(std::equal(before.begin() + 0x600000, before.end(), flash.begin() + 0x600000)) << "beyond the images";
    EXPECT_TRUE(has(write.out, "Verify...OK")) << write.out;

    const Result read = both({"read", "--offset", "0x500000", "--length", std::to_string(application.size()), "app.out"});
    EXPECT_EQ(read.status, 0u) << read.err;
    EXPECT_EQ(readFile(dir / "ftd2xx" / "app.out"), application);
    EXPECT_EQ(readFile(dir / "emulated" / "app.out"), application);

    const Result verify = both({"verify", "--firmware-dir", fw.string()});
    EXPECT_EQ(verify.status, 0u) << verify.err;

    const Result status = both({"status"});
    EXPECT_EQ(status.status, 0u) << status.err;

    // A few of the part's frames only: the FPGA would not start from them.
    const Result boot = both({"check-boot"});
    EXPECT_EQ(boot.status, 1u);
    EXPECT_TRUE(has(boot.err, "a whole XC7A35T bitstream holds 547420")) << boot.err;
}

TEST_F(StandInDriver, FaultsEndTheSameWayThroughTheDll)
{
    // A bridge pulled out, a flash that stays busy, a bit that will not
    // program: the run fails, alike on both.
    for (const char* faults : {"unplug@40", "stuck-busy", "flip@0x500020"}) {
        SCOPED_TRACE(faults);
        EXPECT_EQ(both({"write", "--verify", "--firmware-dir", fw.string()}, faults).status, 1u);
    }
    // A refused write and a lost reply: whatever the tool makes of them, the
    // DLL makes the same.
    for (const char* faults : {"FT_Write@30", "no-reply@20"}) {
        SCOPED_TRACE(faults);
        both({"write", "--verify", "--firmware-dir", fw.string()}, faults);
    }
    // Fresh flash images from here on: the other chips are smaller.
    const auto fresh = [this] {
        for (const char* device : {"emulated", "ftd2xx"})
            fs::remove(dir / device / "flash.bin");
    };
    for (const char* chip : {"unplugged", "unknown"}) {
        SCOPED_TRACE(chip);
        fresh();
        EXPECT_EQ(both({"detect"}, "", chip).status, 1u);
    }
    fresh();
    EXPECT_NE(both({"channels"}, "enumeration").status, 0u);
}

// A bench of two through the DLL: list shows both, --serial writes the one
// it names (its flash in flash-2.bin), and no choice is refused.
TEST_F(StandInDriver, ListAndSerialChooseAmongSeveralThroughTheDll)
{
    const Result list = both({"list"}, "", "", "2");
    EXPECT_EQ(list.status, 0u) << list.err;
    EXPECT_TRUE(has(list.out, "FT7PRVL2    0x2122    MT25Q128    16 MiB")) << list.out;
    EXPECT_EQ(both({"write", "--firmware-dir", fw.string()}, "", "", "2").status, 1u);
    const Result write = both({"--serial", "FT7PRVL2", "write", "--firmware-dir", fw.string()}, "", "", "2");
    EXPECT_EQ(write.status, 0u) << write.err;
    EXPECT_TRUE(readFile(dir / "ftd2xx" / "flash.bin") == before) << "the first instrument was written";
    const Bytes second = readFile(dir / "ftd2xx" / "flash-2.bin");
    ASSERT_EQ(second.size(), before.size());
    EXPECT_TRUE(std::equal(application.begin(), application.end(), second.begin() + 0x500000));
}

// The diagnosis through the DLL comes to the steps and verdicts of the
// emulated device, fault by fault; only the times it measures may differ.
TEST_F(StandInDriver, DiagnoseComesToTheSameVerdictsThroughTheDll)
{
    const Bytes image = testsupport::firmwareFlash(before.size());
    for (const char* faults : {"", "miso-high", "no-mpsse", "four-byte"}) {
        SCOPED_TRACE(faults);
        std::string seen[2];
        int i = 0;
        for (const char* device : {"emulated", "ftd2xx"}) {
            writeFile(dir / device / "flash.bin", image);
            const auto outcome = run({"--device", device, "diagnose"},
                                     {{"PRAVEL_EMULATED_IMAGE", "flash.bin"}, {"PRAVEL_EMULATED_FAULTS", faults}},
                                     dir / device);
            seen[i++] = std::to_string(outcome.status) + "\n" + testsupport::diagnosisVerdicts(outcome.out);
            EXPECT_TRUE(readFile(dir / device / "flash.bin") == image) << "the diagnosis changed the flash";
        }
        EXPECT_EQ(seen[1], seen[0]);
        EXPECT_EQ(seen[0].rfind(*faults ? "1\n" : "0\n", 0), 0u) << seen[0];
    }
}

TEST_F(StandInDriver, WithoutFtd2xxDllTheToolSaysTheDriverIsMissing)
{
    const fs::path bare = dir / "bare";
    fs::create_directories(bare);
    fs::copy_file(tool, bare / "pravel-flash.exe");
    // Started in the folder that holds the stand-in: a DLL in the current
    // folder is not FTDI's driver and is never loaded.
    for (const char* command : {"detect", "channels"}) {
        SCOPED_TRACE(command);
        const auto outcome = run({"--device", "ftd2xx", command}, {}, toolsDir(), bare / "pravel-flash.exe");
        EXPECT_EQ(outcome.status, 1u) << outcome.out;
        EXPECT_TRUE(has(outcome.err, "FTDI's D2XX driver is missing")) << outcome.err;
        EXPECT_TRUE(has(outcome.err, "FTD2XX.dll")) << outcome.err;
        EXPECT_FALSE(has(outcome.out, "USB <-> Serial Converter B")) << outcome.out;
    }
}
