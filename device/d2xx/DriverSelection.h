#pragma once

#include "device/d2xx/D2xxDriver.h"

#include <functional>
#include <memory>
#include <string>

namespace d2xx {

// The entry points' one choice of driver, from the environment:
//   PRAVEL_DEVICE          emulated | libftdi | ftd2xx (default: libftdi on
//                          Linux, ftd2xx on Windows)
//   PRAVEL_EMULATED_CHIP   mt25q128 | s25fl256 | arty | corrupted | unknown | unplugged
//   PRAVEL_EMULATED_IMAGE  file that keeps the emulated flash's contents
//   PRAVEL_EMULATED_FAULTS the emulated fault plan
//   PRAVEL_EMULATED_TIMING instant (default) | typical | worst: the emulated
//                          flash's busy times and the bridge's USB timing
// nullptr with `error` naming the accepted values on anything unknown; never
// falls back to another driver.
std::shared_ptr<D2xxDriver> selectDriver(std::string& error);

// The same, reading variables through `lookup` (nullptr: unset).
std::shared_ptr<D2xxDriver> selectDriver(const std::function<const char*(const char*)>& lookup, std::string& error);

} // namespace d2xx
