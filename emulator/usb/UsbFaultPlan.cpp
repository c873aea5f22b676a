#include "emulator/usb/UsbFaultPlan.h"

#include <charconv>

namespace emu {
namespace {

const char* const kAccepted =
    "accepted, comma-separated: unplug@N, bulk-out@N, bulk-in@N, control@N, timeout@N, enumeration, "
    "stuck-busy, no-reply@N, flip@ADDR; N counts from 1";

std::string trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool count(const std::string& text, uint64_t& value)
{
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end && value > 0;
}

} // namespace

bool UsbFaultPlan::parse(const std::string& text, UsbFaultPlan& plan, std::string& error)
{
    UsbFaultPlan parsed;
    std::string instrumentItems;
    size_t position = 0;
    while (position <= text.size()) {
        size_t comma = text.find(',', position);
        if (comma == std::string::npos)
            comma = text.size();
        const std::string item = trim(text.substr(position, comma - position));
        position = comma + 1;
        if (item.empty())
            continue;
        const auto at = item.find('@');
        const std::string name = item.substr(0, at);
        const std::string argument = at == std::string::npos ? std::string() : item.substr(at + 1);

        if (name == "enumeration" && at == std::string::npos) {
            parsed.enumerationFails = true;
            continue;
        }
        if (name == "stuck-busy" || name == "no-reply" || name == "flip") {
            // The instrument's faults keep their own syntax and checks.
            instrumentItems += (instrumentItems.empty() ? "" : ",") + item;
            continue;
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
                        ? "\"" + item + "\" names a D2XX call, which a USB device never sees; " + kAccepted
                        : "unknown fault \"" + item + "\"; " + kAccepted;
            return false;
        }
        uint64_t n = 0;
        if (at == std::string::npos || !count(argument, n)) {
            error = "bad count in \"" + item + "\"; " + kAccepted;
            return false;
        }
        if (unplug) {
            if (parsed.unplugAtTransfer == 0 || n < parsed.unplugAtTransfer)
                parsed.unplugAtTransfer = n; // the earliest unplug wins
        } else {
            parsed.failing.emplace_back(kind, n);
        }
    }
    if (!instrumentItems.empty() && !FaultPlan::parse(instrumentItems, parsed.instrument, error))
        return false;
    plan = std::move(parsed);
    return true;
}

} // namespace emu
