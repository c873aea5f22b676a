#pragma once

#include <cstdint>

namespace emu {

// What the instrument's wiring between the bridge and the flash does wrong:
// the MISO line, which carries every answer of the flash to the bridge.
struct WiringFaults
{
    enum class Miso
    {
        Sound,
        StuckHigh, // floats high: nothing drives it, or it is pulled up with the flash cut off
        StuckLow,  // shorted to ground
        Noisy,     // bits flip while SK runs faster than `cleanUpToHz`
    };
    Miso miso = Miso::Sound;
    // A long or poor line: below this clock the bits arrive intact. 0: at no
    // clock at all (a loose contact).
    uint64_t cleanUpToHz = 5000000;
};

} // namespace emu
