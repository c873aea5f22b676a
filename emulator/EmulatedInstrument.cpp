#include "emulator/EmulatedInstrument.h"

#include "emulator/CallTrace.h"
#include "emulator/config/FlashPart.h"
#include "emulator/FlashStorage.h"
#include "emulator/FpgaConfigPort.h"
#include "emulator/SpiFlash.h"

namespace emu {

namespace {

constexpr uint8_t pinDo = 0x02;
constexpr uint8_t pinDi = 0x04;
constexpr uint8_t pinCs = 0x08;
constexpr uint8_t pinFpgaA = 0x20;
constexpr uint8_t pinFpgaB = 0x40;
constexpr uint8_t pinDone = 0x80;

} // namespace

std::unique_ptr<EmulatedInstrument> EmulatedInstrument::create(const InstrumentOptions& options, VirtualClock& clock,
                                                               CallTrace* trace, std::string& error)
{
    const FlashPart* part = FlashPart::find(options.chip);
    if (!part) {
        error = "Unknown emulated flash chip \"" + options.chip + "\"; accepted: " + FlashPart::acceptedNames();
        return nullptr;
    }
    std::unique_ptr<FlashStorage> storage = FlashStorage::open(options.imagePath, part->size, error);
    if (!storage)
        return nullptr;
    FlashBehaviour behaviour;
    behaviour.busyStatusReads = options.busyStatusReads;
    behaviour.timed = options.timed;
    behaviour.worst = options.worst;
    behaviour.faults = options.faults;
    auto flash = std::make_unique<SpiFlash>(*part, std::move(storage), behaviour, clock, trace);
    auto fpga = std::make_unique<FpgaConfigPort>(SevenSeriesDevice::xc7a35t(), trace);
    std::unique_ptr<EmulatedInstrument> instrument(
        new EmulatedInstrument(std::move(flash), std::move(fpga), trace, options.wiring));
    if (options.bootFromFlash)
        instrument->powerCycle();
    return instrument;
}

EmulatedInstrument::EmulatedInstrument(std::unique_ptr<SpiFlash> flash, std::unique_ptr<FpgaConfigPort> fpga,
                                       CallTrace* trace, const WiringFaults& wiring)
    : flashChip(std::move(flash)), fpgaPort(std::move(fpga)), trace(trace), wiring(wiring)
{
}

uint8_t EmulatedInstrument::overMiso(uint8_t driven, unsigned bits, bool clocked) const
{
    const uint8_t line = static_cast<uint8_t>(0xFF00u >> (bits > 8 ? 8 : bits));
    switch (wiring.miso) {
    case WiringFaults::Miso::Sound:
        return driven;
    case WiringFaults::Miso::StuckHigh:
        return line;
    case WiringFaults::Miso::StuckLow:
        return 0;
    case WiringFaults::Miso::Noisy:
        break;
    }
    if (!clocked || sckHz <= wiring.cleanUpToHz)
        return driven;
    // About every other byte loses one bit: which one is a fixed sequence, so
    // a run is repeatable.
    noise = noise * 6364136223846793005ull + 1442695040888963407ull;
    if ((noise >> 63) == 0)
        return driven;
    return static_cast<uint8_t>((driven ^ (0x80u >> ((noise >> 58) % (bits > 8 ? 8 : bits)))) & line);
}

void EmulatedInstrument::clockRateChanged(uint64_t hz)
{
    sckHz = hz;
}

EmulatedInstrument::~EmulatedInstrument() = default;

// Lines not driven by the bridge float high: chip select and the FPGA's
// control lines have pull-ups on the board.
static bool level(uint8_t value, uint8_t direction, uint8_t pin)
{
    return (direction & pin) ? (value & pin) != 0 : true;
}

void EmulatedInstrument::setLowPins(uint8_t value, uint8_t direction)
{
    pinValue = value;
    pinDirection = direction;
    // Reset first: on the way into a flash access the FPGA lets go of the
    // bus before chip select falls, and on the way out it stays quiet until
    // chip select is high again.
    const bool reset = !level(value, direction, pinFpgaA) && !level(value, direction, pinFpgaB);
    fpgaPort->setReset(reset);
    flashChip->select(!level(value, direction, pinCs));
}

uint8_t EmulatedInstrument::readLowPins() const
{
    uint8_t inputs = static_cast<uint8_t>(~(pinDi | pinDone)); // unused inputs read high
    if (overMiso(flashChip->misoLevel() ? 0x80 : 0x00, 1, false))
        inputs |= pinDi;
    if (fpgaPort->done())
        inputs |= pinDone;
    return static_cast<uint8_t>((pinValue & pinDirection) | (inputs & ~pinDirection));
}

uint8_t EmulatedInstrument::shift(uint8_t out, unsigned bits)
{
    if (bits == 0)
        return 0;
    if (!level(pinValue, pinDirection, pinCs))
        return overMiso(flashChip->shift(out, bits), bits, true);
    fpgaPort->shift(out, bits);
    return overMiso(static_cast<uint8_t>(0xFF00u >> (bits > 8 ? 8 : bits)), bits, false); // DI pulled up
}

void EmulatedInstrument::clockPulses(uint64_t count)
{
    if (!level(pinValue, pinDirection, pinCs)) {
        // The flash sees the clocks too, with DO held where it was left.
        flashChip->clockIdle((pinValue & pinDo) != 0, count);
        return;
    }
    fpgaPort->clockPulses(count);
}

SpiFlash& EmulatedInstrument::flash()
{
    return *flashChip;
}

FpgaConfigPort& EmulatedInstrument::fpga()
{
    return *fpgaPort;
}

bool EmulatedInstrument::powerCycle()
{
    const bool heldByBridge = !level(pinValue, pinDirection, pinFpgaA) && !level(pinValue, pinDirection, pinFpgaB);
    fpgaPort->setReset(true);
    fpgaPort->setReset(heldByBridge);
    flashChip->select(false); // the power loss ends whatever the bridge had under way
    uint32_t bytesRead = 0;
    if (!heldByBridge) {
        flashChip->select(true);
        for (uint8_t byte : {0x03, 0x00, 0x00, 0x00})
            flashChip->shift(byte, 8);
        const uint32_t size = flashChip->part().size;
        for (; bytesRead < size && !fpgaPort->done() && fpgaPort->initB(); ++bytesRead)
            fpgaPort->shift(overMiso(flashChip->shift(0x00, 8), 8, false), 8);
        flashChip->select(false);
    }
    if (trace)
        trace->recordFpga("power cycle: the FPGA read " + std::to_string(bytesRead) + " bytes of the flash from 0, DONE " +
                          (fpgaPort->done() ? "high" : "low"));
    flashChip->select(!level(pinValue, pinDirection, pinCs));
    return fpgaPort->done();
}

} // namespace emu
