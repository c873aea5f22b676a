#pragma once

#include "emulator/config/FaultPlan.h"
#include "emulator/config/InstrumentOptions.h"
#include "emulator/config/UsbFaultPlan.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace emu {

// The emulated bench: what is on the bus and which faults it shows. Read in
// one place from settings called "chip", "image", "timing", "faults" and "boot",
// wherever they come from: the environment (PRAVEL_EMULATED_* for the
// loader and the stand-in FTD2XX.dll, PRAVEL_USB_* for the libusb stand-in),
// pravel-emulate's options, or pravel-flash's options over the environment.
struct BenchConfig
{
    // The face of the emulated bridge a program drives: D2XX calls (the
    // loader, the stand-in DLL) or USB transfers (the libusb stand-in). Each
    // face counts its own faults.
    enum class Face { D2xx, Usb };

    // One setting as its source holds it: the text, and the name the source
    // gives the setting ("PRAVEL_EMULATED_CHIP", "--chip").
    struct Setting
    {
        std::string value;
        std::string source;
        // As a message quotes it: PRAVEL_EMULATED_CHIP="x" or --chip "x".
        std::string quoted() const;
    };
    // A source of settings: the one called `name`; nothing where it is unset
    // or empty.
    using Lookup = std::function<std::optional<Setting>(const std::string& name)>;
    // Settings by name, as a program's options hold them.
    using Settings = std::map<std::string, std::string>;
    using Getenv = std::function<const char*(const char* variable)>;

    static constexpr const char* unpluggedChip = "unplugged"; // no bridge on the bus at all

    bool attached = true;         // false: the chip "unplugged"
    InstrumentOptions instrument; // the chip, its contents file, its timing and its own faults
    FaultPlan calls;              // the D2XX face's faults
    UsbFaultPlan transfers;       // the USB face's faults

    // Every setting's name: chip, image, faults, timing, boot.
    static const std::vector<std::string>& names();
    // The accepted values, for every check, message and help text.
    static std::vector<std::string> chips();          // the flash part table, then "unplugged"
    static const std::vector<std::string>& timings(); // instant, typical, worst
    // none (the FPGA stays unconfigured at power-up), flash (it configures from the flash)
    static const std::vector<std::string>& boots();
    // "a, b, c".
    static std::string listed(const std::vector<std::string>& values);
    // Empty when `value` is accepted for the setting `name` ("chip",
    // "timing", "boot"; any value of the others), else the words that refuse it:
    // "is not a known chip; accepted values: ...".
    static std::string refusal(const std::string& name, const std::string& value);

    // The bench `lookup` describes, as `face` drives it; false with `error`
    // naming the setting as its source spells it, and what is accepted.
    static bool parse(const Lookup& lookup, Face face, BenchConfig& config, std::string& error);

    // The variable a setting has in the environment: PREFIX + NAME ("PRAVEL_EMULATED_" + "CHIP").
    static std::string variable(const std::string& prefix, const std::string& name);
    // The environment's variables under `prefix`, through `getenv` (default: the process's).
    static Lookup environment(const std::string& prefix, Getenv getenv = nullptr);
    // Options by name, spelled "--chip".
    static Lookup options(Settings given);
    // `over` where it holds a setting, else `under`.
    static Lookup layered(Lookup over, Lookup under);
};

} // namespace emu
