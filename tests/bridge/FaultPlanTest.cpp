#include "emulator/config/FaultPlan.h"

#include <gtest/gtest.h>

namespace {

TEST(FaultPlanTest, ReadsEveryForm)
{
    emu::FaultPlan plan;
    std::string error;
    ASSERT_TRUE(emu::FaultPlan::parse(" FT_Write@120, unplug@50,enumeration ,stuck-busy,no-reply@3,"
                                      "flip@0x500010,flip@42,FT_Read@7,no-reply@9,unplug@40,slow-page@0x500100,"
                                      "held-page@0x500200,stuck-page@9",
                                      plan, error))
        << error;
    EXPECT_EQ(plan.failingCalls, (std::vector<std::pair<std::string, uint64_t>>{{"FT_Write", 120}, {"FT_Read", 7}}));
    EXPECT_EQ(plan.unplugAtCall, 40u) << "the earliest unplug wins";
    EXPECT_TRUE(plan.enumerationFails && plan.flash.stuckBusy);
    EXPECT_EQ(plan.noReplyAt, (std::vector<uint64_t>{3, 9}));
    EXPECT_EQ(plan.flash.flippedAddresses, (std::vector<uint32_t>{0x500010, 42}));
    EXPECT_EQ(plan.flash.slowPages, (std::vector<uint32_t>{0x500100}));
    EXPECT_EQ(plan.flash.heldPages, (std::vector<uint32_t>{0x500200}));
    EXPECT_EQ(plan.flash.stuckPages, (std::vector<uint32_t>{9}));

    // Nothing at all is a plan without faults, and replaces what was there.
    ASSERT_TRUE(emu::FaultPlan::parse("", plan, error));
    EXPECT_TRUE(plan.failingCalls.empty() && plan.noReplyAt.empty() && plan.flash.flippedAddresses.empty());
    EXPECT_FALSE(plan.enumerationFails || plan.flash.stuckBusy || plan.unplugAtCall);
}

TEST(FaultPlanTest, RefusesBadTextAndNamesTheAcceptedForms)
{
    const char* bad[] = {
        "FT_Writ@1",      // not a D2XX function of the driver
        "FT_SetTimeouts@1", // a D2XX function the driver does not have
        "FT_Write@0",     // counts start at 1
        "FT_Write@",      "FT_Write@x1", "FT_Write@1x", "unplug", "no-reply@-1", "no-reply@0x2",
        "flip@0xZZ",      "flip@0x100000000", "flip@", "slow-page@", "slow-page", "held-page@x", "stuck-page", "enumeration@1", "bogus", "FT_Write@99999999999999999999",
        "miso-noise@", "miso-noise@5MHz", "no-mpsse@1", "protected@0x10",
    };
    for (const char* text : bad) {
        emu::FaultPlan plan;
        plan.unplugAtCall = 77;
        std::string error;
        EXPECT_FALSE(emu::FaultPlan::parse(std::string("stuck-busy,") + text, plan, error)) << text;
        EXPECT_NE(error.find("unplug@N"), std::string::npos) << error;
        EXPECT_NE(error.find("FT_GetDeviceInfoList"), std::string::npos) << error;
        EXPECT_NE(error.find(text), std::string::npos) << "the message quotes the bad item: " << error;
        EXPECT_EQ(plan.unplugAtCall, 77u) << "a refused plan leaves the old one alone";
        EXPECT_FALSE(plan.flash.stuckBusy);
    }
}

} // namespace
