#include "device/InstrumentList.h"

#include "base/HexText.h"
#include "device/TFtdi.h"

#include <algorithm>

namespace {

template <size_t N>
std::string fieldText(const char (&field)[N])
{
    return std::string(field, std::find(field, field + N, '\0'));
}

} // namespace

InstrumentList::InstrumentList(const std::vector<d2xx::FT_DEVICE_LIST_INFO_NODE>& channels,
                               const std::string& portDescription)
{
    for (const d2xx::FT_DEVICE_LIST_INFO_NODE& node : channels) {
        const std::string description = fieldText(node.Description);
        if (description != portDescription)
            continue;
        Instrument instrument;
        instrument.channelSerialNumber = fieldText(node.SerialNumber);
        instrument.serialNumber = instrument.channelSerialNumber;
        // D2XX appends the channel's letter to a multi-channel bridge's
        // serial number as it does to its description ("... B").
        const size_t space = description.rfind(' ');
        const std::string letter = space == std::string::npos ? "" : description.substr(space + 1);
        const std::string& serial = instrument.serialNumber;
        if (letter.size() == 1 && serial.size() > 1 && serial.compare(serial.size() - 1, 1, letter) == 0)
            instrument.serialNumber.pop_back();
        instrument.location = node.LocId;
        instrument.inUse = (node.Flags & d2xx::FT_FLAGS_OPENED) != 0;
        list.push_back(instrument);
    }
}

const InstrumentList::Instrument* InstrumentList::bySerialNumber(const std::string& serial) const
{
    // The bridge's serial number first: "FT7PRVLB" may be a bridge of its own.
    for (const Instrument& instrument : list)
        if (!serial.empty() && instrument.serialNumber == serial)
            return &instrument;
    for (const Instrument& instrument : list)
        if (!serial.empty() && instrument.channelSerialNumber == serial)
            return &instrument;
    return nullptr;
}

const InstrumentList::Instrument* InstrumentList::byLocation(uint32_t location) const
{
    for (const Instrument& instrument : list)
        if (location != 0 && instrument.location == location)
            return &instrument;
    return nullptr;
}

std::string InstrumentList::describe() const
{
    std::string text;
    for (const Instrument& instrument : list)
        text += (text.empty() ? "" : ", ") + (instrument.serialNumber.empty() ? "(no serial number)" : instrument.serialNumber) +
                " at " + hexText(instrument.location);
    return text;
}

std::string InstrumentList::Instrument::name() const
{
    return serialNumber.empty() ? hexText(location) : serialNumber;
}

void InstrumentList::Instrument::choosePort(TFtdi& ftdi) const
{
    if (!channelSerialNumber.empty())
        ftdi.SetPortSerialNumber(channelSerialNumber);
    else
        ftdi.SetPortLocation(location);
}
