#pragma once

// What the suites that run pravel-flash diagnose on every face share.

#include "tests/support/Files.h"

#include "emulator/DemoFirmware.h"

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>

namespace testsupport {

// A flash of `size` bytes holding the demo firmware: the whole bitstream at
// 0, S-records at 0x500000, the rest erased.
inline Bytes firmwareFlash(size_t size)
{
    Bytes image(size, 0xFF);
    const Bytes bit = emu::DemoFirmware::bitFile();
    const std::string records = emu::DemoFirmware::srecFile(30000);
    std::copy(bit.begin(), bit.end(), image.begin());
    std::copy(records.begin(), records.end(), image.begin() + 0x500000);
    return image;
}

// Of diagnose's output, each step with its verdict ("4. SPI lines to the
// flash: ok") and the summary, a line each: what every face must agree on
// (the times it measures may differ).
inline std::string diagnosisVerdicts(const std::string& out)
{
    static const std::regex kept("^([0-9]\\. [^:]+: (ok|FINDING)|Diagnose: .*)");
    std::istringstream lines(out);
    std::string line, found;
    std::smatch m;
    while (std::getline(lines, line))
        if (std::regex_search(line, m, kept))
            found += m.str(1) + "\n";
    return found;
}

} // namespace testsupport
