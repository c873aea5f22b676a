#pragma once

#include "device/TFtdi.h"

#include <cstdint>
#include <string>
#include <vector>

// The instruments on the bus, from the driver's list of bridge channels
// (TFtdi::ListChannels): each channel whose description is the instrument
// port's ("USB <-> Serial Converter B"), named by its bridge's serial number
// and its location, as D2XX opens them.
class InstrumentList
{
public:
    struct Instrument
    {
        std::string serialNumber;        // the bridge's: FT7PRVL (the channel's without its letter)
        std::string channelSerialNumber; // as D2XX opens it: FT7PRVLB; empty when the driver could not read it
        uint32_t location = 0;           // D2XX LocId of the channel; 0 when unknown
        bool inUse = false;              // another program holds it open

        // Its name in lines and rows: the serial number, else the location.
        std::string name() const;
        // Sets `ftdi` to open this one: by its channel's serial number, else by location.
        void choosePort(TFtdi& ftdi) const;
    };

    InstrumentList() = default;
    InstrumentList(const std::vector<TFtdi::Channel>& channels, const std::string& portDescription);

    const std::vector<Instrument>& all() const { return list; }
    size_t size() const { return list.size(); }

    // By the bridge's serial number or the channel's; nullptr when none.
    const Instrument* bySerialNumber(const std::string& serial) const;
    const Instrument* byLocation(uint32_t location) const;

    // "FT7PRVL at 0x2112, FT7PRVL2 at 0x2122": for a message that lists them.
    std::string describe() const;

private:
    std::vector<Instrument> list;
};
