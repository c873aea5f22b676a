#include "emulator/config/BenchConfig.h"

#include "emulator/config/FlashPart.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <utility>

namespace emu {

std::string BenchConfig::Setting::quoted() const
{
    // An option and its value are two words; a variable is NAME=value.
    const bool option = source.rfind("--", 0) == 0;
    return source + (option ? " \"" : "=\"") + value + "\"";
}

const std::vector<std::string>& BenchConfig::names()
{
    static const std::vector<std::string> all = {"chip", "image", "faults", "timing", "boot"};
    return all;
}

std::vector<std::string> BenchConfig::chips()
{
    std::vector<std::string> all;
    for (const FlashPart& part : FlashPart::all())
        all.push_back(part.name);
    all.push_back(unpluggedChip);
    return all;
}

const std::vector<std::string>& BenchConfig::timings()
{
    static const std::vector<std::string> all = {"instant", "typical", "worst"};
    return all;
}

const std::vector<std::string>& BenchConfig::boots()
{
    static const std::vector<std::string> all = {"none", "flash"};
    return all;
}

std::string BenchConfig::listed(const std::vector<std::string>& values)
{
    std::string text;
    for (const std::string& value : values)
        text += (text.empty() ? "" : ", ") + value;
    return text;
}

std::string BenchConfig::refusal(const std::string& name, const std::string& value)
{
    const bool chip = name == "chip";
    if (!chip && name != "timing" && name != "boot")
        return {};
    const std::vector<std::string> accepted = chip ? chips() : name == "timing" ? timings() : boots();
    if (std::find(accepted.begin(), accepted.end(), value) != accepted.end())
        return {};
    return "is not a known " + name + "; accepted values: " + listed(accepted);
}

bool BenchConfig::parse(const Lookup& lookup, Face face, BenchConfig& config, std::string& error)
{
    BenchConfig parsed;
    const auto setting = [&lookup](const char* name) { return lookup ? lookup(name) : std::nullopt; };
    // A value it does not know, in the words of the source that gave it.
    const auto refused = [&error](const Setting& given, const std::string& separator, const std::string& why) {
        error = given.quoted() + separator + why;
        return false;
    };

    if (const auto chip = setting("chip")) {
        if (const std::string why = refusal("chip", chip->value); !why.empty())
            return refused(*chip, " ", why);
        if (chip->value == unpluggedChip)
            parsed.attached = false;
        else
            parsed.instrument.chip = chip->value;
    }
    if (const auto image = setting("image"))
        parsed.instrument.imagePath = image->value;
    if (const auto timing = setting("timing")) {
        if (const std::string why = refusal("timing", timing->value); !why.empty())
            return refused(*timing, " ", why);
        parsed.instrument.timed = timing->value != "instant";
        parsed.instrument.worst = timing->value == "worst";
    }
    if (const auto boot = setting("boot")) {
        if (const std::string why = refusal("boot", boot->value); !why.empty())
            return refused(*boot, " ", why);
        parsed.instrument.bootFromFlash = boot->value == "flash";
    }
    if (const auto faults = setting("faults")) {
        std::string why;
        const bool ok = face == Face::D2xx ? FaultPlan::parse(faults->value, parsed.calls, why)
                                           : UsbFaultPlan::parse(faults->value, parsed.transfers, why);
        if (!ok)
            return refused(*faults, ": ", why);
    }
    // The flash's own faults belong to the instrument, whichever face counts
    // the rest: handed over here and nowhere else.
    parsed.instrument.faults = face == Face::D2xx ? parsed.calls.flash : parsed.transfers.instrument.flash;

    config = std::move(parsed);
    return true;
}

std::string BenchConfig::variable(const std::string& prefix, const std::string& name)
{
    std::string text = prefix;
    for (const char c : name)
        text.push_back(c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    return text;
}

BenchConfig::Lookup BenchConfig::environment(const std::string& prefix, Getenv getenv)
{
    if (!getenv)
        getenv = [](const char* name) -> const char* { return std::getenv(name); };
    return [prefix, getenv](const std::string& name) -> std::optional<Setting> {
        const std::string source = variable(prefix, name);
        const char* value = getenv(source.c_str());
        if (!value || !*value)
            return std::nullopt;
        return Setting{value, source};
    };
}

BenchConfig::Lookup BenchConfig::options(Settings given)
{
    return [given = std::move(given)](const std::string& name) -> std::optional<Setting> {
        const auto found = given.find(name);
        if (found == given.end() || found->second.empty())
            return std::nullopt;
        return Setting{found->second, "--" + name};
    };
}

BenchConfig::Lookup BenchConfig::layered(Lookup over, Lookup under)
{
    return [over = std::move(over), under = std::move(under)](const std::string& name) -> std::optional<Setting> {
        if (auto found = over ? over(name) : std::nullopt)
            return found;
        return under ? under(name) : std::nullopt;
    };
}

} // namespace emu
