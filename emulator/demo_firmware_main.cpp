// pravel-demo-firmware DIR [VERSION]: writes a demo firmware directory for
// the emulated instrument. Never stage it beside an installed loader: a real
// instrument must not receive it.

#include "emulator/DemoFirmware.h"

#include <iostream>
#include <string>

int main(int argc, char* argv[])
{
    if (argc < 2 || argc > 3 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
        std::cerr << "usage: pravel-demo-firmware DIR [VERSION]\n"
                     "Writes version.txt, download.bit and pravel.srec for the emulated instrument into DIR.\n";
        return argc < 2 || argc > 3 ? 2 : 0;
    }
    std::string error;
    if (!emu::DemoFirmware::writeDirectory(argv[1], argc == 3 ? argv[2] : "demo", error)) {
        std::cerr << "pravel-demo-firmware: " << error << "\n";
        return 1;
    }
    std::cout << "Demo firmware written to " << argv[1] << "\n";
    return 0;
}
