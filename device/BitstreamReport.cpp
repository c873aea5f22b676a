#include "device/BitstreamReport.h"

#include <cstdio>

std::string BitstreamReport::idcodeText() const
{
    if (!idcodeSeen)
        return "no IDCODE";
    char text[32];
    std::snprintf(text, sizeof text, "IDCODE %08X", unsigned(idcode));
    return std::string(text) + " (" + (part ? part->name : "unknown FPGA") + ")";
}

std::string BitstreamReport::facts() const
{
    std::string line;
    const std::string when = header.date + (header.date.empty() || header.time.empty() ? "" : " ") + header.time;
    for (const std::string& item : {header.design.empty() ? "" : "design " + header.design,
                                    header.part.empty() ? "" : "part " + header.part, when})
        if (!item.empty())
            line += item + ", ";
    line += idcodeText() + (compressed ? ", compressed" : ", uncompressed");
    if (encrypted)
        line += ", encrypted";
    return line;
}

std::string BitstreamReport::verdict() const
{
    return starts ? "The FPGA would start." : "The FPGA would not start: " + reason;
}
