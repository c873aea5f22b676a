// What the tool does differently on Windows: Ctrl-C arrives as a console
// event, the command line is UTF-16, an open file cannot be replaced.
#include "tests/windows/ToolRig.h"

using namespace wintest;

namespace {

// A console of this test's own while it lives, shared with the tools it
// starts, so that a Ctrl-C reaches them as it would from a command prompt.
// Given up again, or the console host outlives the test holding its output.
struct OwnConsole
{
    OwnConsole()
    {
        FreeConsole();
        made = AllocConsole() != 0;
    }
    ~OwnConsole() { FreeConsole(); }
    bool made = false;
};

class WindowsConsole : public ToolRig
{
};

} // namespace

// Ctrl-Break and closing the console take the same road; Wine cannot send
// those two events.
TEST_F(WindowsConsole, CtrlCStopsAWriteBetweenTransactionsAndClosesThePort)
{
    const OwnConsole console;
    ASSERT_TRUE(console.made);
    const Bytes image = randomBytes(6 * 1024 * 1024, 5);
    writeFile(dir / "big.bin", image);
    auto tool = start({"--device", "ftd2xx", "write", "--force", "--offset", "0", "big.bin"}, {{"PRAVEL_EMULATED_IMAGE", "flash.bin"}});
    ASSERT_TRUE(tool->waitForOutput("Programming...")) << tool->output();

    // The event goes to every process on the console: this one looks away.
    SetConsoleCtrlHandler(nullptr, TRUE);
    const BOOL sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    const auto outcome = tool->finish();
    SetConsoleCtrlHandler(nullptr, FALSE);
    ASSERT_TRUE(sent) << GetLastError();

    EXPECT_EQ(outcome.status, 130u) << outcome.out << outcome.err;
    EXPECT_TRUE(has(outcome.err, "interrupted\n")) << outcome.err;
    EXPECT_FALSE(has(outcome.out, "Program...OK")) << outcome.out;
    EXPECT_TRUE(has(outcome.out, "Port(USB <-> Serial Converter B) close\n")) << outcome.out;
    // Stopped part-way: the start of the image is there, its end is not.
    const Bytes flash = readFile(dir / "flash.bin");
    ASSERT_EQ(flash.size(), 16u * 1024 * 1024);
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 256, flash.begin()));
    EXPECT_FALSE(std::equal(image.end() - 256, image.end(), flash.begin() + image.size() - 256));
}

TEST_F(WindowsConsole, FileNamesOutsideTheAnsiCodePageReachTheToolIntact)
{
    const fs::path source = dir / fs::u8path(u8"Größe ünd 日本.srec");
    const Bytes image = randomBytes(3000, 6);
    writeFile(source, image);
    const std::map<std::string, std::string> env = {{"PRAVEL_EMULATED_IMAGE", "flash.bin"}};

    const auto written = run({"--device", "emulated", "write", "--verify", "--force", "--application", source.u8string()}, env);
    EXPECT_EQ(written.status, 0u) << written.err;
    EXPECT_TRUE(has(written.out, "Starting programming of " + source.u8string())) << written.out;

    const fs::path target = dir / fs::u8path(u8"zurück 日本.out");
    const auto read = run({"--device", "emulated", "read", "--offset", "0x500000", "--length", "3000", target.u8string()}, env);
    EXPECT_EQ(read.status, 0u) << read.err;
    EXPECT_TRUE(has(read.out, target.u8string())) << read.out;
    EXPECT_EQ(readFile(target), image);
}

TEST_F(WindowsConsole, ReadIntoAFileAnotherProgramHoldsOpenLeavesItAsItWas)
{
    const fs::path target = dir / "held.bin";
    const Bytes before = randomBytes(100, 7);
    writeFile(target, before);
    HANDLE held = CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto outcome =
        run({"--device", "emulated", "read", "--offset", "0", "--length", "4096", target.string()}, {{"PRAVEL_EMULATED_IMAGE", "flash.bin"}});
    CloseHandle(held);

    EXPECT_EQ(outcome.status, 1u) << outcome.out;
    EXPECT_TRUE(has(outcome.err, "Error writing file: " + target.string() + "\n")) << outcome.err;
    EXPECT_EQ(readFile(target), before);
    EXPECT_FALSE(fs::exists(target.string() + ".partial"));
}
