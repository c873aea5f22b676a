#include "emulator/config/UsbFaultPlan.h"

#include <charconv>

namespace emu {
namespace {

std::string accepted()
{
    std::string listed;
    for (const std::string& form : UsbFaultPlan::forms())
        listed += (listed.empty() ? "" : ", ") + form;
    return "accepted, comma-separated: " + listed + "; N counts from 1, ADDR and HZ are decimal or 0x hex";
}

bool count(const std::string& text, uint64_t& value)
{
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end && value > 0;
}

} // namespace

std::vector<std::string> UsbFaultPlan::forms()
{
    std::vector<std::string> all = {"unplug@N", "bulk-out@N", "bulk-in@N", "control@N", "timeout@N", "enumeration"};
    all.insert(all.end(), FaultPlan::instrumentFaults().begin(), FaultPlan::instrumentFaults().end());
    return all;
}

bool UsbFaultPlan::parse(const std::string& text, UsbFaultPlan& plan, std::string& error)
{
    UsbFaultPlan parsed;
    std::string instrumentItems;
    const bool ok = FaultPlan::forEachItem(text, [&](const FaultPlan::Item& entry) {
        const std::string& item = entry.text;
        const std::string& name = entry.name;
        if (name == "enumeration" && !entry.hasArgument) {
            parsed.enumerationFails = true;
            return true;
        }
        if (FaultPlan::isInstrumentFault(name)) {
            // The instrument's faults keep their own syntax and checks.
            instrumentItems += (instrumentItems.empty() ? "" : ",") + item;
            return true;
        }
        Kind kind = Kind::BulkOut;
        const bool unplug = name == "unplug";
        if (name == "bulk-out")
            kind = Kind::BulkOut;
        else if (name == "bulk-in")
            kind = Kind::BulkIn;
        else if (name == "control")
            kind = Kind::Control;
        else if (name == "timeout")
            kind = Kind::Timeout;
        else if (!unplug) {
            error = name.rfind("FT_", 0) == 0
                        ? "\"" + item + "\" names a D2XX call, which a USB device never sees; " + accepted()
                        : "unknown fault \"" + item + "\"; " + accepted();
            return false;
        }
        uint64_t n = 0;
        if (!entry.hasArgument || !count(entry.argument, n)) {
            error = "bad count in \"" + item + "\"; " + accepted();
            return false;
        }
        if (unplug) {
            if (parsed.unplugAtTransfer == 0 || n < parsed.unplugAtTransfer)
                parsed.unplugAtTransfer = n; // the earliest unplug wins
        } else {
            parsed.failing.emplace_back(kind, n);
        }
        return true;
    });
    if (!ok)
        return false;
    if (!instrumentItems.empty() && !FaultPlan::parse(instrumentItems, parsed.instrument, error))
        return false;
    plan = std::move(parsed);
    return true;
}

} // namespace emu
