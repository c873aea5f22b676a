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
// one place from settings called "chip", "image", "timing", "pace", "faults",
// "boot" and "instruments",
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

    // Several instruments: "instruments" is a count (3) or a list of
    // chip[:image] entries (mt25q128:a.bin,s25fl256). A fault item may be
    // aimed at one of them by its place on the bench, from 1: "2:unplug@50";
    // the others apply to every instrument. Without the setting the bench
    // holds the one instrument the fields above describe.
    static constexpr unsigned maxInstruments = 15; // one hub's ports: 1.1 to 1.15
    struct Place
    {
        std::string chip;       // empty: `instrument`'s
        std::string imagePath;  // empty: in memory
        FaultPlan calls;        // the bench's faults and those aimed at this one
        UsbFaultPlan transfers;
        FlashFaults flash;      // of these, the chip's own for the parsed face
        WiringFaults wiring;    // ... and the board's
    };
    std::vector<Place> places;

    // One instrument as the faces build it: `instrument` with its place's
    // chip, image and faults, and where it sits on the bus.
    struct Instrument
    {
        InstrumentOptions options;
        FaultPlan calls;
        UsbFaultPlan transfers;
        std::string serialNumber; // the bridge's USB serial number, no channel letter
        unsigned hubPort = 1;     // bus 2, port 1.<hubPort>
    };
    // Every instrument on the bench, in order; none when not attached.
    std::vector<Instrument> bench() const;
    // The USB serial number of the instrument at `index` (from 0): the
    // first keeps the one bridge's serial of old, FT7PRVL; then FT7PRVL2, ...
    static std::string serialNumberOf(unsigned index);

    // Every setting's name: chip, image, faults, timing, pace, boot, instruments.
    static const std::vector<std::string>& names();
    // The accepted values, for every check, message and help text.
    static std::vector<std::string> chips();          // the flash part table, then "unplugged"
    static const std::vector<std::string>& timings(); // instant, typical, worst
    static const std::vector<std::string>& paces();   // virtual (as fast as it goes), realtime
    // none (the FPGA stays unconfigured at power-up), flash (it configures from the flash)
    static const std::vector<std::string>& boots();
    // "a, b, c".
    static std::string listed(const std::vector<std::string>& values);
    // Empty when `value` is accepted for the setting `name` ("chip",
    // "timing", "pace", "boot"; any value of the others), else the words that refuse it:
    // "is not a known chip; accepted values: ...".
    static std::string refusal(const std::string& name, const std::string& value);

    // The bench `lookup` describes, as `face` drives it; false with `error`
    // naming the setting as its source spells it, and what is accepted.
    static bool parse(const Lookup& lookup, Face face, BenchConfig& config, std::string& error);

    // The "instruments" setting as places, images numbered after `image`.
    static bool parseInstruments(const Setting& given, const std::string& image, std::vector<Place>& places,
                                 std::string& error);

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
