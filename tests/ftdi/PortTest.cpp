#include "tests/ftdi/FtdiBench.h"

#include <cstring>
#include <regex>

using namespace d2xx;

namespace {

// Only for what the emulated bridge never lists: zero fields, an unterminated
// serial number, and a list that grows between counting and fetching.
class ListingDriver final : public D2xxDriver
{
public:
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes;
    FT_STATUS FT_CreateDeviceInfoList(uint32_t* count) override { return *count = 1, FT_OK; }
    FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count) override
    {
        std::copy_n(nodes.begin(), std::min<size_t>(*count, nodes.size()), list);
        return *count = static_cast<uint32_t>(nodes.size()), FT_OK;
    }
    // Nothing else is reached by a listing.
    FT_STATUS FT_OpenEx(const void*, uint32_t, FT_HANDLE*) override { return FT_IO_ERROR; }
    FT_STATUS FT_ResetDevice(FT_HANDLE) override { return FT_IO_ERROR; }
    FT_STATUS FT_Purge(FT_HANDLE, uint32_t) override { return FT_IO_ERROR; }
    FT_STATUS FT_SetLatencyTimer(FT_HANDLE, uint8_t) override { return FT_IO_ERROR; }
    FT_STATUS FT_SetBitMode(FT_HANDLE, uint8_t, uint8_t) override { return FT_IO_ERROR; }
    FT_STATUS FT_GetBitMode(FT_HANDLE, uint8_t*) override { return FT_IO_ERROR; }
    FT_STATUS FT_Write(FT_HANDLE, const void*, uint32_t, uint32_t*) override { return FT_IO_ERROR; }
    FT_STATUS FT_GetStatus(FT_HANDLE, uint32_t*, uint32_t*, uint32_t*) override { return FT_IO_ERROR; }
    FT_STATUS FT_Read(FT_HANDLE, void*, uint32_t, uint32_t*) override { return FT_IO_ERROR; }
    FT_STATUS FT_Close(FT_HANDLE) override { return FT_IO_ERROR; }
};

std::vector<std::string> infoTexts(const testsupport::LogCapture& log)
{
    std::vector<std::string> out;
    for (const auto& [type, text] : log.rows()) {
        EXPECT_EQ(type, ProgressReporter::Info) << text;
        out.push_back(text);
    }
    return out;
}

} // namespace

TEST_F(FtdiBench, ListsBothChannelsOfTheBridge)
{
    ASSERT_NO_FATAL_FAILURE(start("", false));
    EXPECT_EQ(ftdi->PortDetect(), 1);
    const auto lines = infoTexts(log);
    ASSERT_EQ(lines.size(), 15u);
    EXPECT_EQ(lines[0], "Number of detected channels: 2\n");
    const std::regex hexField("  (Flags|LocId): (0|0x[1-9a-f][0-9a-f]*)\n");
    for (size_t channel = 0; channel < 2; ++channel) {
        const std::string* row = &lines[1 + 7 * channel];
        EXPECT_EQ(row[0], "No. " + std::to_string(channel) + "\n");
        EXPECT_TRUE(std::regex_match(row[1], hexField) && row[1].rfind("  Flags", 0) == 0) << row[1];
        EXPECT_EQ(row[2] + row[3], "  Type: 0x6\n  ID: 0x4036010\n");
        EXPECT_TRUE(std::regex_match(row[4], hexField) && row[4].rfind("  LocId", 0) == 0) << row[4];
        EXPECT_EQ(row[5].rfind("  Serial Number: ", 0), 0u);
        EXPECT_EQ(row[6], std::string("  Description: USB <-> Serial Converter ") + char('A' + channel) + "\n");
    }
    EXPECT_TRUE(driver->trace().calls("FT_OpenEx").empty());

    ASSERT_NO_FATAL_FAILURE(start("", false, false)); // no bridge attached
    EXPECT_EQ(ftdi->PortDetect(), 0);
    EXPECT_EQ(infoTexts(log), std::vector<std::string>{"Number of detected channels: 0\n"});
    ASSERT_NO_FATAL_FAILURE(start("enumeration", false));
    EXPECT_EQ(ftdi->PortDetect(), 0);
    EXPECT_EQ(infoTexts(log), std::vector<std::string>{"No device detected\n"});
}

TEST_F(FtdiBench, ListingPrintsZeroBareAndStaysInsideItsNodes)
{
    auto listing = std::make_shared<ListingDriver>();
    FT_DEVICE_LIST_INFO_NODE node{};
    node.Type = 6;
    std::memset(node.SerialNumber, 'S', sizeof node.SerialNumber);
    std::strcpy(node.Description, "Dual RS232-HS");
    listing->nodes.assign(2, node);
    TFtdi ftdi(listing, Clock::system());
    EXPECT_EQ(ftdi.PortDetect(), 1);
    EXPECT_EQ(infoTexts(log), (std::vector<std::string>{"Number of detected channels: 1\n", "No. 0\n", "  Flags: 0\n",
                                                        "  Type: 0x6\n", "  ID: 0\n", "  LocId: 0\n",
                                                        "  Serial Number: SSSSSSSSSSSSSSSS\n",
                                                        "  Description: Dual RS232-HS\n"}));
}

TEST_F(FtdiBench, OpensChannelBInMpsseModeAndReopensAfterClose)
{
    ASSERT_NO_FATAL_FAILURE(start("", false));
    EXPECT_EQ(ftdi->PortOpen(kChannelB), 1);
    EXPECT_EQ(console.err(), "");
    EXPECT_EQ(functions(), (std::vector<std::string>{"FT_OpenEx", "FT_ResetDevice", "FT_Purge", "FT_SetLatencyTimer",
                                                      "FT_SetBitMode", "FT_Write"}));
    EXPECT_EQ(driver->trace().calls("FT_SetBitMode").at(0).arguments, "mask=0x0 mode=0x2");
    EXPECT_EQ(writes(), std::vector<Bytes>{kSetupBytes});
    EXPECT_GE(nowUs(), 200000u); // both settle pauses, on virtual time
    EXPECT_EQ(log.rows(), Log{testsupport::info("Port(" + kChannelB + ") open\n")});

    EXPECT_EQ(ftdi->PortClose(), 1);
    EXPECT_EQ(console.out(), "Port(" + kChannelB + ") close\n");
    EXPECT_EQ(ftdi->PortOpen(kChannelB), 1);
}

TEST_F(FtdiBench, FailedSetUpStepLeavesTheChannelFree)
{
    for (const char* fault : {"FT_ResetDevice@1", "FT_Purge@1", "FT_SetLatencyTimer@1", "FT_SetBitMode@1", "FT_Write@1"}) {
        SCOPED_TRACE(fault);
        ASSERT_NO_FATAL_FAILURE(start(fault, false));
        EXPECT_EQ(ftdi->PortOpen(kChannelB), 0);
        EXPECT_EQ(console.err(), "Error::FTDI_PortOpen()::Setting\n");
        EXPECT_TRUE(log.rows().empty());
        EXPECT_EQ(driver->trace().calls("FT_Close").size(), 1u);
        EXPECT_EQ(ftdi->PortOpen(kChannelB), 1);
    }
}

TEST_F(FtdiBench, OpenAndCloseRefusals)
{
    ASSERT_NO_FATAL_FAILURE(start("FT_SetBitMode@2,FT_Close@1", false));
    EXPECT_EQ(ftdi->PortOpen(""), -1);
    EXPECT_TRUE(driver->trace().calls().empty());
    EXPECT_EQ(ftdi->PortOpen("USB <-> Serial Converter C"), 0);
    EXPECT_EQ(log.rows(), (Log{testsupport::error("Port Open Error, Port description is empty\n"),
                               testsupport::error("Port Open Error\n")}));

    ASSERT_EQ(ftdi->PortOpen(kChannelB), 1);
    EXPECT_EQ(ftdi->PortClose(), 0);
    EXPECT_EQ(ftdi->PortClose(), 0);
    EXPECT_EQ(console.out(), "");
    EXPECT_EQ(console.err(),
              "Error::TFtdi::PortClose()::FT_SetBitMode()\nError::TFtdi::PortClose()::FT_Close()\n");
}

TEST_F(FtdiBench, ReadWaitsForTheWholeReplyAndLeavesNoStaleBytes)
{
    ASSERT_NO_FATAL_FAILURE(start());
    Bytes pinRead = {0x81, 0x87}, twoPinReads = {0x81, 0x81, 0x87};
    unsigned char reply[2] = {0xEE, 0xEE};
    uint32_t rx = 0, tx = 0;

    // Fewer bytes than asked for: the read waits its whole second, then
    // drops what came so that it cannot stand in front of the next reply.
    ASSERT_EQ(ftdi->FW_Write(pinRead.data(), 2), 0u);
    uint64_t before = nowUs();
    EXPECT_EQ(ftdi->FW_Read(reply, 2), 1);
    EXPECT_GE(nowUs() - before, 1000000u);
    EXPECT_LT(nowUs() - before, 2000000u);
    EXPECT_EQ(reply[0], 0xEE);
    EXPECT_EQ(ftdi->FW_GetStatus(rx, tx), 0u);
    EXPECT_EQ(rx, 0u);

    // More than asked for: no wait can sort that out, so it fails at once.
    ASSERT_EQ(ftdi->FW_Write(twoPinReads.data(), 3), 0u);
    before = nowUs();
    EXPECT_EQ(ftdi->FW_Read(reply, 1), 1);
    EXPECT_LT(nowUs() - before, 100000u);
    EXPECT_EQ(ftdi->FW_GetStatus(rx, tx), 0u);
    EXPECT_EQ(rx, 0u);

    ASSERT_EQ(ftdi->FW_Write(twoPinReads.data(), 3), 0u);
    EXPECT_EQ(ftdi->FW_Read(reply, 2), 0);
    EXPECT_EQ(reply[0] & 0x6B, 0x68); // the idle pins read back
    EXPECT_EQ(reply[1] & 0x6B, 0x68);
    EXPECT_FALSE(ftdi->LinkLost());

    for (int32_t timeout : {0, -5}) {
        ftdi->SetReadTimeout(timeout);
        driver->trace().clear();
        const uint64_t at = nowUs();
        EXPECT_EQ(ftdi->FW_Read(reply, 1), 1);
        EXPECT_EQ(nowUs(), at);
        EXPECT_TRUE(driver->trace().calls().empty());
    }
}

// One failed read once left its reply queued, and every later read then
// waited out its time-out: the status register read after it must answer.
TEST_F(FtdiBench, AFailedReadDoesNotPoisonTheNextOne)
{
    for (const char* fault : {"FT_Read@1", "no-reply@1"}) {
        SCOPED_TRACE(fault);
        ASSERT_NO_FATAL_FAILURE(start(fault));
        unsigned char id = 0;
        const uint64_t before = nowUs();
        EXPECT_EQ(ftdi->MPSSE_ReadID(id), 0);
        EXPECT_EQ(ftdi->MPSSE_ReadID(id), 1);
        EXPECT_EQ(id, 0x18);
        unsigned char status = 0xEE;
        EXPECT_EQ(ftdi->MPSSE_ReadStatus(status), 1);
        EXPECT_EQ(status, 0);
        EXPECT_LT(nowUs() - before, 1500000u); // at most the one time-out
        EXPECT_TRUE(log.rows().empty());
    }
}

// A pulled cable: nothing after it asks the driver again until the port is
// opened anew. Whoever ends the operation says so, last.
TEST_F(FtdiBench, ALostBridgeEndsEveryTransfer)
{
    ASSERT_NO_FATAL_FAILURE(start());
    driver->setPlugged(false);
    unsigned char status = 0;
    EXPECT_EQ(ftdi->MPSSE_ReadStatus(status), 0);
    EXPECT_TRUE(ftdi->LinkLost());
    const size_t calls = driver->trace().calls().size();
    EXPECT_EQ(ftdi->MPSSE_ReadStatus(status), 0);
    EXPECT_EQ(ftdi->MPSSE_EraseSector(0), 0);
    EXPECT_EQ(driver->trace().calls().size(), calls);
    EXPECT_TRUE(log.rows().empty());

    driver->setPlugged(true);
    ASSERT_EQ(ftdi->PortOpen(kChannelB), 1);
    EXPECT_FALSE(ftdi->LinkLost());
    EXPECT_EQ(ftdi->MPSSE_ReadStatus(status), 1);
}

// The cable pulled with the port open: the close fails before FT_Close, and
// the driver still holds the channel. The next open gives that handle up
// first, so the bridge opens again once it is back.
TEST_F(FtdiBench, ThePortOpensAgainAfterTheBridgeCameBack)
{
    for (bool refreshedWhileAway : {false, true}) {
        SCOPED_TRACE(refreshedWhileAway);
        ASSERT_NO_FATAL_FAILURE(start());
        driver->setPlugged(false);
        EXPECT_EQ(ftdi->PortClose(), 0);
        if (refreshedWhileAway) {
            EXPECT_EQ(ftdi->PortOpen(kChannelB), 0);
        }
        driver->setPlugged(true);
        EXPECT_EQ(ftdi->PortOpen(kChannelB), 1);
        unsigned char id = 0;
        EXPECT_EQ(ftdi->MPSSE_ReadID(id), 1);
        EXPECT_EQ(id, 0x18);
        // Each failed close was followed by exactly one FT_Close of that handle.
        EXPECT_EQ(driver->trace().calls("FT_Close").size(), 1u);
    }
}
