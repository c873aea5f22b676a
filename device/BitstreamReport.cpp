#include "device/BitstreamReport.h"

#include "base/HexText.h"

const char BitstreamReport::encryptedSentence[] =
    "This bitstream is encrypted: the FPGA starts from it only with its AES key programmed into the FPGA.";

std::string BitstreamReport::idcodeText() const
{
    if (!idcodeSeen)
        return "no IDCODE";
    return "IDCODE " + upperHex(idcode, 8) + " (" + (part ? part->name : "unknown FPGA") + ")";
}

std::string BitstreamReport::facts() const
{
    std::string line;
    const std::string when = header.date + (header.date.empty() || header.time.empty() ? "" : " ") + header.time;
    for (const std::string& item : {header.design.empty() ? "" : "design " + header.design,
                                    header.part.empty() ? "" : "part " + header.part, when})
        if (!item.empty())
            line += item + ", ";
    // Uncompressed only once the frames are all read: the start may be all there was.
    line += idcodeText() + (compressed ? ", compressed" : start ? ", uncompressed" : "");
    if (encrypted)
        line += ", encrypted";
    return line;
}

std::string BitstreamReport::checks() const
{
    const auto counted = [](uint64_t n, const char* what) {
        return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
    };
    std::string line = "sync word at byte " + std::to_string(syncOffset) + ", " + counted(crcChecks, "CRC check") +
                       " (" + std::to_string(crcErrors) + " failed)";
    if (crcResets > 0)
        line += ", " + counted(crcResets, "CRC reset");
    line += ", " + std::to_string(frameWords) + " words of frame data (" +
            counted(frameWords / BitstreamPart::wordsPerFrame, "frame") + ")";
    if (multiFrameWrites > 0)
        line += ", " + counted(multiFrameWrites, "multiple-frame write");
    if (start)
        line += ", START";
    if (desync)
        line += ", DESYNC";
    return line;
}

std::string BitstreamReport::verdict() const
{
    return starts ? "The FPGA would start." : "The FPGA would not start: " + reason;
}
