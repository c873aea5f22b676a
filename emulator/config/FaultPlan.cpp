#include "emulator/config/FaultPlan.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace emu {
namespace {

const char* const kFunctions[] = {
    "FT_CreateDeviceInfoList", "FT_GetDeviceInfoList", "FT_OpenEx", "FT_ResetDevice",
    "FT_Purge",                "FT_SetLatencyTimer",   "FT_SetBitMode", "FT_GetBitMode",
    "FT_Write",                "FT_GetStatus",         "FT_Read",   "FT_Close",
};

std::string acceptedForms()
{
    std::string functions;
    for (const char* name : kFunctions)
        functions += std::string(functions.empty() ? "" : ", ") + name;
    // The counted faults first, as <function>@N.
    std::string counted = "unplug@N";
    std::string others = "enumeration";
    for (const std::string& form : FaultPlan::instrumentFaults())
        (form.size() > 2 && form.compare(form.size() - 2, 2, "@N") == 0 ? counted : others) += ", " + form;
    return "accepted, comma-separated: <function>@N (function one of " + functions + "), " + counted + ", " + others +
           "; N counts from 1, ADDR and HZ are decimal or 0x hex";
}

std::string trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// Whole text as an unsigned number no larger than `limit`; decimal, or hex after 0x.
bool parseNumber(const std::string& text, bool allowHex, uint64_t limit, uint64_t& value)
{
    int base = 10;
    size_t start = 0;
    if (allowHex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    if (start >= text.size())
        return false;
    const char* begin = text.data() + start;
    const char* end = text.data() + text.size();
    uint64_t parsed = 0;
    const auto result = std::from_chars(begin, end, parsed, base);
    if (result.ec != std::errc() || result.ptr != end || parsed > limit)
        return false;
    value = parsed;
    return true;
}

} // namespace

bool FaultPlan::forEachItem(const std::string& text, const std::function<bool(const Item&)>& visit)
{
    size_t position = 0;
    while (position <= text.size()) {
        size_t comma = text.find(',', position);
        if (comma == std::string::npos)
            comma = text.size();
        Item item;
        item.text = trim(text.substr(position, comma - position));
        position = comma + 1;
        if (item.text.empty())
            continue;
        const auto at = item.text.find('@');
        item.name = item.text.substr(0, at);
        item.hasArgument = at != std::string::npos;
        if (item.hasArgument)
            item.argument = item.text.substr(at + 1);
        if (!visit(item))
            return false;
    }
    return true;
}

const std::vector<std::string>& FaultPlan::instrumentFaults()
{
    static const std::vector<std::string> all = {
        "stuck-busy", "no-reply@N", "flip@ADDR",       "slow-page@ADDR", "held-page@ADDR", "stuck-page@ADDR",
        "miso-high",  "miso-low",   "miso-noise[@HZ]", "no-mpsse",       "protected",      "four-byte",
    };
    return all;
}

bool FaultPlan::isInstrumentFault(const std::string& name)
{
    for (const std::string& form : instrumentFaults())
        if (form.compare(0, form.find_first_of("@["), name) == 0)
            return true;
    return false;
}

bool FaultPlan::parse(const std::string& text, FaultPlan& plan, std::string& error)
{
    FaultPlan parsed;
    const bool ok = forEachItem(text, [&](const Item& entry) {
        const std::string& item = entry.text;
        const std::string& name = entry.name;
        const std::string& argument = entry.argument;
        uint64_t number = 0;

        if (!entry.hasArgument) {
            if (name == "enumeration")
                parsed.enumerationFails = true;
            else if (name == "stuck-busy")
                parsed.flash.stuckBusy = true;
            else if (name == "miso-high")
                parsed.wiring.miso = WiringFaults::Miso::StuckHigh;
            else if (name == "miso-low")
                parsed.wiring.miso = WiringFaults::Miso::StuckLow;
            else if (name == "miso-noise")
                parsed.wiring.miso = WiringFaults::Miso::Noisy;
            else if (name == "no-mpsse")
                parsed.noMpsse = true;
            else if (name == "protected")
                parsed.flash.leftProtected = true;
            else if (name == "four-byte")
                parsed.flash.leftFourByte = true;
            else {
                error = "unknown fault \"" + item + "\"; " + acceptedForms();
                return false;
            }
            return true;
        }

        if (name == "miso-noise") {
            if (!parseNumber(argument, true, std::numeric_limits<uint64_t>::max(), number)) {
                error = "bad clock in \"" + item + "\"; " + acceptedForms();
                return false;
            }
            parsed.wiring.miso = WiringFaults::Miso::Noisy;
            parsed.wiring.cleanUpToHz = number;
            return true;
        }

        if (name == "flip" || name == "slow-page" || name == "held-page" || name == "stuck-page") {
            if (!parseNumber(argument, true, std::numeric_limits<uint32_t>::max(), number)) {
                error = "bad address in \"" + item + "\"; " + acceptedForms();
                return false;
            }
            auto& list = name == "flip"        ? parsed.flash.flippedAddresses
                         : name == "slow-page" ? parsed.flash.slowPages
                         : name == "held-page" ? parsed.flash.heldPages
                                               : parsed.flash.stuckPages;
            list.push_back(static_cast<uint32_t>(number));
            return true;
        }

        const bool isFunction = std::find(std::begin(kFunctions), std::end(kFunctions), name) != std::end(kFunctions);
        if (!isFunction && name != "unplug" && name != "no-reply") {
            error = "unknown fault \"" + item + "\"; " + acceptedForms();
            return false;
        }
        if (!parseNumber(argument, false, std::numeric_limits<uint64_t>::max(), number) || number == 0) {
            error = "bad count in \"" + item + "\"; " + acceptedForms();
            return false;
        }
        if (isFunction)
            parsed.failingCalls.emplace_back(name, number);
        else if (name == "no-reply")
            parsed.noReplyAt.push_back(number);
        else if (parsed.unplugAtCall == 0 || number < parsed.unplugAtCall)
            parsed.unplugAtCall = number; // the earliest unplug wins
        return true;
    });
    if (!ok)
        return false;
    plan = std::move(parsed);
    return true;
}

} // namespace emu
