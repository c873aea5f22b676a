#include "device/InstrumentList.h"

#include "base/HexText.h"

InstrumentList::InstrumentList(const std::vector<TFtdi::Channel>& channels, const std::string& portDescription)
{
    for (const TFtdi::Channel& channel : channels) {
        const std::string& description = channel.description;
        if (description != portDescription)
            continue;
        Instrument instrument;
        instrument.channelSerialNumber = channel.serialNumber;
        instrument.serialNumber = instrument.channelSerialNumber;
        // D2XX appends the channel's letter to a multi-channel bridge's
        // serial number as it does to its description ("... B").
        const size_t space = description.rfind(' ');
        const std::string letter = space == std::string::npos ? "" : description.substr(space + 1);
        const std::string& serial = instrument.serialNumber;
        if (letter.size() == 1 && serial.size() > 1 && serial.compare(serial.size() - 1, 1, letter) == 0)
            instrument.serialNumber.pop_back();
        instrument.location = channel.locId;
        instrument.inUse = (channel.flags & d2xx::FT_FLAGS_OPENED) != 0;
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
