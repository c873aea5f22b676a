#include "emulator/config/BenchConfig.h"

#include "emulator/config/FlashPart.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
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
    static const std::vector<std::string> all = {"chip", "image", "faults", "timing", "pace", "boot", "instruments"};
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

const std::vector<std::string>& BenchConfig::paces()
{
    static const std::vector<std::string> all = {"virtual", "realtime"};
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
    const bool listedValues = chip || name == "timing" || name == "pace" || name == "boot";
    if (!listedValues)
        return {};
    const std::vector<std::string> accepted = chip ? chips() : name == "timing" ? timings() : name == "pace" ? paces() : boots();
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
    if (const auto pace = setting("pace")) {
        if (const std::string why = refusal("pace", pace->value); !why.empty())
            return refused(*pace, " ", why);
        parsed.instrument.realTime = pace->value == "realtime";
    }
    if (const auto boot = setting("boot")) {
        if (const std::string why = refusal("boot", boot->value); !why.empty())
            return refused(*boot, " ", why);
        parsed.instrument.bootFromFlash = boot->value == "flash";
    }
    // The fault list: items for every instrument, and items aimed at one.
    std::string common;
    std::map<unsigned, std::string> aimed;
    const auto faults = setting("faults");
    if (faults) {
        std::string why;
        const bool split = FaultPlan::forEachItem(faults->value, [&](const FaultPlan::Item& item) {
            const size_t colon = item.text.find(':');
            const std::string place = colon == std::string::npos ? "" : item.text.substr(0, colon);
            if (place.empty() || !std::all_of(place.begin(), place.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                common += (common.empty() ? "" : ",") + item.text;
                return true;
            }
            const unsigned long at = place.size() > 2 ? 0 : std::stoul(place);
            if (at < 1 || at > maxInstruments) {
                why = "\"" + item.text + "\" aims at instrument " + place + "; instruments are counted from 1 to " +
                      std::to_string(maxInstruments);
                return false;
            }
            const std::string rest = item.text.substr(colon + 1);
            if (rest == "enumeration") {
                why = "\"" + item.text + "\": enumeration concerns the whole bench and cannot be aimed";
                return false;
            }
            std::string& list = aimed[static_cast<unsigned>(at)];
            list += (list.empty() ? "" : ",") + rest;
            return true;
        });
        if (!split)
            return refused(*faults, ": ", why);
    }
    // One plan per face from a fault list; the flash's own faults belong to
    // the instrument, whichever face counts the rest.
    const auto parseFaults = [face](const std::string& text, FaultPlan& calls, UsbFaultPlan& transfers,
                                    FlashFaults& flash, WiringFaults& wiring, std::string& why) {
        const bool ok = face == Face::D2xx ? FaultPlan::parse(text, calls, why) : UsbFaultPlan::parse(text, transfers, why);
        const FaultPlan& own = face == Face::D2xx ? calls : transfers.instrument;
        flash = own.flash;
        wiring = own.wiring;
        return ok;
    };
    if (faults) {
        std::string why;
        if (!parseFaults(common, parsed.calls, parsed.transfers, parsed.instrument.faults, parsed.instrument.wiring, why))
            return refused(*faults, ": ", why);
    }

    if (const auto instruments = setting("instruments")) {
        if (!parseInstruments(*instruments, parsed.instrument.imagePath, parsed.places, error))
            return false;
    }
    const size_t count = parsed.places.empty() ? 1 : parsed.places.size();
    if (!aimed.empty() && aimed.rbegin()->first > count)
        return refused(*faults, ": ",
                       "a fault aims at instrument " + std::to_string(aimed.rbegin()->first) + " but the bench has " +
                           std::to_string(count));
    if (parsed.places.empty() && !aimed.empty())
        parsed.places.push_back(Place{"", parsed.instrument.imagePath, {}, {}, {}, {}});
    for (size_t i = 0; i < parsed.places.size(); ++i) {
        const auto found = aimed.find(static_cast<unsigned>(i + 1));
        const std::string text = found == aimed.end() ? common : common + "," + found->second;
        std::string why;
        Place& place = parsed.places[i];
        if (!parseFaults(text, place.calls, place.transfers, place.flash, place.wiring, why))
            return refused(*faults, ": ", why);
    }

    config = std::move(parsed);
    return true;
}

// "3", or chip[:image] entries; an image comes from the entry, else from
// the "image" setting, numbered after the first instrument's.
bool BenchConfig::parseInstruments(const Setting& given, const std::string& image, std::vector<Place>& places,
                                   std::string& error)
{
    const auto refuse = [&](const std::string& why) {
        error = given.quoted() + " " + why;
        return false;
    };
    const std::string limits = "; give a count from 1 to " + std::to_string(maxInstruments) +
                               " or a comma-separated list of chip[:image] entries";
    std::vector<std::pair<std::string, std::string>> entries; // chip, image
    const std::string& text = given.value;
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        const unsigned long count = text.size() > 2 ? 0 : std::stoul(text);
        if (count < 1 || count > maxInstruments)
            return refuse("is not a number of instruments" + limits);
        entries.assign(count, {});
    } else {
        size_t position = 0;
        while (position <= text.size()) {
            size_t comma = text.find(',', position);
            if (comma == std::string::npos)
                comma = text.size();
            const std::string entry = text.substr(position, comma - position);
            position = comma + 1;
            // The first colon only: a Windows path has one of its own.
            const size_t colon = entry.find(':');
            const std::string chip = entry.substr(0, colon);
            if (chip.empty() && colon == std::string::npos)
                return refuse("has an empty entry" + limits);
            if (chip == unpluggedChip)
                return refuse("names the chip \"unplugged\": leave that instrument out instead");
            if (const std::string why = refusal("chip", chip); !chip.empty() && !why.empty())
                return refuse("names \"" + chip + "\", which " + why);
            entries.emplace_back(chip, colon == std::string::npos ? "" : entry.substr(colon + 1));
        }
        if (entries.size() > maxInstruments)
            return refuse("lists " + std::to_string(entries.size()) + " instruments" + limits);
    }
    places.clear();
    for (size_t i = 0; i < entries.size(); ++i) {
        Place place;
        place.chip = entries[i].first;
        place.imagePath = entries[i].second;
        if (place.imagePath.empty() && !image.empty() && i > 0) {
            // flash.bin, flash-2.bin, ...: after the last dot of the file name.
            const size_t slash = image.find_last_of("/\\");
            const size_t dot = image.rfind('.');
            const size_t at = dot == std::string::npos || (slash != std::string::npos && dot < slash) ? image.size() : dot;
            place.imagePath = image.substr(0, at) + "-" + std::to_string(i + 1) + image.substr(at);
        } else if (place.imagePath.empty()) {
            place.imagePath = image;
        }
        places.push_back(std::move(place));
    }
    return true;
}

std::string BenchConfig::serialNumberOf(unsigned index)
{
    return index == 0 ? "FT7PRVL" : "FT7PRVL" + std::to_string(index + 1);
}

std::vector<BenchConfig::Instrument> BenchConfig::bench() const
{
    std::vector<Instrument> all;
    if (!attached)
        return all;
    if (places.empty()) {
        all.push_back(Instrument{instrument, calls, transfers, serialNumberOf(0), 1});
        return all;
    }
    for (size_t i = 0; i < places.size(); ++i) {
        const Place& place = places[i];
        Instrument one{instrument, place.calls, place.transfers, serialNumberOf(static_cast<unsigned>(i)),
                       static_cast<unsigned>(i + 1)};
        if (!place.chip.empty())
            one.options.chip = place.chip;
        one.options.imagePath = place.imagePath;
        one.options.faults = place.flash;
        one.options.wiring = place.wiring;
        all.push_back(std::move(one));
    }
    return all;
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
