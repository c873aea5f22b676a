#include "device/BitstreamGuard.h"

#include "device/BitstreamPart.h"
#include "device/FlashBitstream.h"

BitstreamGuard::Finding BitstreamGuard::check(const BitstreamReport& incoming, TRom& rom)
{
    Finding finding;
    finding.incoming = incoming;
    if (finding.incoming.idcodeSeen) {
        const FlashBitstream::Reading current = FlashBitstream::idcode(rom);
        finding.flashReadFailed = !current.readOk;
        if (finding.flashReadFailed)
            return finding;
        finding.current = current.report;
    }
    finding.risk = risk(finding.incoming, finding.current);
    return finding;
}

std::string BitstreamGuard::risk(const BitstreamReport& incoming, const BitstreamReport& current)
{
    std::string text;
    const auto add = [&text](const std::string& sentence) { text += (text.empty() ? "" : " ") + sentence; };
    if (incoming.crcErrors > 0)
        add("This bitstream is damaged: " + std::to_string(incoming.crcErrors) + " of its " +
            std::to_string(incoming.crcChecks) + " CRC checks fail, and the FPGA does not start from it.");
    if (incoming.encrypted)
        add(BitstreamReport::encryptedSentence);
    if (incoming.idcodeSeen && current.idcodeSeen && !BitstreamPart::sameFpga(incoming.idcode, current.idcode))
        add("This bitstream is for " + BitstreamPart::describe(incoming.idcode) +
            "; the instrument's current firmware is for " + BitstreamPart::describe(current.idcode) + ".");
    return text;
}
